// Booting and shutting down a machine.
#include "machine/machine.hpp"

#include <dlfcn.h>
#include <ntddk.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "km/debug.hpp"
#include "km/pnp.hpp"
#include "machine/install.hpp"
#include "nt/hive.h"
#include "nt/unicode.h"

namespace machine {

struct RunningMachine::Impl {
    Description description;
    std::unique_ptr<hw::Machine> hardware;
    std::shared_ptr<nt::Hive> hive;
    std::vector<LoadedDriver> drivers;
    std::vector<Device> devices;
    bool down = false;
};

namespace {

constexpr std::uint64_t kLoggedTraces = 200;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// false with `why` ("file: board[b].port[p].key: reason") when a wire to
// the world outside cannot be made.
bool BuildHardware(const Description& description, std::unique_ptr<hw::Machine>* hardware, std::string* why) {
    hw::MachineOptions options;
    options.clock = description.clock;
    options.autonegotiationDelay = description.autonegotiationDelay;
    // What the model does not implement is worth a line in the debugger log:
    // a driver writing an unknown register is usually a driver bug.
    // A driver polling such a register would flood the log, so only the
    // first ones are written; the model keeps counting (TraceCount).
    auto traced = std::make_shared<std::atomic<std::uint64_t>>(0);
    options.traceSink = [traced](const std::string& text) {
        const std::uint64_t n = traced->fetch_add(1, std::memory_order_relaxed);
        if (n < kLoggedTraces) DbgPrint("hw: %s\n", text.c_str());
        if (n == kLoggedTraces) DbgPrint("hw: further accesses of this kind are not logged\n");
    };
    *hardware = std::make_unique<hw::Machine>(options);
    hw::Machine& machine = **hardware;
    for (const BoardDescription& board : description.boards) machine.AddBoard(board.options);
    for (std::size_t b = 0; b < description.boards.size(); ++b) {
        for (std::uint32_t p = 0; p < 2; ++p) {
            const PortWire& wire = description.boards[b].ports[p];
            hw::Port& port = machine.GetBoard(b).GetPort(p);
            switch (wire.kind) {
            case WireKind::None:
                break;
            case WireKind::Generator:
                machine.AttachGenerator(port, wire.generator);
                break;
            case WireKind::Cable:
                // Each cable once, from its lower end.
                if (b * 2 + p < std::size_t{wire.peerBoard} * 2 + wire.peerPort) {
                    machine.Connect(port, machine.GetBoard(wire.peerBoard).GetPort(wire.peerPort));
                }
                break;
            case WireKind::Interface:
            case WireKind::CaptureFile: {
                std::string reason;
                const bool interface = wire.kind == WireKind::Interface;
                const bool made = interface ? machine.AttachInterface(port, wire.interface, &reason)
                                            : machine.AttachCaptureFile(port, wire.capture, &reason);
                if (!made) {
                    *why = description.source + ": board[" + std::to_string(b) + "].port[" + std::to_string(p) +
                           "]." + (interface ? "interface" : "file") + ": " + reason;
                    return false;
                }
                break;
            }
            }
        }
    }
    return true;
}

// One machine per process at a time: the PnP manager, the loader and the
// debugger log are the process's, not a machine's.
std::mutex g_runningLock;
bool g_running = false;  // guarded by g_runningLock

bool ClaimProcess() {
    std::lock_guard guard(g_runningLock);
    if (g_running) return false;
    g_running = true;
    return true;
}

void ReleaseProcess() {
    std::lock_guard guard(g_runningLock);
    g_running = false;
}

std::string MacText(const hw::MacAddress& mac) {
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

// Two boards answering with one address (a described one and one the model
// derived, say) would look like one board to everything that groups ports
// by address.
bool BoardAddressesDistinct(const Description& description, hw::Machine& hardware, std::string* why) {
    for (std::size_t i = 0; i < hardware.BoardCount(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            hw::MacAddress a = hardware.GetBoard(i).GetPort(0).Mac();
            hw::MacAddress b = hardware.GetBoard(j).GetPort(0).Mac();
            a[5] &= 0xFE;
            b[5] &= 0xFE;
            if (a == b) {
                *why = description.source + ": board[" + std::to_string(i) + "].mac: " + MacText(a) +
                       " is also board[" + std::to_string(j) + "]'s";
                return false;
            }
        }
    }
    return true;
}

// Installed kernel drivers that may start, in name order.
std::vector<std::pair<std::string, std::string>> InstalledDrivers(nt::Hive& hive) {
    std::vector<std::pair<std::string, std::string>> found;
    nt::Ref<nt::RegistryKey> services;
    if (!NT_SUCCESS(hive.OpenKey(kServicesKey, &services))) return found;
    std::string name;
    for (ULONG i = 0; NT_SUCCESS(services->EnumerateSubkey(i, &name)); ++i) {
        std::string image;
        if (ServiceInstalled(hive, name, &image)) found.emplace_back(name, image);
    }
    return found;
}

}  // namespace

std::filesystem::path LibraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&LibraryDirectory), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::error_code ec;
    std::filesystem::path file = std::filesystem::canonical(info.dli_fname, ec);
    if (ec) file = info.dli_fname;
    return file.parent_path();
}

