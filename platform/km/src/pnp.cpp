// The loader, the PnP manager and the framework's driver and device objects.
#include "pnp_internal.hpp"

#include "fault.hpp"

#include <hw/pci_function.hpp>
#include <nt/unicode.h>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace km {

namespace {

constexpr ULONG kDoBusEnumeratedDevice = 0x00001000;
constexpr NTSTATUS STATUS_INVALID_IMAGE_FORMAT_KM = static_cast<NTSTATUS>(0xC000007B);

struct InterfaceRecord {
    GUID classGuid{};
    std::string reference;
    std::string symbolicLink;
    std::string instanceId;
    std::weak_ptr<DeviceNode> node;
    bool enabled = false;
};

struct Registry {
    std::mutex lock;
    std::vector<std::shared_ptr<DriverImage>> images;
    std::vector<std::shared_ptr<DeviceNode>> nodes;
    std::vector<InterfaceRecord> interfaces;
};

Registry& Pnp() {
    static Registry* registry = new Registry;
    return *registry;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void SetInterfacesEnabled(const DeviceNode& node, bool enabled) {
    Registry& registry = Pnp();
    std::lock_guard guard(registry.lock);
    for (InterfaceRecord& record : registry.interfaces) {
        if (record.node.lock().get() == &node) record.enabled = enabled;
    }
}

std::shared_ptr<ResourceList> MakeResources(const DeviceNode& node) {
    auto list = std::make_shared<ResourceList>();
    CM_PARTIAL_RESOURCE_DESCRIPTOR memory{};
    memory.Type = CmResourceTypeMemory;
    memory.ShareDisposition = CmResourceShareDeviceExclusive;
    memory.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    memory.u.Memory.Start.QuadPart = static_cast<LONGLONG>(node.function->Bar0Physical());
    memory.u.Memory.Length = node.function->Bar0Length();
    list->descriptors.push_back(memory);
    CM_PARTIAL_RESOURCE_DESCRIPTOR line{};
    line.Type = CmResourceTypeInterrupt;
    line.ShareDisposition = CmResourceShareShared;
    line.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    line.u.Interrupt.Level = node.function->InterruptLine();
    line.u.Interrupt.Vector = node.function->InterruptLine();
    line.u.Interrupt.Affinity = KeQueryActiveProcessors();
    list->descriptors.push_back(line);
    if (!NT_SUCCESS(Object::Insert(list, nullptr, nullptr))) return nullptr;
    return list;
}

void DropResources(DeviceNode& node) {
    if (node.raw) Object::Delete(node.raw);
    if (node.translated) Object::Delete(node.translated);
    node.raw.reset();
    node.translated.reset();
}

WDFDEVICE H(const std::shared_ptr<Device>& device) { return static_cast<WDFDEVICE>(device->Handle()); }

// Takes the device out of D0: self-managed I/O suspended, queues held,
// interrupts disabled, D0 exit to `target`. Transition lock held.
void PowerDown(DeviceNode& node, const std::shared_ptr<Device>& device, WDF_POWER_DEVICE_STATE target) {
    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp = device->pnp;
    if (node.selfManagedIoRunning) {
        if (pnp.EvtDeviceSelfManagedIoSuspend) pnp.EvtDeviceSelfManagedIoSuspend(H(device));
        node.selfManagedIoRunning = false;
    }
    if (!device->d0.load(std::memory_order_acquire)) return;
    for (const auto& queue : device->Queues()) queue->SetPowered(false);
    if (pnp.EvtDeviceD0ExitPreInterruptsDisabled) pnp.EvtDeviceD0ExitPreInterruptsDisabled(H(device), target);
    DisconnectInterrupts(*device);
    if (pnp.EvtDeviceD0Exit) pnp.EvtDeviceD0Exit(H(device), target);
    device->d0.store(false, std::memory_order_release);
}

// Brings the device into D0 from `previous` and starts (or restarts) its
// self-managed I/O. Transition lock held.
NTSTATUS PowerUp(DeviceNode& node, const std::shared_ptr<Device>& device, WDF_POWER_DEVICE_STATE previous) {
    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp = device->pnp;
    NTSTATUS status = STATUS_SUCCESS;
    if (pnp.EvtDeviceD0Entry) status = pnp.EvtDeviceD0Entry(H(device), previous);
    if (!NT_SUCCESS(status)) return status;
    device->d0.store(true, std::memory_order_release);
    status = ConnectInterrupts(*device);
    if (NT_SUCCESS(status) && pnp.EvtDeviceD0EntryPostInterruptsEnabled) {
        status = pnp.EvtDeviceD0EntryPostInterruptsEnabled(H(device), previous);
    }
    if (!NT_SUCCESS(status)) return status;
    for (const auto& queue : device->Queues()) queue->SetPowered(true);
    if (!node.selfManagedIoStarted) {
        if (pnp.EvtDeviceSelfManagedIoInit) status = pnp.EvtDeviceSelfManagedIoInit(H(device));
        node.selfManagedIoStarted = true;
    } else if (pnp.EvtDeviceSelfManagedIoRestart) {
        status = pnp.EvtDeviceSelfManagedIoRestart(H(device));
    }
    node.selfManagedIoRunning = NT_SUCCESS(status);
    return status;
}

// Stops a started, suspended or half-started device in Windows' order and
// deletes the framework device. Transition lock held.
void StopNode(DeviceNode& node) {
    std::shared_ptr<Device> device;
    {
        std::unique_lock gate(node.gate);
        node.ioReady = false;
        device = node.device;
    }
    SetInterfacesEnabled(node, false);
    if (!device) return;

    // Removal ends every handle: queued requests are cancelled, then each
    // file gets its cleanup and, once its requests are done, its close.
    for (const auto& queue : device->Queues()) queue->Purge();
    for (const auto& file : device->OpenFiles()) file->End();

    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp = device->pnp;
    PowerDown(node, device, WdfPowerDeviceD3Final);
    if (node.hardwarePrepared && pnp.EvtDeviceReleaseHardware) {
        pnp.EvtDeviceReleaseHardware(H(device), static_cast<WDFCMRESLIST>(node.translated->Handle()));
    }
    node.hardwarePrepared = false;
    if (node.selfManagedIoStarted && pnp.EvtDeviceSelfManagedIoCleanup) pnp.EvtDeviceSelfManagedIoCleanup(H(device));
    node.selfManagedIoStarted = false;

    Object::Delete(device);
    DropResources(node);
    std::unique_lock gate(node.gate);
    node.device.reset();
}

// Adds and starts the device. Transition lock held.
NTSTATUS StartNode(const std::shared_ptr<DeviceNode>& node) {
    std::shared_ptr<DriverImage> image = node->image.lock();
    if (!image || !image->driver) return STATUS_NO_SUCH_DEVICE;
    std::shared_ptr<Driver> driver = image->driver;
    if (!driver->config.EvtDriverDeviceAdd) return STATUS_INVALID_DEVICE_REQUEST;

    WDFDEVICE_INIT init;
    init.node = node.get();
    init.driver = driver;
    NTSTATUS status = driver->config.EvtDriverDeviceAdd(static_cast<WDFDRIVER>(driver->Handle()), &init);
    if (init.created) {
        std::unique_lock gate(node->gate);
        node->device = init.created;
    }
    if (NT_SUCCESS(status) && !init.created) status = STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(status)) {
        StopNode(*node);
        return status;
    }
    std::shared_ptr<Device> device = init.created;
    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp = device->pnp;

    node->raw = MakeResources(*node);
    node->translated = MakeResources(*node);
    if (!node->raw || !node->translated) status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status) && pnp.EvtDevicePrepareHardware) {
        status = pnp.EvtDevicePrepareHardware(H(device), static_cast<WDFCMRESLIST>(node->raw->Handle()),
                                              static_cast<WDFCMRESLIST>(node->translated->Handle()));
    }
    node->hardwarePrepared = NT_SUCCESS(status);
    if (NT_SUCCESS(status)) status = PowerUp(*node, device, WdfPowerDeviceD3Final);
    if (!NT_SUCCESS(status)) {
        StopNode(*node);
        return status;
    }
    {
        std::unique_lock gate(node->gate);
        node->ioReady = true;
    }
    SetInterfacesEnabled(*node, true);
    return STATUS_SUCCESS;
}

}  // namespace

