// The aggregating instance as an application uses it, on a machine of two
// boards whose ports hear generators at different rates: one stream in
// timestamp order with the member index in every record, features applied
// to every member, what it refuses, and its pool of aggregation buffers.
#include <gtest/gtest.h>

#include "InstanceTestSupport.h"
#include "fl_test_machine.h"

#include <map>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace instancetest {
namespace {

// Board 0: two generators at different rates; board 1: no wires.
constexpr Mac kBusy = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x10};
constexpr Mac kOther = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x11};
constexpr Mac kQuiet = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x21};

class AggregatingInstance : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FlUseTestMachine("aggregating_instance", "clock = \"realtime\"\n"
                                                 "[[board]]\n"
                                                 "mac = \"02:00:f1:0e:00:10\"\n"
                                                 "[[board.port]]\n"
                                                 "wire = \"generator\"\n"
                                                 "rate = 3000\n"
                                                 "min_size = 64\n"
                                                 "max_size = 300\n"
                                                 "[[board.port]]\n"
                                                 "wire = \"generator\"\n"
                                                 "rate = 1000\n"
                                                 "min_size = 64\n"
                                                 "max_size = 300\n"
                                                 "[[board]]\n"
                                                 "mac = \"02:00:f1:0e:00:20\"\n"
                                                 "[[board.port]]\n"
                                                 "wire = \"none\"\n"
                                                 "[[board.port]]\n"
                                                 "wire = \"none\"\n");
    }
};

// The member list of an aggregating port, as names.
std::vector<std::string> MemberNames(FL_PORT port)
{
    FL_PORT* members = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(FlPortQueryAggregatedPortList(port, &members, &count), FL_SUCCESS);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i) names.emplace_back(FlPortGetName(members[i]));
    return names;
}

uint32_t MemberIndex(const std::vector<std::string>& members, FL_PORT port)
{
    for (uint32_t i = 0; i < members.size(); ++i) {
        if (members[i] == FlPortGetName(port)) return i;
    }
    ADD_FAILURE() << FlPortGetName(port) << " is no member";
    return 0;
}

// The board aggregating port whose members include the port named `member`.
FL_PORT BapOf(const PortList& ports, FL_PORT member)
{
    for (uint32_t i = 0; i < ports.Count(); ++i) {
        if (FlPortGetType(ports[i]) != FL_PORT_TYPE_BOARD_AGGREGATING) continue;
        for (const std::string& name : MemberNames(ports[i])) {
            if (name == FlPortGetName(member)) return ports[i];
        }
    }
    ADD_FAILURE() << "no board aggregating port over " << FlPortGetName(member);
    return nullptr;
}

