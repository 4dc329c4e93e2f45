// Device nodes, driver images and the bits of the PnP manager that the rest
// of the framework reaches.
#pragma once

#include <km/pnp.hpp>

#include "framework.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace km {

class ResourceList final : public Object {
public:
    ResourceList() noexcept : Object(ObjectKind::Generic) {}
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
};

class DriverImage {
public:
    void* module = nullptr;
    const void* base = nullptr;  // load address, to tell images apart
    DRIVER_OBJECT wdm{};
    std::string service;
    std::u16string registryPath;  // kernel form, with terminator
    std::string registryPathUtf8;
    std::shared_ptr<Driver> driver;  // created by WdfDriverCreate
};

class DeviceNode {
public:
    std::string instanceId;
    hw::PciFunction* function = nullptr;
    hw::BusSpace* bus = nullptr;
    std::weak_ptr<DriverImage> image;
    DEVICE_OBJECT pdo{};  // the bus's physical device object

    std::mutex transition;  // one PnP operation at a time
    std::atomic<DeviceState> state{DeviceState::Added};

    // Opens hold the gate shared; a stop takes it exclusively to close the
    // door before it ends the open handles.
    std::shared_mutex gate;
    bool ioReady = false;             // guarded by gate
    std::shared_ptr<Device> device;   // guarded by gate (written under transition too)

    // Guarded by transition.
    std::shared_ptr<ResourceList> raw, translated;
    bool hardwarePrepared = false;
    bool selfManagedIoStarted = false;  // init ran: cleanup is due at removal
    bool selfManagedIoRunning = false;  // init or restart ran, suspend not yet
};

// An open of a device by its interface path: the device, kept from
// stopping until the open finished.
struct OpenGate {
    std::shared_ptr<DeviceNode> node;
    std::shared_lock<std::shared_mutex> hold;
    std::shared_ptr<Device> device;
};
OpenGate OpenDeviceByInterface(std::string_view path, NTSTATUS* status);

// WdfDeviceCreateDeviceInterface: records (disabled) the interface of the
// node; it is enabled when the device has started.
NTSTATUS RegisterInterface(DeviceNode& node, const GUID& classGuid, std::string_view reference);

// Memory apertures of PCI functions (BAR0), for MmMapIoSpace.
void RegisterAperture(hw::PciFunction* function);
void UnregisterAperture(hw::PciFunction* function);

// Interrupt objects of a device, connected while the device is in D0.
NTSTATUS ConnectInterrupts(Device& device);
void DisconnectInterrupts(Device& device);

// The image whose code lives at `address` (null: the only image loaded).
std::shared_ptr<DriverImage> ImageOfAddress(const void* address);

}  // namespace km
