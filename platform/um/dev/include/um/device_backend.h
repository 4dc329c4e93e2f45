// What device files and SetupAPI ask of the machine, whichever process runs
// it: the machine of this process (embedded), or the one a host process
// serves (hosted). The device-file code above it (handles, OVERLAPPED,
// events, completion ports) is the same for both.
#pragma once

#include <windows.h>

#include <km/io.hpp>

#include <memory>
#include <string>
#include <vector>

namespace um::dev {

// One file open on a device: the I/O manager's requests on it. Completions
// follow km/io.hpp: exactly once each, on any thread, possibly before the
// call returns (which then returns the final status, else STATUS_PENDING).
class BackendFile {
public:
    virtual ~BackendFile() = default;
    virtual void Cleanup() noexcept = 0;
    virtual void Close() noexcept = 0;
    virtual NTSTATUS Read(void* buffer, ULONG length, km::io::Completion done) noexcept = 0;
    virtual NTSTATUS Write(const void* buffer, ULONG length, km::io::Completion done) noexcept = 0;
    virtual NTSTATUS DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength, km::io::Completion done) noexcept = 0;
    virtual void Cancel() noexcept = 0;
};

struct InterfaceInfo {
    GUID classGuid{};
    std::string symbolicLink;
    std::string instanceId;
    bool enabled = false;
};

class Backend {
public:
    virtual ~Backend() = default;
    // IRP_MJ_CREATE on the device whose interface link (the "\\?\" form) is
    // `link`; the statuses of km::io::Open.
    virtual NTSTATUS Open(const std::string& link, std::shared_ptr<BackendFile>* file) noexcept = 0;
    // The interfaces of one class, enabled or not.
    virtual NTSTATUS Interfaces(const GUID& classGuid, std::vector<InterfaceInfo>* found) noexcept = 0;
    // The class installer's property change (DICS_*) on one device: a Win32
    // error, ERROR_SUCCESS when done.
    virtual DWORD ChangeProperty(const std::string& instanceId, DWORD stateChange, DWORD scope) noexcept = 0;
};

// The machine of this process, booted at the first call: `status` says
// whether it is up.
Backend& EmbeddedBackend(NTSTATUS* status) noexcept;

// The process's backend, chosen once at its first device access: the host
// when its socket (FL_HOST, else the per-user default) answers, else the
// embedded machine (FL_HOST=embedded forces that). Null with `status` set
// when the machine cannot be reached or booted.
Backend* ProcessBackend(NTSTATUS* status) noexcept;

// The hosted side's start: connects to the host at `socket` and greets it.
// Null when nothing answers there.
std::unique_ptr<Backend> ConnectHost(const std::string& socket) noexcept;

}  // namespace um::dev