std::filesystem::path ResolveImagePath(std::string_view imagePath, const std::filesystem::path& driverDirectory) {
    if (!imagePath.empty() && imagePath.front() == '/') return std::filesystem::path(imagePath);
    // \SystemRoot\System32\drivers\fl.sys, System32\drivers\fl.sys, ...:
    // the file name is what identifies the image.
    const std::size_t slash = imagePath.find_last_of("\\/");
    const std::string_view name = slash == std::string_view::npos ? imagePath : imagePath.substr(slash + 1);
    return driverDirectory / std::filesystem::path(name);
}

RunningMachine::RunningMachine() : impl_(std::make_unique<Impl>()) {}

RunningMachine::~RunningMachine() { Shutdown(); }

NTSTATUS RunningMachine::Boot(const BootOptions& options, std::unique_ptr<RunningMachine>* result,
                              std::string* error) {
    if (result == nullptr) return STATUS_INVALID_PARAMETER;
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    why.clear();
    if (!ClaimProcess()) {
        why = "a machine is already running in this process";
        return STATUS_DEVICE_BUSY;
    }
    std::unique_ptr<RunningMachine> machine(new RunningMachine);
    Impl& m = *machine->impl_;
    // From here on a failure releases the claim through the destructor.

    // The description.
    std::filesystem::path file = options.description;
    if (file.empty()) file = Env("FL_MACHINE");
    if (file.empty()) {
        m.description = DefaultDescription();
    } else if (!LoadDescription(file, &m.description, &why)) {
        return STATUS_INVALID_PARAMETER;
    }

    // The hive, and with it the machine's debugger log beside it.
    std::string reason;
    NTSTATUS status = nt::Hive::Machine(&m.hive, &reason);
    if (!NT_SUCCESS(status)) {
        why = nt::Hive::MachinePath().string() + ": the registry hive cannot be opened" +
              (reason.empty() ? "" : ": " + reason);
        return status;
    }
    km::SetDebuggerLogPath(m.hive->File().parent_path() / "debugger.log");
    if (HiveIsFresh(*m.hive)) {
        if (m.hive->ReadOnly()) {
            why = m.hive->File().string() +
                  ": the registry hive is read-only and the driver was never installed in it";
            return STATUS_ACCESS_DENIED;
        }
        status = InstallDriverService(*m.hive);
        if (!NT_SUCCESS(status)) {
            why = m.hive->File().string() + ": the driver cannot be installed in the registry hive";
            return status;
        }
    }

    if (!BuildHardware(m.description, &m.hardware, &why)) return STATUS_INVALID_PARAMETER;
    if (!BoardAddressesDistinct(m.description, *m.hardware, &why)) return STATUS_INVALID_PARAMETER;

    // The installed kernel drivers.
    std::filesystem::path driverDirectory = options.driverDirectory;
    if (driverDirectory.empty()) driverDirectory = Env("FL_DRIVER_DIR");
    if (driverDirectory.empty()) driverDirectory = LibraryDirectory();
    for (const auto& [service, imagePath] : InstalledDrivers(*m.hive)) {
        const std::filesystem::path image = ResolveImagePath(imagePath, driverDirectory);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(image, ec)) {
            DbgPrint("machine: service %s: driver image %s not found; its devices stay without a driver\n",
                     service.c_str(), image.c_str());
            continue;
        }
        std::shared_ptr<km::DriverImage> driver;
        status = km::LoadDriver(image, service, &driver);
        if (!NT_SUCCESS(status)) {
            DbgPrint("machine: service %s: driver %s failed to load (0x%08X); its devices stay without a driver\n",
                     service.c_str(), image.c_str(), static_cast<unsigned>(status));
            continue;
        }
        m.drivers.push_back({service, image, std::move(driver)});
    }

    // The PCI functions: what the bus driver does before a function driver
    // sees them (memory decode and bus mastering on), then the match through
    // the device instance key, then the start.
    for (hw::Port* port : m.hardware->Ports()) {
        Device device;
        device.port = port;
        port->ConfigWrite16(0x04, static_cast<std::uint16_t>(port->ConfigRead16(0x04) | 0x0006));
        const PciIdentity identity = ReadPciIdentity(*port);
        device.instanceId = InstanceId(identity);
        status = EnsureDeviceInstance(*m.hive, identity, &device.service);
        if (!NT_SUCCESS(status)) {
            DbgPrint("machine: %s: device instance key not written (0x%08X)\n", device.instanceId.c_str(),
                     static_cast<unsigned>(status));
        }
        m.devices.push_back(std::move(device));
    }
    std::size_t refused = 0;
    NTSTATUS refusal = STATUS_SUCCESS;
    for (Device& device : m.devices) {
        auto driver = std::find_if(m.drivers.begin(), m.drivers.end(), [&](const LoadedDriver& d) {
            return !device.service.empty() && nt::EqualNames(d.service, device.service);
        });
        if (driver == m.drivers.end()) {
            DbgPrint("machine: %s: no driver%s%s\n", device.instanceId.c_str(),
                     device.service.empty() ? " installed" : " loaded for service ",
                     device.service.c_str());
            continue;
        }
        km::PciDeviceConfig config;
        config.instanceId = device.instanceId;
        config.function = device.port;
        config.bus = &m.hardware->Bus();
        device.status = km::AddPciDevice(driver->driver, config, &device.node);
        if (!NT_SUCCESS(device.status)) {
            DbgPrint("machine: %s: driver %s did not start the device (0x%08X)\n", device.instanceId.c_str(),
                     driver->service.c_str(), static_cast<unsigned>(device.status));
            if (refused++ == 0) refusal = device.status;
        }
    }
    // A port without its driver is invisible to every program: one line
    // where the user looks, the details in the debugger log.
    if (refused != 0) {
        std::fprintf(stderr,
                     "machine: %zu of %zu ports were not started by their driver (first refusal 0x%08X); "
                     "details in %s\n",
                     refused, m.devices.size(), static_cast<unsigned>(refusal), km::DebuggerLogPath().c_str());
    }
    *result = std::move(machine);
    return STATUS_SUCCESS;
}