TEST_F(AggregatingInstance, TheMergedStreamIsInTimestampOrderAndTellsTheMembersApart)
{
    PortList ports;
    FL_PORT all = ports.OfType(FL_PORT_TYPE_AGGREGATING);
    ASSERT_NE(all, nullptr);
    const std::vector<std::string> members = MemberNames(all);
    ASSERT_EQ(members.size(), 4u);
    OpenInstance instance(all);
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();
    EXPECT_STREQ(FlPortGetName(FlInstanceGetPort(i)), FlPortGetName(all));
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    // Across buffers too: a later receive never hands out a record older
    // than one handed out before.
    std::map<uint32_t, size_t> perMember;
    uint64_t previous = 0;
    size_t total = 0;
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while ((total < 3000 || perMember.size() < 2) && std::chrono::steady_clock::now() < deadline) {
        FL_PACKETS_BUFFER buffer = nullptr;
        ASSERT_EQ(FlInstanceReceivePackets(i, &buffer), FL_SUCCESS);
        if (buffer == nullptr) continue;
        EXPECT_EQ(FlPacketsBufferGetBuffer(buffer), nullptr);
        EXPECT_EQ(FlPacketsBufferGetLength(buffer), 0u);
        EXPECT_EQ(FlPacketsBufferGetEffectiveLength(buffer), 0u);
        EXPECT_EQ(FlPacketsBufferCommitNextPacket(buffer, nullptr, nullptr), FL_ERROR_INVALID_REQUEST);
        EXPECT_EQ(FlPacketsBufferSetEffectiveLength(buffer, 0), FL_ERROR_INVALID_REQUEST);
        for (const Record& r : Drain(buffer)) {
            EXPECT_GE(r.header.Timestamp, previous) << "record " << total;
            previous = r.header.Timestamp;
            const uint32_t member = FL_PACKET_PORT_INDEX(r.header.Flags);
            EXPECT_LT(member, members.size());
            EXPECT_EQ(r.header.Flags & ~FL_PACKET_FLAG_PORT_INDEX_MASK, FL_PACKET_FLAG_FCS_PRESENT);
            EXPECT_GE(r.header.WireLength, 64u);
            EXPECT_LE(r.header.WireLength, 300u);
            ++perMember[member];
            ++total;
        }
        FlPacketsBufferDestroy(buffer);
    }
    ASSERT_GE(total, 3000u);
    // The two members on board 0 hear generators, the others have no wire;
    // the busier generator gives more records.
    ASSERT_EQ(perMember.size(), 2u);
    for (const auto& [member, count] : perMember) {
        const std::string& name = members[member];
        EXPECT_TRUE(name == FlPortGetName(ports.Physical(kBusy)) || name == FlPortGetName(ports.Physical(kOther)))
            << count << " records of " << name;
    }
    const size_t busy = perMember[MemberIndex(members, ports.Physical(kBusy))];
    const size_t other = perMember[MemberIndex(members, ports.Physical(kOther))];
    EXPECT_GT(busy, other);
    EXPECT_GT(other, 0u);
}

TEST_F(AggregatingInstance, FeaturesReachEveryMemberAndTransmissionIsRefused)
{
    PortList ports;
    OpenInstance instance(BapOf(ports, ports.Physical(kBusy)));
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();
    EXPECT_EQ(FlPortGetType(FlInstanceGetPort(i)), FL_PORT_TYPE_BOARD_AGGREGATING);

    uint32_t value = 0;
    // Members are opened with a short read timeout, and never get a longer.
    ASSERT_EQ(FlInstanceQueryFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, &value), FL_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 10), FL_SUCCESS);
    ASSERT_EQ(FlInstanceQueryFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, &value), FL_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 2), FL_SUCCESS);
    ASSERT_EQ(FlInstanceQueryFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, &value), FL_SUCCESS);
    EXPECT_EQ(value, 2u);

    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_SNAPLEN, 0x10000), FL_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_SNAPLEN, 48), FL_SUCCESS);
    ASSERT_EQ(FlInstanceQueryFeature(i, FL_INSTANCE_FT_SNAPLEN, &value), FL_SUCCESS);
    EXPECT_EQ(value, 48u);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_ERROR_FILTER, 8), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_ERROR_FILTER, 7), FL_SUCCESS);
    ASSERT_EQ(FlInstanceQueryFeature(i, FL_INSTANCE_FT_ERROR_FILTER, &value), FL_SUCCESS);
    EXPECT_EQ(value, 7u);

    // Refused here: the instance only receives.
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_TX_ENABLE, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceQueryFeature(i, FL_INSTANCE_FT_TX_ENABLE, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 0), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, 7, 1), FL_ERROR_INVALID_REQUEST);
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_EQ(FlPacketsBufferCreate(256, &buffer), FL_SUCCESS);
    EXPECT_EQ(FlInstanceTransmitPackets(i, buffer), FL_ERROR_INVALID_REQUEST);
    FlPacketsBufferDestroy(buffer);
    EXPECT_EQ(FlInstanceRegisterEvtLinkStatusChange(
                  i, [](FL_INSTANCE, FL_LINK_STATUS*, void*) -> FL_STATUS { return FL_SUCCESS; }, nullptr),
              FL_ERROR_INVALID_REQUEST);
    HANDLE event = FlInstanceGetReceiveWaitHandle(i);
    EXPECT_NE(event, nullptr);

    // Before reception every member's read is refused; with it, the snap
    // length set above holds for the records of both members.
    EXPECT_EQ(FlInstanceReceivePackets(i, &buffer), FL_ERROR_IO);
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    ASSERT_EQ(FlInstanceQueryFeature(i, FL_INSTANCE_FT_RX_ENABLE, &value), FL_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_ERROR_INVALID_REQUEST);
    std::map<uint32_t, size_t> perMember;
    const std::vector<Record> records = ReceiveUntil(i, [&](const std::vector<Record>& got) {
        perMember.clear();
        for (const Record& r : got) ++perMember[FL_PACKET_PORT_INDEX(r.header.Flags)];
        return got.size() >= 100 && perMember.size() == 2;
    });
    ASSERT_GE(records.size(), 100u);
    EXPECT_EQ(perMember.size(), 2u);
    for (const Record& r : records) EXPECT_EQ(r.header.CapturedLength, 48u);
}

