// Failure paths shared by every Win32 call of this library.
#pragma once

#include <windows.h>
#include <winternl.h>

namespace um {

// Set the calling thread's last error and return FALSE, the usual failure
// of a Win32 call. FailWithStatus maps the status as Windows does.
BOOL FailWithError(DWORD error) noexcept;
BOOL FailWithStatus(NTSTATUS status) noexcept;

}  // namespace um