namespace {

// FL_MODEL_REPORT=<file> (or "-" for standard error): at shutdown, each
// port's wire-side counters, so a benchmark can say where frames went
// (offered by the wire, missed by the controller, delivered to memory).
void ReportModel(hw::Machine& hardware) {
    const std::string where = Env("FL_MODEL_REPORT");
    if (where.empty()) return;
    std::FILE* out = where == "-" ? stderr : std::fopen(where.c_str(), "a");
    if (out == nullptr) return;
    for (hw::Port* port : hardware.Ports()) {
        const hw::PortCounters c = port->Counters();
        std::fprintf(out,
                     "model port %u.%u: wire_sent %llu offered %llu ignored %llu missed %llu delivered %llu "
                     "queued %llu dma_faults %llu transmitted %llu miss_bursts %llu longest_tail_wait_us %llu "
                     "generator_slip_us %llu\n",
                     port->GetBoard().Index(), port->Index(),
                     static_cast<unsigned long long>(hardware.GeneratorSent(*port)),
                     static_cast<unsigned long long>(c.offered), static_cast<unsigned long long>(c.ignored),
                     static_cast<unsigned long long>(c.missed), static_cast<unsigned long long>(c.delivered),
                     static_cast<unsigned long long>(c.queued), static_cast<unsigned long long>(c.dmaFaults),
                     static_cast<unsigned long long>(c.transmitted),
                     static_cast<unsigned long long>(c.missBursts),
                     static_cast<unsigned long long>(c.longestTailWait / 1000),
                     static_cast<unsigned long long>(hardware.GeneratorSlipped(*port).count() / 1000));
    }
    if (out != stderr) std::fclose(out);
}

}  // namespace

