/*
 * native_file.cpp - the dump tools' append-only output file.
 */
#include "native_file.h"

#include <cctype>
#include <cstring>
#include <new>

namespace {

// Unbuffered writes need their memory aligned to the volume's sector size;
// a page is the least we use, so that buffers also suit the cached path.
constexpr ULONG kMinimumAlignment = 4096;
constexpr ULONGLONG kNoLoss = ~0ull;

ULONG DataAlignment(ULONG SectorSize)
{
    ULONG alignment = kMinimumAlignment;
    while (alignment < SectorSize && alignment < 0x80000000u) {
        alignment <<= 1;
    }
    return alignment;
}

// The header sits at the start of the allocation; the data area starts at
// the next multiple of the alignment.
SIZE_T HeaderSpan(ULONG Alignment)
{
    return (sizeof(NativeFileBuffer) + Alignment - 1) / Alignment * Alignment;
}

ULONGLONG BufferOffset(const NativeFileBuffer* Buffer)
{
    return (static_cast<ULONGLONG>(Buffer->Overlapped.OffsetHigh) << 32) | Buffer->Overlapped.Offset;
}

void SetBufferOffset(NativeFileBuffer* Buffer, ULONGLONG Offset)
{
    Buffer->Overlapped.Offset = static_cast<DWORD>(Offset);
    Buffer->Overlapped.OffsetHigh = static_cast<DWORD>(Offset >> 32);
}

// The first failure is the one the user is told about: later ones are most
// often its consequences.
void NoteError(NativeFile* File, DWORD Error)
{
    if (File->SystemError == 0) {
        File->SystemError = Error;
    }
}

// The file holds nothing from End on; End lies in Buffer's stretch of the
// stream. The last whole record before it is known from the buffer's marks.
void NoteLoss(NativeFile* File, const NativeFileBuffer* Buffer, ULONGLONG End)
{
    if (End < File->ValidEnd) {
        File->ValidEnd = End;
        File->LossMark = End >= Buffer->IssueMark.End ? Buffer->IssueMark : Buffer->StartMark;
    }
}

// The bytes a buffer must have on disk for its write to be whole.
ULONG NeededBytes(const NativeFileBuffer* Buffer)
{
    return Buffer->Used - Buffer->Padding;
}

void MakeCurrent(NativeFile* File, NativeFileBuffer* Buffer)
{
    Buffer->Used = 0;
    Buffer->Padding = 0;
    Buffer->StartMark = File->LastMark;
    File->CurrentBuffer = Buffer;
}

void CopyIn(NativeFileBuffer* Buffer, const UCHAR* Source, ULONG Length)
{
    if (Length != 0) {
        memcpy(Buffer->Data + Buffer->Used, Source, Length);
        Buffer->Used += Length;
    }
}

NativeFileBuffer* CreateBuffer(NativeFile* File, ULONG Index)
{
    const SIZE_T span = HeaderSpan(File->Alignment);
    void* memory = ::operator new(span + File->BufferSize, std::align_val_t(File->Alignment),
                                  std::nothrow);
    if (memory == nullptr) {
        return nullptr;
    }
    auto* buffer = new (memory) NativeFileBuffer{};
    buffer->Data = static_cast<PUCHAR>(memory) + span;
    buffer->Index = Index;
    return buffer;
}

void FreeBuffer(NativeFile* File, NativeFileBuffer* Buffer)
{
    if (Buffer->Overlapped.hEvent != nullptr) {
        CloseHandle(Buffer->Overlapped.hEvent);
    }
    Buffer->~NativeFileBuffer();
    ::operator delete(static_cast<void*>(Buffer), std::align_val_t(File->Alignment));
}

// Waits for the next buffer that comes back through the port and applies the
// completion rule: a short write has its rest written now. Answers whether the
// write ended well; *Returned is the buffer, or NULL when the wait itself
// failed.
BOOLEAN TakeCompletion(NativeFile* File, NativeFileBuffer** Returned)
{
    DWORD transferred = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(File->CompletionPort, &transferred, &key,
                                              &overlapped, INFINITE);
    *Returned = nullptr;
    if (!ok) {
        NoteError(File, GetLastError());
    }
    if (overlapped == nullptr) {
        return FALSE;
    }
    NativeFileBuffer* buffer = CONTAINING_RECORD(overlapped, NativeFileBuffer, Overlapped);
    buffer->InFlight = FALSE;
    File->InFlightCount--;
    *Returned = buffer;

    BOOLEAN result = ok ? TRUE : FALSE;
    if (transferred < NeededBytes(buffer) && !native_file_finish_write(File, buffer, transferred)) {
        result = FALSE;
    }
    return result;
}

// Last resort when the port cannot be waited on: wait for each buffer still
// in flight on its own event. A buffer whose write cannot be seen to end stays
// marked in flight, and the release leaves its memory alone.
void WaitForStragglers(NativeFile* File)
{
    for (ULONG i = 0; i < File->BuffersCreated && File->InFlightCount > 0; ++i) {
        NativeFileBuffer* buffer = File->Buffers[i];
        if (!buffer->InFlight) {
            continue;
        }
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(File->File, &buffer->Overlapped, &transferred, TRUE);
        if (!HasOverlappedIoCompleted(&buffer->Overlapped)) {
            continue;
        }
        buffer->InFlight = FALSE;
        File->InFlightCount--;
        if (!ok) {
            NoteError(File, GetLastError());
        }
        if (!ok || transferred < NeededBytes(buffer)) {
            NoteLoss(File, buffer, BufferOffset(buffer) + transferred);
        }
    }
}

void Release(NativeFile* File)
{
    for (ULONG i = 0; i < File->BuffersCreated; ++i) {
        NativeFileBuffer* buffer = File->Buffers[i];
        // A write still running reads this memory and signals this event.
        if (!buffer->InFlight) {
            FreeBuffer(File, buffer);
        }
    }
    if (File->File != INVALID_HANDLE_VALUE) {
        CloseHandle(File->File);
    }
    if (File->CompletionPort != nullptr) {
        CloseHandle(File->CompletionPort);
    }
    delete[] File->Path;
    delete[] File->Buffers;
    delete File;
}

ULONG OpenSteps(NativeFile* File, const char* FileName, ULONG BufferSize, ULONG BufferCount,
                BOOLEAN UseCache)
{
    // The length of the full name first, then the name itself.
    char probe[2];
    const DWORD length = GetFullPathNameA(FileName, sizeof(probe), probe, nullptr);
    if (length == 0) {
        NoteError(File, GetLastError());
        return NATIVE_FILE_ERROR_FULL_PATH;
    }
    File->Path = new (std::nothrow) char[length + 1];
    if (File->Path == nullptr) {
        NoteError(File, ERROR_NOT_ENOUGH_MEMORY);
        return File->OutOfMemoryCode;
    }
    const DWORD again = GetFullPathNameA(FileName, length + 1, File->Path, nullptr);
    if (again == 0 || again > length) {
        NoteError(File, GetLastError());
        return NATIVE_FILE_FAILURE;
    }

    // A drive path bypasses the cache unless told otherwise; a network path
    // always goes through it.
    if (isalpha(static_cast<unsigned char>(File->Path[0])) && !UseCache) {
        const char root[4] = {File->Path[0], ':', '\\', '\0'};
        DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
        if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                               &totalClusters)) {
            NoteError(File, GetLastError());
            return NATIVE_FILE_FAILURE;
        }
        File->SectorSize = bytesPerSector;
    }
    // Unbuffered writes of a size the volume cannot take would fail one after
    // the other; say so now, before the file exists.
    if (File->SectorSize != 0 && BufferSize % File->SectorSize != 0) {
        return NATIVE_FILE_ERROR_BUFFER_LAYOUT;
    }

    const DWORD flags = FILE_FLAG_OVERLAPPED | (File->SectorSize != 0 ? FILE_FLAG_NO_BUFFERING : 0);
    File->File = CreateFileA(File->Path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
    if (File->File == INVALID_HANDLE_VALUE) {
        NoteError(File, GetLastError());
        return NATIVE_FILE_FAILURE;
    }
    File->CompletionPort = CreateIoCompletionPort(File->File, nullptr, 0, 1);
    if (File->CompletionPort == nullptr) {
        NoteError(File, GetLastError());
        return NATIVE_FILE_FAILURE;
    }

    File->BufferCount = BufferCount;
    File->BufferSize = BufferSize;
    File->Alignment = DataAlignment(File->SectorSize);
    File->Buffers = new (std::nothrow) NativeFileBuffer*[BufferCount];
    if (File->Buffers == nullptr) {
        NoteError(File, ERROR_NOT_ENOUGH_MEMORY);
        return File->OutOfMemoryCode;
    }
    for (ULONG i = 0; i < BufferCount; ++i) {
        NativeFileBuffer* buffer = CreateBuffer(File, i);
        if (buffer == nullptr) {
            NoteError(File, ERROR_NOT_ENOUGH_MEMORY);
            return File->OutOfMemoryCode;
        }
        File->Buffers[i] = buffer;
        File->BuffersCreated = i + 1;
        buffer->Overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (buffer->Overlapped.hEvent == nullptr) {
            NoteError(File, GetLastError());
            return NATIVE_FILE_FAILURE;
        }
        buffer->Next = File->FreeList;
        File->FreeList = buffer;
    }
    return NATIVE_FILE_SUCCESS;
}

