// The driver's installation and the device instance keys as the hive holds
// them: a fresh hive, a hive with a user's settings, a hive without the
// driver, a board the driver does not match.
#include <gtest/gtest.h>

#include <cstdlib>

#include "hw/machine.hpp"
#include "machine/install.hpp"
#include "nt/hive.h"

namespace {

class MachineInstall : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("FL_TEST_TMP");
        dir_ = std::filesystem::path(tmp != nullptr ? tmp : "/tmp") /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        ASSERT_EQ(nt::Hive::Open(dir_ / "registry.db", &hive_), STATUS_SUCCESS);
    }

    nt::Ref<nt::RegistryKey> Key(const std::string& path) {
        nt::Ref<nt::RegistryKey> key;
        EXPECT_EQ(hive_->OpenKey(path, &key), STATUS_SUCCESS) << path;
        return key;
    }

    static machine::PciIdentity Identity(std::uint16_t vendor, std::uint16_t device, std::uint32_t bus,
                                         std::uint32_t function) {
        machine::PciIdentity id;
        id.vendorId = vendor;
        id.deviceId = device;
        id.subsystemVendorId = vendor;
        id.subsystemId = device;
        id.revision = 6;
        id.location = {bus, 0, function};
        return id;
    }

    std::string EnumPath(const machine::PciIdentity& id) {
        return std::string(machine::kEnumKey) + "\\" + machine::InstanceId(id);
    }

    std::filesystem::path dir_;
    std::shared_ptr<nt::Hive> hive_;
};

TEST_F(MachineInstall, HardwareIdsAndInstancePathsFollowWindowsForm) {
    const auto id = Identity(0xF10E, 0x0001, 1, 1);
    const std::vector<std::string> expected = {
        "PCI\\VEN_F10E&DEV_0001&SUBSYS_0001F10E&REV_06", "PCI\\VEN_F10E&DEV_0001&SUBSYS_0001F10E",
        "PCI\\VEN_F10E&DEV_0001&REV_06", "PCI\\VEN_F10E&DEV_0001"};
    EXPECT_EQ(machine::HardwareIds(id), expected);
    EXPECT_EQ(machine::InstanceId(id), "PCI\\VEN_F10E&DEV_0001&SUBSYS_0001F10E&REV_06\\3&0F10E001&0&01");
    // Every bus position has its own instance; the same one keeps it.
    EXPECT_NE(machine::InstanceId(id), machine::InstanceId(Identity(0xF10E, 0x0001, 1, 0)));
    EXPECT_NE(machine::InstanceId(id), machine::InstanceId(Identity(0xF10E, 0x0001, 2, 1)));
    EXPECT_EQ(machine::InstanceId(id), machine::InstanceId(Identity(0xF10E, 0x0001, 1, 1)));
}

TEST_F(MachineInstall, IdentityComesFromTheFunctionsConfigurationSpace) {
    hw::MachineOptions manual;
    manual.clock = hw::ClockMode::Manual;
    hw::Machine hardware(manual);
    hw::BoardOptions options;
    options.deviceId = 0x0002;
    hardware.AddBoard();
    hardware.AddBoard(options);
    const machine::PciIdentity id = machine::ReadPciIdentity(hardware.GetBoard(1).GetPort(1));
    EXPECT_EQ(id.vendorId, 0xF10E);
    EXPECT_EQ(id.deviceId, 0x0002);
    EXPECT_EQ(id.location.bus, hardware.GetBoard(1).GetPort(1).Location().bus);
    EXPECT_EQ(id.location.function, 1u);
    EXPECT_EQ(machine::HardwareIds(id).back(), "PCI\\VEN_F10E&DEV_0002");
}

