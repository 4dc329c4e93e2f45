// The merge of an aggregating instance on its own: reads of member ports
// built by hand, harvest times chosen by the test, and the windows that the
// merge horizon cuts, read back through the aggregation buffer.
#include "AggregatingInstance.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "PacketRecord.h"

namespace FlApi {
namespace {

// One member port's side: its pool, and reads filled with records stamped
// as the test says, as the driver would have filled them.
class Member {
public:
    explicit Member(uint32_t buffers = 2)
    {
        for (uint32_t i = 0; i < buffers; ++i) {
            SingleBuffer* buffer = nullptr;
            EXPECT_EQ(SingleBuffer::Create(1024, &pool_, &buffer), FL_SUCCESS);
            pool_.CountCreated();
            pool_.Push(buffer);
        }
    }

    // A read holding records with these timestamps (each record's first
    // data byte tells it apart), handed out as a member's receive hands it:
    // with one reference for the receiver.
    SingleBuffer* Read(const std::vector<uint64_t>& timestamps, uint8_t tag)
    {
        SingleBuffer* buffer = pool_.Pop();
        EXPECT_NE(buffer, nullptr);
        buffer->SetEffectiveLength(0);
        for (size_t n = 0; n < timestamps.size(); ++n) {
            FL_PACKET_HEADER header{};
            header.Timestamp = timestamps[n];
            header.Flags = FL_PACKET_FLAG_FCS_PRESENT;
            header.WireLength = header.CapturedLength = static_cast<uint16_t>(60 + n);
            std::vector<uint8_t> data(header.WireLength, static_cast<uint8_t>(tag + n));
            EXPECT_EQ(buffer->CommitNextPacket(&header, data.data()), FL_SUCCESS);
        }
        READ_HEADER readHeader{timestamps.empty() ? 0 : timestamps.back(), 0};
        std::memcpy(buffer->GetAllocation(), &readHeader, sizeof readHeader);
        buffer->AddReference();
        return buffer;
    }

    // Buffers lying in the pool.
    size_t Free()
    {
        std::vector<SingleBuffer*> taken;
        while (SingleBuffer* buffer = pool_.Pop()) taken.push_back(buffer);
        for (auto it = taken.rbegin(); it != taken.rend(); ++it) pool_.Push(*it);
        return taken.size();
    }

private:
    SingleBuffer::Pool pool_;
};

struct Merged {
    uint64_t timestamp;
    uint32_t member;
    uint8_t tag;
};

std::vector<Merged> ReadAll(AggregationBuffer& buffer)
{
    std::vector<Merged> merged;
    for (;;) {
        FL_PACKET_HEADER header{};
        uint8_t* data = nullptr;
        const FL_STATUS status = buffer.QueryNextPacket(&header, &data);
        if (status == FL_ERROR_END_OF_BUFFER) break;
        EXPECT_EQ(status, FL_SUCCESS);
        if (status != FL_SUCCESS) break;
        EXPECT_EQ(header.Flags & FL_PACKET_FLAG_FCS_PRESENT, FL_PACKET_FLAG_FCS_PRESENT);
        merged.push_back({header.Timestamp, FL_PACKET_PORT_INDEX(header.Flags), data[0]});
    }
    return merged;
}

// An aggregation buffer of the instance's pool, taken as a receive takes it.
class Aggregation {
public:
    explicit Aggregation(uint32_t members)
    {
        EXPECT_EQ(AggregationBuffer::Create(members, pool_, &buffer_), FL_SUCCESS);
        pool_.CountCreated();
        pool_.Push(buffer_);
    }

    AggregationBuffer& Take()
    {
        EXPECT_EQ(pool_.Pop(), buffer_);
        buffer_->AddReference();
        return *buffer_;
    }

    bool AtHome()
    {
        AggregationBuffer* buffer = pool_.Pop();
        if (buffer != nullptr) pool_.Push(buffer);
        return buffer == buffer_;
    }

private:
    AggregationBuffer::Pool pool_;
    AggregationBuffer* buffer_ = nullptr;
};

TEST(Merge, RecordsAboveTheEarliestHarvestWaitWithTheirMember)
{
    Member first;
    Member second;
    Aggregation aggregation(2);
    MemberStream streams[2];
    streams[0].Current = first.Read({100, 200, 300}, 0x10);
    streams[0].HarvestTime = 310;
    streams[1].HarvestTime = 250; // nothing received, harvested up to 250

    AggregationBuffer& buffer = aggregation.Take();
    FillWindows(streams, buffer);
    const std::vector<Merged> merged = ReadAll(buffer);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].timestamp, 100u);
    EXPECT_EQ(merged[1].timestamp, 200u);
    EXPECT_EQ(merged[0].member, 0u);
    EXPECT_EQ(merged[0].tag, 0x10);
    EXPECT_EQ(merged[1].tag, 0x11);

    // The member keeps its read, shared with the window until the
    // application releases the aggregation buffer.
    ASSERT_NE(streams[0].Current, nullptr);
    EXPECT_EQ(streams[0].ReadIndex, RecordSize(60) + RecordSize(61));
    EXPECT_EQ(streams[1].Current, nullptr);
    buffer.Destroy();
    EXPECT_TRUE(aggregation.AtHome());
    EXPECT_EQ(first.Free(), 1u) << "still the member's";