void RunningMachine::Shutdown() {
    Impl& m = *impl_;
    if (m.down) return;
    m.down = true;
    if (m.hardware) ReportModel(*m.hardware);
    for (auto device = m.devices.rbegin(); device != m.devices.rend(); ++device) {
        if (device->node) km::RemoveDevice(device->node);
        device->node.reset();
    }
    for (auto driver = m.drivers.rbegin(); driver != m.drivers.rend(); ++driver) {
        km::UnloadDriver(driver->driver);
        driver->driver.reset();
    }
    m.drivers.clear();
    // The model's thread stops with the hardware; nothing of a driver can
    // reach it any more.
    m.hardware.reset();
    m.devices.clear();
    // The hive file alone then holds every setting, for whoever copies it;
    // the log stays for the programs still running.
    if (m.hive) m.hive->Checkpoint();
    m.hive.reset();
    ReleaseProcess();
}

hw::Machine& RunningMachine::Hardware() { return *impl_->hardware; }
const Description& RunningMachine::GetDescription() const { return impl_->description; }
const std::vector<Device>& RunningMachine::Devices() const { return impl_->devices; }
const std::vector<LoadedDriver>& RunningMachine::Drivers() const { return impl_->drivers; }

// ---- The process's machine ----

namespace {

struct ProcessMachine {
    std::mutex lock;
    std::unique_ptr<RunningMachine> machine;
    bool failed = false;
    NTSTATUS status = STATUS_SUCCESS;
    std::string error;
    bool exitHandlerSet = false;
};

// Never destroyed: the exit handler and late callers still find it after
// static destructors have run.
ProcessMachine& Process() {
    static ProcessMachine* process = new ProcessMachine;
    return *process;
}

void ShutdownAtExit() { ShutdownMachine(); }

}  // namespace

NTSTATUS EnsureBooted() {
    ProcessMachine& p = Process();
    std::lock_guard guard(p.lock);
    if (p.machine) return STATUS_SUCCESS;
    if (p.failed) return p.status;
    p.status = RunningMachine::Boot(BootOptions{}, &p.machine, &p.error);
    if (!NT_SUCCESS(p.status)) {
        p.failed = true;
        std::fprintf(stderr, "machine not booted: %s\n", p.error.c_str());
        DbgPrint("machine: not booted: %s\n", p.error.c_str());
        return p.status;
    }
    // Registered after the boot, so that it runs before the destructors of
    // whatever the platform created during it (handlers run in reverse order
    // of registration, static destructors included).
    if (!p.exitHandlerSet) {
        p.exitHandlerSet = true;
        std::atexit(ShutdownAtExit);
    }
    return STATUS_SUCCESS;
}

RunningMachine* CurrentMachine() {
    ProcessMachine& p = Process();
    std::lock_guard guard(p.lock);
    return p.machine.get();
}

std::string BootError() {
    ProcessMachine& p = Process();
    std::lock_guard guard(p.lock);
    return p.failed ? p.error : std::string();
}

void ShutdownMachine() {
    ProcessMachine& p = Process();
    std::lock_guard guard(p.lock);
    if (p.machine) p.machine->Shutdown();
    p.machine.reset();
    p.failed = false;
    p.status = STATUS_SUCCESS;
    p.error.clear();
}

}  // namespace machine
