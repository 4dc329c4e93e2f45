// Allocation failures and the allocation-free steady state. This program
// supplies the library's allocator itself, so that it can count every
// allocation and refuse a chosen one.
#include "zeth.h"
#include "zeth_internal.h"
#include "zeth_test_sink.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

long g_allocations = 0;  // successful ones
long g_live = 0;
long g_refuse_at = -1;   // index among attempts, -1 for none
long g_attempts = 0;

void RefuseAttempt(long from_now)
{
    g_refuse_at = g_attempts + from_now;
}

}  // namespace

extern "C" void *zeth_allocate(size_t size)
{
    if (g_attempts++ == g_refuse_at) {
        return nullptr;
    }
    ++g_allocations;
    ++g_live;
    return std::calloc(1, size);
}

extern "C" void zeth_release(void *memory)
{
    if (memory != nullptr) {
        --g_live;
    }
    std::free(memory);
}

namespace {

using zeth_test::MemorySink;

class ZethMemory : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_refuse_at = -1;
        g_live = 0;
    }
    void TearDown() override { EXPECT_EQ(g_live, 0) << "everything allocated was released"; }

    ZethFile *Open()
    {
        ZethFile *file = nullptr;
        EXPECT_EQ(zeth_open_file(nullptr, MemorySink::Write, nullptr, &sink_, "w", &file), 0u);
        return file;
    }

    MemorySink sink_;
    const uint8_t data_[61] = {};
    const ZethPbRecord pb_ = {0, 0, 0, 0, 61, 61, data_};
    const uint32_t flags_ = 1;
};

TEST_F(ZethMemory, OpenReleasesWhatItTookWhenAnAllocationFails)
{
    for (long refused = 0; refused < 2; ++refused) {
        SCOPED_TRACE(refused);  // the file object, then the handler table
        RefuseAttempt(refused);
        ZethFile *file = nullptr;
        EXPECT_EQ(zeth_open_file(nullptr, MemorySink::Write, nullptr, &sink_, "w", &file),
                  ZETH_ERR_NO_MEMORY);
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(g_live, 0);
    }
}

TEST_F(ZethMemory, FullHandlerTableKeepsItsEntriesWhenGrowingFails)
{
    ZethFile *file = Open();
    ASSERT_NE(file, nullptr);
    for (uint32_t type = 100; type < 106; ++type) {
        ZethBlockHandler handler = *zeth::FindHandler(*file, ZETH_BLOCK_TYPE_IDB);
        handler.block_type = type;
        ASSERT_EQ(zeth_register_block_handler(file, &handler), 0u);
    }
    ASSERT_EQ(file->handler_count, file->handler_capacity);
    ZethBlockHandler extra = *zeth::FindHandler(*file, ZETH_BLOCK_TYPE_IDB);
    extra.block_type = 200;
    RefuseAttempt(0);
    EXPECT_EQ(zeth_register_block_handler(file, &extra), ZETH_ERR_NO_MEMORY);
    EXPECT_EQ(file->handler_count, 10u);
    EXPECT_NE(zeth::FindHandler(*file, 105), nullptr);
    EXPECT_NE(zeth::FindHandler(*file, ZETH_BLOCK_TYPE_EPB), nullptr);
    EXPECT_EQ(zeth::FindHandler(*file, 200), nullptr);
    EXPECT_EQ(zeth_register_block_handler(file, &extra), 0u);
    EXPECT_EQ(zeth_close_file(file), 0u);
}

TEST_F(ZethMemory, BlockBufferFailuresLeaveTheBlockOpen)
{
    ZethFile *file = Open();
    ZethSection *section = nullptr;
    ASSERT_EQ(zeth_create_section(file, &section), 0u);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_PB, &pb_, &block), 0u);
    ZethOption option = {nullptr, PB_OPTION_FLAGS, &flags_};
    ASSERT_EQ(zeth_add_option(block, &option), 0u);

    // The chunk buffer is needed before anything of the block is written.
    RefuseAttempt(0);
    EXPECT_EQ(zeth_close_block(block), ZETH_ERR_NO_MEMORY);
    EXPECT_EQ(sink_.bytes.size(), 28u);
    EXPECT_EQ(block->chunk_buffer.capacity, 0u);

    // The options buffer is needed after the body went out.
    RefuseAttempt(1);
    EXPECT_EQ(zeth_close_block(block), ZETH_ERR_NO_MEMORY);
    EXPECT_EQ(sink_.bytes.size(), 28u + 8u + 20u + 61u + 3u);
    EXPECT_EQ(block->options_buffer.capacity, 0u);
    EXPECT_EQ(zeth_close_section(section), ZETH_ERR_BLOCK_OPEN);

    sink_.bytes.resize(28);
    sink_.position = 28;
    ASSERT_EQ(zeth_close_block(block), 0u);
    EXPECT_EQ(sink_.bytes.size(), 28u + 108u);
    EXPECT_EQ(zeth_close_section(section), 0u);
    EXPECT_EQ(zeth_close_file(file), 0u);
}

TEST_F(ZethMemory, SteadyStreamOfBlocksAllocatesNothing)
{
    ZethFile *file = Open();
    ZethSection *section = nullptr;
    ASSERT_EQ(zeth_create_section(file, &section), 0u);
    ZethOption option = {nullptr, PB_OPTION_FLAGS, &flags_};
    auto write_packet = [&](ZethOption *with) {
        ZethBlock *block = nullptr;
        ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_PB, &pb_, &block), 0u);
        if (with != nullptr) {
            ASSERT_EQ(zeth_add_option(block, with), 0u);
        }
        ASSERT_EQ(zeth_close_block(block), 0u);
    };
    write_packet(&option);
    const long after_first = g_allocations;
    for (int i = 0; i < 100; ++i) {
        write_packet(i % 2 == 0 ? &option : nullptr);
    }
    EXPECT_EQ(g_allocations, after_first);

    // A larger option list grows the options buffer once, then no more.
    ZethOption comment = {nullptr, OPTION_COMMENT, "a longer comment than four bytes"};
    write_packet(&comment);
    EXPECT_EQ(g_allocations, after_first + 1);
    write_packet(&comment);
    write_packet(&option);
    EXPECT_EQ(g_allocations, after_first + 1);

    EXPECT_EQ(zeth_close_section(section), 0u);
    EXPECT_EQ(zeth_close_file(file), 0u);
}

}  // namespace