// ------------------------------------------------------------------------
// Device interfaces

std::string GuidToString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

NTSTATUS RegisterInterface(DeviceNode& node, const GUID& classGuid, std::string_view reference) {
    std::string link = "\\\\?\\" + Lower(node.instanceId);
    std::replace(link.begin() + 4, link.end(), '\\', '#');
    link += "#" + GuidToString(classGuid);
    if (!reference.empty()) link += "\\" + std::string(reference);

    Registry& registry = Pnp();
    std::lock_guard guard(registry.lock);
    for (InterfaceRecord& record : registry.interfaces) {
        if (EqualNoCase(record.symbolicLink, link)) return STATUS_SUCCESS;  // again, after a restart
    }
    InterfaceRecord record;
    record.classGuid = classGuid;
    record.reference = reference;
    record.symbolicLink = link;
    record.instanceId = node.instanceId;
    for (const auto& candidate : registry.nodes) {
        if (candidate.get() == &node) record.node = candidate;
    }
    registry.interfaces.push_back(std::move(record));
    return STATUS_SUCCESS;
}

std::vector<DeviceInterface> GetDeviceInterfaces(const GUID& classGuid) {
    std::vector<DeviceInterface> result;
    Registry& registry = Pnp();
    std::lock_guard guard(registry.lock);
    for (const InterfaceRecord& record : registry.interfaces) {
        if (IsEqualGUID(record.classGuid, classGuid)) {
            result.push_back({record.classGuid, record.symbolicLink, record.instanceId, record.enabled});
        }
    }
    return result;
}