TEST_F(MachineInstall, FreshHiveGetsTheServiceAsAnInfInstallLeavesIt) {
    EXPECT_TRUE(machine::HiveIsFresh(*hive_));
    EXPECT_FALSE(machine::ServiceInstalled(*hive_, "FL", nullptr));
    ASSERT_EQ(machine::InstallDriverService(*hive_), STATUS_SUCCESS);
    EXPECT_FALSE(machine::HiveIsFresh(*hive_));

    auto service = Key("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\FL");
    ASSERT_TRUE(service);
    ULONG value = 0;
    EXPECT_EQ(service->QueryDword("Type", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(service->QueryDword("Start", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    nt::RegistryValue image;
    ASSERT_EQ(service->QueryValue("ImagePath", &image), STATUS_SUCCESS);
    EXPECT_EQ(image.type, static_cast<ULONG>(REG_EXPAND_SZ));
    std::string imagePath;
    EXPECT_TRUE(machine::ServiceInstalled(*hive_, "fl", &imagePath));  // names ignore case
    EXPECT_EQ(imagePath, "\\SystemRoot\\System32\\drivers\\fl.sys");
    nt::Ref<nt::RegistryKey> parameters;
    EXPECT_EQ(service->OpenSubkey("Parameters", &parameters), STATUS_SUCCESS);
}

TEST_F(MachineInstall, ServiceThatCannotLoadIsNotInstalled) {
    ASSERT_EQ(machine::InstallDriverService(*hive_), STATUS_SUCCESS);
    auto service = Key("SYSTEM\\CurrentControlSet\\Services\\FL");
    ASSERT_EQ(service->SetDword("Start", 4), STATUS_SUCCESS);  // disabled
    EXPECT_FALSE(machine::ServiceInstalled(*hive_, "FL", nullptr));
    ASSERT_EQ(service->SetDword("Start", 3), STATUS_SUCCESS);
    ASSERT_EQ(service->SetDword("Type", 16), STATUS_SUCCESS);  // a user-mode service
    EXPECT_FALSE(machine::ServiceInstalled(*hive_, "FL", nullptr));
    ASSERT_EQ(service->SetDword("Type", 1), STATUS_SUCCESS);
    ASSERT_EQ(service->DeleteValue("ImagePath"), STATUS_SUCCESS);
    EXPECT_FALSE(machine::ServiceInstalled(*hive_, "FL", nullptr));
    EXPECT_FALSE(machine::ServiceInstalled(*hive_, "FL\\Parameters", nullptr));
    EXPECT_FALSE(machine::ServiceInstalled(*hive_, "", nullptr));
}

TEST_F(MachineInstall, DetectedFunctionGetsItsInstanceKeyAndTheDriver) {
    ASSERT_EQ(machine::InstallDriverService(*hive_), STATUS_SUCCESS);
    const auto id = Identity(0xF10E, 0x0001, 1, 0);
    std::string service;
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, id, &service), STATUS_SUCCESS);
    EXPECT_EQ(service, "FL");

    auto instance = Key(EnumPath(id));
    ASSERT_TRUE(instance);
    std::string text;
    EXPECT_EQ(instance->QueryString("Service", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, "FL");
    EXPECT_EQ(instance->QueryString("DeviceDesc", &text), STATUS_SUCCESS);
    EXPECT_FALSE(text.empty());
    std::vector<std::string> ids;
    EXPECT_EQ(instance->QueryMultiString("HardwareID", &ids), STATUS_SUCCESS);
    EXPECT_EQ(ids, machine::HardwareIds(id));
    nt::Ref<nt::RegistryKey> parameters;
    EXPECT_EQ(instance->OpenSubkey("Device Parameters", &parameters), STATUS_SUCCESS);
}

TEST_F(MachineInstall, ExistingInstanceValuesSurviveDetection) {
    ASSERT_EQ(machine::InstallDriverService(*hive_), STATUS_SUCCESS);
    const auto id = Identity(0xF10E, 0x0002, 3, 1);
    std::string service;
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, id, &service), STATUS_SUCCESS);
    auto instance = Key(EnumPath(id));
    nt::Ref<nt::RegistryKey> parameters;
    ASSERT_EQ(instance->OpenSubkey("Device Parameters", &parameters), STATUS_SUCCESS);
    ASSERT_EQ(parameters->SetDword("RxSlots", 1234), STATUS_SUCCESS);
    ASSERT_EQ(parameters->SetString("CustomDescription", "uplink tap"), STATUS_SUCCESS);
    ASSERT_EQ(instance->SetString("DeviceDesc", "renamed by hand"), STATUS_SUCCESS);
    ASSERT_EQ(instance->SetString("Service", "OtherDriver"), STATUS_SUCCESS);

    // The next boot detects the function again.
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, id, &service), STATUS_SUCCESS);
    EXPECT_EQ(service, "OtherDriver");
    std::string text;
    ULONG value = 0;
    EXPECT_EQ(parameters->QueryDword("RxSlots", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1234u);
    EXPECT_EQ(parameters->QueryString("CustomDescription", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, "uplink tap");
    EXPECT_EQ(instance->QueryString("DeviceDesc", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, "renamed by hand");

    // A value that went missing is filled in again, the others stay.
    ASSERT_EQ(instance->DeleteValue("HardwareID"), STATUS_SUCCESS);
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, id, &service), STATUS_SUCCESS);
    std::vector<std::string> ids;
    EXPECT_EQ(instance->QueryMultiString("HardwareID", &ids), STATUS_SUCCESS);
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(service, "OtherDriver");
}

TEST_F(MachineInstall, WithoutTheServiceFunctionsStayWithoutADriver) {
    // A set-up hive from which the driver was removed: not fresh, no service.
    nt::Ref<nt::RegistryKey> services;
    ASSERT_EQ(hive_->CreateKey(std::string(machine::kServicesKey), &services), STATUS_SUCCESS);
    EXPECT_FALSE(machine::HiveIsFresh(*hive_));
    const auto id = Identity(0xF10E, 0x0001, 1, 0);
    std::string service = "stale";
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, id, &service), STATUS_SUCCESS);
    EXPECT_EQ(service, "");
    auto instance = Key(EnumPath(id));
    std::string text;
    EXPECT_EQ(instance->QueryString("Service", &text), STATUS_OBJECT_NAME_NOT_FOUND);

    // Installing the driver later gives the known function its driver.
    ASSERT_EQ(machine::InstallDriverService(*hive_), STATUS_SUCCESS);
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, id, &service), STATUS_SUCCESS);
    EXPECT_EQ(service, "FL");
}

TEST_F(MachineInstall, BoardTheDriverDoesNotMatchGetsNoService) {
    ASSERT_EQ(machine::InstallDriverService(*hive_), STATUS_SUCCESS);
    std::string service = "stale";
    const auto foreign = Identity(0x8086, 0x0001, 1, 0);  // the controller maker's own identity
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, foreign, &service), STATUS_SUCCESS);
    EXPECT_EQ(service, "");
    const auto unknownDevice = Identity(0xF10E, 0x0003, 1, 0);
    ASSERT_EQ(machine::EnsureDeviceInstance(*hive_, unknownDevice, &service), STATUS_SUCCESS);
    EXPECT_EQ(service, "");
}

}  // namespace
