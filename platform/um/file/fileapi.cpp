// CreateFileA, WriteFile, GetFullPathNameA, GetDiskFreeSpaceA,
// SetFilePointerEx, SetEndOfFile over Linux files.
#include <windows.h>
#include <winternl.h>

#include <um/device_io.h>

#include "faults.h"
#include "file_object.h"
#include "io_engine.h"
#include "path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

using namespace um::file;

namespace {

constexpr uint32_t kDefaultSectorSize = 512;

BOOL FailWithErrno(int error) { return FailWith(StatusFromErrno(error)); }

// The direct-I/O alignment statx reports for an open file, or 0.
uint32_t DirectIoAlignment(int dirfd, const char* path, int flags) {
#ifdef STATX_DIOALIGN
    struct statx info {};
    if (statx(dirfd, path, flags, STATX_DIOALIGN, &info) == 0 &&
        (info.stx_mask & STATX_DIOALIGN) != 0) {
        return std::max(info.stx_dio_offset_align, info.stx_dio_mem_align);
    }
#else
    (void)dirfd;
    (void)path;
    (void)flags;
#endif
    return 0;
}

// Bytes per sector of the volume holding `path`: the alignment direct I/O
// needs there. File systems report it for regular files only, so for a
// directory an unnamed temporary file is asked; where nothing answers (no
// direct I/O, no right to create), the classic 512.
uint32_t VolumeSectorSize(const std::string& path) {
    if (uint32_t align = DirectIoAlignment(AT_FDCWD, path.c_str(), 0)) return align;
    const int probe = open(path.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (probe >= 0) {
        const uint32_t align = DirectIoAlignment(probe, "", AT_EMPTY_PATH);
        close(probe);
        if (align != 0) return align;
    }
    return kDefaultSectorSize;
}

int OpenFlags(DWORD access, DWORD disposition, int* extra) {
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
        flags |= O_RDWR;
    } else if (access & GENERIC_WRITE) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    switch (disposition) {
    case CREATE_NEW: *extra = O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: *extra = O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: *extra = 0; break;
    case OPEN_ALWAYS: *extra = O_CREAT; break;
    case TRUNCATE_EXISTING: *extra = O_TRUNC; break;
    default: return -1;
    }
    return flags;
}

// Opens as the disposition says and tells, as Windows does with
// ERROR_ALREADY_EXISTS, whether CREATE_ALWAYS/OPEN_ALWAYS found the file.
int OpenWithDisposition(const std::string& path, int flags, int extra, DWORD disposition,
                        bool* existed) {
    *existed = false;
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
        const int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
        *existed = true;
        return open(path.c_str(), flags | (extra & ~(O_CREAT | O_EXCL)), 0666);
    }
    return open(path.c_str(), flags | extra, 0666);
}

nt::Ref<FileObject> ReferenceFile(HANDLE handle) {
    nt::Ref<FileObject> file;
    if (!NT_SUCCESS(nt::ReferenceObjectByHandle(handle, &file))) return {};
    return file;
}