OpenGate OpenDeviceByInterface(std::string_view path, NTSTATUS* status) {
    OpenGate gate;
    {
        Registry& registry = Pnp();
        std::lock_guard guard(registry.lock);
        for (const InterfaceRecord& record : registry.interfaces) {
            if (EqualNoCase(record.symbolicLink, path)) gate.node = record.node.lock();
        }
    }
    if (!gate.node) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return gate;
    }
    gate.hold = std::shared_lock(gate.node->gate);
    if (!gate.node->ioReady || !gate.node->device) {
        *status = STATUS_NO_SUCH_DEVICE;
        gate.hold = {};
        return gate;
    }
    gate.device = gate.node->device;
    *status = STATUS_SUCCESS;
    return gate;
}

// ------------------------------------------------------------------------
// Loader

std::shared_ptr<DriverImage> ImageOfAddress(const void* address) {
    Dl_info info{};
    const void* base = nullptr;
    if (address && dladdr(address, &info) != 0) base = info.dli_fbase;
    Registry& registry = Pnp();
    std::lock_guard guard(registry.lock);
    for (const auto& image : registry.images) {
        if (image->base == base) return image;
    }
    return registry.images.size() == 1 ? registry.images.front() : nullptr;
}

NTSTATUS LoadDriver(const std::filesystem::path& module, std::string_view service,
                    std::shared_ptr<DriverImage>* result) {
    *result = nullptr;
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        DbgPrint("*** cannot load %s: %s\n", module.c_str(), dlerror());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(handle);
        return STATUS_INVALID_IMAGE_FORMAT_KM;
    }
    auto image = std::make_shared<DriverImage>();
    image->module = handle;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(entry), &info) != 0) image->base = info.dli_fbase;
    image->service = service;
    image->registryPathUtf8 = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + std::string(service);
    image->registryPath = nt::Utf8ToUtf16(image->registryPathUtf8);
    image->registryPath.push_back(u'\0');
    image->wdm.Type = IO_TYPE_DRIVER;
    image->wdm.Size = sizeof(DRIVER_OBJECT);
    image->wdm.DriverInit = entry;
    image->wdm.DriverStart = const_cast<void*>(image->base);
    image->wdm.Reserved = image.get();
    {
        Registry& registry = Pnp();
        std::lock_guard guard(registry.lock);
        registry.images.push_back(image);
    }
    UNICODE_STRING path{};
    path.Buffer = image->registryPath.data();
    path.Length = static_cast<USHORT>((image->registryPath.size() - 1) * sizeof(WCHAR));
    path.MaximumLength = static_cast<USHORT>(image->registryPath.size() * sizeof(WCHAR));
    NTSTATUS status = entry(&image->wdm, &path);
    if (!NT_SUCCESS(status)) {
        // The framework deletes a driver object whose entry failed; its
        // cleanup callback runs, its unload callback does not.
        if (image->driver) Object::Delete(image->driver);
        image->driver.reset();
        Registry& registry = Pnp();
        {
            std::lock_guard guard(registry.lock);
            std::erase(registry.images, image);
        }
        dlclose(handle);
        return status;
    }
    *result = image;
    return STATUS_SUCCESS;
}

