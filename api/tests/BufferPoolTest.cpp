// Buffers going back to their instance's pool: reference counting of
// SingleBuffer and AggregationBuffer, and release from other threads.
#include "PacketsBuffer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "PacketRecord.h"

namespace FlApi {
namespace {

// Fills `pool` with `count` buffers owned by it, as an instance does at open.
void Populate(SingleBuffer::Pool& pool, uint32_t count, uint32_t capacity = 256)
{
    for (uint32_t i = 0; i < count; ++i) {
        SingleBuffer* buffer = nullptr;
        ASSERT_EQ(SingleBuffer::Create(capacity, &pool, &buffer), FL_SUCCESS);
        pool.CountCreated();
        pool.Push(buffer);
    }
}

void Populate(AggregationBuffer::Pool& pool, uint32_t count, uint32_t members)
{
    for (uint32_t i = 0; i < count; ++i) {
        AggregationBuffer* buffer = nullptr;
        ASSERT_EQ(AggregationBuffer::Create(members, pool, &buffer), FL_SUCCESS);
        pool.CountCreated();
        pool.Push(buffer);
    }
}

// Empties the pool, counting distinct buffers, and puts them back in the
// same order.
template <class Pool>
size_t CountFree(Pool& pool)
{
    std::vector<decltype(pool.Pop())> taken;
    while (auto* buffer = pool.Pop()) {
        taken.push_back(buffer);
    }
    const std::set<decltype(pool.Pop())> distinct(taken.begin(), taken.end());
    EXPECT_EQ(distinct.size(), taken.size());
    for (auto it = taken.rbegin(); it != taken.rend(); ++it) {
        pool.Push(*it);
    }
    return taken.size();
}

TEST(BufferPool, HandsOutTheMostRecentlyReturnedFirst)
{
    SingleBuffer::Pool pool;
    Populate(pool, 2);
    EXPECT_EQ(pool.GetCreatedCount(), 2u);
    SingleBuffer* first = pool.Pop();
    SingleBuffer* second = pool.Pop();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(pool.Pop(), nullptr);
    pool.Push(first);
    pool.Push(second);
    EXPECT_EQ(pool.Pop(), second);
    EXPECT_EQ(pool.Pop(), first);
    pool.Push(first);
    pool.Push(second);
}

TEST(BufferPool, ApplicationReleaseReturnsAReceivedBuffer)
{
    SingleBuffer::Pool pool;
    Populate(pool, 3);
    // Received and handed to the application.
    SingleBuffer* buffer = pool.Pop();
    buffer->AddReference();
    EXPECT_EQ(CountFree(pool), 2u);
    buffer->Destroy();
    EXPECT_EQ(CountFree(pool), 3u);
    EXPECT_EQ(pool.Pop(), buffer); // at the front
    pool.Push(buffer);
}

TEST(BufferPool, SharedBufferReturnsWithItsLastHolder)
{
    SingleBuffer::Pool pool;
    Populate(pool, 1);
    SingleBuffer* buffer = pool.Pop();
    buffer->AddReference(); // held by a member of an aggregating instance
    buffer->AddReference(); // shared by an aggregation window
    buffer->Destroy();      // the window's buffer is released: 3 -> 2
    EXPECT_EQ(pool.Pop(), nullptr);
    buffer->Destroy();      // 2 -> 1: back home
    EXPECT_EQ(pool.Pop(), buffer);
    pool.Push(buffer);
}

TEST(BufferPool, AggregationReleaseReturnsWindowsAndItself)
{
    SingleBuffer::Pool members;
    Populate(members, 2);
    AggregationBuffer::Pool merged;
    Populate(merged, 1, 2);

    // Member 0 gave its buffer up to the window; member 1 keeps sharing its.
    SingleBuffer* givenUp = members.Pop();
    givenUp->AddReference();
    SingleBuffer* shared = members.Pop();
    shared->AddReference();
    shared->AddReference();

    AggregationBuffer* buffer = merged.Pop();
    buffer->GetWindow(0) = {givenUp, 0, 0};
    buffer->GetWindow(1) = {shared, 0, 0};
    buffer->AddReference();
    buffer->Destroy();

    EXPECT_EQ(merged.Pop(), buffer);
    EXPECT_EQ(buffer->GetWindow(0).Buffer, nullptr);
    EXPECT_EQ(buffer->GetWindow(1).Buffer, nullptr);
    merged.Push(buffer);
    EXPECT_EQ(members.Pop(), givenUp);
    EXPECT_EQ(members.Pop(), nullptr);
    members.Push(givenUp);
    shared->Destroy(); // the member lets go of it
    EXPECT_EQ(CountFree(members), 2u);
}

// A small blocking queue standing in for the application's hand-off between
// its receiving thread and its releasing threads.
template <class T>
class HandOff {
public:
    void Put(T item)
    {
        {
            std::lock_guard lock(Mutex);
            Items.push_back(item);
        }
        Ready.notify_one();
    }
    // Null once Close() was called and nothing is left.
    T Take()
    {
        std::unique_lock lock(Mutex);
        Ready.wait(lock, [&] { return !Items.empty() || Closed; });
        if (Items.empty()) {
            return nullptr;
        }
        T item = Items.front();
        Items.pop_front();
        return item;
    }
    void Close()
    {
        {
            std::lock_guard lock(Mutex);
            Closed = true;
        }
        Ready.notify_all();
    }

private:
    std::mutex Mutex;
    std::condition_variable Ready;
    std::deque<T> Items;
    bool Closed = false;
};

template <class Pool>
auto PopWaiting(Pool& pool)
{
    for (;;) {
        if (auto* buffer = pool.Pop()) {
            return buffer;
        }
        std::this_thread::yield();
    }
}

TEST(BufferPool, ReleaseFromOtherThreadsWhileReceiving)
{
    constexpr int kRounds = 2000;
    SingleBuffer::Pool pool;
    Populate(pool, 4);
    HandOff<SingleBuffer*> handOff;

    std::thread releaser([&] {
        while (SingleBuffer* buffer = handOff.Take()) {
            FL_PACKET_HEADER header;
            uint8_t* data = nullptr;
            EXPECT_EQ(buffer->QueryNextPacket(&header, &data), FL_SUCCESS);
            EXPECT_EQ(data[0], static_cast<uint8_t>(header.Timestamp));
            buffer->Destroy();
        }
    });

    // The receiving side: take a free buffer, fill it as a read would, hand
    // it out.
    for (int round = 0; round < kRounds; ++round) {
        SingleBuffer* buffer = PopWaiting(pool);
        ASSERT_EQ(buffer->SetEffectiveLength(0), FL_SUCCESS);
        FL_PACKET_HEADER header{};
        header.Timestamp = static_cast<uint64_t>(round);
        header.WireLength = header.CapturedLength = 64;
        uint8_t bytes[64];
        std::fill(std::begin(bytes), std::end(bytes), static_cast<uint8_t>(round));
        ASSERT_EQ(buffer->CommitNextPacket(&header, bytes), FL_SUCCESS);
        buffer->ResetIndex();
        buffer->AddReference();
        handOff.Put(buffer);
    }
    handOff.Close();
    releaser.join();
    EXPECT_EQ(CountFree(pool), 4u);
}

TEST(BufferPool, SharedMemberBuffersReleasedConcurrentlyReturnOnce)
{
    constexpr int kRounds = 2000;
    SingleBuffer::Pool members;
    Populate(members, 4);
    AggregationBuffer::Pool merged;
    Populate(merged, 4, 1);
    HandOff<AggregationBuffer*> handOff;

    // Two releasers: the two aggregation buffers that share one member
    // buffer may be released at the same moment; exactly one of them must
    // return it.
    std::vector<std::thread> releasers;
    for (int i = 0; i < 2; ++i) {
        releasers.emplace_back([&] {
            while (AggregationBuffer* buffer = handOff.Take()) {
                buffer->Destroy();
            }
        });
    }

    for (int round = 0; round < kRounds; ++round) {
        SingleBuffer* member = PopWaiting(members);
        member->AddReference(); // received by the member

        AggregationBuffer* first = PopWaiting(merged);
        member->AddReference(); // shared by the first window
        first->GetWindow(0) = {member, 0, 0};
        first->AddReference();
        handOff.Put(first);

        AggregationBuffer* second = PopWaiting(merged);
        second->GetWindow(0) = {member, 0, 0}; // the member gives it up
        second->AddReference();
        handOff.Put(second);
    }
    handOff.Close();
    for (std::thread& releaser : releasers) {
        releaser.join();
    }
    EXPECT_EQ(CountFree(members), 4u);
    EXPECT_EQ(CountFree(merged), 4u);
}

} // namespace
} // namespace FlApi
