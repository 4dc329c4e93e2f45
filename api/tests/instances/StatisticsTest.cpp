// Statistics objects over the library's internals, on a machine of two
// boards cabled port to port: frames counted by number, so that sums and
// differences are exact. Board 0 sends, board 1 receives through an
// aggregating instance over both its ports.
#include "AggregatingInstance.h"
#include "Enumeration.h"
#include "PacketsBuffer.h"
#include "PacketRecord.h"
#include "PhysicalInstance.h"
#include "Statistics.h"

#include <gtest/gtest.h>

#include "InstanceTestSupport.h"
#include "fl_test_machine.h"

#include <memory>
#include <vector>

namespace FlApi {
namespace {

using instancetest::Eventually;
using instancetest::Mac;
using instancetest::MarkedFrame;
using instancetest::RawPort;

constexpr Mac kSender0 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x10};
constexpr Mac kSender1 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x11};
constexpr Mac kReceiver0 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x20};

class StatisticsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FlUseTestMachine("instance_statistics", "clock = \"realtime\"\n"
                                                "autonegotiation_delay_ms = 50\n"
                                                "[[board]]\n"
                                                "mac = \"02:00:f1:0e:00:10\"\n"
                                                "[[board.port]]\n"
                                                "wire = \"cable\"\n"
                                                "to = { board = 1, port = 0 }\n"
                                                "[[board.port]]\n"
                                                "wire = \"cable\"\n"
                                                "to = { board = 1, port = 1 }\n"
                                                "[[board]]\n"
                                                "mac = \"02:00:f1:0e:00:20\"\n"
                                                "[[board.port]]\n"
                                                "[[board.port]]\n");
    }

    void SetUp() override { ASSERT_EQ(QueryPortList(&list_, &count_), FL_SUCCESS); }
    void TearDown() override { FreePortList(list_); }

    Port* Physical(const Mac& mac)
    {
        for (uint32_t i = 0; i < count_; ++i) {
            Mac found{};
            Port* port = FromHandle(list_[i]);
            if (port->GetType() == FL_PORT_TYPE_PHYSICAL && port->QueryMacAddress(found.data()) == FL_SUCCESS &&
                found == mac) {
                return port;
            }
        }
        ADD_FAILURE() << "no port with address ending " << int(mac[5]);
        return nullptr;
    }

    // The board aggregating port of the board that `member` is on.
    Port* BapOf(Port* member)
    {
        for (uint32_t i = 0; i < count_; ++i) {
            Port* port = FromHandle(list_[i]);
            if (port->GetType() != FL_PORT_TYPE_BOARD_AGGREGATING) continue;
            FL_PORT* members = nullptr;
            uint32_t n = 0;
            EXPECT_EQ(port->QueryAggregatedPortList(&members, &n), FL_SUCCESS);
            for (uint32_t m = 0; m < n; ++m) {
                if (std::string(FromHandle(members[m])->GetName()) == member->GetName()) return port;
            }
        }
        ADD_FAILURE() << "no board aggregating port over " << member->GetName();
        return nullptr;
    }

private:
    FL_PORT* list_ = nullptr;
    uint32_t count_ = 0;
};

// Sends `frames` marked frames of `size` bytes through `instance`.
void Send(PhysicalInstance& instance, uint32_t frames, uint16_t size)
{
    SingleBuffer* buffer = nullptr;
    ASSERT_EQ(SingleBuffer::Create(frames * RecordSize(size), nullptr, &buffer), FL_SUCCESS);
    const std::vector<uint8_t> frame = MarkedFrame(size, 1);
    FL_PACKET_HEADER header{};
    header.WireLength = header.CapturedLength = size;
    for (uint32_t n = 0; n < frames; ++n) ASSERT_EQ(buffer->CommitNextPacket(&header, frame.data()), FL_SUCCESS);
    EXPECT_EQ(instance.TransmitPackets(buffer), FL_SUCCESS);
    buffer->Destroy();
}

uint64_t Value(Statistics& statistics, uint32_t id)
{
    uint64_t value = 0xDEADBEEF;
    const FL_STATUS status = statistics.QueryValue(id, &value);
    EXPECT_EQ(status, FL_SUCCESS) << std::hex << "counter 0x" << id;
    return value;
}

