// The machine of this process (embedded), and the choice each process makes
// once between it and a host process's machine.
#include <windows.h>
#include <setupapi.h>
#include <winternl.h>

#include <um/device_backend.h>

#include <host/protocol.hpp>
#include <km/pnp.hpp>
#include <machine/machine.hpp>

#include <cstdio>
#include <map>
#include <mutex>

namespace um::dev {

namespace {

class EmbeddedFile final : public BackendFile {
public:
    explicit EmbeddedFile(km::io::FileHandle file) : file_(std::move(file)) {}
    void Cleanup() noexcept override { km::io::Cleanup(file_); }
    void Close() noexcept override { km::io::Close(file_); }
    NTSTATUS Read(void* buffer, ULONG length, km::io::Completion done) noexcept override {
        return km::io::Read(file_, buffer, length, std::move(done));
    }
    NTSTATUS Write(const void* buffer, ULONG length, km::io::Completion done) noexcept override {
        return km::io::Write(file_, buffer, length, std::move(done));
    }
    NTSTATUS DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                           km::io::Completion done) noexcept override {
        return km::io::DeviceControl(file_, code, input, inputLength, output, outputLength, std::move(done));
    }
    void Cancel() noexcept override { km::io::Cancel(file_); }

private:
    const km::io::FileHandle file_;
};

// A device runs while it is disabled in no scope, as Windows keeps a global
// and a hardware-profile disable flag apart. The flags live as long as the
// machine's process (the machine boots with every device enabled).
constexpr unsigned kDisabledGlobally = 1;
constexpr unsigned kDisabledInProfile = 2;

struct DisableFlags {
    std::mutex lock;  // also serialises the PnP transitions it decides
    std::map<std::string, unsigned, std::less<>> flags;
};

DisableFlags& Disabled() {
    static DisableFlags* flags = new DisableFlags;  // outlives the exit-time shutdown
    return *flags;
}

unsigned ScopeFlag(DWORD scope) { return scope == DICS_FLAG_CONFIGSPECIFIC ? kDisabledInProfile : kDisabledGlobally; }

class Embedded final : public Backend {
public:
    NTSTATUS Open(const std::string& link, std::shared_ptr<BackendFile>* file) noexcept override {
        try {
            km::io::FileHandle io;
            const NTSTATUS status = km::io::Open(link, &io);
            if (!NT_SUCCESS(status)) return status;
            *file = std::make_shared<EmbeddedFile>(std::move(io));
            return STATUS_SUCCESS;
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    NTSTATUS Interfaces(const GUID& classGuid, std::vector<InterfaceInfo>* found) noexcept override {
        try {
            found->clear();
            for (const km::DeviceInterface& i : km::GetDeviceInterfaces(classGuid)) {
                found->push_back({i.classGuid, i.symbolicLink, i.instanceId, i.enabled});
            }
            return STATUS_SUCCESS;
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    DWORD ChangeProperty(const std::string& instanceId, DWORD stateChange, DWORD scope) noexcept override {
        try {
            std::shared_ptr<km::DeviceNode> node = km::FindDevice(instanceId);
            if (!node) return ERROR_NO_SUCH_DEVINST;

            DisableFlags& disabled = Disabled();
            std::lock_guard guard(disabled.lock);
            unsigned& flags = disabled.flags[instanceId];
            NTSTATUS status = STATUS_SUCCESS;
            switch (stateChange) {
            case DICS_DISABLE:
            case DICS_STOP:
                flags |= stateChange == DICS_STOP ? kDisabledInProfile : ScopeFlag(scope);
                status = km::DisableDevice(node);
                break;
            case DICS_ENABLE:
            case DICS_START:
                flags &= ~(stateChange == DICS_START ? kDisabledInProfile : ScopeFlag(scope));
                if (flags == 0) status = km::EnableDevice(node);
                break;
            case DICS_PROPCHANGE:
                // The device picks up changed settings by a restart.
                if (flags == 0) {
                    status = km::DisableDevice(node);
                    if (NT_SUCCESS(status)) status = km::EnableDevice(node);
                }
                break;
            default:
                return ERROR_INVALID_PARAMETER;
            }
            if (status == STATUS_NO_SUCH_DEVICE) return ERROR_NO_SUCH_DEVINST;  // removed meanwhile
            return NT_SUCCESS(status) ? ERROR_SUCCESS : RtlNtStatusToDosError(status);
        } catch (...) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
};

}  // namespace

Backend& EmbeddedBackend(NTSTATUS* status) noexcept {
    static Embedded* embedded = new Embedded;  // outlives the exit-time shutdown
    *status = machine::EnsureBooted();
    return *embedded;
}

Backend* ProcessBackend(NTSTATUS* status) noexcept {
    // Decided once: a process never mixes handles of two machines.
    static Backend* const hosted = []() -> Backend* {
        const std::string socket = host::protocol::SocketPath();
        if (socket.empty()) return nullptr;
        std::string why;
        if (!host::protocol::PrivateFolder(socket, false, &why)) {
            // A folder that is missing is the usual case: no host runs.
            struct stat info {};
            if (::lstat(host::protocol::FolderOf(socket).c_str(), &info) == 0) {
                std::fprintf(stderr, "host socket %s not used: %s\n", socket.c_str(), why.c_str());
            }
            return nullptr;
        }
        return ConnectHost(socket).release();  // lives as long as the process
    }();
    if (hosted != nullptr) {
        *status = STATUS_SUCCESS;
        return hosted;
    }
    Backend& embedded = EmbeddedBackend(status);
    return NT_SUCCESS(*status) ? &embedded : nullptr;
}

}  // namespace um::dev
