// SetupAPI over the PnP manager of the machine: device interface sets,
// interface details, device registry keys and properties, and the class
// installer's property changes (disable, enable, restart).
#include <windows.h>
#include <setupapi.h>

#include "um_status.h"

#include <um/device_backend.h>
#include <nt/hive.h>
#include <nt/unicode.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using um::FailWithError;
using um::FailWithStatus;

namespace {

constexpr std::string_view kEnumKey = "SYSTEM\\CurrentControlSet\\Enum\\";

struct DeviceEntry {
    std::string instanceId;
    std::optional<SP_PROPCHANGE_PARAMS> propertyChange;  // class install parameters
};

struct InterfaceEntry {
    GUID classGuid{};
    std::string symbolicLink;
    size_t device = 0;  // index into the set's devices
    DWORD flags = 0;
};

// A device information set: a snapshot of interfaces and their devices,
// plus the class install parameters given for them.
class DeviceInfoSet final : public nt::Object {
public:
    std::mutex lock;
    std::vector<DeviceEntry> devices;        // fixed after creation
    std::vector<InterfaceEntry> interfaces;  // fixed after creation
    std::optional<SP_PROPCHANGE_PARAMS> propertyChange;  // guarded by lock; set-wide parameters
};

nt::Ref<DeviceInfoSet> ReferenceSet(HDEVINFO handle) {
    nt::Ref<DeviceInfoSet> set;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !NT_SUCCESS(nt::ReferenceObjectByHandle(static_cast<HANDLE>(handle), &set))) {
        FailWithError(ERROR_INVALID_HANDLE);
        return {};
    }
    return set;
}

// The process-wide number of a device instance, as DevInst reports it.
DWORD DevInstOf(const std::string& instanceId) {
    static std::mutex lock;
    static std::map<std::string, DWORD, std::less<>> numbers;
    std::string key = instanceId;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::lock_guard guard(lock);
    auto [it, added] = numbers.try_emplace(key, static_cast<DWORD>(numbers.size() + 1));
    return it->second;
}

void Describe(const DeviceInfoSet& set, size_t index, SP_DEVINFO_DATA* data) {
    data->ClassGuid = GUID{};
    data->DevInst = DevInstOf(set.devices[index].instanceId);
    data->Reserved = index + 1;
}

// The set's device that `data` names, or null (last error set).
DeviceEntry* DeviceOf(DeviceInfoSet& set, const SP_DEVINFO_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        FailWithError(data == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->Reserved == 0 || data->Reserved > set.devices.size()) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set.devices[data->Reserved - 1];
}

// ---- Property changes ----

BOOL ChangeProperty(const std::string& instanceId, const SP_PROPCHANGE_PARAMS& change) {
    NTSTATUS status = STATUS_SUCCESS;
    um::dev::Backend* backend = um::dev::ProcessBackend(&status);
    if (backend == nullptr) return FailWithStatus(status);
    const DWORD error = backend->ChangeProperty(instanceId, change.StateChange, change.Scope);
    return error == ERROR_SUCCESS ? TRUE : FailWithError(error);
}

bool ValidPropertyChange(const SP_PROPCHANGE_PARAMS& change) {
    if (change.StateChange < DICS_ENABLE || change.StateChange > DICS_STOP) return false;
    return change.Scope == DICS_FLAG_GLOBAL || change.Scope == DICS_FLAG_CONFIGSPECIFIC ||
           change.Scope == DICS_FLAG_CONFIGGENERAL;
}

// ---- Registry properties ----

struct PropertyValue {
    DWORD property;
    const char* value;  // in the device instance key
};

constexpr PropertyValue kProperties[] = {
    {SPDRP_DEVICEDESC, "DeviceDesc"}, {SPDRP_HARDWAREID, "HardwareID"}, {SPDRP_COMPATIBLEIDS, "CompatibleIDs"},
    {SPDRP_SERVICE, "Service"},       {SPDRP_CLASS, "Class"},           {SPDRP_CLASSGUID, "ClassGUID"},
    {SPDRP_DRIVER, "Driver"},         {SPDRP_CONFIGFLAGS, "ConfigFlags"}, {SPDRP_MFG, "Mfg"},
    {SPDRP_FRIENDLYNAME, "FriendlyName"},
};

