// Record framing of SingleBuffer and the merged read of AggregationBuffer.
#include "PacketsBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "PacketRecord.h"

namespace FlApi {
namespace {

struct BufferDeleter {
    void operator()(PacketsBuffer* buffer) const { buffer->Destroy(); }
};
using BufferPtr = std::unique_ptr<SingleBuffer, BufferDeleter>;

BufferPtr MakeBuffer(uint32_t capacity, SingleBuffer::Pool* owner = nullptr)
{
    SingleBuffer* buffer = nullptr;
    EXPECT_EQ(SingleBuffer::Create(capacity, owner, &buffer), FL_SUCCESS);
    return BufferPtr(buffer);
}

FL_PACKET_HEADER Header(uint16_t length, uint64_t timestamp = 0, uint32_t flags = 0)
{
    FL_PACKET_HEADER header{};
    header.Timestamp = timestamp;
    header.Flags = flags;
    header.WireLength = length;
    header.CapturedLength = length;
    return header;
}

// Appends one record per timestamp, each with `length` bytes whose value is
// the low byte of the timestamp.
void Fill(SingleBuffer& buffer, std::initializer_list<uint64_t> timestamps, uint16_t length = 60,
          uint32_t flags = FL_PACKET_FLAG_FCS_PRESENT)
{
    for (uint64_t timestamp : timestamps) {
        std::vector<uint8_t> bytes(length, static_cast<uint8_t>(timestamp));
        const FL_PACKET_HEADER header = Header(length, timestamp, flags);
        ASSERT_EQ(buffer.CommitNextPacket(&header, bytes.data()), FL_SUCCESS);
    }
}

TEST(RecordSize, PadsDataToEightBytes)
{
    EXPECT_EQ(RecordSize(0), 24u);
    EXPECT_EQ(RecordSize(1), 32u);
    EXPECT_EQ(RecordSize(61), 88u);
    EXPECT_EQ(RecordSize(64), 88u);
    EXPECT_EQ(RecordSize(0xFFF8), 24u + 0xFFF8);
    // No 16-bit wrap: the record really is that long.
    EXPECT_EQ(RecordSize(0xFFFF), 24u + 0x10000);
}

TEST(SingleBuffer, DescribesItsDataArea)
{
    BufferPtr buffer = MakeBuffer(1000);
    EXPECT_EQ(buffer->GetLength(), 1000u);
    EXPECT_EQ(buffer->GetEffectiveLength(), 0u);
    EXPECT_FALSE(buffer->IsAggregated());
    // The data area starts behind the read header of the allocation.
    EXPECT_EQ(buffer->GetBuffer(), buffer->GetAllocation() + kReadHeaderSize);
    EXPECT_EQ(buffer->GetLastTimestamp(), 0u);
    EXPECT_NE(buffer->GetOverlapped()->hEvent, nullptr);
}

TEST(SingleBuffer, LengthsThatRunPastTheRecordsAreInconsistent)
{
    BufferPtr buffer = MakeBuffer(0x20000);
    // A header that claims more data than any 16-bit padded size would admit:
    // in 16 bits it would frame as a bare 24-byte record.
    FL_PACKET_HEADER huge = Header(0xFFFF);
    std::memcpy(buffer->GetBuffer(), &huge, sizeof huge);
    ASSERT_EQ(buffer->SetEffectiveLength(64), FL_SUCCESS);
    FL_PACKET_HEADER header;
    uint8_t* data = nullptr;
    EXPECT_EQ(buffer->QueryNextPacket(&header, &data), FL_ERROR_INCONSISTENT_BUFFER);
    EXPECT_EQ(buffer->GetReadIndex(), 0u);

    // With all its bytes present it is a well-formed record.
    ASSERT_EQ(buffer->SetEffectiveLength(24 + 0x10000), FL_SUCCESS);
    EXPECT_EQ(buffer->QueryNextPacket(&header, &data), FL_SUCCESS);
    EXPECT_EQ(buffer->GetReadIndex(), 24u + 0x10000);
}

// An aggregation buffer over member buffers filled by the test, with an
// owner pool that the aggregation buffer returns to on release.
class MergedRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(AggregationBuffer::Create(3, Pool, &Merged), FL_SUCCESS);
        Merged->AddReference(); // held by the test, as an application would
    }

