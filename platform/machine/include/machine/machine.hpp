// A running machine: the hardware of a description, the hive, the loaded
// kernel drivers and the device nodes of the PCI functions.
//
// Boot order: hardware built from the description, the hive opened (set up
// with the driver installed when it is fresh), every PCI function
// enumerated (bus master and memory decode enabled, its device instance key
// found or created), the drivers its instances name loaded (DriverEntry),
// and each function started with its driver through PnP. Shutdown is the
// reverse: devices removed (handles ended), drivers unloaded
// (DriverUnload), the hardware stopped.
//
// Every program of the system boots its own machine at its first device
// access through EnsureBooted(), and the machine goes down in order at
// process exit.
#pragma once

#include <ntdef.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hw/machine.hpp"
#include "machine/description.hpp"

namespace km {
class DriverImage;
class DeviceNode;
}  // namespace km

namespace machine {

struct BootOptions {
    // The description file; empty: FL_MACHINE, else the built-in default.
    std::filesystem::path description;
    // Where the image of a service whose ImagePath is a Windows path
    // (\SystemRoot\System32\drivers\x.sys) is looked for, by file name;
    // empty: FL_DRIVER_DIR, else the folder of this library (the build's or
    // the installation's lib folder, where the driver module is built).
    // An ImagePath that is an absolute Linux path is used as it is.
    std::filesystem::path driverDirectory;
};

// One PCI function of the machine as PnP sees it.
struct Device {
    hw::Port* port = nullptr;
    std::string instanceId;
    std::string service;                    // "" when the instance names none
    std::shared_ptr<km::DeviceNode> node;   // null when it has no loaded driver
    NTSTATUS status = STATUS_SUCCESS;       // the driver's start status
};

struct LoadedDriver {
    std::string service;
    std::filesystem::path image;
    std::shared_ptr<km::DriverImage> driver;
};

class RunningMachine {
public:
    // Boots a machine. On failure nothing stays running and `error` (may be
    // null) says why: a bad description names its file and key, an
    // unusable hive its file. One machine runs in a process at a time (the
    // PnP manager and the loader are the process's): STATUS_DEVICE_BUSY
    // while another is up.
    static NTSTATUS Boot(const BootOptions& options, std::unique_ptr<RunningMachine>* machine,
                         std::string* error);

    ~RunningMachine();  // Shutdown()
    RunningMachine(const RunningMachine&) = delete;
    RunningMachine& operator=(const RunningMachine&) = delete;

    // Removes the devices (last added first), unloads the drivers (last
    // loaded first), stops the hardware. Idempotent.
    void Shutdown();

    hw::Machine& Hardware();
    const Description& GetDescription() const;
    const std::vector<Device>& Devices() const;
    const std::vector<LoadedDriver>& Drivers() const;

private:
    RunningMachine();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process's machine, booted with the options of the environment at
// the first call; later calls return the first one's status at once.
// Thread-safe. A successful boot is shut down at process exit.
NTSTATUS EnsureBooted();
// The process's machine, or null when it is not booted. Valid until
// ShutdownMachine (or process exit).
RunningMachine* CurrentMachine();
// Why the process's boot failed ("" when it did not).
std::string BootError();
// Shuts the process's machine down now; the next EnsureBooted boots anew.
void ShutdownMachine();

// Maps a service's ImagePath to the module file (see BootOptions).
std::filesystem::path ResolveImagePath(std::string_view imagePath, const std::filesystem::path& driverDirectory);
// The folder of libfl_machine.so.
std::filesystem::path LibraryDirectory();

}  // namespace machine
