// SetupAPI as the library uses it: the interface set with its size probes,
// the device path form, registry properties, the hardware key the driver
// reads, and disable/enable through the class installer.
#include "test_machine.h"

#include <algorithm>
#include <cstring>

using namespace umdev_test;

namespace {

HDEVINFO PresentSet() {
    UseTestMachine();
    return SetupDiGetClassDevsA(&GUID_DEVINTERFACE_UMDEV_TEST, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

BOOL PropertyChange(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD change, DWORD scope) {
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = change;
    params.Scope = scope;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, device, &params.ClassInstallHeader, sizeof params)) return FALSE;
    return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, device);
}

DWORD InstallFlags(HDEVINFO set, SP_DEVINFO_DATA* device) {
    SP_DEVINSTALL_PARAMS params{};
    params.cbSize = sizeof params;
    params.Flags = 0xFFFFFFFF;
    EXPECT_TRUE(SetupDiGetDeviceInstallParams(set, device, &params));
    return params.Flags;
}

TEST(SetupApi, EnumeratesTheInterfacesWithSizeProbesAndWindowsPaths) {
    HDEVINFO set = PresentSet();
    ASSERT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    const std::vector<Found> found = Interfaces(set);
    ASSERT_EQ(found.size(), 2u);
    for (const Found& entry : found) {
        EXPECT_TRUE(entry.path.starts_with("\\\\?\\pci#ven_f10e&dev_000")) << entry.path;
        EXPECT_TRUE(entry.path.ends_with("#{5b0d2f0e-8a51-4c33-9b7e-0c6a11d0f00d}")) << entry.path;
        EXPECT_EQ(entry.path.find('\\', 4), std::string::npos) << "instance path separators become '#'";
        EXPECT_EQ(entry.flags, SPINT_ACTIVE);
    }
    EXPECT_NE(found[0].path, found[1].path);
    EXPECT_NE(found[0].device.DevInst, found[1].device.DevInst);

    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_UMDEV_TEST, 0, &data));
    // A buffer one byte short, and a header of another layout.
    const DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                              found[0].path.size() + 1);
    std::vector<char> storage(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof *detail;
    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, required);
    detail->cbSize = required;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    // Interfaces of one device only.
    SP_DEVINFO_DATA device = found[1].device;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &device, &GUID_DEVINTERFACE_UMDEV_TEST, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &device, &GUID_DEVINTERFACE_UMDEV_TEST, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SetupApi, OtherClassesAndFlagsGiveEmptySetsOrErrors) {
    UseTestMachine();
    const GUID other = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    HDEVINFO set = SetupDiGetClassDevsA(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(set);

    EXPECT_EQ(SetupDiGetClassDevsA(&GUID_DEVINTERFACE_UMDEV_TEST, nullptr, nullptr, DIGCF_PRESENT),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // An enumerator limits the set to one device instance, named by its
    // instance path: the interface path between "\\?\" and the class.
    set = PresentSet();
    const std::vector<Found> all = Interfaces(set);
    SetupDiDestroyDeviceInfoList(set);
    ASSERT_EQ(all.size(), 2u);
    std::string instance = all[1].path.substr(4, all[1].path.rfind('#') - 4);
    std::replace(instance.begin(), instance.end(), '#', '\\');
    std::transform(instance.begin(), instance.end(), instance.begin(), [](char c) { return char(std::toupper(c)); });
    set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_UMDEV_TEST, instance.c_str(), nullptr,
                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    const std::vector<Found> one = Interfaces(set);
    ASSERT_EQ(one.size(), 1u) << instance;
    EXPECT_EQ(one[0].path, all[1].path);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SetupApi, DeviceDescriptionWithSizeProbe) {
    HDEVINFO set = PresentSet();
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<Found> found = Interfaces(set);
    ASSERT_FALSE(found.empty());
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &found[0].device, SPDRP_DEVICEDESC, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::string expected = "Ferrolan Gigabit Ethernet Port";
    ASSERT_EQ(size, expected.size() + 1);
    std::vector<char> text(size);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &found[0].device, SPDRP_DEVICEDESC, &type,
                                                   reinterpret_cast<PBYTE>(text.data()), size - 1, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &found[0].device, SPDRP_DEVICEDESC, &type,
                                                  reinterpret_cast<PBYTE>(text.data()), size, &size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(text.data()), expected);

    // Properties the device does not have, and ones that do not exist.
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &found[0].device, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &found[0].device, SPDRP_MAXIMUM_PROPERTY, &type, nullptr, 0,
                                                   &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    SP_DEVINFO_DATA stranger = found[0].device;
    stranger.Reserved = 99;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &stranger, SPDRP_DEVICEDESC, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SetupApi, HardwareKeyHoldsValuesForTheRegistryFunctions) {
    HDEVINFO set = PresentSet();
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<Found> found = Interfaces(set);
    ASSERT_EQ(found.size(), 2u);
    HKEY key = SetupDiOpenDevRegKey(set, &found[0].device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_SET_VALUE);
    ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) << GetLastError();
    const WCHAR text[] = u"Left port";
    ASSERT_EQ(RegSetValueExW(key, u"CustomDescription", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    RegCloseKey(key);

    // The value is the device's own: read back through a new key, absent on
    // the other device.
    key = SetupDiOpenDevRegKey(set, &found[0].device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    char narrow[32] = {};
    DWORD size = sizeof narrow;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "CustomDescription", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(narrow, "Left port");
    RegCloseKey(key);
    key = SetupDiOpenDevRegKey(set, &found[1].device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    size = sizeof narrow;
    EXPECT_EQ(RegQueryValueExA(key, "CustomDescription", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    EXPECT_EQ(SetupDiOpenDevRegKey(set, &found[0].device, DICS_FLAG_CONFIGSPECIFIC, 0, DIREG_DEV, KEY_READ),
              reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &found[0].device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
              reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
    SetupDiDestroyDeviceInfoList(set);
}

// The library's restart of a port: disable (profile), enable (global, then
// profile). The driver starts again and reads the hardware key anew; the
// handles open on the old device are ended.
TEST(SetupApi, DisableAndEnableRestartTheDevice) {
    HDEVINFO set = PresentSet();
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<Found> found = Interfaces(set);
    ASSERT_EQ(found.size(), 2u);
    SP_DEVINFO_DATA* device = &found[1].device;

    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_SET_VALUE);
    ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    static DWORD round = 0;  // a new value each time, also when the test is repeated
    const DWORD probe = 0x5EED0000u + ++round;
    ASSERT_EQ(RegSetValueExA(key, "UmdevProbe", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&probe), sizeof probe),
              ERROR_SUCCESS);
    RegCloseKey(key);

    HANDLE old = Open(found[1].path);
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    const TEST_STATE before = Query(old);
    EXPECT_NE(before.Probe, probe) << "read at the device's start, before the value existed";
    HANDLE pending = Open(found[1].path, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(pending, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[8];
    DWORD bytes = 0;
    ASSERT_FALSE(ReadFile(pending, buffer, sizeof buffer, &bytes, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    ASSERT_TRUE(PropertyChange(set, device, DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC)) << GetLastError();
    EXPECT_EQ(InstallFlags(set, device) & (DI_NEEDRESTART | DI_NEEDREBOOT), 0u);
    // The pending read ended with the device; the handles are dead.
    EXPECT_FALSE(GetOverlappedResult(pending, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    TEST_STATE state{};
    EXPECT_FALSE(DeviceIoControl(old, IOCTL_TEST_QUERY, nullptr, 0, &state, sizeof state, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(Open(found[1].path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HDEVINFO present = PresentSet();
    EXPECT_EQ(Interfaces(present).size(), 1u) << "a disabled device's interface is not present";
    SetupDiDestroyDeviceInfoList(present);
    HDEVINFO every = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_UMDEV_TEST, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    std::vector<Found> listed = Interfaces(every);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(std::count_if(listed.begin(), listed.end(), [](const Found& f) { return f.flags == SPINT_ACTIVE; }), 1);
    SetupDiDestroyDeviceInfoList(every);

    // Enabled globally it is still disabled in the profile.
    ASSERT_TRUE(PropertyChange(set, device, DICS_ENABLE, DICS_FLAG_GLOBAL)) << GetLastError();
    EXPECT_EQ(Open(found[1].path), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(PropertyChange(set, device, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC)) << GetLastError();
    EXPECT_EQ(InstallFlags(set, device) & (DI_NEEDRESTART | DI_NEEDREBOOT), 0u);

    HANDLE fresh = Open(found[1].path);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE) << GetLastError();
    const TEST_STATE after = Query(fresh);
    EXPECT_GT(after.Generation, before.Generation);
    EXPECT_EQ(after.Probe, probe);
    EXPECT_EQ(after.Creates, 1u) << "a new device with a new file count";
    CloseHandle(fresh);
    CloseHandle(pending);
    CloseHandle(old);
    CloseHandle(ov.hEvent);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SetupApi, ClassInstallerNeedsItsParameters) {
    HDEVINFO set = PresentSet();
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<Found> found = Interfaces(set);
    ASSERT_FALSE(found.empty());
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &found[0].device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));

    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = 9;
    params.Scope = DICS_FLAG_GLOBAL;
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &found[0].device, &params.ClassInstallHeader, sizeof params));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    params.StateChange = DICS_ENABLE;
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &found[0].device, &params.ClassInstallHeader, sizeof params - 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    // Enabling a running device changes nothing.
    HANDLE before = Open(found[0].path);
    ASSERT_NE(before, INVALID_HANDLE_VALUE);
    const ULONG generation = Query(before).Generation;
    ASSERT_TRUE(PropertyChange(set, &found[0].device, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC));
    EXPECT_EQ(Query(before).Generation, generation);
    CloseHandle(before);
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
