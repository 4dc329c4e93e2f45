#include "PortConfiguration.h"

#include <bit>
#include <cstring>
#include <optional>

#include "DriverInterface.h"
#include "Enumeration.h"

namespace FlApi {
namespace {

constexpr char kPassthruEnabled[] = "PassthruEnabled";
constexpr char kAutonegotiationConfiguration[] = "AutonegotiationConfiguration";

// The control codes of the port features, by feature id (1..9); LEDs are
// the ones that can be set.
struct FeatureCodes {
    DWORD Set;
    DWORD Query;
};

constexpr FeatureCodes kFeatureCodes[] = {
    {IOCTL_PORT_SET_LED0, IOCTL_PORT_QUERY_LED0},
    {IOCTL_PORT_SET_LED2, IOCTL_PORT_QUERY_LED2},
    {IOCTL_PORT_SET_LED3, IOCTL_PORT_QUERY_LED3},
    {0, IOCTL_PORT_QUERY_RX_SLOT_SIZE},
    {0, IOCTL_PORT_QUERY_TX_SLOT_SIZE},
    {0, IOCTL_PORT_QUERY_RX_SLOTS},
    {0, IOCTL_PORT_QUERY_TX_SLOTS},
    {0, IOCTL_PORT_QUERY_RX_DESCRIPTORS},
    {0, IOCTL_PORT_QUERY_TX_DESCRIPTORS},
};

const FeatureCodes* CodesOf(uint32_t feature) noexcept
{
    if (feature < FL_PORT_FT_LED0 || feature > FL_PORT_FT_TX_DESCRIPTORS) {
        return nullptr;
    }
    return &kFeatureCodes[feature - FL_PORT_FT_LED0];
}

// One query whose answer is exactly `size` bytes into `out`.
FL_STATUS QueryPort(Port* port, DWORD code, void* out, DWORD size)
{
    UniqueHandle device = OpenPortDevice(port->GetName(), GENERIC_READ);
    if (!device.IsValid()) {
        return FL_ERROR_IO;
    }
    DWORD returned = 0;
    if (!PortControl(device.Get(), code, nullptr, 0, out, size, &returned) || returned != size) {
        return FL_ERROR_IO;
    }
    return FL_SUCCESS;
}

// One step of a restart: a property change of the device through the class
// installer, then whether the system wants a restart or reboot for it.
// nullopt when the change was refused.
std::optional<FL_STATUS> ChangeDevice(DeviceInfo& info, DWORD stateChange, DWORD scope)
{
    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = stateChange;
    change.Scope = scope;
    change.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(info.Set, &info.Data, &change.ClassInstallHeader, sizeof(change)) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, info.Set, &info.Data)) {
        return std::nullopt;
    }
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(params);
    if (SetupDiGetDeviceInstallParamsW(info.Set, &info.Data, &params) &&
        (params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0) {
        return FL_SUCCESS_REBOOT_REQUIRED;
    }
    return FL_SUCCESS;
}

// A 32-bit process on 64-bit Windows cannot drive the class installer of
// 64-bit devices: the change waits for the next boot there. The function is
// looked up because older systems do not have it.
bool RunsUnderWow64() noexcept
{
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == nullptr) {
        return false;
    }
    auto isWow64Process =
        reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64Process != nullptr && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Writes `value` to both ports of a board, port 0 first. When port 1 cannot
// be written, port 0 gets its former value back: the two ports of a pair
// never disagree because of a failed call.
FL_STATUS WritePassthru(Board& board, DWORD value)
{
    Port* port0 = FromHandle(board.Ports[0]);
    Port* port1 = FromHandle(board.Ports[1]);
    DWORD former = 0;
    const FL_STATUS hadValue = ReadPortDword(port0, kPassthruEnabled, &former);
    if (WritePortDword(port0, kPassthruEnabled, value) != FL_SUCCESS) {
        return FL_ERROR_INVALID_REQUEST;
    }
    if (WritePortDword(port1, kPassthruEnabled, value) != FL_SUCCESS) {
        if (hadValue == FL_SUCCESS) {
            WritePortDword(port0, kPassthruEnabled, former);
        } else {
            DeletePortValue(port0, kPassthruEnabled);
        }
        return FL_ERROR_INVALID_REQUEST;
    }
    return FL_SUCCESS;
}

// PassthruEnabled of one port as FlBoardQueryFeature counts it: a missing
// or malformed value, or a device no longer there, is "off".
FL_STATUS PassthruOf(Port* port, bool* on)
{
    DWORD value = 0;
    const FL_STATUS status = ReadPortDword(port, kPassthruEnabled, &value);
    if (status == FL_ERROR_REGISTRY) {
        *on = false;
        return FL_SUCCESS;
    }
    *on = status == FL_SUCCESS && value == 1;
    return status;
}

} // namespace

// ---- Physical ports ----

FL_STATUS PhysicalPort::QueryLinkStatus(FL_LINK_STATUS* linkStatus)
{
    static_assert(sizeof(FL_LINK_STATUS) == sizeof(FL_IOCTL_LINK_STATUS));
    return QueryPort(this, IOCTL_PORT_QUERY_LINK_STATUS, linkStatus, sizeof(*linkStatus));
}

FL_STATUS PhysicalPort::QueryFeature(uint32_t feature, uint32_t* value)
{
    UniqueHandle device = OpenPortDevice(name_.c_str(), GENERIC_READ);
    if (!device.IsValid()) {
        return FL_ERROR_IO;
    }
    const FeatureCodes* codes = CodesOf(feature);
    if (codes == nullptr) {
        return FL_ERROR_INVALID_REQUEST;
    }
    // An LED in a mode of its own answers -1, which is FL_LED_UNKNOWN here.
    uint32_t answer = 0;
    DWORD returned = 0;
    if (!PortControl(device.Get(), codes->Query, nullptr, 0, &answer, sizeof(answer), &returned) ||
        returned != sizeof(answer)) {
        return FL_ERROR_IO;
    }
    *value = answer;
    return FL_SUCCESS;
}

