// Driver installation as hive content: what an INF install and PnP's first
// detection of a device leave in the registry, and how a booting machine
// finds a function's driver there.
//
//   SYSTEM\CurrentControlSet\Services\<service>        Type, Start, ErrorControl,
//                                                      ImagePath, DisplayName
//   SYSTEM\CurrentControlSet\Services\<service>\Parameters
//   SYSTEM\CurrentControlSet\Enum\PCI\<hardware id>\<instance>
//                                                      Service, DeviceDesc, HardwareID
//   ...\<instance>\Device Parameters                   the driver's per-port values
#pragma once

#include <nt/hive.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hw/pci_function.hpp"

namespace machine {

inline constexpr std::string_view kDriverService = "FL";
inline constexpr std::string_view kDriverImagePath = "\\SystemRoot\\System32\\drivers\\fl.sys";
inline constexpr std::string_view kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr std::string_view kEnumKey = "SYSTEM\\CurrentControlSet\\Enum";

// Service types and start types as the service control manager spells them.
inline constexpr ULONG kServiceKernelDriver = 1;
inline constexpr ULONG kServiceDemandStart = 3;
inline constexpr ULONG kServiceDisabled = 4;

// What PnP learns of a function from its configuration space and position.
struct PciIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t deviceId = 0;
    std::uint16_t subsystemVendorId = 0;
    std::uint16_t subsystemId = 0;
    std::uint8_t revision = 0;
    hw::PciLocation location;
};

PciIdentity ReadPciIdentity(const hw::PciFunction& function);

// Hardware IDs, most specific first:
// "PCI\VEN_F10E&DEV_0001&SUBSYS_0001F10E&REV_06", then without REV, ...
std::vector<std::string> HardwareIds(const PciIdentity& identity);
// The device instance path: the most specific hardware ID, '\', and an
// instance part unique to the function's bus position.
std::string InstanceId(const PciIdentity& identity);

// A hive nobody has set up yet (no CurrentControlSet at all). Such a hive
// gets the driver installed on first use; a set-up hive whose service was
// removed keeps it that way.
bool HiveIsFresh(nt::Hive& hive);

// Writes the driver's service key and its Parameters subkey, as the INF's
// service install section would. Values already there are replaced (this
// is an install); other values and subkeys are left alone.
NTSTATUS InstallDriverService(nt::Hive& hive);

// Whether `service` is an installed kernel driver that may load (its key
// exists, Type 1, Start not 4); `imagePath` gets its ImagePath.
bool ServiceInstalled(nt::Hive& hive, std::string_view service, std::string* imagePath);

// The device instance key of a detected function: created when missing,
// and missing values filled in (existing ones are kept, so a user's
// settings survive reboots). When the function matches the driver's
// hardware IDs and the driver is installed, its Service is the driver's.
// `service` gets the instance's Service value ("" when it has none).
NTSTATUS EnsureDeviceInstance(nt::Hive& hive, const PciIdentity& identity, std::string* service);

}  // namespace machine
