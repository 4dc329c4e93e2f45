// CreateFileA on device interface paths, ReadFile, WriteFile on devices,
// DeviceIoControl and CancelIo, over the I/O manager of the machine (the
// process's own or the host's: see device_backend.h).
#include <windows.h>
#include <winioctl.h>

#include <um/device_io.h>

#include "device_file.h"
#include "um_status.h"


#include <cctype>
#include <string>
#include <string_view>

using um::dev::DeviceFile;
using um::dev::Issue;
using um::dev::ReferenceDeviceFile;

namespace um::dev {

namespace {

bool IsDriveLetterPath(std::string_view rest) {
    return rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':';
}

bool IsUncPath(std::string_view rest) {
    return rest.size() >= 4 && std::toupper(static_cast<unsigned char>(rest[0])) == 'U' &&
           std::toupper(static_cast<unsigned char>(rest[1])) == 'N' &&
           std::toupper(static_cast<unsigned char>(rest[2])) == 'C' && rest[3] == '\\';
}

}  // namespace

bool IsDevicePath(const char* name) noexcept {
    if (name == nullptr) return false;
    std::string_view path(name);
    if (!path.starts_with("\\\\?\\") && !path.starts_with("\\\\.\\")) return false;
    std::string_view rest = path.substr(4);
    return !rest.empty() && !IsDriveLetterPath(rest) && !IsUncPath(rest);
}

HANDLE CreateDeviceFile(const char* path, DWORD access, DWORD flagsAndAttributes) noexcept {
    try {
        NTSTATUS status = STATUS_SUCCESS;
        Backend* backend = ProcessBackend(&status);
        if (backend == nullptr) {
            FailWithStatus(status);
            return INVALID_HANDLE_VALUE;
        }
        // "\\.\x" and "\\?\x" name the same object; interfaces are published
        // in the second form.
        std::string link(path);
        link[2] = '?';
        std::shared_ptr<BackendFile> io;
        status = backend->Open(link, &io);
        if (!NT_SUCCESS(status)) {
            // A device that is not started has no usable link, as on Windows.
            FailWithStatus(status == STATUS_NO_SUCH_DEVICE ? STATUS_OBJECT_NAME_NOT_FOUND : status);
            return INVALID_HANDLE_VALUE;
        }
        nt::Ref<DeviceFile> file = nt::MakeRef<DeviceFile>(io, access, (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
        if (!file) {
            io->Close();
            FailWithStatus(STATUS_INSUFFICIENT_RESOURCES);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE handle = nullptr;
        status = nt::InsertHandle(file.get(), &handle);
        if (!NT_SUCCESS(status)) {
            FailWithStatus(status);
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(ERROR_SUCCESS);
        return handle;
    } catch (...) {
        FailWithStatus(STATUS_INSUFFICIENT_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
}

bool WriteDeviceFile(HANDLE handle, const void* buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped,
                     BOOL* result) noexcept {
    nt::Ref<nt::Object> any;
    if (!NT_SUCCESS(nt::ReferenceObjectByHandle(handle, &any))) return false;
    auto* device = dynamic_cast<DeviceFile*>(any.get());
    if (device == nullptr) return false;
    nt::Ref<DeviceFile> file(device);
    if (written != nullptr) *written = 0;
    if (!file->CanWrite()) {
        *result = FailWithStatus(STATUS_ACCESS_DENIED);
    } else if (buffer == nullptr && length != 0) {
        *result = FailWithStatus(STATUS_ACCESS_VIOLATION);
    } else {
        *result = Issue(file, overlapped, written, [&](BackendFile& io, km::io::Completion done) {
            return io.Write(buffer, length, std::move(done));
        });
    }
    return true;
}

}  // namespace um::dev

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    nt::Ref<DeviceFile> file = ReferenceDeviceFile(hFile);
    if (!file) return FALSE;
    if (!file->CanRead()) return um::FailWithStatus(STATUS_ACCESS_DENIED);
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) return um::FailWithStatus(STATUS_ACCESS_VIOLATION);
    return Issue(file, lpOverlapped, lpNumberOfBytesRead, [&](um::dev::BackendFile& io, km::io::Completion done) {
        return io.Read(lpBuffer, nNumberOfBytesToRead, std::move(done));
    });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    nt::Ref<DeviceFile> file = ReferenceDeviceFile(hDevice);
    if (!file) return FALSE;
    // The access bits of the code are checked against the handle's access,
    // as the I/O manager does before the driver sees the request.
    const ULONG required = ACCESS_FROM_CTL_CODE(dwIoControlCode);
    if (((required & FILE_READ_ACCESS) && !file->CanRead()) || ((required & FILE_WRITE_ACCESS) && !file->CanWrite())) {
        return um::FailWithStatus(STATUS_ACCESS_DENIED);
    }
    if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        return um::FailWithStatus(STATUS_ACCESS_VIOLATION);
    }
    return Issue(file, lpOverlapped, lpBytesReturned, [&](um::dev::BackendFile& io, km::io::Completion done) {
        return io.DeviceControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                std::move(done));
    });
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    nt::Ref<DeviceFile> file = ReferenceDeviceFile(hFile);
    if (!file) return FALSE;
    // Every request of the handle ends with ERROR_OPERATION_ABORTED, once
    // its driver has let go of it; CancelIo does not wait for that.
    file->Io().Cancel();
    return TRUE;
}

}  // extern "C"
