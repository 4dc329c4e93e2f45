// Port and board configuration through the library's exports, as the panel
// uses them: link status, LEDs, advertised modes kept in the registry, slot
// settings read back after a restart, and passthru with its refusals and
// the restart of both port devices.
#define INITGUID
#include "FlApi.h"
#include "PortTestSupport.h"

#include <fl_test_machine.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

using porttest::Interfaces;

// Board 0: both ports hear generators that advertise every mode. Board 1:
// nothing on its wires.
constexpr char kMachine[] = "autonegotiation_delay_ms = 20\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:70\"\n"
                            "[[board.port]]\n"
                            "wire = \"generator\"\n"
                            "rate = 50\n"
                            "[[board.port]]\n"
                            "wire = \"generator\"\n"
                            "rate = 50\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:80\"\n";

constexpr auto kGenerous = std::chrono::seconds(20);

bool WaitFor(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class PortList {
public:
    PortList()
    {
        FlUseTestMachine("ports_configuration", kMachine);
        EXPECT_EQ(FlQueryPortList(&ports_, &count), FL_SUCCESS);
    }
    ~PortList() { FlFreePortList(ports_); }
    PortList(const PortList&) = delete;
    PortList& operator=(const PortList&) = delete;

    // The physical port with this last address byte; aggregating ports by kind.
    FL_PORT ByMac(uint8_t last) const
    {
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t mac[6];
            if (FlPortGetType(ports_[i]) == FL_PORT_TYPE_PHYSICAL &&
                FlPortQueryMacAddress(ports_[i], mac) == FL_SUCCESS && mac[5] == last) {
                return ports_[i];
            }
        }
        ADD_FAILURE() << "no port ending in " << int(last);
        return nullptr;
    }
    FL_PORT OfType(uint32_t type) const
    {
        for (uint32_t i = 0; i < count; ++i) {
            if (FlPortGetType(ports_[i]) == type) return ports_[i];
        }
        ADD_FAILURE() << "no port of type " << type;
        return nullptr;
    }
    FL_BOARD BoardOf(FL_PORT port) const
    {
        FL_BOARD board = nullptr;
        EXPECT_EQ(FlPortQueryBoard(port, &board), FL_SUCCESS);
        return board;
    }

    uint32_t count = 0;

private:
    FL_PORT* ports_ = nullptr;
};

FL_LINK_STATUS Link(FL_PORT port)
{
    FL_LINK_STATUS link{};
    EXPECT_EQ(FlPortQueryLinkStatus(port, &link), FL_SUCCESS);
    return link;
}

FL_STATUS Advertise(FL_PORT port, uint32_t modes, uint32_t second, uint8_t enabled)
{
    FL_AUTONEGOTIATION_PARAMETERS parameters{};
    parameters.Modes = modes;
    parameters.SupportedModes = second;
    parameters.Enabled = enabled;
    return FlPortSetAutonegotiationParameters(port, &parameters);
}

// A value of the port's hardware key as the driver will read it; -1 when
// it is missing.
long long RegistryDword(const char* path, const char* name)
{
    Interfaces interfaces;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
    if (!interfaces.Query(path, name, &type, &data)) return -1;
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << name;
    EXPECT_EQ(data.size(), 4u) << name;
    DWORD value = 0;
    std::memcpy(&value, data.data(), std::min<size_t>(data.size(), 4));
    return value;
}

