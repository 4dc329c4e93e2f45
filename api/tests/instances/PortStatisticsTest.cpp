// A physical port's counters through the exported interface, on the
// default machine: both ports of the board receive from generators, so the
// controller's receive counters move while the test looks.
#include "FlApi.h"

#include <gtest/gtest.h>

#include "InstanceTestSupport.h"
#include "fl_test_machine.h"

#include <cstdint>

namespace {

using instancetest::Eventually;
using instancetest::PortList;
using instancetest::RawPort;

class PortStatisticsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FlUseTestMachine("port_statistics", ""); }
};

uint64_t Value(FL_STATISTICS statistics, uint32_t id)
{
    uint64_t value = 0xDEADBEEF;
    const FL_STATUS status = FlStatisticsQueryValue(statistics, id, &value);
    EXPECT_EQ(status, FL_SUCCESS) << std::hex << "counter 0x" << id << ": " << FlStatusGetString(status);
    return value;
}

TEST_F(PortStatisticsTest, APhysicalPortsCountersMoveWithItsTrafficOnUpdate)
{
    FL_STATISTICS statistics = nullptr;
    FL_PORT bap = nullptr;
    {
        PortList list;
        FL_PORT port = list.OfType(FL_PORT_TYPE_PHYSICAL);
        ASSERT_NE(port, nullptr);
        ASSERT_TRUE(RawPort(port).WaitLinkUp());
        ASSERT_EQ(FlPortQueryStatistics(port, &statistics), FL_SUCCESS);
        ASSERT_NE(statistics, nullptr);
        bap = list.OfType(FL_PORT_TYPE_BOARD_AGGREGATING);
        ASSERT_NE(bap, nullptr);
        // Merged ports keep no counters of their own; nothing is handed out.
        FL_STATISTICS none = nullptr;
        EXPECT_NE(FlPortQueryStatistics(bap, &none), FL_SUCCESS);
        EXPECT_EQ(none, nullptr);
    }
    // The port list is gone: the snapshot reads the device by its name.

    const uint64_t packets = Value(statistics, FL_PORT_COUNTER_RX_PACKETS);
    const uint64_t good = Value(statistics, FL_PORT_COUNTER_RX_GOOD_PACKETS);
    const uint64_t bytes = Value(statistics, FL_PORT_COUNTER_RX_BYTES);
    EXPECT_GE(packets, good);
    EXPECT_EQ(Value(statistics, FL_PORT_COUNTER_CRC_ERRORS), 0u);
    uint64_t value = 77;
    EXPECT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_PACKETS, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlStatisticsQueryValue(statistics, FL_PORT_COUNTER_TX_QUEUE_EMPTY + 1, &value),
              FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(value, 77u);

    // Frames keep arriving; the snapshot moves only when updated, and then
    // by whole frames of at least the minimum size (60 bytes, the FCS
    // aside).
    Sleep(50);
    EXPECT_EQ(Value(statistics, FL_PORT_COUNTER_RX_PACKETS), packets) << "a snapshot until updated";
    EXPECT_TRUE(Eventually([&] {
        EXPECT_EQ(FlStatisticsUpdate(statistics), FL_SUCCESS);
        return Value(statistics, FL_PORT_COUNTER_RX_GOOD_PACKETS) >= good + 10;
    }));
    const uint64_t morePackets = Value(statistics, FL_PORT_COUNTER_RX_PACKETS);
    EXPECT_GE(morePackets, packets + 10);
    EXPECT_GE(Value(statistics, FL_PORT_COUNTER_RX_BYTES) - bytes, (morePackets - packets) * 60u);
    FlStatisticsDestroy(statistics);
}

} // namespace