    // Once every member has harvested past it, 300 follows, and the read
    // goes home when the application is done with it.
    streams[0].HarvestTime = 400;
    streams[1].HarvestTime = 400;
    AggregationBuffer& later = aggregation.Take();
    FillWindows(streams, later);
    const std::vector<Merged> rest = ReadAll(later);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].timestamp, 300u);
    EXPECT_EQ(rest[0].tag, 0x12);
    EXPECT_EQ(streams[0].Current, nullptr);
    EXPECT_EQ(first.Free(), 1u) << "held by the window";
    later.Destroy();
    EXPECT_EQ(first.Free(), 2u);
    EXPECT_EQ(second.Free(), 2u);
}

TEST(Merge, EqualTimestampsGoToTheLowerMemberFirstAndCarryTheMemberIndex)
{
    Member first;
    Member second;
    Aggregation aggregation(2);
    MemberStream streams[2];
    streams[0].Current = first.Read({100}, 0x10);
    streams[1].Current = second.Read({100}, 0x20);
    streams[0].HarvestTime = streams[1].HarvestTime = 100;

    AggregationBuffer& buffer = aggregation.Take();
    FillWindows(streams, buffer);
    const std::vector<Merged> merged = ReadAll(buffer);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].member, 0u);
    EXPECT_EQ(merged[0].tag, 0x10);
    EXPECT_EQ(merged[1].member, 1u);
    EXPECT_EQ(merged[1].tag, 0x20);
    EXPECT_EQ(streams[0].Current, nullptr);
    EXPECT_EQ(streams[1].Current, nullptr);
    buffer.Destroy();
    EXPECT_EQ(first.Free(), 2u);
    EXPECT_EQ(second.Free(), 2u);
}

TEST(Merge, InterleavedReadsComeOutInTimestampOrderUpToTheHorizon)
{
    Member members[3];
    Aggregation aggregation(3);
    MemberStream streams[3];
    streams[0].Current = members[0].Read({10, 30, 50, 50}, 0x10);
    streams[1].Current = members[1].Read({20, 40}, 0x20);
    streams[2].Current = members[2].Read({5, 50, 60}, 0x30);
    streams[0].HarvestTime = 70;
    streams[1].HarvestTime = 55;
    streams[2].HarvestTime = 65;

    // The horizon is member 1's last record, 40: member 1 is merged to its
    // end, the others up to 40.
    AggregationBuffer& buffer = aggregation.Take();
    FillWindows(streams, buffer);
    std::vector<Merged> merged = ReadAll(buffer);
    std::vector<uint64_t> stamps;
    std::vector<uint32_t> from;
    for (const Merged& m : merged) {
        stamps.push_back(m.timestamp);
        from.push_back(m.member);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{5, 10, 20, 30, 40}));
    EXPECT_EQ(from, (std::vector<uint32_t>{2, 0, 1, 0, 1}));
    EXPECT_NE(streams[0].Current, nullptr);
    EXPECT_EQ(streams[1].Current, nullptr);
    EXPECT_NE(streams[2].Current, nullptr);
    buffer.Destroy();

    // A new read of member 1 moves the horizon on to 50: records stamped
    // exactly at the horizon come along, the 60 stays.
    streams[1].Current = members[1].Read({45, 58}, 0x28);
    streams[1].HarvestTime = 58;
    streams[0].HarvestTime = 50;
    AggregationBuffer& next = aggregation.Take();
    FillWindows(streams, next);
    merged = ReadAll(next);
    stamps.clear();
    from.clear();
    for (const Merged& m : merged) {
        stamps.push_back(m.timestamp);
        from.push_back(m.member);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{45, 50, 50, 50}));
    EXPECT_EQ(from, (std::vector<uint32_t>{1, 0, 0, 2}));
    EXPECT_EQ(streams[0].Current, nullptr) << "ends at the horizon: given up";
    EXPECT_NE(streams[1].Current, nullptr) << "58 waits";
    EXPECT_NE(streams[2].Current, nullptr) << "60 waits";
    next.Destroy();
    EXPECT_EQ(members[0].Free(), 2u);
    EXPECT_EQ(members[1].Free(), 1u) << "one read merged and home, one kept";
    EXPECT_EQ(members[2].Free(), 1u);

    // The reads the members keep go home when the members let them go.
    streams[1].Current->Destroy();
    streams[2].Current->Destroy();
    EXPECT_EQ(members[1].Free(), 2u);
    EXPECT_EQ(members[2].Free(), 2u);
}

TEST(Merge, AMemberWithNothingNewGetsAnEmptyWindowAndKeepsItsRead)
{
    Member first;
    Member second;
    Aggregation aggregation(2);
    MemberStream streams[2];
    streams[0].Current = first.Read({500, 600}, 0x10);
    streams[0].HarvestTime = 600;
    streams[1].HarvestTime = 400; // behind every record of member 0

    AggregationBuffer& buffer = aggregation.Take();
    FillWindows(streams, buffer);
    EXPECT_TRUE(ReadAll(buffer).empty());
    EXPECT_EQ(streams[0].ReadIndex, 0u);
    buffer.Destroy();
    EXPECT_EQ(first.Free(), 1u);

    // Without timestamping every stamp is 0 and so is every horizon: whole
    // reads pass at once.
    MemberStream quiet[2];
    quiet[0].Current = second.Read({0, 0, 0}, 0x40);
    AggregationBuffer& zero = aggregation.Take();
    FillWindows(quiet, zero);
    EXPECT_EQ(ReadAll(zero).size(), 3u);
    EXPECT_EQ(quiet[0].Current, nullptr);
    zero.Destroy();
    EXPECT_EQ(second.Free(), 2u);

    // Member 0 still holds its read, as the instance would until its close.
    streams[0].Current->Destroy();
    EXPECT_EQ(first.Free(), 2u);
}

} // namespace
} // namespace FlApi
