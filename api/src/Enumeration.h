// Finding the driver's ports: the interfaces of its class, the device of a
// port and its registry key, and the port list that FlQueryPortList hands
// out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DriverInterface.h"
#include "Ports.h"

namespace FlApi {

// A device information set and one device of it, released together.
class DeviceInfo {
public:
    DeviceInfo() noexcept { Data.cbSize = sizeof(Data); }
    DeviceInfo(const DeviceInfo&) = delete;
    DeviceInfo& operator=(const DeviceInfo&) = delete;
    ~DeviceInfo()
    {
        if (Set != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(Set);
        }
    }

    HDEVINFO Set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA Data{};
};

// The present interfaces of the driver's class: FL_ERROR_UNKNOWN when the
// set cannot be had.
FL_STATUS GetPortInterfaces(HDEVINFO* set) noexcept;

// The device path and device record of interface `index` of `set`. false
// at the end of the set (*end true) or when this interface's detail cannot
// be read (*end false: skip it).
bool GetInterface(HDEVINFO set, DWORD index, std::string* path, SP_DEVINFO_DATA* device, bool* end);

// The device of the port named `name` (compared without regard to case):
// FL_ERROR_UNKNOWN without an interface set, FL_ERROR_REGISTRY when no
// present interface has that path.
FL_STATUS FindDeviceInfo(const char* name, DeviceInfo* info);

// The device's hardware key ("Device Parameters"): FL_ERROR_UNKNOWN when it
// does not open.
FL_STATUS OpenPortKey(DeviceInfo& info, REGSAM access, UniqueKey* key);

// A registry write that failed with `error`: FL_ERROR_REGISTRY when the
// registry refuses changes (access denied: a read-only registry), else
// FL_ERROR_UNKNOWN.
FL_STATUS RegistryWriteFailure(LSTATUS error);

// A REG_DWORD of the port's hardware key. Reading: FL_ERROR_REGISTRY when
// the value is missing, not a REG_DWORD or not 4 bytes long.
FL_STATUS ReadPortDword(Port* port, const char* valueName, DWORD* value);
FL_STATUS WritePortDword(Port* port, const char* valueName, DWORD value);
FL_STATUS DeletePortValue(Port* port, const char* valueName);

// The port's own description in the registry: "CustomDescription" when it
// is a REG_SZ of at least one character, else the device description, else
// empty.
std::string ReadPortDescription(HDEVINFO set, SP_DEVINFO_DATA* device);

// The list that the caller gets from the physical ports found, in discovery
// order: the ports grouped into boards, one BapPort per board of two ports
// (newest board first), one FlApPort over the physical ports when there are
// two boards or more. An empty list is null with a count of 0. On failure
// (an allocation) everything is destroyed and nothing is returned.
FL_STATUS BuildPortList(std::vector<std::unique_ptr<PhysicalPort>> ports, FL_PORT** list,
                        uint32_t* count);

// FlQueryPortList and FlFreePortList.
FL_STATUS QueryPortList(FL_PORT** list, uint32_t* count);
void FreePortList(FL_PORT* list) noexcept;

// The boards of a list, newest first, as the block holds them.
uint32_t GetListBoards(FL_PORT* list, FL_BOARD** boards) noexcept;

} // namespace FlApi
