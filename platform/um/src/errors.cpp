// Last error and the mapping of statuses to Win32 errors. One table for
// every call, so that a status reaches the caller as the same error
// whichever function reported it.
#include "um_status.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

constexpr DWORD kErrorMrMidNotFound = 317;  // ERROR_MR_MID_NOT_FOUND: a status with no Win32 error
constexpr DWORD kErrorInternalError = 1359;
constexpr DWORD kErrorCantWait = 554;

struct Mapping {
    NTSTATUS status;
    DWORD error;
};

// Windows' own pairs for the statuses this platform produces.
constexpr Mapping kMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_TIMEOUT, WAIT_TIMEOUT},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_NO_MORE_FILES, ERROR_NO_MORE_FILES},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_INFO_CLASS, ERROR_INVALID_PARAMETER},
    {STATUS_INFO_LENGTH_MISMATCH, ERROR_BAD_LENGTH},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ALREADY_COMMITTED, ERROR_ACCESS_DENIED},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER_MIX, ERROR_INVALID_PARAMETER},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_INVALID, ERROR_BAD_PATHNAME},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
    {STATUS_DATA_ERROR, ERROR_CRC},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_THREAD_IS_TERMINATING, ERROR_ACCESS_DENIED},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_PRIVILEGE_NOT_HELD, ERROR_PRIVILEGE_NOT_HELD},
    {STATUS_DISK_FULL, ERROR_DISK_FULL},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
    {STATUS_DEVICE_POWER_FAILURE, ERROR_NOT_READY},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_ADAPTER_HARDWARE_ERROR, ERROR_IO_DEVICE},
    {STATUS_CANT_WAIT, kErrorCantWait},
    {STATUS_INTERNAL_ERROR, kErrorInternalError},
    {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
    {STATUS_INVALID_PARAMETER_1, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_PARAMETER_2, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_PARAMETER_3, ERROR_INVALID_PARAMETER},
    {STATUS_PROCESS_IS_TERMINATING, ERROR_ACCESS_DENIED},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
    {STATUS_FILE_CLOSED, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_ADDRESS, ERROR_INVALID_ADDRESS},
    {STATUS_INVALID_LEVEL, ERROR_INVALID_LEVEL},
    {STATUS_REGISTRY_CORRUPT, ERROR_REGISTRY_CORRUPT},
    {STATUS_REGISTRY_IO_FAILED, ERROR_REGISTRY_IO_FAILED},
    {STATUS_KEY_DELETED, ERROR_KEY_DELETED},
    {STATUS_DEVICE_CONFIGURATION_ERROR, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
    {STATUS_DEVICE_PROTOCOL_ERROR, ERROR_IO_DEVICE},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
};

struct Message {
    DWORD error;
    const char* text;
};

// The system's texts, as Windows words them in English, for every error this
// platform reports and the neighbours a caller is likely to meet.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_ACCESS, "The access code is invalid."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_CRC, "Data error (cyclic redundancy check)."},
    {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_INVALID_LEVEL, "The system call level is not correct."},
    {ERROR_NEGATIVE_SEEK, "An attempt was made to move the file pointer before the beginning of the file."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
    {kErrorCantWait, "Used to indicate that an operation cannot continue without blocking for I/O."},
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_REGISTRY_CORRUPT,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
     "the system's memory image of the file is corrupted, or the file could not be recovered because the "
     "alternate copy or log was absent or corrupted."},
    {ERROR_REGISTRY_IO_FAILED,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write "
     "out, or flush, one of the files that contain the system's image of the registry."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client."},
    {kErrorInternalError, "An internal error occurred."},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_DEVICE_REMOVED, "The device has been removed."},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation."},
    {ERROR_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
};

const char* MessageText(DWORD error) {
    const auto* it = std::find_if(std::begin(kMessages), std::end(kMessages),
                                  [error](const Message& m) { return m.error == error; });
    return it != std::end(kMessages) ? it->text : nullptr;
}

}  // namespace

extern "C" {

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD /*dwLanguageId*/,
                            LPSTR lpBuffer, DWORD nSize, va_list* /*Arguments*/) {
    // None of these texts has inserts, so there is nothing to fill in or to
    // ignore; messages of other sources are not kept here.
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
        (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) != 0 || lpBuffer == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const char* text = MessageText(dwMessageId);
    if (text == nullptr) {
        last_error = kErrorMrMidNotFound;
        return 0;
    }
    // Every message ends with its line end, unless the caller asked for none.
    const bool lineEnd = (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const size_t length = std::strlen(text) + (lineEnd ? 2 : 0);
    char* out = lpBuffer;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        out = static_cast<char*>(std::malloc(std::max<size_t>(length + 1, nSize)));
        if (out == nullptr) {
            last_error = ERROR_NOT_ENOUGH_MEMORY;
            return 0;
        }
        *reinterpret_cast<LPSTR*>(lpBuffer) = out;
    } else if (nSize < length + 1) {
        last_error = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(out, text, std::strlen(text));
    if (lineEnd) std::memcpy(out + std::strlen(text), "\r\n", 2);
    out[length] = '\0';
    return static_cast<DWORD>(length);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

DWORD WINAPI GetLastError(void) { return last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status) {
    const auto* it = std::find_if(std::begin(kMappings), std::end(kMappings),
                                  [Status](const Mapping& m) { return m.status == Status; });
    if (it != std::end(kMappings)) return it->error;
    // Wait results and other successes carry no error.
    return NT_SUCCESS(Status) ? ERROR_SUCCESS : kErrorMrMidNotFound;
}

}  // extern "C"

namespace um {

BOOL FailWithError(DWORD error) noexcept {
    last_error = error;
    return FALSE;
}

BOOL FailWithStatus(NTSTATUS status) noexcept { return FailWithError(RtlNtStatusToDosError(status)); }

}  // namespace um