// Cuts the file at End through an ordinary handle. Failures here change
// neither the answer nor the data already written.
void Trim(NativeFile* File, ULONGLONG End)
{
    CloseHandle(File->File);
    File->File = CreateFileA(File->Path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (File->File == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(End);
    if (SetFilePointerEx(File->File, distance, nullptr, FILE_BEGIN)) {
        SetEndOfFile(File->File);
    }
}

} // namespace

ULONG native_file_open_common(const char* FileName, ULONG BufferSize, ULONG BufferCount,
                              BOOLEAN UseCache, ULONG OutOfMemoryCode, NativeFile** Result)
{
    *Result = nullptr;
    // Without buffers, or with empty ones, the first append would wait forever
    // or every append would fail.
    if (BufferCount == 0 || BufferSize == 0) {
        SetLastError(ERROR_SUCCESS);
        return NATIVE_FILE_ERROR_BUFFER_LAYOUT;
    }
    auto* file = new (std::nothrow) NativeFile{};
    if (file == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OutOfMemoryCode;
    }
    file->File = INVALID_HANDLE_VALUE;
    file->ValidEnd = kNoLoss;
    file->OutOfMemoryCode = OutOfMemoryCode;
    file->Alignment = kMinimumAlignment;

    const ULONG code = OpenSteps(file, FileName, BufferSize, BufferCount, UseCache);
    if (code != NATIVE_FILE_SUCCESS) {
        const DWORD error = file->SystemError;
        Release(file);
        SetLastError(error);
        return code;
    }
    *Result = file;
    return NATIVE_FILE_SUCCESS;
}

ULONG native_file_open(const char* FileName, ULONG BufferSize, ULONG BufferCount,
                       BOOLEAN UseCache, NativeFile** File)
{
    return native_file_open_common(FileName, BufferSize, BufferCount, UseCache,
                                   NATIVE_FILE_ERROR_NO_MEMORY, File);
}

BOOLEAN native_file_get_buffer(NativeFile* File)
{
    if (File->FreeList != nullptr) {
        NativeFileBuffer* buffer = File->FreeList;
        File->FreeList = buffer->Next;
        buffer->Next = nullptr;
        MakeCurrent(File, buffer);
        return TRUE;
    }
    NativeFileBuffer* buffer = nullptr;
    const BOOLEAN ok = TakeCompletion(File, &buffer);
    if (buffer == nullptr) {
        return FALSE;
    }
    // Reused whatever became of its write: those bytes are lost, the buffer is not.
    MakeCurrent(File, buffer);
    return ok;
}

BOOLEAN native_file_finish_write(NativeFile* File, NativeFileBuffer* Buffer, ULONG Written)
{
    const ULONGLONG base = BufferOffset(Buffer);
    const HANDLE event = Buffer->Overlapped.hEvent;
    // With the low bit of the event set the system posts no completion packet:
    // these writes are waited for here and must not come back through the port.
    Buffer->Overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);

    BOOLEAN ok = TRUE;
    ULONG done = Written;
    while (done < NeededBytes(Buffer)) {
        SetBufferOffset(Buffer, base + done);
        if (!WriteFile(File->File, Buffer->Data + done, Buffer->Used - done, nullptr,
                       &Buffer->Overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            NoteError(File, GetLastError());
            ok = FALSE;
            break;
        }
        DWORD transferred = 0;
        const BOOL finished = GetOverlappedResult(File->File, &Buffer->Overlapped, &transferred, TRUE);
        if (!finished) {
            NoteError(File, GetLastError());
        }
        done += transferred;
        // A write that makes no progress would be retried forever.
        if (!finished || transferred == 0) {
            ok = FALSE;
            break;
        }
    }

    SetBufferOffset(Buffer, base);
    Buffer->Overlapped.hEvent = event;
    if (!ok) {
        NoteLoss(File, Buffer, base + done);
    }
    return ok;
}

ULONG native_file_issue_write(NativeFile* File)
{
    NativeFileBuffer* buffer = File->CurrentBuffer;
    const ULONGLONG offset = File->NextFileOffset;
    SetBufferOffset(buffer, offset);
    File->NextFileOffset += buffer->Used;
    buffer->IssueMark = File->LastMark;

    if (WriteFile(File->File, buffer->Data, buffer->Used, nullptr, &buffer->Overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        buffer->InFlight = TRUE;
        File->InFlightCount++;
        File->CurrentBuffer = nullptr;
        return NATIVE_FILE_SUCCESS;
    }
    // The buffer stays current and the stream has moved past it; nothing from
    // here on can be trusted to follow without a gap.
    NoteError(File, GetLastError());
    NoteLoss(File, buffer, offset);
    return NATIVE_FILE_FAILURE;
}

ULONG native_file_write(NativeFile* File, const void* Data, ULONG Length)
{
    if (Length > File->BufferSize) {
        return NATIVE_FILE_FAILURE;
    }
    if (File->CurrentBuffer == nullptr && !native_file_get_buffer(File)) {
        return NATIVE_FILE_FAILURE;
    }
    const auto* source = static_cast<const UCHAR*>(Data);
    NativeFileBuffer* buffer = File->CurrentBuffer;
    const ULONG room = File->BufferSize - buffer->Used;

    if (Length < room) {
        CopyIn(buffer, source, Length);
        return NATIVE_FILE_SUCCESS;
    }
    // The run fills the buffer: the buffer leaves at once, and any tail
    // starts the next one.
    CopyIn(buffer, source, room);
    const ULONG code = native_file_issue_write(File);
    if (Length == room) {
        return code;
    }
    if (code != NATIVE_FILE_SUCCESS || !native_file_get_buffer(File)) {
        return NATIVE_FILE_FAILURE;
    }
    CopyIn(File->CurrentBuffer, source + room, Length - room);
    return NATIVE_FILE_SUCCESS;
}

void native_file_mark(NativeFile* File, ULONGLONG Records)
{
    File->Marked = TRUE;
    File->LastMark.End = File->NextFileOffset + (File->CurrentBuffer != nullptr ? File->CurrentBuffer->Used : 0);
    File->LastMark.Records = Records;
}

DWORD native_file_system_error(const NativeFile* File)
{
    return File->SystemError;
}

ULONG native_file_close(NativeFile* File)
{
    return native_file_close_counted(File, nullptr);
}

ULONG native_file_close_counted(NativeFile* File, ULONGLONG* Records)
{
    if (Records != nullptr) {
        *Records = 0;
    }
    if (File == nullptr) {
        return NATIVE_FILE_FAILURE;
    }
    ULONG answer = NATIVE_FILE_SUCCESS;

    NativeFileBuffer* last = File->CurrentBuffer;
    if (last != nullptr && last->Used > 0) {
        if (File->SectorSize == 0) {
            if (native_file_issue_write(File) != NATIVE_FILE_SUCCESS) {
                answer = NATIVE_FILE_FAILURE;
            }
        } else {
            // Unbuffered writes are whole sectors: the last one is padded to
            // the next sector, not to the whole buffer, so that a disk with
            // room for the data has room for the write. The padding is
            // zeroed so that no stale bytes reach the disk should the trim
            // fail, and a write that stops within it is whole.
            const ULONG used = last->Used;
            const ULONG padded = static_cast<ULONG>(
                (static_cast<ULONGLONG>(used) + File->SectorSize - 1) / File->SectorSize * File->SectorSize);
            memset(last->Data + used, 0, padded - used);
            last->Used = padded;
            last->Padding = padded - used;
            if (native_file_issue_write(File) != NATIVE_FILE_SUCCESS) {
                answer = NATIVE_FILE_FAILURE;
            }
            File->NextFileOffset -= padded - used;
        }
    }

    // Every write must have ended before its buffer is freed. A failed write
    // makes the answer 1 but the waiting goes on for the others.
    while (File->InFlightCount > 0) {
        NativeFileBuffer* returned = nullptr;
        if (!TakeCompletion(File, &returned)) {
            answer = NATIVE_FILE_FAILURE;
        }
        if (returned == nullptr) {
            WaitForStragglers(File);
            break;
        }
    }

    // Unbuffered files end on a whole sector and are cut back to the bytes
    // appended; any file is cut back to before its first lost byte and, when
    // the caller marks its records, to the end of its last whole record.
    ULONGLONG end = File->ValidEnd < File->NextFileOffset ? File->ValidEnd : File->NextFileOffset;
    NativeFileMark onDisk = File->ValidEnd < File->NextFileOffset ? File->LossMark : File->LastMark;
    if (File->Marked && onDisk.End < end) {
        end = onDisk.End;
    }
    if (File->SectorSize != 0 || end < File->NextFileOffset) {
        Trim(File, end);
    }
    if (Records != nullptr) {
        *Records = onDisk.Records;
    }

    const DWORD error = File->SystemError;
    Release(File);
    if (answer != NATIVE_FILE_SUCCESS) {
        SetLastError(error);
    }
    return answer;
}
