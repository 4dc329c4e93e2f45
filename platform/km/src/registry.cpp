// Registry access from drivers, on the machine's hive.
#include "fault.hpp"
#include "pnp_internal.hpp"

#include <nt/hive.h>
#include <nt/unicode.h>

namespace km {

class Key final : public Object {
public:
    Key() noexcept : Object(ObjectKind::Key) {}
    nt::Ref<nt::RegistryKey> key;
};

namespace {

NTSTATUS OpenKeyObject(const std::string& path, bool create, const std::shared_ptr<Object>& parent,
                       PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* result) {
    std::shared_ptr<nt::Hive> hive;
    NTSTATUS status = nt::Hive::Machine(&hive);
    if (!NT_SUCCESS(status)) return status;
    auto key = std::make_shared<Key>();
    status = create ? hive->CreateKey(path, &key->key) : hive->OpenKey(path, &key->key);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<Object> owner = parent;
    if (attributes && attributes->ParentObject) owner = LookupObject(attributes->ParentObject);
    status = Object::Insert(key, owner, attributes);
    if (!NT_SUCCESS(status)) return status;
    *result = static_cast<WDFKEY>(key->Handle());
    return STATUS_SUCCESS;
}

std::string ValueName(PCUNICODE_STRING name) {
    if (name == nullptr || name->Buffer == nullptr) return {};
    return nt::Utf16ToUtf8(std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR)));
}

}  // namespace
}  // namespace km

using km::Lookup;

extern "C" NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                                       PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    (void)DesiredAccess;
    if (Key == nullptr) return STATUS_INVALID_PARAMETER;
    *Key = nullptr;
    auto driver = Lookup<km::Driver>(Driver, "WdfDriverOpenParametersRegistryKey");
    if (!driver) return STATUS_INVALID_HANDLE;
    return km::OpenKeyObject(driver->image->registryPathUtf8 + "\\Parameters", false, driver, KeyAttributes, Key);
}

extern "C" NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                             PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    (void)DesiredAccess;
    if (Key == nullptr) return STATUS_INVALID_PARAMETER;
    *Key = nullptr;
    auto device = Lookup<km::Device>(Device, "WdfDeviceOpenRegistryKey");
    if (!device) return STATUS_INVALID_HANDLE;
    // The hardware key of the instance; like IoOpenDeviceRegistryKey, it is
    // created when the device has none yet.
    if ((DeviceInstanceKeyType & PLUGPLAY_REGKEY_DEVICE) == 0) return STATUS_INVALID_PARAMETER;
    std::string path = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + device->node->instanceId +
                       "\\Device Parameters";
    return km::OpenKeyObject(path, true, device->driver, KeyAttributes, Key);
}

extern "C" NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
    auto key = Lookup<km::Key>(Key, "WdfRegistryQueryULong");
    if (!key) return STATUS_INVALID_HANDLE;
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    return key->key->QueryDword(km::ValueName(ValueName), Value);
}

extern "C" NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
    auto key = Lookup<km::Key>(Key, "WdfRegistryAssignULong");
    if (!key) return STATUS_INVALID_HANDLE;
    return key->key->SetDword(km::ValueName(ValueName), Value);
}

extern "C" VOID WdfRegistryClose(WDFKEY Key) {
    if (auto key = Lookup<km::Key>(Key, "WdfRegistryClose")) km::Object::Delete(key);
}
