// The reader table's oldest position, and the command ring's free count,
// both cyclic.
#include <gtest/gtest.h>

#include "board_shim.h"
#include "driver.h"

namespace {

class Readers : public ::testing::Test {
protected:
    Readers()
    {
        fdo_.RxSlots = 4096;
        fdo_.ReaderTable = table_;
        fdo_.ReaderCount = FL_READER_COUNT;
        fdo_.ReaderLock = shim::NewSpinLock();
    }
    ~Readers() override { shim::DeleteSpinLock(fdo_.ReaderLock); }

    void Activate(ULONG index, ULONG position)
    {
        table_[index].Active = 1;
        table_[index].Position = position;
        fdo_.ActiveReaders++;
    }

    FDO_DATA fdo_{};
    READER_ENTRY table_[FL_READER_COUNT]{};
};

TEST_F(Readers, DetachingTheOldestMovesToTheOlderOfTheRest)
{
    fdo_.RxOldest = 100;
    fdo_.RxWrite = 900;
    Activate(1, 100);
    Activate(2, 700);
    Activate(3, 300);
    ReaderDetach(&fdo_, 1);
    EXPECT_EQ(fdo_.RxOldest, 300u);
    EXPECT_EQ(fdo_.ActiveReaders, 2u);
    EXPECT_EQ(table_[1].Active, 0);
}

TEST_F(Readers, OldestIsCountedFromRxOldestAcrossTheWrap)
{
    // RxOldest near the end of the ring: a reader at 10 has wrapped and is
    // newer than one at 4000.
    fdo_.RxOldest = 3990;
    fdo_.RxWrite = 50;
    Activate(1, 3990);
    Activate(2, 10);
    Activate(3, 4000);
    ReaderDetach(&fdo_, 1);
    EXPECT_EQ(fdo_.RxOldest, 4000u);
    ReaderDetach(&fdo_, 3);
    EXPECT_EQ(fdo_.RxOldest, 10u);
}

TEST_F(Readers, ReaderAtRxOldestKeepsItAndTheLastOneLeavesRxWrite)
{
    fdo_.RxOldest = 200;
    fdo_.RxWrite = 260;
    Activate(1, 200);
    Activate(2, 200);
    Activate(0, 250);  // the passthru entry counts like any other
    ReaderDetach(&fdo_, 1);
    EXPECT_EQ(fdo_.RxOldest, 200u);
    ReaderDetach(&fdo_, 2);
    EXPECT_EQ(fdo_.RxOldest, 250u);
    ReaderDetach(&fdo_, 0);
    EXPECT_EQ(fdo_.RxOldest, 260u);
    EXPECT_EQ(fdo_.ActiveReaders, 0u);
    // Detaching an entry that is not active changes nothing.
    fdo_.RxOldest = 5;
    ReaderDetach(&fdo_, 4);
    EXPECT_EQ(fdo_.RxOldest, 5u);
    EXPECT_EQ(fdo_.ActiveReaders, 0u);
}

TEST(TimeBase, TimestampsFollowTheCounterFromTheSystemTime)
{
    // 2.5 s on a 10 MHz counter, taken when the system time was 5 s past
    // 1970 (in 100 ns units since 1601).
    const LONGLONG frequency = 10'000'000;
    const LONGLONG epoch1970 = 116'444'736'000'000'000LL;
    LONGLONG base = TimeBaseCompute(25'000'000, frequency, epoch1970 + 50'000'000);
    EXPECT_EQ(TimestampFromCounter(25'000'000, frequency, base), 5'000'000'000ull);
    // 1.25 s later by the counter.
    EXPECT_EQ(TimestampFromCounter(37'500'000, frequency, base), 6'250'000'000ull);
    // A nanosecond counter (what a Linux monotonic clock gives).
    base = TimeBaseCompute(123'456'789'012, 1'000'000'000, epoch1970 + 17'000'000'000'000'000LL);
    EXPECT_EQ(TimestampFromCounter(123'456'789'012, 1'000'000'000, base), 1'700'000'000'000'000'000ull);
    EXPECT_EQ(TimestampFromCounter(123'456'789'013, 1'000'000'000, base), 1'700'000'000'000'000'001ull);
}

}  // namespace