TEST_F(AggregatingInstance, WithoutTrafficAReceiveGivesNoBuffer)
{
    PortList ports;
    OpenInstance instance(BapOf(ports, ports.Physical(kQuiet)));
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    for (int round = 0; round < 50; ++round) {
        FL_PACKETS_BUFFER buffer = reinterpret_cast<FL_PACKETS_BUFFER>(&instance);
        ASSERT_EQ(FlInstanceReceivePackets(i, &buffer), FL_SUCCESS);
        EXPECT_EQ(buffer, nullptr) << "round " << round;
    }
}

TEST_F(AggregatingInstance, HoldingEveryAggregationBufferRunsThePoolDry)
{
    PortList ports;
    FL_PORT bap = BapOf(ports, ports.Physical(kBusy));
    ASSERT_EQ(MemberNames(bap).size(), 2u);
    OpenInstance instance(bap);
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    // One aggregation buffer per member.
    std::vector<FL_PACKETS_BUFFER> held;
    FL_STATUS status = FL_SUCCESS;
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        FL_PACKETS_BUFFER buffer = nullptr;
        status = FlInstanceReceivePackets(i, &buffer);
        if (status != FL_SUCCESS) break;
        if (buffer != nullptr) held.push_back(buffer);
    }
    EXPECT_EQ(status, FL_ERROR_NO_MEMORY);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_NE(held[0], held[1]);

    // A released buffer is handed out again, with what waited meanwhile
    // still in order after the records already read.
    uint64_t last = 0;
    for (FL_PACKETS_BUFFER buffer : held) {
        for (const Record& r : Drain(buffer)) {
            EXPECT_GE(r.header.Timestamp, last);
            last = r.header.Timestamp;
        }
    }
    FlPacketsBufferDestroy(held.back());
    held.pop_back();
    FL_PACKETS_BUFFER again = nullptr;
    ASSERT_TRUE(Eventually([&] {
        EXPECT_EQ(FlInstanceReceivePackets(i, &again), FL_SUCCESS);
        return again != nullptr;
    }));
    const std::vector<Record> later = Drain(again);
    ASSERT_FALSE(later.empty());
    EXPECT_GE(later.front().header.Timestamp, last);
    FlPacketsBufferDestroy(again);
    FlPacketsBufferDestroy(held.front());
}

