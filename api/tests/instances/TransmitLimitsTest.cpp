// Transmits that can never finish: a frame longer than the port's transmit
// ring can ever take, and a transmitter that has stopped sending. Both end
// with an error instead of offering the records again for ever.
#define INITGUID
#include <gtest/gtest.h>

#include "../ports/PortTestSupport.h"
#include "InstanceTestSupport.h"
#include "fl_test_machine.h"

#include <machine/machine.hpp>

#include <string>
#include <vector>

namespace instancetest {
namespace {

// One board, its two ports cabled to each other.
constexpr Mac kFirst = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x30};
constexpr Mac kSecond = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x31};

class TransmitLimits : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FlUseTestMachine("transmit_limits", "clock = \"realtime\"\n"
                                            "autonegotiation_delay_ms = 50\n"
                                            "[[board]]\n"
                                            "mac = \"02:00:f1:0e:00:30\"\n"
                                            "[[board.port]]\n"
                                            "wire = \"cable\"\n"
                                            "to = { board = 0, port = 1 }\n"
                                            "[[board.port]]\n");
    }

    // Sets a value of the port's hardware key and restarts the port's
    // device, so that the driver reads it.
    static void Configure(FL_PORT port, const char* name, DWORD value)
    {
        const std::string path = FlPortGetName(port);
        porttest::Interfaces interfaces;
        ASSERT_TRUE(interfaces.SetDword(path, name, value));
        ASSERT_TRUE(interfaces.Change(path, DICS_DISABLE));
        ASSERT_TRUE(interfaces.Change(path, DICS_ENABLE));
    }

    // A buffer of `count` marked frames of `size` bytes.
    static FL_PACKETS_BUFFER Frames(size_t size, uint32_t count)
    {
        FL_PACKETS_BUFFER buffer = nullptr;
        EXPECT_EQ(FlPacketsBufferCreate(count * RecordSize(size), &buffer), FL_SUCCESS);
        const std::vector<uint8_t> frame = MarkedFrame(size, 1);
        FL_PACKET_HEADER header{};
        header.WireLength = header.CapturedLength = static_cast<uint16_t>(size);
        for (uint32_t n = 0; n < count; ++n) {
            EXPECT_EQ(FlPacketsBufferCommitNextPacket(buffer, &header, frame.data()), FL_SUCCESS);
        }
        return buffer;
    }

    static uint32_t RecordSize(size_t size) { return static_cast<uint32_t>(24 + ((size + 7) & ~size_t{7})); }
};

TEST_F(TransmitLimits, AFrameTheTransmitRingCanNeverTakeIsRefusedAtOnce)
{
    // Eight descriptors of 256-byte slots post at most seven slots at a
    // time: 1792 bytes is the longest frame the port can ever send.
    {
        PortList ports;
        Configure(ports.Physical(kFirst), "TxDescriptors", 8);
    }
    PortList ports;
    RawPort port(ports.Physical(kFirst));
    ASSERT_TRUE(port.WaitLinkUp());
    OpenInstance sender(ports.Physical(kFirst));
    ASSERT_TRUE(sender);
    ASSERT_EQ(FlInstanceSetFeature(sender.Get(), FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);

    FL_PACKETS_BUFFER tooLong = Frames(1793, 1);
    EXPECT_EQ(FlInstanceTransmitPackets(sender.Get(), tooLong), FL_ERROR_INVALID_PACKET);
    FlPacketsBufferDestroy(tooLong);

    const uint64_t before = port.Counters()[FL_PORT_STAT_PACKETS_SENT];
    FL_PACKETS_BUFFER longest = Frames(1792, 3);
    EXPECT_EQ(FlInstanceTransmitPackets(sender.Get(), longest), FL_SUCCESS);
    FlPacketsBufferDestroy(longest);
    EXPECT_TRUE(Eventually([&] { return port.Counters()[FL_PORT_STAT_PACKETS_SENT] >= before + 3; }));
}

TEST_F(TransmitLimits, ATransmitterThatStoppedSendingEndsTheTransmitWithAnError)
{
    {
        PortList ports;
        Configure(ports.Physical(kSecond), "TxSlots", 4096);
    }
    PortList ports;
    RawPort port(ports.Physical(kSecond));
    ASSERT_TRUE(port.WaitLinkUp());
    OpenInstance sender(ports.Physical(kSecond));
    ASSERT_TRUE(sender);
    ASSERT_EQ(FlInstanceSetFeature(sender.Get(), FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);

    // The board drops off the bus: the transmitter sends nothing more, and
    // the 4096 slots fill with what is handed to it.
    hw::Port* hardware = nullptr;
    for (hw::Port* candidate : machine::CurrentMachine()->Hardware().Ports()) {
        if (candidate->Mac() == hw::MacAddress{0x02, 0x00, 0xf1, 0x0e, 0x00, 0x31}) hardware = candidate;
    }
    ASSERT_NE(hardware, nullptr);
    hardware->SetFaults(hw::PortFaults{false, true});
    FL_PACKETS_BUFFER buffer = Frames(1514, 1000);
    EXPECT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_ERROR_IO);
    hardware->SetFaults(hw::PortFaults{});
    FlPacketsBufferDestroy(buffer);
}

} // namespace
} // namespace instancetest