uint64_t OffsetOf(const OVERLAPPED* overlapped) {
    return (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
}

BOOL WriteOverlapped(const nt::Ref<FileObject>& file, const void* buffer, DWORD length,
                     LPOVERLAPPED overlapped) {
    const int64_t offset =
        file->Properties().seekable ? static_cast<int64_t>(OffsetOf(overlapped)) : -1;
    nt::Ref<nt::Event> event;
    if (HANDLE eventHandle = EventHandleOf(overlapped)) {
        if (!NT_SUCCESS(nt::ReferenceObjectByHandle(eventHandle, &event))) {
            return FailWith(STATUS_INVALID_HANDLE);
        }
    }

    const faults::Decision decision = faults::OnWrite(*file, offset, length, true);
    if (decision.kind == faults::Decision::Kind::Refuse) return FailWith(decision.status);

    auto request = std::unique_ptr<WriteRequest>(new (std::nothrow) WriteRequest);
    if (!request) return FailWith(STATUS_INSUFFICIENT_RESOURCES);
    request->file = file;
    request->data = static_cast<const uint8_t*>(buffer);
    request->length = decision.kind == faults::Decision::Kind::Short ? decision.length : length;
    request->offset = offset;
    request->overlapped = overlapped;
    request->event = event;
    if (decision.kind == faults::Decision::Kind::Fail) request->injected = decision.status;
    if (PostsCompletion(overlapped)) {
        auto [port, key] = file->Binding();
        request->port = std::move(port);
        request->key = key;
    }

    // Pending from here on; the engine may end the request before Submit
    // even returns.
    std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(0, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(overlapped->Internal)
        .store(static_cast<ULONG>(STATUS_PENDING), std::memory_order_relaxed);
    if (event) event->Reset();
    file->BeginIo();

    const int error = file->Engine()->Submit(request);
    if (error != 0) {
        const NTSTATUS status = StatusFromErrno(-error);
        std::atomic_ref<ULONG_PTR>(overlapped->Internal)
            .store(static_cast<ULONG>(status), std::memory_order_relaxed);
        file->EndIo();
        return FailWith(status);
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WriteSynchronous(const nt::Ref<FileObject>& file, const void* buffer, DWORD length,
                      LPDWORD written, LPOVERLAPPED overlapped) {
    const bool seekable = file->Properties().seekable;
    const int64_t offset = !seekable ? -1
                           : overlapped != nullptr ? static_cast<int64_t>(OffsetOf(overlapped))
                                                   : file->Position();
    const faults::Decision decision = faults::OnWrite(*file, offset, length, false);
    NTSTATUS status = STATUS_SUCCESS;
    DWORD done = 0;
    if (decision.kind == faults::Decision::Kind::Refuse ||
        decision.kind == faults::Decision::Kind::Fail) {
        status = decision.status;
    } else {
        const DWORD want = decision.kind == faults::Decision::Kind::Short ? decision.length : length;
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        while (done < want) {
            const ssize_t n = seekable ? pwrite(file->Fd(), bytes + done, want - done, offset + done)
                                       : write(file->Fd(), bytes + done, want - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                status = StatusFromErrno(errno);
                break;
            }
            if (n == 0) break;
            done += static_cast<DWORD>(n);
        }
        if (seekable) file->SetPosition(offset + done);
    }
    if (written != nullptr) *written = done;
    if (overlapped != nullptr) {
        std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(done, std::memory_order_relaxed);
        std::atomic_ref<ULONG_PTR>(overlapped->Internal)
            .store(static_cast<ULONG>(status), std::memory_order_release);
        nt::Ref<nt::Event> event;
        if (HANDLE eventHandle = EventHandleOf(overlapped);
            eventHandle != nullptr && NT_SUCCESS(nt::ReferenceObjectByHandle(eventHandle, &event))) {
            event->Set();
        }
    }
    if (!NT_SUCCESS(status)) return FailWith(status);
    return TRUE;
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE /*hTemplateFile*/) {
    // Sharing modes have no Linux counterpart and are not enforced; security
    // attributes and templates are not used by anything we run.
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (um::dev::IsDevicePath(lpFileName)) {
        return um::dev::CreateDeviceFile(lpFileName, dwDesiredAccess, dwFlagsAndAttributes);
    }
    const auto path = LinuxPath(lpFileName);
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int extra = 0;
    const int flags = OpenFlags(dwDesiredAccess, dwCreationDisposition, &extra);
    if (flags < 0 || (dwCreationDisposition == TRUNCATE_EXISTING && !(dwDesiredAccess & GENERIC_WRITE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    faults::OnOpen(*path, dwCreationDisposition, dwFlagsAndAttributes);

    bool existed = false;
    const int fd = OpenWithDisposition(*path, flags, extra, dwCreationDisposition, &existed);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST) {
            // CreateFile's own word for CREATE_NEW on an existing file.
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        // A missing directory on the way is a missing path, not a missing file.
        FailWith(error == ENOENT && dwCreationDisposition != OPEN_EXISTING &&
                         dwCreationDisposition != TRUNCATE_EXISTING
                     ? STATUS_OBJECT_PATH_NOT_FOUND
                     : StatusFromErrno(error));
        return INVALID_HANDLE_VALUE;
    }

    FileProperties properties;
    properties.path = *path;
    properties.access = dwDesiredAccess;
    properties.overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    properties.seekable = lseek(fd, 0, SEEK_CUR) >= 0;
    if (dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING) {
        // Switched on after the open, so that a file system without direct
        // I/O leaves a cached file rather than a created file and an error.
        const int status = fcntl(fd, F_GETFL);
        properties.direct = !faults::DirectIoRefused() && status >= 0 &&
                            fcntl(fd, F_SETFL, status | O_DIRECT) == 0;
        if (properties.direct) {
            properties.alignment = DirectIoAlignment(fd, "", AT_EMPTY_PATH);
            if (properties.alignment == 0) properties.alignment = kDefaultSectorSize;
        }
    }

    auto file = nt::MakeRef<FileObject>(fd, std::move(properties), EngineForNewFile());
    if (!file) {
        close(fd);
        FailWith(STATUS_INSUFFICIENT_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = nullptr;
    if (const NTSTATUS status = nt::InsertHandle(file.get(), &handle); !NT_SUCCESS(status)) {
        FailWith(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    if (BOOL answer = FALSE; um::dev::WriteDeviceFile(hFile, lpBuffer, nNumberOfBytesToWrite,
                                                      lpNumberOfBytesWritten, lpOverlapped, &answer)) {
        return answer;
    }
    const nt::Ref<FileObject> file = ReferenceFile(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    if (!(file->Properties().access & GENERIC_WRITE)) return FailWith(STATUS_ACCESS_DENIED);
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) return FailWith(STATUS_INVALID_USER_BUFFER);
    if (file->Properties().overlapped) {
        if (lpOverlapped == nullptr) return FailWith(STATUS_INVALID_PARAMETER);
        return WriteOverlapped(file, lpBuffer, nNumberOfBytesToWrite, lpOverlapped);
    }
    return WriteSynchronous(file, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                            lpOverlapped);
}

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                              LPSTR* lpFilePart) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto full = FullWindowsPath(lpFileName, CurrentLinuxDirectory());
    if (!full) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    const auto length = static_cast<DWORD>(full->size());
    // Too small: the size needed, terminator included.
    if (lpBuffer == nullptr || nBufferLength <= length) return length + 1;
    memcpy(lpBuffer, full->c_str(), length + 1);
    if (lpFilePart != nullptr) {
        const size_t slash = full->rfind('\\');
        *lpFilePart = slash != std::string::npos && slash + 1 < full->size() ? lpBuffer + slash + 1
                                                                             : nullptr;
    }
    return length;
}

BOOL WINAPI GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                              LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                              LPDWORD lpTotalNumberOfClusters) {
    // Any directory of the volume is taken, not only its root.
    const auto path = LinuxPath(lpRootPathName != nullptr ? lpRootPathName : "\\");
    if (!path) return FailWith(STATUS_OBJECT_PATH_NOT_FOUND);
    struct statvfs volume {};
    if (statvfs(path->c_str(), &volume) != 0) {
        return FailWith(errno == ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(errno));
    }
    const uint64_t sector = VolumeSectorSize(*path);
    const uint64_t block = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    const uint64_t cluster = std::max<uint64_t>(block / sector * sector, sector);
    const auto clusters = [&](uint64_t blocks) {
        return static_cast<DWORD>(std::min<uint64_t>(blocks * block / cluster, 0xFFFFFFFFu));
    };
    if (lpSectorsPerCluster) *lpSectorsPerCluster = static_cast<DWORD>(cluster / sector);
    if (lpBytesPerSector) *lpBytesPerSector = static_cast<DWORD>(sector);
    if (lpNumberOfFreeClusters) *lpNumberOfFreeClusters = clusters(volume.f_bavail);
    if (lpTotalNumberOfClusters) *lpTotalNumberOfClusters = clusters(volume.f_blocks);
    return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
    const nt::Ref<FileObject> file = ReferenceFile(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    int64_t base = 0;
    switch (dwMoveMethod) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: base = file->Position(); break;
    case FILE_END: {
        struct stat info {};
        if (fstat(file->Fd(), &info) != 0) return FailWithErrno(errno);
        base = info.st_size;
        break;
    }
    default: return FailWith(STATUS_INVALID_PARAMETER);
    }
    const int64_t position = base + liDistanceToMove.QuadPart;
    if (position < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    file->SetPosition(position);
    if (lpNewFilePointer != nullptr) lpNewFilePointer->QuadPart = position;
    return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    const nt::Ref<FileObject> file = ReferenceFile(hFile);
    if (!file) return FailWith(STATUS_INVALID_HANDLE);
    if (!(file->Properties().access & GENERIC_WRITE)) return FailWith(STATUS_ACCESS_DENIED);
    if (ftruncate(file->Fd(), file->Position()) != 0) return FailWithErrno(errno);
    return TRUE;
}