void UnloadDriver(const std::shared_ptr<DriverImage>& image) {
    if (!image) return;
    for (const auto& node : Devices()) {
        if (node->image.lock() != image) continue;
        std::lock_guard transition(node->transition);
        DeviceState state = node->state.load();
        if (state == DeviceState::Started || state == DeviceState::Suspended) StopNode(*node);
        if (node->state.load() != DeviceState::Removed) node->state.store(DeviceState::Added);
    }
    if (std::shared_ptr<Driver> driver = image->driver) {
        if (driver->config.EvtDriverUnload) driver->config.EvtDriverUnload(static_cast<WDFDRIVER>(driver->Handle()));
        Object::Delete(driver);
    }
    image->driver.reset();
    {
        Registry& registry = Pnp();
        std::lock_guard guard(registry.lock);
        std::erase(registry.images, image);
    }
    if (image->module) dlclose(image->module);
    image->module = nullptr;
}

std::string DriverService(const DriverImage& image) { return image.service; }

WDFDRIVER DriverObject(const DriverImage& image) {
    return image.driver ? static_cast<WDFDRIVER>(image.driver->Handle()) : nullptr;
}

// ------------------------------------------------------------------------
// PnP manager

NTSTATUS AddPciDevice(const std::shared_ptr<DriverImage>& driver, const PciDeviceConfig& config,
                      std::shared_ptr<DeviceNode>* result) {
    *result = nullptr;
    if (config.function == nullptr || config.instanceId.empty()) return STATUS_INVALID_PARAMETER;
    if (FindDevice(config.instanceId)) return STATUS_OBJECT_NAME_COLLISION;
    auto node = std::make_shared<DeviceNode>();
    node->instanceId = config.instanceId;
    node->function = config.function;
    node->bus = config.bus;
    node->image = driver;
    node->pdo.Type = IO_TYPE_DEVICE;
    node->pdo.Size = sizeof(DEVICE_OBJECT);
    node->pdo.Flags = kDoBusEnumeratedDevice;
    node->pdo.DeviceType = FILE_DEVICE_UNKNOWN;
    node->pdo.Reserved = node.get();
    {
        Registry& registry = Pnp();
        std::lock_guard guard(registry.lock);
        registry.nodes.push_back(node);
    }
    RegisterAperture(config.function);
    *result = node;
    std::lock_guard transition(node->transition);
    NTSTATUS status = StartNode(node);
    node->state.store(NT_SUCCESS(status) ? DeviceState::Started : DeviceState::Failed);
    return status;
}

