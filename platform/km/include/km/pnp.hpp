// The loader and the PnP manager: what the machine uses to load kernel
// drivers and to hand them the PCI functions of its boards.
//
// Drivers are modules (shared objects) exporting `DriverEntry`, loaded like
// .sys images. A device node stands for one PCI function; adding it runs the
// driver's device add and then starts it in Windows' order:
//   EvtDriverDeviceAdd -> EvtDevicePrepareHardware -> EvtDeviceD0Entry ->
//   EvtInterruptEnable -> EvtDeviceD0EntryPostInterruptsEnabled ->
//   EvtDeviceSelfManagedIoInit, then its interfaces are enabled.
// Removing or disabling it ends every handle open on it (pending requests
// cancelled, the driver's file cleanup and close run), then
//   EvtDeviceSelfManagedIoSuspend -> EvtDeviceD0ExitPreInterruptsDisabled ->
//   EvtInterruptDisable -> EvtDeviceD0Exit(D3Final) ->
//   EvtDeviceReleaseHardware -> EvtDeviceSelfManagedIoCleanup ->
//   the device object's cleanup (children first).
// Enabling a disabled node runs a new device add and start.
#pragma once

#include <ntdef.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// <wdf.h>'s handle type, so that callers need not include the framework.
typedef struct WDFDRIVER__ *WDFDRIVER;

namespace hw {
class PciFunction;
class BusSpace;
}  // namespace hw

namespace km {

class DriverImage;
class DeviceNode;

// Loads `module`, runs its DriverEntry with a driver object and the registry
// path \Registry\Machine\SYSTEM\CurrentControlSet\Services\<service>.
// On failure the module is unloaded again and the status returned.
NTSTATUS LoadDriver(const std::filesystem::path& module, std::string_view service,
                    std::shared_ptr<DriverImage>* image);

// Removes the driver's devices, runs EvtDriverUnload and the driver object's
// cleanup, and unloads the module. Nodes of the driver stay known, stopped.
void UnloadDriver(const std::shared_ptr<DriverImage>& image);

std::string DriverService(const DriverImage& image);

// The framework driver object the image's DriverEntry created, as a kernel
// debugger finds it behind the driver object: a way for a test to look at
// the driver's own context (WdfObjectGetTypedContext matches context types
// by name across images). Null when the image has none (no WdfDriverCreate,
// or unloaded). Not to be called while the image loads or unloads.
WDFDRIVER DriverObject(const DriverImage& image);

struct PciDeviceConfig {
    // Device instance path, e.g. "PCI\VEN_F10E&DEV_0001&SUBSYS_00000000&REV_00\4&1A2B3C&0&0008".
    // The hardware key is Enum\<instanceId>\Device Parameters in the hive.
    std::string instanceId;
    hw::PciFunction* function = nullptr;  // configuration space, BAR0, line interrupt
    hw::BusSpace* bus = nullptr;          // where common buffers are mapped
};

enum class DeviceState {
    Added,    // known, not started (disabled, or its driver unloaded)
    Started,  // running, interfaces enabled
    Suspended,  // out of D0 (sleeping); handles stay open, requests wait
    Failed,   // device add or start failed; removed again
    Removed,  // gone for good
};

// Adds a node for the function and starts it with `driver`. The node is
// returned even when the driver fails it (state Failed, status returned).
NTSTATUS AddPciDevice(const std::shared_ptr<DriverImage>& driver, const PciDeviceConfig& config,
                      std::shared_ptr<DeviceNode>* node);

// Class-installer disable and enable (DICS_DISABLE / DICS_ENABLE).
NTSTATUS DisableDevice(const std::shared_ptr<DeviceNode>& node);
NTSTATUS EnableDevice(const std::shared_ptr<DeviceNode>& node);

// Power transitions without removal, as a system sleep does:
//   suspend: EvtDeviceSelfManagedIoSuspend -> EvtDeviceD0ExitPreInterruptsDisabled
//            -> EvtInterruptDisable -> EvtDeviceD0Exit(D3)
//   resume:  EvtDeviceD0Entry(D3) -> EvtInterruptEnable ->
//            EvtDeviceD0EntryPostInterruptsEnabled -> EvtDeviceSelfManagedIoRestart
// Power-managed queues hold new requests while the device sleeps.
NTSTATUS SuspendDevice(const std::shared_ptr<DeviceNode>& node);
NTSTATUS ResumeDevice(const std::shared_ptr<DeviceNode>& node);

// Stops the device if started and forgets the node and its interfaces.
void RemoveDevice(const std::shared_ptr<DeviceNode>& node);

DeviceState GetDeviceState(const DeviceNode& node);
std::string GetInstanceId(const DeviceNode& node);
std::shared_ptr<DeviceNode> FindDevice(std::string_view instanceId);
std::vector<std::shared_ptr<DeviceNode>> Devices();

// Device interfaces as SetupAPI sees them. The symbolic link is the Windows
// device path: "\\?\" + the instance path in lower case with '\' turned into
// '#', then "#{class guid}" (and "\reference" when one was given).
struct DeviceInterface {
    GUID classGuid{};
    std::string symbolicLink;
    std::string instanceId;
    bool enabled = false;  // only enabled interfaces can be opened
};
std::vector<DeviceInterface> GetDeviceInterfaces(const GUID& classGuid);

// "{ccc1ec52-8c28-41f5-9748-5695dcbda22a}" form (lower case, with braces).
std::string GuidToString(const GUID& guid);

}  // namespace km
