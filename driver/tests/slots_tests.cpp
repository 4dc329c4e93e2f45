// Carving receive and transmit slots out of DMA chunks, with the halving
// retry when memory is short.
#include <gtest/gtest.h>

#include <vector>

#include "slots.h"

namespace {

struct FakeDma {
    std::vector<SIZE_T> requested;
    SIZE_T failAbove = ~SIZE_T{0};  // allocations larger than this fail
    int failFirst = 0;              // this many allocations fail whatever their size
    ULONGLONG nextLogical = 0x100000000ull;
    std::vector<std::vector<UCHAR>> chunks;

    static NTSTATUS Allocate(PVOID context, SIZE_T length, PUCHAR* virt, PULONGLONG logical)
    {
        auto* dma = static_cast<FakeDma*>(context);
        dma->requested.push_back(length);
        if (dma->failFirst > 0) {
            dma->failFirst--;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (length > dma->failAbove) return STATUS_INSUFFICIENT_RESOURCES;
        dma->chunks.emplace_back(length);
        *virt = dma->chunks.back().data();
        *logical = dma->nextLogical;
        dma->nextLogical += 0x10000000ull;
        return STATUS_SUCCESS;
    }
};

struct Slot {
    ULONG index;
    PUCHAR virt;
    ULONGLONG logical;
};

struct Slots {
    std::vector<Slot> carved;
    static VOID Carved(PVOID context, ULONG index, PUCHAR virt, ULONGLONG logical)
    {
        static_cast<Slots*>(context)->carved.push_back({index, virt, logical});
    }
};

TEST(SlotsCarve, FullChunksCarvedInOrder)
{
    FakeDma dma;
    Slots slots;
    ASSERT_EQ(SlotsCarve(10, 256, 1024, &FakeDma::Allocate, &dma, &Slots::Carved, &slots), STATUS_SUCCESS);
    // 4 slots per chunk: three chunks, the last one partly used.
    EXPECT_EQ(dma.requested, (std::vector<SIZE_T>{1024, 1024, 1024}));
    ASSERT_EQ(slots.carved.size(), 10u);
    for (ULONG i = 0; i < 10; i++) {
        EXPECT_EQ(slots.carved[i].index, i);
        const auto& chunk = dma.chunks[i / 4];
        EXPECT_EQ(slots.carved[i].virt, chunk.data() + (i % 4) * 256);
    }
    EXPECT_EQ(slots.carved[5].logical, 0x110000000ull + 256);
}

TEST(SlotsCarve, ChunkFailingAtFullSizeIsRetriedAtHalf)
{
    FakeDma dma;
    dma.failAbove = 512;
    Slots slots;
    ASSERT_EQ(SlotsCarve(5, 256, 1024, &FakeDma::Allocate, &dma, &Slots::Carved, &slots), STATUS_SUCCESS);
    // Each new chunk starts again from the full size.
    EXPECT_EQ(dma.requested, (std::vector<SIZE_T>{1024, 512, 1024, 512, 1024, 512}));
    ASSERT_EQ(slots.carved.size(), 5u);
    EXPECT_EQ(slots.carved[1].virt, dma.chunks[0].data() + 256);
    EXPECT_EQ(slots.carved[2].virt, dma.chunks[1].data());
    EXPECT_EQ(slots.carved[4].logical, 0x120000000ull);
}

TEST(SlotsCarve, HalvingStopsAtTheSlotSize)
{
    FakeDma dma;
    dma.failAbove = 0;
    Slots slots;
    EXPECT_EQ(SlotsCarve(4, 300, 2048, &FakeDma::Allocate, &dma, &Slots::Carved, &slots),
              STATUS_INSUFFICIENT_RESOURCES);
    // 2048, 1024, 512: a quarter chunk of 256 would not hold one slot.
    EXPECT_EQ(dma.requested, (std::vector<SIZE_T>{2048, 1024, 512}));
    EXPECT_TRUE(slots.carved.empty());
}

TEST(SlotsCarve, OnlyWholeSlotsFromAChunk)
{
    FakeDma dma;
    Slots slots;
    ASSERT_EQ(SlotsCarve(4, 300, 1000, &FakeDma::Allocate, &dma, &Slots::Carved, &slots), STATUS_SUCCESS);
    EXPECT_EQ(dma.requested, (std::vector<SIZE_T>{1000, 1000}));
    ASSERT_EQ(slots.carved.size(), 4u);
    EXPECT_EQ(slots.carved[2].virt, dma.chunks[0].data() + 600);
    EXPECT_EQ(slots.carved[3].virt, dma.chunks[1].data());
}

TEST(SlotsCarve, TransientFailureOnlyCostsOneRetry)
{
    FakeDma dma;
    dma.failFirst = 1;
    Slots slots;
    ASSERT_EQ(SlotsCarve(8, 256, 1024, &FakeDma::Allocate, &dma, &Slots::Carved, &slots), STATUS_SUCCESS);
    EXPECT_EQ(dma.requested, (std::vector<SIZE_T>{1024, 512, 1024, 1024}));
    EXPECT_EQ(slots.carved.size(), 8u);
}

TEST(SlotsCarve, SlotLargerThanTheChunkIsRefused)
{
    FakeDma dma;
    Slots slots;
    EXPECT_EQ(SlotsCarve(4, 4096, 1024, &FakeDma::Allocate, &dma, &Slots::Carved, &slots),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SlotsCarve(4, 0, 1024, &FakeDma::Allocate, &dma, &Slots::Carved, &slots),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(dma.requested.empty());
}

}  // namespace