FL_STATUS PhysicalPort::SetFeature(uint32_t feature, uint32_t value)
{
    UniqueHandle device = OpenPortDevice(name_.c_str(), GENERIC_WRITE);
    if (!device.IsValid()) {
        return FL_ERROR_IO;
    }
    const FeatureCodes* codes = CodesOf(feature);
    if (codes == nullptr || codes->Set == 0) {
        return FL_ERROR_INVALID_REQUEST;
    }
    if (!PortControl(device.Get(), codes->Set, &value, sizeof(value), nullptr, 0)) {
        return GetLastError() == ERROR_INVALID_PARAMETER ? FL_ERROR_INVALID_PARAMETER : FL_ERROR_IO;
    }
    return FL_SUCCESS;
}

FL_STATUS PhysicalPort::QueryAutonegotiationParameters(FL_AUTONEGOTIATION_PARAMETERS* parameters)
{
    static_assert(sizeof(FL_AUTONEGOTIATION_PARAMETERS) == sizeof(FL_IOCTL_AUTONEGOTIATION));
    return QueryPort(this, IOCTL_PORT_QUERY_AUTONEGOTIATION, parameters, sizeof(*parameters));
}

FL_STATUS PhysicalPort::SetAutonegotiationParameters(FL_AUTONEGOTIATION_PARAMETERS* parameters)
{
    {
        UniqueHandle device = OpenPortDevice(name_.c_str(), GENERIC_WRITE);
        if (!device.IsValid() ||
            !PortControl(device.Get(), IOCTL_PORT_SET_AUTONEGOTIATION, parameters, sizeof(*parameters), nullptr, 0)) {
            return FL_ERROR_IO;
        }
    }
    // The driver advertises the modes now; the registry keeps them for its
    // next start.
    return WritePortDword(this, kAutonegotiationConfiguration, parameters->Modes);
}

// ---- Boards ----

bool PassthruModesAgree(uint32_t port0Modes, uint32_t port1Modes) noexcept
{
    return port0Modes == port1Modes && std::popcount(port0Modes) == 1;
}

FL_STATUS RestartResult(FL_STATUS disableStep, FL_STATUS enableStep) noexcept
{
    if (enableStep != FL_SUCCESS && enableStep != FL_SUCCESS_REBOOT_REQUIRED) {
        return enableStep;
    }
    return disableStep == FL_SUCCESS_REBOOT_REQUIRED || enableStep == FL_SUCCESS_REBOOT_REQUIRED
               ? FL_SUCCESS_REBOOT_REQUIRED
               : FL_SUCCESS;
}

FL_STATUS RestartDevice(Port* port)
{
    DeviceInfo info;
    const FL_STATUS status = FindDeviceInfo(port->GetName(), &info);
    if (status != FL_SUCCESS) {
        return status;
    }
    if (RunsUnderWow64()) {
        return FL_SUCCESS_REBOOT_REQUIRED;
    }
    // Disabled in the hardware profile, enabled in both scopes: the device
    // runs again whichever scope had stopped it.
    const std::optional<FL_STATUS> disabled = ChangeDevice(info, DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC);
    if (!disabled) {
        return FL_ERROR_INVALID_REQUEST;
    }
    ChangeDevice(info, DICS_ENABLE, DICS_FLAG_GLOBAL);
    const std::optional<FL_STATUS> enabled = ChangeDevice(info, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC);
    return RestartResult(*disabled, enabled ? *enabled : FL_ERROR_INVALID_REQUEST);
}

FL_STATUS SetBoardFeature(Board& board, uint32_t feature, uint32_t value)
{
    if (feature != FL_BOARD_FT_PASSTHRU || value > 1) {
        return FL_ERROR_INVALID_PARAMETER;
    }
    if (board.PortCount != 2) {
        return FL_ERROR_INVALID_REQUEST;
    }
    if (value == 1) {
        DWORD modes0 = 0;
        DWORD modes1 = 0;
        if (ReadPortDword(FromHandle(board.Ports[0]), kAutonegotiationConfiguration, &modes0) != FL_SUCCESS ||
            ReadPortDword(FromHandle(board.Ports[1]), kAutonegotiationConfiguration, &modes1) != FL_SUCCESS ||
            !PassthruModesAgree(modes0, modes1)) {
            return FL_ERROR_INVALID_REQUEST;
        }
    }
    const FL_STATUS written = WritePassthru(board, value);
    if (written != FL_SUCCESS) {
        return written;
    }
    return RestartBoard(board, RestartDevice);
}

FL_STATUS QueryBoardFeature(Board& board, uint32_t feature, uint32_t* value)
{
    if (feature != FL_BOARD_FT_PASSTHRU) {
        return FL_ERROR_INVALID_PARAMETER;
    }
    if (board.PortCount != 2) {
        *value = 0;
        return FL_SUCCESS;
    }
    bool on = false;
    FL_STATUS status = PassthruOf(FromHandle(board.Ports[0]), &on);
    if (status == FL_SUCCESS && on) {
        status = PassthruOf(FromHandle(board.Ports[1]), &on);
    }
    if (status != FL_SUCCESS) {
        return status;
    }
    *value = on ? 1 : 0;
    return FL_SUCCESS;
}

} // namespace FlApi