// Whether a new handle on the port may transmit: not while passthru runs.
DWORD EnableTransmission(const char* path)
{
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(device, IOCTL_INSTANCE_ENABLE_TRANSMISSION, nullptr, 0, nullptr, 0, &bytes, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(device);
    return error;
}

TEST(PortConfiguration, LinkStatusFollowsTheWire)
{
    PortList list;
    ASSERT_EQ(list.count, 7u);
    FL_PORT heard = list.ByMac(0x70);
    FL_PORT silent = list.ByMac(0x80);
    ASSERT_TRUE(WaitFor([&] { return Link(heard).LinkUp != 0; }));
    FL_LINK_STATUS link = Link(heard);
    EXPECT_EQ(link.Speed, 1000u);
    EXPECT_EQ(link.Duplex, FL_DUPLEX_FULL);
    link = Link(silent);
    EXPECT_EQ(link.LinkUp, 0);
    EXPECT_EQ(link.Speed, 0u);
    EXPECT_EQ(link.Duplex, FL_DUPLEX_DOWN);
    EXPECT_EQ(FlPortQueryLinkStatus(list.OfType(FL_PORT_TYPE_BOARD_AGGREGATING), &link), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortQueryLinkStatus(list.OfType(FL_PORT_TYPE_AGGREGATING), &link), FL_ERROR_INVALID_REQUEST);
}

TEST(PortConfiguration, LedsTakeTheirFourCodesAndNothingElse)
{
    PortList list;
    FL_PORT port = list.ByMac(0x71);
    uint32_t value = 99;
    // Identifying a port: blink, then back to the link indication.
    ASSERT_EQ(FlPortSetFeature(port, FL_PORT_FT_LED0, FL_LED_BLINK), FL_SUCCESS);
    ASSERT_EQ(FlPortQueryFeature(port, FL_PORT_FT_LED0, &value), FL_SUCCESS);
    EXPECT_EQ(value, FL_LED_BLINK);
    ASSERT_EQ(FlPortSetFeature(port, FL_PORT_FT_LED0, FL_LED_NORMAL), FL_SUCCESS);
    ASSERT_EQ(FlPortQueryFeature(port, FL_PORT_FT_LED0, &value), FL_SUCCESS);
    EXPECT_EQ(value, FL_LED_NORMAL);
    ASSERT_EQ(FlPortSetFeature(port, FL_PORT_FT_LED2, FL_LED_ON), FL_SUCCESS);
    ASSERT_EQ(FlPortSetFeature(port, FL_PORT_FT_LED3, FL_LED_OFF), FL_SUCCESS);
    ASSERT_EQ(FlPortQueryFeature(port, FL_PORT_FT_LED2, &value), FL_SUCCESS);
    EXPECT_EQ(value, FL_LED_ON);
    ASSERT_EQ(FlPortQueryFeature(port, FL_PORT_FT_LED3, &value), FL_SUCCESS);
    EXPECT_EQ(value, FL_LED_OFF);
    // Each LED is its own: LED 0 kept its code.
    ASSERT_EQ(FlPortQueryFeature(port, FL_PORT_FT_LED0, &value), FL_SUCCESS);
    EXPECT_EQ(value, FL_LED_NORMAL);

    // The driver refuses a fifth code as a bad parameter; the LED keeps its code.
    EXPECT_EQ(FlPortSetFeature(port, FL_PORT_FT_LED0, 4), FL_ERROR_INVALID_PARAMETER);
    ASSERT_EQ(FlPortQueryFeature(port, FL_PORT_FT_LED0, &value), FL_SUCCESS);
    EXPECT_EQ(value, FL_LED_NORMAL);
    // Settings that cannot be set, and ids that do not exist.
    value = 99;
    EXPECT_EQ(FlPortSetFeature(port, FL_PORT_FT_RX_SLOT_SIZE, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortSetFeature(port, 0, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortSetFeature(port, 10, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortQueryFeature(port, 10, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortQueryFeature(port, 0, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(value, 99u);
    EXPECT_EQ(FlPortSetFeature(list.OfType(FL_PORT_TYPE_BOARD_AGGREGATING), FL_PORT_FT_LED0, FL_LED_BLINK),
              FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortQueryFeature(list.OfType(FL_PORT_TYPE_AGGREGATING), FL_PORT_FT_RX_SLOTS, &value),
              FL_ERROR_INVALID_REQUEST);
}

TEST(PortConfiguration, AdvertisedModesReachTheDriverAndTheRegistry)
{
    PortList list;
    FL_PORT port = list.ByMac(0x70);
    const char* path = FlPortGetName(port);
    FL_AUTONEGOTIATION_PARAMETERS parameters{};
    ASSERT_EQ(FlPortQueryAutonegotiationParameters(port, &parameters), FL_SUCCESS);
    EXPECT_EQ(parameters.Modes, FL_SPEED_ALL);
    EXPECT_EQ(parameters.SupportedModes, FL_SPEED_ALL);
    EXPECT_EQ(parameters.Enabled, 1);
    EXPECT_EQ(RegistryDword(path, "AutonegotiationConfiguration"), -1);

    ASSERT_EQ(Advertise(port, FL_SPEED_100_FULL, FL_SPEED_100_FULL, 1), FL_SUCCESS);
    ASSERT_EQ(FlPortQueryAutonegotiationParameters(port, &parameters), FL_SUCCESS);
    EXPECT_EQ(parameters.Modes, FL_SPEED_100_FULL);
    EXPECT_EQ(parameters.SupportedModes, FL_SPEED_ALL);
    EXPECT_EQ(RegistryDword(path, "AutonegotiationConfiguration"), FL_SPEED_100_FULL);
    // The link negotiates again, down to what both ends have.
    EXPECT_TRUE(WaitFor([&] {
        const FL_LINK_STATUS link = Link(port);
        return link.LinkUp != 0 && link.Speed == 100 && link.Duplex == FL_DUPLEX_FULL;
    }));

    // Refused by the driver: the registry keeps the last accepted modes.
    EXPECT_EQ(Advertise(port, FL_SPEED_100_FULL, FL_SPEED_100_HALF, 1), FL_ERROR_IO);
    EXPECT_EQ(Advertise(port, 5, 5, 0), FL_ERROR_IO);
    EXPECT_EQ(Advertise(port, 32, 32, 1), FL_ERROR_IO);
    EXPECT_EQ(RegistryDword(path, "AutonegotiationConfiguration"), FL_SPEED_100_FULL);
    ASSERT_EQ(FlPortQueryAutonegotiationParameters(port, &parameters), FL_SUCCESS);
    EXPECT_EQ(parameters.Modes, FL_SPEED_100_FULL);

    ASSERT_EQ(Advertise(port, FL_SPEED_ALL, FL_SPEED_ALL, 1), FL_SUCCESS);
    EXPECT_EQ(RegistryDword(path, "AutonegotiationConfiguration"), FL_SPEED_ALL);
    EXPECT_TRUE(WaitFor([&] { return Link(port).Speed == 1000; }));
    EXPECT_EQ(Advertise(list.OfType(FL_PORT_TYPE_BOARD_AGGREGATING), 4, 4, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortQueryAutonegotiationParameters(list.OfType(FL_PORT_TYPE_AGGREGATING), &parameters),
              FL_ERROR_INVALID_REQUEST);
}

TEST(PortConfiguration, PassthruNeedsBothPortsFixedToTheSameMode)
{
    PortList list;
    FL_PORT port0 = list.ByMac(0x70);
    FL_PORT port1 = list.ByMac(0x71);
    FL_BOARD board = list.BoardOf(port0);
    Interfaces interfaces;
    ASSERT_TRUE(interfaces.DeleteValue(FlPortGetName(port0), "AutonegotiationConfiguration"));
    ASSERT_TRUE(interfaces.DeleteValue(FlPortGetName(port1), "AutonegotiationConfiguration"));
    uint32_t value = 7;
    ASSERT_EQ(FlBoardQueryFeature(board, FL_BOARD_FT_PASSTHRU, &value), FL_SUCCESS);
    EXPECT_EQ(value, 0u);  // never set

    // No modes in the registry yet, then differing modes, then two modes each.
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 1), FL_ERROR_INVALID_REQUEST);
    ASSERT_EQ(Advertise(port0, FL_SPEED_1000_FULL, FL_SPEED_1000_FULL, 1), FL_SUCCESS);
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 1), FL_ERROR_INVALID_REQUEST);
    ASSERT_EQ(Advertise(port1, FL_SPEED_100_FULL, FL_SPEED_100_FULL, 1), FL_SUCCESS);
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 1), FL_ERROR_INVALID_REQUEST);
    ASSERT_EQ(Advertise(port0, 20, 20, 1), FL_SUCCESS);
    ASSERT_EQ(Advertise(port1, 20, 20, 1), FL_SUCCESS);
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 1), FL_ERROR_INVALID_REQUEST);
    // Nothing was written, nothing restarted.
    EXPECT_EQ(RegistryDword(FlPortGetName(port0), "PassthruEnabled"), -1);
    EXPECT_EQ(RegistryDword(FlPortGetName(port1), "PassthruEnabled"), -1);
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 2), FL_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FlBoardQueryFeature(board, 2, &value), FL_ERROR_INVALID_PARAMETER);
    ASSERT_EQ(Advertise(port0, FL_SPEED_ALL, FL_SPEED_ALL, 1), FL_SUCCESS);
    ASSERT_EQ(Advertise(port1, FL_SPEED_ALL, FL_SPEED_ALL, 1), FL_SUCCESS);
}