TEST_F(StatisticsTest, InstanceCountersCountFromReceptionAndSumOverTheMembers)
{
    Port* sender0 = Physical(kSender0);
    Port* sender1 = Physical(kSender1);
    ASSERT_NE(sender0, nullptr);
    ASSERT_NE(sender1, nullptr);
    ASSERT_TRUE(RawPort(ToHandle(sender0)).WaitLinkUp());
    ASSERT_TRUE(RawPort(ToHandle(sender1)).WaitLinkUp());

    PhysicalInstance* rawFirst = nullptr;
    PhysicalInstance* rawSecond = nullptr;
    AggregatingInstance* rawReceiver = nullptr;
    ASSERT_EQ(PhysicalInstance::Open(sender0, PhysicalInstance::kDefaultCapacity, &rawFirst), FL_SUCCESS);
    std::unique_ptr<PhysicalInstance> first(rawFirst);
    ASSERT_EQ(PhysicalInstance::Open(sender1, PhysicalInstance::kDefaultCapacity, &rawSecond), FL_SUCCESS);
    std::unique_ptr<PhysicalInstance> second(rawSecond);
    ASSERT_EQ(AggregatingInstance::Open(BapOf(Physical(kReceiver0)), &rawReceiver), FL_SUCCESS);
    std::unique_ptr<AggregatingInstance> receiver(rawReceiver);

    // Before reception the receive counters are all 0; counter ids beyond
    // the table are refused.
    Statistics* rawStatistics = nullptr;
    ASSERT_EQ(receiver->QueryStatistics(&rawStatistics), FL_SUCCESS);
    std::unique_ptr<Statistics> received(rawStatistics);
    for (uint32_t id : {FL_INSTANCE_COUNTER_RX_BYTES, FL_INSTANCE_COUNTER_RX_PACKETS, FL_INSTANCE_COUNTER_RX_GOOD_PACKETS,
                        FL_INSTANCE_COUNTER_RX_ERRORS, FL_INSTANCE_COUNTER_RX_DROPPED}) {
        EXPECT_EQ(Value(*received, id), 0u) << std::hex << id;
    }
    uint64_t value = 77;
    EXPECT_EQ(received->QueryValue(FL_INSTANCE_COUNTER_RX_DROPPED + 1, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(received->QueryValue(FL_INSTANCE_COUNTER_RX_BYTES - 1, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(received->QueryValue(FL_PORT_COUNTER_RX_PACKETS, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(value, 77u);

    ASSERT_EQ(receiver->SetFeature(FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    ASSERT_EQ(first->SetFeature(FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);
    ASSERT_EQ(second->SetFeature(FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);
    Send(*first, 7, 100);
    Send(*second, 5, 200);

    // Each sender counts what it was given, the controller's FCS included.
    ASSERT_EQ(first->QueryStatistics(&rawStatistics), FL_SUCCESS);
    std::unique_ptr<Statistics> sent(rawStatistics);
    EXPECT_EQ(Value(*sent, FL_INSTANCE_COUNTER_TX_PACKETS), 7u);
    EXPECT_EQ(Value(*sent, FL_INSTANCE_COUNTER_TX_BYTES), 7u * 104u);
    EXPECT_EQ(Value(*sent, FL_INSTANCE_COUNTER_RX_PACKETS), 0u) << "never received";

    // The aggregating instance's counters are its members' summed.
    EXPECT_TRUE(Eventually([&] {
        EXPECT_EQ(received->Update(), FL_SUCCESS);
        return Value(*received, FL_INSTANCE_COUNTER_RX_PACKETS) >= 12;
    }));
    Sleep(100);
    ASSERT_EQ(received->Update(), FL_SUCCESS);
    EXPECT_EQ(Value(*received, FL_INSTANCE_COUNTER_RX_PACKETS), 12u);
    EXPECT_EQ(Value(*received, FL_INSTANCE_COUNTER_RX_GOOD_PACKETS), 12u);
    EXPECT_EQ(Value(*received, FL_INSTANCE_COUNTER_RX_BYTES), 7u * 104u + 5u * 204u);
    EXPECT_EQ(Value(*received, FL_INSTANCE_COUNTER_RX_ERRORS), 0u);
    EXPECT_EQ(Value(*received, FL_INSTANCE_COUNTER_TX_PACKETS), 0u);

    // The counter array: its size first, then the counters.
    uint32_t count = 0;
    EXPECT_EQ(receiver->QueryCounters(nullptr, &count), FL_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, static_cast<uint32_t>(FL_INSTANCE_COUNTER_COUNT));
    std::vector<uint64_t> counters(count + 2, 0xFFFF);
    count = static_cast<uint32_t>(counters.size());
    ASSERT_EQ(receiver->QueryCounters(counters.data(), &count), FL_SUCCESS);
    EXPECT_EQ(count, static_cast<uint32_t>(FL_INSTANCE_COUNTER_COUNT));
    EXPECT_EQ(counters[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], 12u);
    EXPECT_EQ(counters[count], 0xFFFFu) << "nothing written past the counters";

    // A snapshot outlives its instance, and still answers with its values.
    receiver.reset();
    EXPECT_EQ(Value(*received, FL_INSTANCE_COUNTER_RX_PACKETS), 12u);
}

TEST_F(StatisticsTest, PortCountersComeFromTheDriverByTheirIds)
{
    Port* sender = Physical(kSender0);
    ASSERT_NE(sender, nullptr);
    ASSERT_TRUE(RawPort(ToHandle(sender)).WaitLinkUp());

    Statistics* raw = nullptr;
    ASSERT_EQ(CreatePortStatistics(sender->GetName(), &raw), FL_SUCCESS);
    std::unique_ptr<Statistics> port(raw);
    const uint64_t before = Value(*port, FL_PORT_COUNTER_TX_PACKETS);
    const uint64_t bytesBefore = Value(*port, FL_PORT_COUNTER_TX_BYTES);
    EXPECT_EQ(Value(*port, FL_PORT_COUNTER_RESERVED), 0u);
    uint64_t value = 77;
    for (uint32_t id : {0u, 7u, FL_PORT_COUNTER_SLOT_SHORTAGE_POLLS - 1, FL_PORT_COUNTER_TX_QUEUE_EMPTY + 1,
                        FL_INSTANCE_COUNTER_RX_PACKETS}) {
        EXPECT_EQ(port->QueryValue(id, &value), FL_ERROR_INVALID_REQUEST) << std::hex << id;
    }
    EXPECT_EQ(value, 77u);

    PhysicalInstance* rawInstance = nullptr;
    ASSERT_EQ(PhysicalInstance::Open(sender, PhysicalInstance::kDefaultCapacity, &rawInstance), FL_SUCCESS);
    std::unique_ptr<PhysicalInstance> instance(rawInstance);
    ASSERT_EQ(instance->SetFeature(FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);
    Send(*instance, 9, 300);

    // The snapshot stays as it was until updated.
    EXPECT_EQ(Value(*port, FL_PORT_COUNTER_TX_PACKETS), before);
    EXPECT_TRUE(Eventually([&] {
        EXPECT_EQ(port->Update(), FL_SUCCESS);
        return Value(*port, FL_PORT_COUNTER_TX_PACKETS) >= before + 9;
    }));
    EXPECT_EQ(Value(*port, FL_PORT_COUNTER_TX_PACKETS), before + 9);
    EXPECT_EQ(Value(*port, FL_PORT_COUNTER_TX_BYTES), bytesBefore + 9u * 304u);

    // The far end's port counted them in.
    Statistics* rawFar = nullptr;
    ASSERT_EQ(CreatePortStatistics(Physical(kReceiver0)->GetName(), &rawFar), FL_SUCCESS);
    std::unique_ptr<Statistics> farEnd(rawFar);
    EXPECT_GE(Value(*farEnd, FL_PORT_COUNTER_RX_GOOD_PACKETS), 9u);
    EXPECT_EQ(Value(*farEnd, FL_PORT_COUNTER_CRC_ERRORS), 0u);

    // A port that is not there: nothing is made.
    raw = reinterpret_cast<Statistics*>(&value);
    EXPECT_EQ(CreatePortStatistics("\\\\?\\FL_no_such_port", &raw), FL_ERROR_PORT_NOT_FOUND);
    EXPECT_EQ(raw, reinterpret_cast<Statistics*>(&value));
}

} // namespace
} // namespace FlApi