TEST_F(AggregatingInstance, APhysicalInstanceDoesNotTransmitAnAggregationBuffer)
{
    PortList ports;
    OpenInstance aggregating(BapOf(ports, ports.Physical(kBusy)));
    OpenInstance physical(ports.Physical(kQuiet));
    ASSERT_TRUE(aggregating);
    ASSERT_TRUE(physical);
    ASSERT_EQ(FlInstanceSetFeature(aggregating.Get(), FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_TRUE(Eventually([&] {
        EXPECT_EQ(FlInstanceReceivePackets(aggregating.Get(), &buffer), FL_SUCCESS);
        return buffer != nullptr;
    }));
    EXPECT_EQ(FlInstanceTransmitPackets(physical.Get(), buffer), FL_ERROR_NOT_IMPLEMENTED);
    FlPacketsBufferDestroy(buffer);
}

TEST_F(AggregatingInstance, AggregatingPortsHaveNoPortStatistics)
{
    PortList ports;
    for (FL_PORT port : {ports.OfType(FL_PORT_TYPE_BOARD_AGGREGATING), ports.OfType(FL_PORT_TYPE_AGGREGATING)}) {
        ASSERT_NE(port, nullptr);
        FL_STATISTICS statistics = reinterpret_cast<FL_STATISTICS>(&ports);
        EXPECT_EQ(FlPortQueryStatistics(port, &statistics), FL_ERROR_NOT_IMPLEMENTED);
        EXPECT_EQ(statistics, reinterpret_cast<FL_STATISTICS>(&ports)) << "nothing made";
    }

    // The instance's counters are there, summed over the members.
    OpenInstance instance(BapOf(ports, ports.Physical(kBusy)));
    ASSERT_TRUE(instance);
    ASSERT_EQ(FlInstanceSetFeature(instance.Get(), FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    const std::vector<Record> records = ReceiveUntil(instance.Get(), [](const auto& got) { return got.size() >= 50; });
    FL_STATISTICS statistics = nullptr;
    ASSERT_EQ(FlInstanceQueryStatistics(instance.Get(), &statistics), FL_SUCCESS);
    // (A reader may start behind frames that came before reception was
    // enabled, so records and counters are not compared.)
    uint64_t received = 0;
    ASSERT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_PACKETS, &received), FL_SUCCESS);
    EXPECT_GT(received, 0u);
    uint64_t value = 0;
    EXPECT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_DROPPED + 1, &value), FL_ERROR_INVALID_REQUEST);
    // Closed before its snapshot: the snapshot keeps its values.
    instance.Close();
    ASSERT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_PACKETS, &value), FL_SUCCESS);
    EXPECT_EQ(value, received);
    FlStatisticsDestroy(statistics);
}

TEST_F(AggregatingInstance, ClosingWithAnAggregationBufferHeldLeavesItReadable)
{
    PortList ports;
    FL_INSTANCE instance = nullptr;
    ASSERT_EQ(FlInstanceOpenByPort(BapOf(ports, ports.Physical(kBusy)), &instance), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(instance, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    // A buffer with at least one record, of which only the first is read.
    FL_PACKETS_BUFFER held = nullptr;
    FL_PACKET_HEADER first{};
    uint8_t* firstData = nullptr;
    ASSERT_TRUE(Eventually([&] {
        EXPECT_EQ(FlInstanceReceivePackets(instance, &held), FL_SUCCESS);
        if (held == nullptr) return false;
        if (FlPacketsBufferQueryNextPacket(held, &first, &firstData) == FL_SUCCESS) return true;
        FlPacketsBufferDestroy(held);
        held = nullptr;
        return false;
    }));
    const std::vector<uint8_t> bytes(firstData, firstData + first.CapturedLength);

    EXPECT_EQ(FlInstanceClose(instance), FL_SUCCESS);

    // The application still holds the buffer and the member reads it
    // shares: the record read stays where it was, the others can still be
    // read, and the late release touches nothing of the closed instance.
    // They are lost with the application's reference, on purpose.
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(held);
#endif
    EXPECT_EQ(std::vector<uint8_t>(firstData, firstData + first.CapturedLength), bytes);
    uint64_t previous = first.Timestamp;
    for (const Record& r : Drain(held)) {
        EXPECT_GE(r.header.Timestamp, previous);
        previous = r.header.Timestamp;
    }
    FlPacketsBufferDestroy(held);
}

} // namespace
} // namespace instancetest