NTSTATUS DisableDevice(const std::shared_ptr<DeviceNode>& node) {
    if (!node) return STATUS_INVALID_PARAMETER;
    std::lock_guard transition(node->transition);
    if (node->state.load() == DeviceState::Removed) return STATUS_NO_SUCH_DEVICE;
    StopNode(*node);
    node->state.store(DeviceState::Added);
    return STATUS_SUCCESS;
}

NTSTATUS EnableDevice(const std::shared_ptr<DeviceNode>& node) {
    if (!node) return STATUS_INVALID_PARAMETER;
    std::lock_guard transition(node->transition);
    DeviceState state = node->state.load();
    if (state == DeviceState::Removed) return STATUS_NO_SUCH_DEVICE;
    if (state == DeviceState::Started) return STATUS_SUCCESS;
    NTSTATUS status = StartNode(node);
    node->state.store(NT_SUCCESS(status) ? DeviceState::Started : DeviceState::Failed);
    return status;
}

void RemoveDevice(const std::shared_ptr<DeviceNode>& node) {
    if (!node) return;
    {
        std::lock_guard transition(node->transition);
        if (node->state.load() == DeviceState::Removed) return;
        StopNode(*node);
        node->state.store(DeviceState::Removed);
    }
    UnregisterAperture(node->function);
    Registry& registry = Pnp();
    std::lock_guard guard(registry.lock);
    std::erase_if(registry.interfaces, [&](const InterfaceRecord& r) { return r.instanceId == node->instanceId; });
    std::erase(registry.nodes, node);
}

NTSTATUS SuspendDevice(const std::shared_ptr<DeviceNode>& node) {
    if (!node) return STATUS_INVALID_PARAMETER;
    std::lock_guard transition(node->transition);
    if (node->state.load() != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
    std::shared_ptr<Device> device;
    {
        std::shared_lock gate(node->gate);
        device = node->device;
    }
    PowerDown(*node, device, WdfPowerDeviceD3);
    node->state.store(DeviceState::Suspended);
    return STATUS_SUCCESS;
}

NTSTATUS ResumeDevice(const std::shared_ptr<DeviceNode>& node) {
    if (!node) return STATUS_INVALID_PARAMETER;
    std::lock_guard transition(node->transition);
    if (node->state.load() != DeviceState::Suspended) return STATUS_INVALID_DEVICE_STATE;
    std::shared_ptr<Device> device;
    {
        std::shared_lock gate(node->gate);
        device = node->device;
    }
    NTSTATUS status = PowerUp(*node, device, WdfPowerDeviceD3);
    if (!NT_SUCCESS(status)) {
        // A device that cannot come back is removed, as Windows does.
        StopNode(*node);
        node->state.store(DeviceState::Failed);
        return status;
    }
    node->state.store(DeviceState::Started);
    return STATUS_SUCCESS;
}

DeviceState GetDeviceState(const DeviceNode& node) { return node.state.load(); }
std::string GetInstanceId(const DeviceNode& node) { return node.instanceId; }

std::shared_ptr<DeviceNode> FindDevice(std::string_view instanceId) {
    Registry& registry = Pnp();
    std::lock_guard guard(registry.lock);
    for (const auto& node : registry.nodes) {
        if (EqualNoCase(node->instanceId, instanceId)) return node;
    }
    return nullptr;
}

std::vector<std::shared_ptr<DeviceNode>> Devices() {
    Registry& registry = Pnp();
    std::lock_guard guard(registry.lock);
    return registry.nodes;
}

// ------------------------------------------------------------------------
// Device helpers

std::vector<std::shared_ptr<Queue>> Device::Queues() {
    std::lock_guard guard(lock);
    std::vector<std::shared_ptr<Queue>> result;
    for (const auto& q : queues) {
        if (auto alive = q.lock()) result.push_back(alive);
    }
    return result;
}

std::vector<std::shared_ptr<Interrupt>> Device::Interrupts() {
    std::lock_guard guard(lock);
    std::vector<std::shared_ptr<Interrupt>> result;
    for (const auto& i : interrupts) {
        if (auto alive = i.lock()) result.push_back(alive);
    }
    return result;
}

std::vector<std::shared_ptr<File>> Device::OpenFiles() {
    std::lock_guard guard(lock);
    std::vector<std::shared_ptr<File>> result;
    for (const auto& f : files) {
        if (auto alive = f.lock()) result.push_back(alive);
    }
    return result;
}

NTSTATUS Device::TryEnqueue(const std::shared_ptr<Request>& request) {
    std::shared_ptr<Queue> queue;
    {
        std::lock_guard guard(lock);
        auto it = dispatch.find(static_cast<int>(request->type));
        if (it != dispatch.end()) queue = it->second.lock();
        if (!queue) queue = defaultQueue.lock();
    }
    if (!queue) return STATUS_INVALID_DEVICE_REQUEST;
    return queue->Accept(request);
}

void Device::Enqueue(const std::shared_ptr<Request>& request) {
    NTSTATUS status = TryEnqueue(request);
    if (!NT_SUCCESS(status)) request->Complete(status, 0);
}

std::shared_ptr<Driver> DriverImageAccess::FrameworkDriver(const DriverImage& image) { return image.driver; }

}  // namespace km

