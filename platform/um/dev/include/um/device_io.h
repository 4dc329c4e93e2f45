// The seam between file handles and device handles. CreateFileA hands the
// device path forms to CreateDeviceFile; WriteFile hands device handles to
// WriteDeviceFile. Everything else about devices stays in platform/um/dev.
#pragma once

#include <windows.h>

namespace um::dev {

// "\\?\..." and "\\.\..." names that are not file paths ("\\?\Z:\...",
// "\\?\UNC\...") name devices: a device interface's symbolic link.
bool IsDevicePath(const char* name) noexcept;

// Opens the device whose interface path is `path`, booting the machine at
// the first device access of the process. INVALID_HANDLE_VALUE and the last
// error set on failure. The creation disposition means nothing to a device.
HANDLE CreateDeviceFile(const char* path, DWORD access, DWORD flagsAndAttributes) noexcept;

// True when `handle` is a device handle: the write was issued and *result
// holds WriteFile's answer. False for any other handle, untouched.
bool WriteDeviceFile(HANDLE handle, const void* buffer, DWORD length, LPDWORD written,
                     LPOVERLAPPED overlapped, BOOL* result) noexcept;

}  // namespace um::dev
