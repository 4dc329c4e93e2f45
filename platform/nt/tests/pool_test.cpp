#include <nt/pool.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr ULONG kTag = nt::PoolTag("FL2D");
constexpr ULONG kOtherTag = nt::PoolTag("Tst1");

TEST(Pool, TagReadsInMemoryOrder) {
    char bytes[4];
    std::memcpy(bytes, &kTag, 4);
    EXPECT_EQ(std::string(bytes, 4), "FL2D");
}

TEST(Pool, CountsOutstandingBlocksPerTag) {
    const size_t blocks = nt::PoolOutstandingBlocks(kTag);
    const size_t bytes = nt::PoolOutstandingBytes(kTag);
    const size_t other = nt::PoolOutstandingBlocks(kOtherTag);

    void* a = nt::PoolAllocate(100, kTag);
    void* b = nt::PoolAllocate(3, kTag);
    void* c = nt::PoolAllocate(64, kOtherTag);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    for (void* p : {a, b, c}) EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % nt::kPoolAlignment, 0u);
    std::memset(a, 0xAB, 100);  // the whole size is usable (ASan checks the bounds)
    std::memset(b, 0xCD, 3);

    EXPECT_EQ(nt::PoolOutstandingBlocks(kTag), blocks + 2);
    EXPECT_EQ(nt::PoolOutstandingBytes(kTag), bytes + 103);
    EXPECT_EQ(nt::PoolOutstandingBlocks(kOtherTag), other + 1);

    nt::PoolFreeWithTag(a, kTag);
    nt::PoolFree(b);
    nt::PoolFree(c);
    nt::PoolFree(nullptr);
    EXPECT_EQ(nt::PoolOutstandingBlocks(kTag), blocks);
    EXPECT_EQ(nt::PoolOutstandingBytes(kTag), bytes);
    EXPECT_EQ(nt::PoolOutstandingBlocks(kOtherTag), other);
}

TEST(Pool, RefusesEmptyAndImpossibleSizes) {
    EXPECT_EQ(nt::PoolAllocate(0, kTag), nullptr);
    EXPECT_EQ(nt::PoolAllocate(SIZE_MAX, kTag), nullptr);
    EXPECT_EQ(nt::PoolAllocate(SIZE_MAX - 8, kTag), nullptr);
}

TEST(PoolDeathTest, FreeWithWrongTagIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    void* block = nt::PoolAllocate(16, kTag);
    ASSERT_NE(block, nullptr);
    EXPECT_DEATH(nt::PoolFreeWithTag(block, kOtherTag), "another tag");
    nt::PoolFree(block);
}

}  // namespace