// ------------------------------------------------------------------------
// WdfDriver*

using km::Lookup;

extern "C" NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                    PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                    WDFDRIVER* Driver) {
    if (Driver) *Driver = nullptr;
    if (DriverObject == nullptr || DriverObject->Reserved == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    (void)RegistryPath;
    auto* image = static_cast<km::DriverImage*>(DriverObject->Reserved);
    if (image->driver) return STATUS_OBJECT_NAME_COLLISION;
    auto driver = std::make_shared<km::Driver>();
    driver->config = *DriverConfig;
    driver->image = image;
    driver->wdm = DriverObject;
    driver->registryPath = image->registryPath;
    NTSTATUS status = km::Object::Insert(driver, nullptr, DriverAttributes);
    if (!NT_SUCCESS(status)) return status;
    image->driver = driver;
    if (Driver) *Driver = static_cast<WDFDRIVER>(driver->Handle());
    return STATUS_SUCCESS;
}

extern "C" WDFDRIVER WdfGetDriver(void) {
    std::shared_ptr<km::DriverImage> image = km::ImageOfAddress(__builtin_return_address(0));
    return image && image->driver ? static_cast<WDFDRIVER>(image->driver->Handle()) : nullptr;
}

extern "C" PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
    auto driver = Lookup<km::Driver>(Driver, "WdfDriverWdmGetDriverObject");
    return driver ? driver->wdm : nullptr;
}

extern "C" PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver) {
    auto driver = Lookup<km::Driver>(Driver, "WdfDriverGetRegistryPath");
    return driver ? driver->registryPath.data() : nullptr;
}

// ------------------------------------------------------------------------
// WdfDeviceInit* and WdfDevice*

extern "C" VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    if (DeviceInit) DeviceInit->ioType = IoType;
}

extern "C" VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                       PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    if (DeviceInit && PnpPowerEventCallbacks) DeviceInit->pnp = *PnpPowerEventCallbacks;
}

extern "C" VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                 PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    if (DeviceInit == nullptr || FileObjectConfig == nullptr) return;
    DeviceInit->hasFileConfig = true;
    DeviceInit->fileConfig = *FileObjectConfig;
    DeviceInit->hasFileAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes) DeviceInit->fileAttributes = *FileObjectAttributes;
}

extern "C" VOID WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT DeviceInit,
                                                          PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext) {
    if (DeviceInit) DeviceInit->inCallerContext = EvtIoInCallerContext;
}

