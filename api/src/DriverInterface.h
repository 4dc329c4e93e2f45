// What the library needs of the driver: its interface class, control codes
// and records (driver/public.h), and the handles the library keeps while it
// talks to a port device or its registry key.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include "../../driver/public.h"

#include <utility>

namespace FlApi {

// A kernel object handle closed with its owner.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~UniqueHandle()
    {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    HANDLE Get() const noexcept { return handle_; }
    bool IsValid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// An open registry key closed with its owner.
class UniqueKey {
public:
    UniqueKey() noexcept = default;
    explicit UniqueKey(HKEY key) noexcept : key_(key) {}
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;
    ~UniqueKey()
    {
        if (IsValid()) {
            RegCloseKey(key_);
        }
    }
    HKEY Get() const noexcept { return key_; }
    bool IsValid() const noexcept
    {
        return key_ != nullptr && key_ != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    void Reset(HKEY key) noexcept
    {
        if (IsValid()) {
            RegCloseKey(key_);
        }
        key_ = key;
    }

private:
    HKEY key_ = nullptr;
};

// A port device opened for one conversation: no sharing, synchronous
// requests (no FILE_FLAG_OVERLAPPED), as every caller of the port's settings
// talks to it.
inline UniqueHandle OpenPortDevice(const char* name, DWORD access) noexcept
{
    return UniqueHandle(CreateFileA(name, access, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

// One synchronous control request: true when it succeeded, with the byte
// count it returned.
inline bool PortControl(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out,
                        DWORD outSize, DWORD* returned = nullptr) noexcept
{
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize,
                                    &bytes, nullptr);
    if (returned != nullptr) {
        *returned = bytes;
    }
    return ok != FALSE;
}

} // namespace FlApi