TEST(PortConfiguration, PassthruRestartsBothPortDevices)
{
    PortList list;
    FL_PORT port0 = list.ByMac(0x70);
    FL_PORT port1 = list.ByMac(0x71);
    const std::string path0 = FlPortGetName(port0);
    const std::string path1 = FlPortGetName(port1);
    FL_BOARD board = list.BoardOf(port0);
    ASSERT_EQ(Advertise(port0, FL_SPEED_1000_FULL, FL_SPEED_1000_FULL, 1), FL_SUCCESS);
    ASSERT_EQ(Advertise(port1, FL_SPEED_1000_FULL, FL_SPEED_1000_FULL, 1), FL_SUCCESS);
    EXPECT_EQ(EnableTransmission(path0.c_str()), static_cast<DWORD>(ERROR_SUCCESS));

    // A handle open across the change: the restart ends it.
    HANDLE before = CreateFileA(path1.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(before, INVALID_HANDLE_VALUE);

    // This machine restarts devices at once: no reboot is asked for.
    ASSERT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 1), FL_SUCCESS);
    EXPECT_EQ(RegistryDword(path0.c_str(), "PassthruEnabled"), 1);
    EXPECT_EQ(RegistryDword(path1.c_str(), "PassthruEnabled"), 1);
    uint32_t value = 0;
    ASSERT_EQ(FlBoardQueryFeature(board, FL_BOARD_FT_PASSTHRU, &value), FL_SUCCESS);
    EXPECT_EQ(value, 1u);

    uint8_t mac[6];
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(before, IOCTL_PORT_QUERY_MAC_ADDRESS, nullptr, 0, mac, 6, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    CloseHandle(before);

    // The restarted devices run passthru: they forward, and take no frames
    // of their own to send. Their modes came back from the registry.
    EXPECT_EQ(EnableTransmission(path0.c_str()), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(EnableTransmission(path1.c_str()), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    FL_AUTONEGOTIATION_PARAMETERS parameters{};
    ASSERT_EQ(FlPortQueryAutonegotiationParameters(port1, &parameters), FL_SUCCESS);
    EXPECT_EQ(parameters.Modes, FL_SPEED_1000_FULL);

    // Off again; the settings the driver reads at start are read anew.
    Interfaces interfaces;
    ASSERT_TRUE(interfaces.SetDword(path0, "RxSlotSize", 2048));
    ASSERT_TRUE(interfaces.SetDword(path0, "TxSlotSize", 1600));
    ASSERT_TRUE(interfaces.SetDword(path0, "RxSlots", 8192));
    ASSERT_TRUE(interfaces.SetDword(path0, "TxSlots", 4096));
    ASSERT_TRUE(interfaces.SetDword(path0, "RxDescriptors", 512));
    ASSERT_TRUE(interfaces.SetDword(path0, "TxDescriptors", 256));
    ASSERT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 0), FL_SUCCESS);
    EXPECT_EQ(RegistryDword(path0.c_str(), "PassthruEnabled"), 0);
    EXPECT_EQ(RegistryDword(path1.c_str(), "PassthruEnabled"), 0);
    ASSERT_EQ(FlBoardQueryFeature(board, FL_BOARD_FT_PASSTHRU, &value), FL_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(EnableTransmission(path0.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(EnableTransmission(path1.c_str()), static_cast<DWORD>(ERROR_SUCCESS));

    const std::pair<uint32_t, uint32_t> settings[] = {
        {FL_PORT_FT_RX_SLOT_SIZE, 2048}, {FL_PORT_FT_TX_SLOT_SIZE, 1600}, {FL_PORT_FT_RX_SLOTS, 8192},
        {FL_PORT_FT_TX_SLOTS, 4096},     {FL_PORT_FT_RX_DESCRIPTORS, 512}, {FL_PORT_FT_TX_DESCRIPTORS, 256},
    };
    for (const auto& [feature, expected] : settings) {
        value = 0;
        EXPECT_EQ(FlPortQueryFeature(port0, feature, &value), FL_SUCCESS) << feature;
        EXPECT_EQ(value, expected) << feature;
    }
    // The other port kept the driver's own defaults.
    ASSERT_EQ(FlPortQueryFeature(port1, FL_PORT_FT_RX_SLOTS, &value), FL_SUCCESS);
    EXPECT_NE(value, 8192u);
}

TEST(PortConfiguration, APairIsNeverLeftHalfWritten)
{
    PortList list;
    FL_PORT port0 = list.ByMac(0x70);
    FL_PORT port1 = list.ByMac(0x71);
    const std::string path0 = FlPortGetName(port0);
    const std::string path1 = FlPortGetName(port1);
    FL_BOARD board = list.BoardOf(port0);
    Interfaces interfaces;
    ASSERT_TRUE(interfaces.SetDword(path0, "PassthruEnabled", 1));
    ASSERT_TRUE(interfaces.SetDword(path1, "PassthruEnabled", 1));
    ASSERT_TRUE(interfaces.Change(path1, DICS_DISABLE));

    // Port 1's device is gone: its value cannot be written, and port 0's
    // keeps what it had rather than disagree with its partner.
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 0), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(RegistryDword(path0.c_str(), "PassthruEnabled"), 1);
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 1), FL_ERROR_INVALID_REQUEST);
    // A port that is not there counts as off.
    uint32_t value = 7;
    ASSERT_EQ(FlBoardQueryFeature(board, FL_BOARD_FT_PASSTHRU, &value), FL_SUCCESS);
    EXPECT_EQ(value, 0u);
    FL_LINK_STATUS link{};
    EXPECT_EQ(FlPortQueryLinkStatus(port1, &link), FL_ERROR_IO);
    EXPECT_EQ(FlPortQueryFeature(port1, 10, &value), FL_ERROR_IO);  // the device is opened first

    // Without an earlier value, port 0 is left without one again.
    ASSERT_TRUE(interfaces.DeleteValue(path0, "PassthruEnabled"));
    EXPECT_EQ(FlBoardSetFeature(board, FL_BOARD_FT_PASSTHRU, 0), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(RegistryDword(path0.c_str(), "PassthruEnabled"), -1);

    ASSERT_TRUE(interfaces.Change(path1, DICS_ENABLE));
    ASSERT_TRUE(interfaces.SetDword(path1, "PassthruEnabled", 0));
}

} // namespace
