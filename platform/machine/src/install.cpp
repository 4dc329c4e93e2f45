// Hive content of the driver's installation and of detected devices.
#include "machine/install.hpp"

#include <nt/unicode.h>

#include <cstdio>

namespace machine {
namespace {

// What the driver's INF matches: the controller under this system's vendor
// identifier, both device identifiers of the board.
constexpr std::string_view kSupportedIds[] = {"PCI\\VEN_F10E&DEV_0001", "PCI\\VEN_F10E&DEV_0002"};

constexpr std::string_view kDeviceDescription = "Ferrolan Gigabit Ethernet Port";
constexpr std::string_view kServiceDisplayName = "Ferrolan Capture Driver";

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

NTSTATUS SetExpandString(nt::RegistryKey& key, std::string_view name, std::string_view value) {
    std::vector<uint8_t> data = nt::ToUtf16Le(nt::Utf8ToUtf16(value));
    data.push_back(0);
    data.push_back(0);
    return key.SetValue(name, REG_EXPAND_SZ, data);
}

bool HasValue(nt::RegistryKey& key, std::string_view name) {
    nt::RegistryValue value;
    return NT_SUCCESS(key.QueryValue(name, &value));
}

}  // namespace

PciIdentity ReadPciIdentity(const hw::PciFunction& function) {
    PciIdentity identity;
    identity.vendorId = function.ConfigRead16(0x00);
    identity.deviceId = function.ConfigRead16(0x02);
    identity.revision = function.ConfigRead8(0x08);
    identity.subsystemVendorId = function.ConfigRead16(0x2C);
    identity.subsystemId = function.ConfigRead16(0x2E);
    identity.location = function.Location();
    return identity;
}

std::vector<std::string> HardwareIds(const PciIdentity& id) {
    const std::string base = "PCI\\VEN_" + Hex(id.vendorId, 4) + "&DEV_" + Hex(id.deviceId, 4);
    const std::string subsys = "&SUBSYS_" + Hex(id.subsystemId, 4) + Hex(id.subsystemVendorId, 4);
    const std::string rev = "&REV_" + Hex(id.revision, 2);
    return {base + subsys + rev, base + subsys, base + rev, base};
}

std::string InstanceId(const PciIdentity& id) {
    // Windows derives the instance part from the parent bus and the slot
    // (device << 3 | function); the same inputs keep it stable across boots.
    const unsigned slot = (id.location.device << 3) | id.location.function;
    return HardwareIds(id).front() + "\\3&" + Hex(0x0F10E000u + id.location.bus, 8) + "&0&" + Hex(slot, 2);
}

bool HiveIsFresh(nt::Hive& hive) {
    nt::Ref<nt::RegistryKey> key;
    return hive.OpenKey("SYSTEM\\CurrentControlSet", &key) == STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS InstallDriverService(nt::Hive& hive) {
    const std::string path = std::string(kServicesKey) + "\\" + std::string(kDriverService);
    return hive.Transact([&]() -> NTSTATUS {
        nt::Ref<nt::RegistryKey> service;
        NTSTATUS status = hive.CreateKey(path, &service);
        if (!NT_SUCCESS(status)) return status;
        if (!NT_SUCCESS(status = service->SetDword("Type", kServiceKernelDriver))) return status;
        if (!NT_SUCCESS(status = service->SetDword("Start", kServiceDemandStart))) return status;
        if (!NT_SUCCESS(status = service->SetDword("ErrorControl", 1))) return status;
        if (!NT_SUCCESS(status = SetExpandString(*service, "ImagePath", kDriverImagePath))) return status;
        if (!NT_SUCCESS(status = service->SetString("DisplayName", kServiceDisplayName))) return status;
        nt::Ref<nt::RegistryKey> parameters;
        return service->CreateSubkey("Parameters", &parameters);
    });
}

bool ServiceInstalled(nt::Hive& hive, std::string_view service, std::string* imagePath) {
    if (service.empty() || service.find('\\') != std::string_view::npos) return false;
    nt::Ref<nt::RegistryKey> key;
    if (!NT_SUCCESS(hive.OpenKey(std::string(kServicesKey) + "\\" + std::string(service), &key))) return false;
    ULONG type = 0, start = kServiceDisabled;
    if (!NT_SUCCESS(key->QueryDword("Type", &type)) || type != kServiceKernelDriver) return false;
    if (!NT_SUCCESS(key->QueryDword("Start", &start)) || start >= kServiceDisabled) return false;
    std::string image;
    if (!NT_SUCCESS(key->QueryString("ImagePath", &image)) || image.empty()) return false;
    if (imagePath) *imagePath = image;
    return true;
}

NTSTATUS EnsureDeviceInstance(nt::Hive& hive, const PciIdentity& identity, std::string* service) {
    const std::vector<std::string> ids = HardwareIds(identity);
    bool supported = false;
    for (const std::string& id : ids) {
        for (std::string_view match : kSupportedIds) supported = supported || nt::EqualNames(id, match);
    }
    const bool driverInstalled = supported && ServiceInstalled(hive, kDriverService, nullptr);
    std::string found;
    // A key that has everything needs no write: programs starting together
    // do not queue for the hive's write lock, and a read-only hive still
    // gives its devices their driver.
    {
        nt::Ref<nt::RegistryKey> instance, parameters;
        if (NT_SUCCESS(hive.OpenKey(std::string(kEnumKey) + "\\" + InstanceId(identity), &instance)) &&
            HasValue(*instance, "HardwareID") && HasValue(*instance, "DeviceDesc") &&
            NT_SUCCESS(instance->OpenSubkey("Device Parameters", &parameters))) {
            const NTSTATUS s = instance->QueryString("Service", &found);
            if (NT_SUCCESS(s) || (!driverInstalled && (s == STATUS_OBJECT_NAME_NOT_FOUND ||
                                                       s == STATUS_OBJECT_TYPE_MISMATCH))) {
                if (!NT_SUCCESS(s)) found.clear();
                if (service) *service = found;
                return STATUS_SUCCESS;
            }
        }
    }
    NTSTATUS status = hive.Transact([&]() -> NTSTATUS {
        nt::Ref<nt::RegistryKey> instance;
        NTSTATUS s = hive.CreateKey(std::string(kEnumKey) + "\\" + InstanceId(identity), &instance);
        if (!NT_SUCCESS(s)) return s;
        if (!HasValue(*instance, "HardwareID") && !NT_SUCCESS(s = instance->SetMultiString("HardwareID", ids))) return s;
        if (!HasValue(*instance, "DeviceDesc") && !NT_SUCCESS(s = instance->SetString("DeviceDesc", kDeviceDescription))) return s;
        if (driverInstalled && !HasValue(*instance, "Service") &&
            !NT_SUCCESS(s = instance->SetString("Service", kDriverService))) {
            return s;
        }
        nt::Ref<nt::RegistryKey> parameters;
        if (!NT_SUCCESS(s = instance->CreateSubkey("Device Parameters", &parameters))) return s;
        found.clear();
        s = instance->QueryString("Service", &found);
        return s == STATUS_OBJECT_NAME_NOT_FOUND || s == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_SUCCESS : s;
    });
    if (NT_SUCCESS(status) && service) *service = found;
    return status;
}

}  // namespace machine