extern "C" VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive) {
    (void)DeviceInit;
    (void)IsExclusive;
}

extern "C" VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType) {
    (void)DeviceInit;
    (void)DeviceType;
}

extern "C" NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                    WDFDEVICE* Device) {
    if (Device) *Device = nullptr;
    if (DeviceInit == nullptr || *DeviceInit == nullptr) return STATUS_INVALID_PARAMETER;
    WDFDEVICE_INIT& init = **DeviceInit;
    if (init.created) return STATUS_INVALID_DEVICE_STATE;
    auto device = std::make_shared<km::Device>();
    device->driver = init.driver;
    device->node = init.node;
    device->ioType = init.ioType;
    device->pnp = init.pnp;
    if (init.hasFileConfig) device->fileConfig = init.fileConfig;
    device->hasFileAttributes = init.hasFileAttributes;
    device->fileAttributes = init.fileAttributes;
    device->inCallerContext = init.inCallerContext;
    device->wdm.Type = IO_TYPE_DEVICE;
    device->wdm.Size = sizeof(DEVICE_OBJECT);
    device->wdm.DriverObject = init.driver->wdm;
    device->wdm.DeviceType = FILE_DEVICE_UNKNOWN;
    device->wdm.Reserved = device.get();
    NTSTATUS status = km::Object::Insert(device, init.driver, DeviceAttributes);
    if (!NT_SUCCESS(status)) return status;
    init.node->pdo.AttachedDevice = &device->wdm;
    init.created = device;
    *DeviceInit = nullptr;  // the framework owns the init record now
    if (Device) *Device = static_cast<WDFDEVICE>(device->Handle());
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                   PCUNICODE_STRING ReferenceString) {
    auto device = Lookup<km::Device>(Device, "WdfDeviceCreateDeviceInterface");
    if (!device) return STATUS_INVALID_HANDLE;
    if (InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
    std::string reference;
    if (ReferenceString && ReferenceString->Buffer) {
        reference = nt::Utf16ToUtf8(std::u16string_view(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR)));
    }
    NTSTATUS status = km::RegisterInterface(*device->node, *InterfaceClassGUID, reference);
    if (NT_SUCCESS(status)) {
        std::lock_guard guard(device->lock);
        device->interfaces.emplace_back(*InterfaceClassGUID, reference);
    }
    return status;
}

extern "C" NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue,
                                                         WDF_REQUEST_TYPE RequestType) {
    auto device = Lookup<km::Device>(Device, "WdfDeviceConfigureRequestDispatching");
    auto queue = Lookup<km::Queue>(Queue, "WdfDeviceConfigureRequestDispatching");
    if (!device || !queue) return STATUS_INVALID_HANDLE;
    if (RequestType != WdfRequestTypeRead && RequestType != WdfRequestTypeWrite &&
        RequestType != WdfRequestTypeDeviceControl && RequestType != WdfRequestTypeDeviceControlInternal) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(device->lock);
    device->dispatch[static_cast<int>(RequestType)] = queue;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request) {
    auto device = Lookup<km::Device>(Device, "WdfDeviceEnqueueRequest");
    auto request = Lookup<km::Request>(Request, "WdfDeviceEnqueueRequest");
    if (!device || !request) return STATUS_INVALID_HANDLE;
    return device->TryEnqueue(request);
}

extern "C" PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
    auto device = Lookup<km::Device>(Device, "WdfDeviceWdmGetDeviceObject");
    return device ? &device->wdm : nullptr;
}

extern "C" PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device) {
    auto device = Lookup<km::Device>(Device, "WdfDeviceWdmGetAttachedDevice");
    return device ? &device->node->pdo : nullptr;
}

extern "C" PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device) {
    auto device = Lookup<km::Device>(Device, "WdfDeviceWdmGetPhysicalDevice");
    return device ? &device->node->pdo : nullptr;
}