    void TearDown() override
    {
        // The member buffers belong to the test body and are gone by now.
        for (uint32_t member = 0; member < 3; ++member) {
            Merged->GetWindow(member) = {};
        }
        Merged->Destroy(); // back to Pool, which frees it
    }

    void Cover(uint32_t member, SingleBuffer& buffer, uint32_t begin = 0)
    {
        AggregationBuffer::Window& window = Merged->GetWindow(member);
        window.Buffer = &buffer;
        window.ReadIndex = begin;
        window.EndIndex = buffer.GetEffectiveLength();
    }

    // Reads everything; returns (timestamp, member) pairs.
    std::vector<std::pair<uint64_t, uint32_t>> Drain()
    {
        std::vector<std::pair<uint64_t, uint32_t>> order;
        FL_PACKET_HEADER header;
        uint8_t* data = nullptr;
        FL_STATUS status;
        while ((status = Merged->QueryNextPacket(&header, &data)) == FL_SUCCESS) {
            EXPECT_EQ(data[0], static_cast<uint8_t>(header.Timestamp));
            EXPECT_EQ(header.Flags & ~FL_PACKET_FLAG_PORT_INDEX_MASK, FL_PACKET_FLAG_FCS_PRESENT);
            order.emplace_back(header.Timestamp, FL_PACKET_PORT_INDEX(header.Flags));
        }
        EXPECT_EQ(status, FL_ERROR_END_OF_BUFFER);
        return order;
    }

    // Member buffers of the application kind (no owner).
    struct Members {
        BufferPtr Buffers[3] = {MakeBuffer(1024), MakeBuffer(1024), MakeBuffer(1024)};
    };

    AggregationBuffer::Pool Pool;
    AggregationBuffer* Merged = nullptr;
};

TEST_F(MergedRead, EqualTimestampsGoToTheLowestMemberFirst)
{
    Members members;
    Fill(*members.Buffers[0], {10});
    Fill(*members.Buffers[1], {10});
    Cover(0, *members.Buffers[0]);
    Cover(1, *members.Buffers[1]);
    using Order = std::vector<std::pair<uint64_t, uint32_t>>;
    EXPECT_EQ(Drain(), (Order{{10, 0}, {10, 1}}));
}

TEST_F(MergedRead, InterleavesWindowsByTimestampKeepingOrderWithinOne)
{
    Members members;
    Fill(*members.Buffers[0], {100, 300, 300, 500});
    Fill(*members.Buffers[1], {});
    Fill(*members.Buffers[2], {200, 300, 0xFFFFFFFFFFFFFFFF});
    Cover(0, *members.Buffers[0]);
    // Member 1 has an empty window; its buffer contributes nothing.
    Cover(1, *members.Buffers[1]);
    Cover(2, *members.Buffers[2]);
    using Order = std::vector<std::pair<uint64_t, uint32_t>>;
    EXPECT_EQ(Drain(), (Order{{100, 0},
                              {200, 2},
                              {300, 0},
                              {300, 0},
                              {300, 2},
                              {500, 0},
                              {0xFFFFFFFFFFFFFFFF, 2}}));
}

TEST_F(MergedRead, WindowsLimitTheRecordsHandedOut)
{
    Members members;
    Fill(*members.Buffers[0], {100, 200, 300});
    Fill(*members.Buffers[1], {150, 250});
    // Member 0: only its middle record; member 1: only its first.
    AggregationBuffer::Window& first = Merged->GetWindow(0);
    first = {members.Buffers[0].get(), RecordSize(60), 2 * RecordSize(60)};
    AggregationBuffer::Window& second = Merged->GetWindow(1);
    second = {members.Buffers[1].get(), 0, RecordSize(60)};
    using Order = std::vector<std::pair<uint64_t, uint32_t>>;
    EXPECT_EQ(Drain(), (Order{{150, 1}, {200, 0}}));
    EXPECT_EQ(first.ReadIndex, first.EndIndex);
}