template <class Params>
BOOL GetInstallParams(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, Params* params) {
    nt::Ref<::DeviceInfoSet> set = ReferenceSet(DeviceInfoSet);
    if (!set) return FALSE;
    if (DeviceInfoData != nullptr && DeviceOf(*set, DeviceInfoData) == nullptr) return FALSE;
    if (params == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
    if (params->cbSize != sizeof(Params)) return FailWithError(ERROR_INVALID_USER_BUFFER);
    // The PnP manager here never vetoes a stop, so a property change never
    // leaves a restart or a reboot to be done: Flags stay clear.
    std::memset(reinterpret_cast<char*>(params) + sizeof(DWORD), 0, sizeof(Params) - sizeof(DWORD));
    return TRUE;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    (void)hwndParent;
    // Interface sets of one class are what exists here; device setup
    // classes and all-class sets are not kept.
    if ((Flags & DIGCF_DEVICEINTERFACE) == 0 || (Flags & DIGCF_ALLCLASSES) != 0) {
        FailWithError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        NTSTATUS status = STATUS_SUCCESS;
        um::dev::Backend* backend = um::dev::ProcessBackend(&status);
        std::vector<um::dev::InterfaceInfo> interfaces;
        if (backend != nullptr) status = backend->Interfaces(*ClassGuid, &interfaces);
        if (!NT_SUCCESS(status)) {
            FailWithStatus(status);
            return INVALID_HANDLE_VALUE;
        }
        nt::Ref<DeviceInfoSet> set = nt::MakeRef<DeviceInfoSet>();
        if (!set) throw std::bad_alloc();
        for (const um::dev::InterfaceInfo& found : interfaces) {
            // Present: the interfaces of started devices, the ones that open.
            if ((Flags & DIGCF_PRESENT) != 0 && !found.enabled) continue;
            if (Enumerator != nullptr && *Enumerator != '\0' && !nt::EqualNames(found.instanceId, Enumerator)) {
                continue;
            }
            size_t device = 0;
            while (device < set->devices.size() && !nt::EqualNames(set->devices[device].instanceId, found.instanceId)) {
                ++device;
            }
            if (device == set->devices.size()) set->devices.push_back({found.instanceId, std::nullopt});
            set->interfaces.push_back({found.classGuid, found.symbolicLink, device, found.enabled ? SPINT_ACTIVE : 0u});
        }
        HANDLE handle = nullptr;
        status = nt::InsertHandle(set.get(), &handle);
        if (!NT_SUCCESS(status)) {
            FailWithStatus(status);
            return INVALID_HANDLE_VALUE;
        }
        return handle;
    } catch (...) {
        FailWithError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!ReferenceSet(DeviceInfoSet)) return FALSE;
    const NTSTATUS status = nt::CloseHandle(static_cast<HANDLE>(DeviceInfoSet));
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    nt::Ref<::DeviceInfoSet> set = ReferenceSet(DeviceInfoSet);
    if (!set) return FALSE;
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return FailWithError(ERROR_INVALID_USER_BUFFER);
    const DeviceEntry* only = nullptr;
    if (DeviceInfoData != nullptr && (only = DeviceOf(*set, DeviceInfoData)) == nullptr) return FALSE;

    DWORD seen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const InterfaceEntry& entry = set->interfaces[i];
        if (!IsEqualGUID(entry.classGuid, *InterfaceClassGuid)) continue;
        if (only != nullptr && &set->devices[entry.device] != only) continue;
        if (seen++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = entry.classGuid;
        DeviceInterfaceData->Flags = entry.flags;
        DeviceInterfaceData->Reserved = i + 1;
        return TRUE;
    }
    return FailWithError(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    nt::Ref<::DeviceInfoSet> set = ReferenceSet(DeviceInfoSet);
    if (!set) return FALSE;
    if (DeviceInterfaceData == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return FailWithError(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->interfaces.size()) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    // A buffer must at least hold the header, whose cbSize says which
    // layout the caller was built with.
    if (DeviceInterfaceDetailData == nullptr ? DeviceInterfaceDetailDataSize != 0
                                             : DeviceInterfaceDetailDataSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
                                                   DeviceInterfaceDetailData->cbSize !=
                                                       sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    }

    const InterfaceEntry& entry = set->interfaces[DeviceInterfaceData->Reserved - 1];
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.symbolicLink.size() + 1);
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInfoData != nullptr) Describe(*set, entry.device, DeviceInfoData);
    if (DeviceInterfaceDetailDataSize < required) return FailWithError(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, entry.symbolicLink.c_str(), entry.symbolicLink.size() + 1);
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                 DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
    (void)samDesired;  // the hive has no access checks: every process is the machine's administrator
    const auto failed = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    nt::Ref<::DeviceInfoSet> set = ReferenceSet(DeviceInfoSet);
    if (!set) return failed;
    const DeviceEntry* device = DeviceOf(*set, DeviceInfoData);
    if (device == nullptr) return failed;
    // Only the global hardware key is kept: there are no hardware profiles
    // of their own, and no driver (software) keys are installed.
    if (Scope != DICS_FLAG_GLOBAL || (KeyType != DIREG_DEV && KeyType != DIREG_DRV)) {
        FailWithError(ERROR_INVALID_FLAGS);
        return failed;
    }
    (void)HwProfile;  // meaningful for config-specific keys only
    if (KeyType == DIREG_DRV) {
        FailWithError(ERROR_KEY_DOES_NOT_EXIST);
        return failed;
    }
    try {
        std::shared_ptr<nt::Hive> hive;
        NTSTATUS status = nt::Hive::Machine(&hive);
        nt::Ref<nt::RegistryKey> key;
        if (NT_SUCCESS(status)) {
            status = hive->OpenKey(std::string(kEnumKey) + device->instanceId + "\\Device Parameters", &key);
        }
        if (!NT_SUCCESS(status)) {
            if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
                FailWithError(ERROR_KEY_DOES_NOT_EXIST);
            } else {
                FailWithStatus(status);
            }
            return failed;
        }
        HANDLE handle = nullptr;
        status = nt::InsertHandle(key.get(), &handle);
        if (!NT_SUCCESS(status)) {
            FailWithStatus(status);
            return failed;
        }
        return reinterpret_cast<HKEY>(handle);
    } catch (...) {
        FailWithError(ERROR_NOT_ENOUGH_MEMORY);
        return failed;
    }
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    nt::Ref<::DeviceInfoSet> set = ReferenceSet(DeviceInfoSet);
    if (!set) return FALSE;
    const DeviceEntry* device = DeviceOf(*set, DeviceInfoData);
    if (device == nullptr) return FALSE;
    if (Property >= SPDRP_MAXIMUM_PROPERTY) return FailWithError(ERROR_INVALID_REG_PROPERTY);
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return FailWithError(ERROR_INVALID_USER_BUFFER);
    const char* valueName = nullptr;
    for (const PropertyValue& known : kProperties) {
        if (known.property == Property) valueName = known.value;
    }
    // A property the device does not have, as for any value not set.
    if (valueName == nullptr) return FailWithError(ERROR_INVALID_DATA);

    try {
        HKEY instance = nullptr;
        const std::string path = std::string(kEnumKey) + device->instanceId;
        LSTATUS error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &instance);
        if (error != ERROR_SUCCESS) return FailWithError(error == ERROR_FILE_NOT_FOUND ? ERROR_NO_SUCH_DEVINST : error);
        DWORD type = REG_NONE;
        DWORD size = PropertyBufferSize;
        error = RegQueryValueExA(instance, valueName, nullptr, &type, PropertyBuffer, &size);
        RegCloseKey(instance);
        if (error == ERROR_FILE_NOT_FOUND) return FailWithError(ERROR_INVALID_DATA);
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return FailWithError(error);
        if (PropertyRegDataType != nullptr) *PropertyRegDataType = type;
        if (RequiredSize != nullptr) *RequiredSize = size;
        // The registry answers a probe without a buffer with success; SetupAPI
        // says the buffer is too small.
        if (error == ERROR_MORE_DATA || (PropertyBuffer == nullptr && size != 0)) {
            return FailWithError(ERROR_INSUFFICIENT_BUFFER);
        }
        return TRUE;
    } catch (...) {
        return FailWithError(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
    nt::Ref<::DeviceInfoSet> set = ReferenceSet(DeviceInfoSet);
    if (!set) return FALSE;
    DeviceEntry* device = nullptr;
    if (DeviceInfoData != nullptr && (device = DeviceOf(*set, DeviceInfoData)) == nullptr) return FALSE;
    std::optional<SP_PROPCHANGE_PARAMS> params;
    if (ClassInstallParams != nullptr) {
        if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER) ||
            ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
            return FailWithError(ERROR_INVALID_USER_BUFFER);
        }
        // Property changes are the one class installer function kept here.
        if (ClassInstallParams->InstallFunction != DIF_PROPERTYCHANGE) return FailWithError(ERROR_INVALID_PARAMETER);
        if (ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS)) return FailWithError(ERROR_INVALID_USER_BUFFER);
        SP_PROPCHANGE_PARAMS change;
        std::memcpy(&change, ClassInstallParams, sizeof change);
        if (!ValidPropertyChange(change)) return FailWithError(ERROR_INVALID_FLAGS);
        params = change;
    } else if (ClassInstallParamsSize != 0) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard guard(set->lock);
    (device != nullptr ? device->propertyChange : set->propertyChange) = params;
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    nt::Ref<::DeviceInfoSet> set = ReferenceSet(DeviceInfoSet);
    if (!set) return FALSE;
    if (InstallFunction != DIF_PROPERTYCHANGE) return FailWithError(ERROR_NOT_SUPPORTED);
    // A property change acts on one device.
    const DeviceEntry* device = DeviceOf(*set, DeviceInfoData);
    if (device == nullptr) return FALSE;
    std::optional<SP_PROPCHANGE_PARAMS> change;
    {
        std::lock_guard guard(set->lock);
        change = device->propertyChange ? device->propertyChange : set->propertyChange;
    }
    if (!change) return FailWithError(ERROR_NO_CLASSINSTALL_PARAMS);
    try {
        return ChangeProperty(device->instanceId, *change);
    } catch (...) {
        return FailWithError(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    return GetInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
    return GetInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
}

}  // extern "C"