extern "C" WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    auto device = Lookup<km::Device>(Device, "WdfDeviceGetDriver");
    return device ? static_cast<WDFDRIVER>(device->driver->Handle()) : nullptr;
}

// ------------------------------------------------------------------------
// Resource lists

extern "C" ULONG WdfCmResourceListGetCount(WDFCMRESLIST List) {
    auto list = Lookup<km::ResourceList>(List, "WdfCmResourceListGetCount");
    return list ? static_cast<ULONG>(list->descriptors.size()) : 0;
}

extern "C" PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index) {
    auto list = Lookup<km::ResourceList>(List, "WdfCmResourceListGetDescriptor");
    if (!list || Index >= list->descriptors.size()) return nullptr;
    return &list->descriptors[Index];
}

// ------------------------------------------------------------------------
// IRPs sent down the device stack: the bus answers configuration requests.

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock) {
    (void)StartingOffset;
    auto* irp = new (std::nothrow) IRP{};
    if (irp == nullptr) return nullptr;
    irp->Type = 6;  // IO_TYPE_IRP
    irp->Size = sizeof(IRP);
    irp->StackCount = 1;
    irp->CurrentLocation = 1;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->AssociatedIrp.SystemBuffer = Buffer;
    irp->RequestorMode = KernelMode;
    irp->Stack.MajorFunction = static_cast<UCHAR>(MajorFunction);
    irp->Stack.DeviceObject = DeviceObject;
    irp->Stack.Parameters.Read.Length = Length;
    return irp;
}

namespace {

NTSTATUS BusConfigAccess(km::DeviceNode& node, IO_STACK_LOCATION& stack, bool write, ULONG_PTR* bytes) {
    auto& config = stack.Parameters.ReadWriteConfig;
    if (config.WhichSpace != PCI_WHICHSPACE_CONFIG || config.Buffer == nullptr) return STATUS_NOT_SUPPORTED;
    constexpr ULONG kConfigSpace = 256;
    ULONG count = config.Offset >= kConfigSpace ? 0 : std::min(config.Length, kConfigSpace - config.Offset);
    auto* buffer = static_cast<UCHAR*>(config.Buffer);
    for (ULONG i = 0; i < count; ++i) {
        if (write) {
            node.function->ConfigWrite8(config.Offset + i, buffer[i]);
        } else {
            buffer[i] = node.function->ConfigRead8(config.Offset + i);
        }
    }
    *bytes = count;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == nullptr || Irp == nullptr || DeviceObject->Type != IO_TYPE_DEVICE) {
        km::ReportDriverFault("IoCallDriver: not a device object (%p) or no IRP (%p)", static_cast<void*>(DeviceObject),
                              static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    // A function driver passes what it does not handle to the bus below it.
    km::DeviceNode* node = nullptr;
    if (DeviceObject->Flags & km::kDoBusEnumeratedDevice) {
        node = static_cast<km::DeviceNode*>(DeviceObject->Reserved);
    } else {
        node = static_cast<km::Device*>(DeviceObject->Reserved)->node;
    }
    NTSTATUS status = Irp->IoStatus.Status;  // what nobody handles keeps its initial status
    ULONG_PTR information = Irp->IoStatus.Information;
    IO_STACK_LOCATION& stack = Irp->Stack;
    if (stack.MajorFunction == IRP_MJ_PNP &&
        (stack.MinorFunction == IRP_MN_READ_CONFIG || stack.MinorFunction == IRP_MN_WRITE_CONFIG)) {
        status = BusConfigAccess(*node, stack, stack.MinorFunction == IRP_MN_WRITE_CONFIG, &information);
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
    if (Irp->UserEvent) KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    delete Irp;
    return status;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == nullptr) return nullptr;
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice) top = top->AttachedDevice;
    InterlockedIncrement(&top->ReferenceCount);
    return top;
}