TEST_F(MergedRead, MemberIndexIsStampedOnTheCopyOnly)
{
    Members members;
    // A record whose flags already carry stale member bits.
    Fill(*members.Buffers[2], {7}, 60, FL_PACKET_FLAG_FCS_PRESENT | 0x5A000000);
    Cover(2, *members.Buffers[2]);
    FL_PACKET_HEADER header;
    uint8_t* data = nullptr;
    ASSERT_EQ(Merged->QueryNextPacket(&header, &data), FL_SUCCESS);
    EXPECT_EQ(header.Flags, FL_PACKET_FLAG_FCS_PRESENT | (2u << 24));
    FL_PACKET_HEADER stored;
    std::memcpy(&stored, members.Buffers[2]->GetBuffer(), sizeof stored);
    EXPECT_EQ(stored.Flags, FL_PACKET_FLAG_FCS_PRESENT | 0x5A000000);
}

TEST_F(MergedRead, DamagedWindowsAreNotReadOutsideTheirBuffer)
{
    Members members;
    Fill(*members.Buffers[0], {1, 2});
    FL_PACKET_HEADER header;
    uint8_t* data = nullptr;
    // Ends beyond the records of the buffer.
    Merged->GetWindow(0) = {members.Buffers[0].get(), 0, 3 * RecordSize(60)};
    EXPECT_EQ(Merged->QueryNextPacket(&header, &data), FL_ERROR_INCONSISTENT_BUFFER);
    // Ends in the middle of a record.
    Merged->GetWindow(0) = {members.Buffers[0].get(), 0, RecordSize(60) + 8};
    ASSERT_EQ(Merged->QueryNextPacket(&header, &data), FL_SUCCESS);
    EXPECT_EQ(Merged->QueryNextPacket(&header, &data), FL_ERROR_INCONSISTENT_BUFFER);
    // Read index beyond the end.
    Merged->GetWindow(0) = {members.Buffers[0].get(), 2 * RecordSize(60), RecordSize(60)};
    EXPECT_EQ(Merged->QueryNextPacket(&header, &data), FL_ERROR_INCONSISTENT_BUFFER);
}

TEST_F(MergedRead, NoWindowsMeansEndOfBuffer)
{
    FL_PACKET_HEADER header;
    uint8_t* data = nullptr;
    EXPECT_EQ(Merged->QueryNextPacket(&header, &data), FL_ERROR_END_OF_BUFFER);
}

TEST_F(MergedRead, OffersNoDataAreaOfItsOwn)
{
    EXPECT_TRUE(Merged->IsAggregated());
    EXPECT_EQ(Merged->GetBuffer(), nullptr);
    EXPECT_EQ(Merged->GetLength(), 0u);
    EXPECT_EQ(Merged->GetEffectiveLength(), 0u);
    const FL_PACKET_HEADER header = Header(60);
    uint8_t bytes[60] = {};
    EXPECT_EQ(Merged->CommitNextPacket(&header, bytes), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(Merged->SetEffectiveLength(0), FL_ERROR_INVALID_REQUEST);
    Merged->ResetIndex(); // accepted, does nothing
}

TEST(AggregationBuffer, RefusesMoreMembersThanTheFlagsCanName)
{
    AggregationBuffer::Pool pool;
    AggregationBuffer* buffer = nullptr;
    EXPECT_EQ(AggregationBuffer::Create(257, pool, &buffer), FL_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(buffer, nullptr);
    ASSERT_EQ(AggregationBuffer::Create(256, pool, &buffer), FL_SUCCESS);
    pool.Push(buffer);
}

} // namespace
} // namespace FlApi
