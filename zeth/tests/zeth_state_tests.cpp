// Modes, nesting of file, section and block, every result code, the option
// list, the section-length patch and the block-handler table.
#include "zeth.h"
#include "zeth_internal.h"
#include "zeth_test_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

extern "C" int zeth_c_write_empty_section(uint8_t *buffer, uint32_t capacity, uint32_t *used);

namespace {

using zeth_test::MemorySink;

struct OpenFile {
    explicit OpenFile(MemorySink &sink, bool with_seek = false)
    {
        result = zeth_open_file(MemorySink::Read, MemorySink::Write,
                                with_seek ? MemorySink::Seek : nullptr, &sink, "w", &file);
    }
    ~OpenFile()
    {
        if (file != nullptr) {
            zeth_close_section(section);
            zeth_close_file(file);
        }
    }
    uint32_t result;
    ZethFile *file = nullptr;
    ZethSection *section = nullptr;
};

const ZethIdbRecord kIdb = {1, 0, 65535};

// ---------------------------------------------------------------- modes

TEST(ZethOpen, WriteModesIgnoreCaseAndNeedAWriteFunction)
{
    for (const char *mode : {"w", "W", "a", "A", "c", "C"}) {
        SCOPED_TRACE(mode);
        MemorySink sink;
        ZethFile *file = nullptr;
        ASSERT_EQ(zeth_open_file(nullptr, MemorySink::Write, nullptr, &sink, mode, &file), 0u);
        ZethSection *section = nullptr;
        EXPECT_EQ(zeth_create_section(file, &section), 0u);
        EXPECT_EQ(zeth_close_section(section), 0u);
        EXPECT_EQ(zeth_close_file(file), 0u);
        EXPECT_EQ(sink.bytes.size(), 28u);
        EXPECT_EQ(sink.read_position, 0u) << "a write mode reads nothing";

        EXPECT_EQ(zeth_open_file(MemorySink::Read, nullptr, MemorySink::Seek, &sink, mode, &file),
                  ZETH_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(file, nullptr);
    }
}

TEST(ZethOpen, UnknownModesAreRefused)
{
    MemorySink sink;
    for (const char *mode : {"x", "rw", "wb", "", "ww"}) {
        SCOPED_TRACE(mode);
        ZethFile *file = nullptr;
        EXPECT_EQ(zeth_open_file(MemorySink::Read, MemorySink::Write, nullptr, &sink, mode, &file),
                  ZETH_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(file, nullptr);
    }
    ZethFile *file = nullptr;
    EXPECT_EQ(zeth_open_file(MemorySink::Read, MemorySink::Write, nullptr, &sink, nullptr, &file),
              ZETH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zeth_open_file(MemorySink::Read, MemorySink::Write, nullptr, &sink, "w", nullptr),
              ZETH_ERR_INVALID_ARGUMENT);
}

TEST(ZethOpen, ReadModeChecksTheFirstBlockTypeAndCanOnlyBeClosed)
{
    MemorySink sink;
    {
        OpenFile out(sink);
        ASSERT_EQ(zeth_create_section(out.file, &out.section), 0u);
    }
    ASSERT_EQ(sink.bytes.size(), 28u);

    ZethFile *file = nullptr;
    ASSERT_EQ(zeth_open_file(MemorySink::Read, nullptr, nullptr, &sink, "R", &file), 0u);
    EXPECT_EQ(sink.read_position, 8u) << "block type and length";
    ZethSection *section = nullptr;
    EXPECT_EQ(zeth_create_section(file, &section), ZETH_ERR_READ_MODE);
    EXPECT_EQ(zeth_close_file(file), 0u);

    EXPECT_EQ(zeth_open_file(nullptr, MemorySink::Write, nullptr, &sink, "r", &file),
              ZETH_ERR_INVALID_ARGUMENT)
        << "reading needs a read function";

    sink.read_position = 0;
    sink.bytes[0] = 0x0B;
    EXPECT_EQ(zeth_open_file(MemorySink::Read, nullptr, nullptr, &sink, "r", &file),
              ZETH_ERR_NOT_PCAPNG);
    EXPECT_EQ(file, nullptr);

    sink.read_position = 0;
    sink.fail_read_code = 0x77;
    EXPECT_EQ(zeth_open_file(MemorySink::Read, nullptr, nullptr, &sink, "r", &file), 0x77u)
        << "the read function's code passes through";
}

// ------------------------------------------------------- nesting and codes

TEST(ZethNesting, OneSectionAtATime)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ZethSection *second = nullptr;
    EXPECT_EQ(zeth_create_section(f.file, &second), ZETH_ERR_SECTION_OPEN);

    // Closing the file with the section open fails and leaves it usable.
    EXPECT_EQ(zeth_close_file(f.file), ZETH_ERR_SECTION_OPEN);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    EXPECT_EQ(zeth_close_block(block), 0u);
    EXPECT_EQ(zeth_close_section(f.section), 0u);
    EXPECT_EQ(zeth_close_file(f.file), 0u);
    f.file = nullptr;
    EXPECT_EQ(sink.bytes.size(), 48u);
}

TEST(ZethNesting, OneBlockAtATime)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    ZethBlock *other = nullptr;
    EXPECT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &other),
              ZETH_ERR_BLOCK_OPEN);
    EXPECT_EQ(zeth_close_section(f.section), ZETH_ERR_BLOCK_OPEN);
    EXPECT_EQ(zeth_close_block(block), 0u);
    EXPECT_EQ(zeth_close_section(f.section), 0u);
}

TEST(ZethNesting, BlockWithoutRecordStaysOpen)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_PB, nullptr, &block), 0u);
    EXPECT_EQ(zeth_close_block(block), ZETH_ERR_NO_DATA);
    EXPECT_EQ(sink.bytes.size(), 28u) << "nothing of the block was written";
    ZethBlock *next = nullptr;
    EXPECT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_PB, &kIdb, &next), ZETH_ERR_BLOCK_OPEN);
    EXPECT_EQ(zeth_close_section(f.section), ZETH_ERR_BLOCK_OPEN);
    EXPECT_EQ(zeth_close_file(f.file), ZETH_ERR_SECTION_OPEN);
    // The stuck block cannot be closed; the objects go with the test's file.
    f.file->section_open = false;
}

TEST(ZethNesting, UnknownBlockTypeIsUnsupported)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ZethBlock *block = nullptr;
    EXPECT_EQ(zeth_create_block(f.section, 5, &kIdb, &block), ZETH_ERR_UNSUPPORTED);
    EXPECT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_SHB, &kIdb, &block),
              ZETH_ERR_UNSUPPORTED);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u)
        << "a refused type leaves no block open";
    EXPECT_EQ(zeth_close_block(block), 0u);
}

TEST(ZethNesting, ClosedObjectsAreRefusedNotRewritten)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    const size_t written = sink.bytes.size();

    EXPECT_EQ(zeth_close_block(block), ZETH_ERR_INVALID_ARGUMENT);
    ZethOption comment = {nullptr, OPTION_COMMENT, "late"};
    EXPECT_EQ(zeth_add_option(block, &comment), ZETH_ERR_INVALID_ARGUMENT);
    ASSERT_EQ(zeth_close_section(f.section), 0u);
    EXPECT_EQ(zeth_close_section(f.section), ZETH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block),
              ZETH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(sink.bytes.size(), written);

    EXPECT_EQ(zeth_create_section(nullptr, &f.section), ZETH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zeth_close_file(nullptr), ZETH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zeth_close_block(nullptr), ZETH_ERR_INVALID_ARGUMENT);
}

TEST(ZethNesting, FileInNeitherModeFails)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    f.file->mode = static_cast<zeth::FileMode>(7);
    EXPECT_EQ(zeth_close_block(block), ZETH_FAILURE);
    ZethSection *section = nullptr;
    f.file->section_open = false;
    EXPECT_EQ(zeth_create_section(f.file, &section), ZETH_FAILURE);
    f.file->mode = zeth::FileMode::Write;
    f.file->section_open = true;
    EXPECT_EQ(zeth_close_block(block), 0u);
}

TEST(ZethNesting, HandlerCodesPassThroughAndLeaveTheBlockOpen)
{
    // A packet block with an option makes six writes: header, fixed part,
    // data, padding, options, trailing length. Failing each in turn must
    // return the writer's code and keep the block open.
    const uint8_t data[61] = {};
    const ZethPbRecord pb = {0, 0, 0, 0, 61, 61, data};
    const uint32_t flags = 1;
    for (size_t failing = 0; failing < 6; ++failing) {
        SCOPED_TRACE(failing);
        MemorySink sink;
        OpenFile f(sink);
        ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
        ZethBlock *block = nullptr;
        ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_PB, &pb, &block), 0u);
        ZethOption option = {nullptr, PB_OPTION_FLAGS, &flags};
        ASSERT_EQ(zeth_add_option(block, &option), 0u);
        sink.writes.clear();
        sink.fail_write_index = failing;
        sink.fail_write_code = 0xC0DE;
        EXPECT_EQ(zeth_close_block(block), 0xC0DEu);
        EXPECT_EQ(sink.writes.size(), failing + 1) << "the sequence stops at the failure";
        ZethBlock *next = nullptr;
        EXPECT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_PB, &pb, &next),
                  ZETH_ERR_BLOCK_OPEN);
        // With the writer healthy again, the same block can still be closed.
        sink.fail_write_code = 0;
        EXPECT_EQ(zeth_close_block(block), 0u);
    }
}

TEST(ZethNesting, FailedSectionHeaderIsWrittenAgainByTheNextBlock)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    sink.fail_write_index = 0;
    sink.fail_write_code = 1;
    ZethBlock *block = nullptr;
    EXPECT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 1u);
    sink.fail_write_code = 0;
    sink.writes.clear();
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    EXPECT_EQ(sink.writes.size(), 3u) << "the header went out at the second attempt";
    EXPECT_EQ(zeth_close_block(block), 0u);
}

TEST(ZethNesting, LengthBeyondTheFieldIsRefusedBeforeWriting)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    // The data pointer is never read: the size is refused first.
    static const uint8_t never_read[1] = {};
    for (const uint32_t captured : {0xFFFFFFFFu, 0xFFFFFFFFu - 31u}) {
        SCOPED_TRACE(captured);
        const ZethEpbRecord epb = {0, 0, 0, captured, captured, never_read};
        ZethBlock *block = nullptr;
        ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_EPB, &epb, &block), 0u);
        const size_t before = sink.bytes.size();
        EXPECT_EQ(zeth_close_block(block), ZETH_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(sink.bytes.size(), before);
        f.section->block_open = false;
    }
}

// ------------------------------------------------------------- options

class ZethOptions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(f_.result, 0u);
        ASSERT_EQ(zeth_create_section(f_.file, &f_.section), 0u);
    }
    ZethBlock *Open(uint32_t type, const void *record)
    {
        ZethBlock *block = nullptr;
        EXPECT_EQ(zeth_create_block(f_.section, type, record, &block), 0u);
        return block;
    }
    MemorySink sink_;
    OpenFile f_{sink_};
    const uint8_t data_[4] = {1, 2, 3, 4};
    const ZethPbRecord pb_ = {0, 0, 0, 0, 4, 4, data_};
    const ZethSpbRecord spb_ = {4, 4, data_};
};

TEST_F(ZethOptions, EachBlockTypeTakesOnlyItsOwnCodes)
{
    const uint32_t value = 1;
    struct Case {
        uint32_t type;
        const void *record;
        uint16_t code;
        uint32_t expected;
    };
    const Case cases[] = {
        {ZETH_BLOCK_TYPE_IDB, &kIdb, 14, ZETH_ERR_UNSUPPORTED},
        {ZETH_BLOCK_TYPE_IDB, &kIdb, IDB_OPTION_IF_FCSLEN, 0},
        {ZETH_BLOCK_TYPE_PB, &pb_, PB_OPTION_FLAGS, 0},
        {ZETH_BLOCK_TYPE_PB, &pb_, 3, ZETH_ERR_UNSUPPORTED},
        {ZETH_BLOCK_TYPE_EPB, &pb_, 3, ZETH_ERR_UNSUPPORTED},
        {ZETH_BLOCK_TYPE_SPB, &spb_, 2, ZETH_ERR_UNSUPPORTED},
        {ZETH_BLOCK_TYPE_SPB, &spb_, OPTION_COMMENT, ZETH_ERR_UNSUPPORTED},
        {ZETH_BLOCK_TYPE_EPB, &pb_, OPTION_COMMENT, 0},
        {ZETH_BLOCK_TYPE_IDB, &kIdb, OPTION_COMMENT, 0},
        {ZETH_BLOCK_TYPE_PB, &pb_, OPTION_COMMENT, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " code " << c.code);
        ZethBlock *block = Open(c.type, c.record);
        ZethOption option = {nullptr, c.code, c.code == OPTION_COMMENT ? static_cast<const void *>("text") : &value};
        EXPECT_EQ(zeth_add_option(block, &option), c.expected);
        EXPECT_EQ(zeth_close_block(block), 0u);
    }
}

TEST_F(ZethOptions, NodeLinkedBeforeTheLastIsRefused)
{
    const uint8_t one = 1;
    ZethBlock *block = Open(ZETH_BLOCK_TYPE_IDB, &kIdb);
    ZethOption first = {nullptr, IDB_OPTION_IF_FCSLEN, &one};
    ZethOption second = {nullptr, IDB_OPTION_IF_TSACCUR, &one};
    ASSERT_EQ(zeth_add_option(block, &first), 0u);
    ASSERT_EQ(zeth_add_option(block, &second), 0u);
    EXPECT_EQ(zeth_add_option(block, &first), ZETH_ERR_OPTION_LINKED);
    EXPECT_EQ(zeth_add_option(block, &second), 0u) << "the last node again changes nothing";
    EXPECT_EQ(first.next, &second);
    EXPECT_EQ(second.next, nullptr);
    ASSERT_EQ(zeth_close_block(block), 0u);
    EXPECT_EQ(sink_.bytes.size(), 28u + 40u) << "two options, each written once";
}

TEST_F(ZethOptions, StaleLinkOfACallerNodeIsReset)
{
    const uint8_t one = 1;
    ZethOption unrelated = {nullptr, IDB_OPTION_IF_FCSLEN, &one};
    ZethOption node = {&unrelated, IDB_OPTION_IF_TSACCUR, &one};
    ZethBlock *block = Open(ZETH_BLOCK_TYPE_IDB, &kIdb);
    ASSERT_EQ(zeth_add_option(block, &node), 0u);
    EXPECT_EQ(node.next, nullptr);
    ASSERT_EQ(zeth_close_block(block), 0u);
    EXPECT_EQ(sink_.bytes.size(), 28u + 32u);

    // The same node in the next block starts a fresh list.
    block = Open(ZETH_BLOCK_TYPE_IDB, &kIdb);
    ASSERT_EQ(zeth_add_option(block, &node), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    EXPECT_EQ(sink_.bytes.size(), 28u + 64u);
}

TEST_F(ZethOptions, StringsLongerThanTheLengthFieldAreRefused)
{
    const std::string longest(ZETH_MAX_STRING_OPTION_LENGTH, 'x');
    std::string too_long(ZETH_MAX_STRING_OPTION_LENGTH + 1, 'y');

    ZethBlock *block = Open(ZETH_BLOCK_TYPE_IDB, &kIdb);
    ZethOption refused = {nullptr, OPTION_COMMENT, too_long.c_str()};
    EXPECT_EQ(zeth_add_option(block, &refused), ZETH_ERR_INVALID_ARGUMENT);
    ZethOption refused_name = {nullptr, IDB_OPTION_IF_DESCRIPTION, too_long.c_str()};
    EXPECT_EQ(zeth_add_option(block, &refused_name), ZETH_ERR_INVALID_ARGUMENT);
    ZethOption no_value = {nullptr, IDB_OPTION_IF_NAME, nullptr};
    EXPECT_EQ(zeth_add_option(block, &no_value), ZETH_ERR_INVALID_ARGUMENT);
    ZethOption no_bytes = {nullptr, IDB_OPTION_IF_MACADDR, nullptr};
    EXPECT_EQ(zeth_add_option(block, &no_bytes), ZETH_ERR_INVALID_ARGUMENT);

    ZethOption accepted = {nullptr, OPTION_COMMENT, longest.c_str()};
    ASSERT_EQ(zeth_add_option(block, &accepted), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    // 8 + 8 body + 4 + 65535 rounded to 65536 + 4 end + 4 trailing
    ASSERT_EQ(sink_.bytes.size(), 28u + 65564u);
    EXPECT_EQ(sink_.U16(28 + 18), 65535u);
    EXPECT_EQ(sink_.U32(28 + 4), 65564u);

    // The caller's string grew after it was added: the block is refused
    // whole before any of it is written.
    std::string growing = "short";
    block = Open(ZETH_BLOCK_TYPE_IDB, &kIdb);
    ZethOption late = {nullptr, IDB_OPTION_IF_OS, growing.c_str()};
    ASSERT_EQ(zeth_add_option(block, &late), 0u);
    growing.assign(ZETH_MAX_STRING_OPTION_LENGTH + 10, 'z');
    late.value = growing.c_str();
    const size_t before = sink_.bytes.size();
    EXPECT_EQ(zeth_close_block(block), ZETH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(sink_.bytes.size(), before);
    growing = "short again";
    late.value = growing.c_str();
    EXPECT_EQ(zeth_close_block(block), 0u);
}

// ------------------------------------------------------- section length

TEST(ZethSectionLength, PatchedThroughTheSeekFunction)
{
    MemorySink sink;
    OpenFile f(sink, /*with_seek=*/true);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    const uint8_t one_byte[2] = {4, 9};
    ZethOption fcs = {nullptr, IDB_OPTION_IF_FCSLEN, &one_byte[0]};
    ZethOption resolution = {nullptr, IDB_OPTION_IF_TSACCUR, &one_byte[1]};
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    ASSERT_EQ(zeth_add_option(block, &fcs), 0u);
    ASSERT_EQ(zeth_add_option(block, &resolution), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    const uint8_t data[60] = {};
    const ZethPbRecord pb = {0, 0, 0, 0, 60, 60, data};
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_PB, &pb, &block), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    EXPECT_EQ(sink.U64(16), ~uint64_t{0}) << "all ones until the section closes";
    ASSERT_EQ(zeth_close_section(f.section), 0u);
    EXPECT_EQ(sink.U64(16), 132u);
    EXPECT_EQ(sink.position, sink.bytes.size()) << "the writer is back at the end";

    // A second section measures from its own header.
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_PB, &pb, &block), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    ASSERT_EQ(zeth_close_section(f.section), 0u);
    EXPECT_EQ(sink.U64(160 + 16), 92u);
    EXPECT_EQ(sink.U64(16), 132u) << "the first section's length is left alone";
    EXPECT_EQ(sink.bytes.size(), 160u + 28u + 92u);

    // An empty section records 0.
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ASSERT_EQ(zeth_close_section(f.section), 0u);
    EXPECT_EQ(sink.U64(280 + 16), 0u);
}

TEST(ZethSectionLength, AllOnesWithoutASeekFunction)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(f.section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    ASSERT_EQ(zeth_close_section(f.section), 0u);
    EXPECT_EQ(sink.U64(16), ~uint64_t{0});
}

TEST(ZethSectionLength, SeekFailuresPassThroughAndKeepTheState)
{
    MemorySink sink;
    OpenFile f(sink, /*with_seek=*/true);
    sink.fail_seek_code = 0x5E;
    EXPECT_EQ(zeth_create_section(f.file, &f.section), 0x5Eu);
    sink.fail_seek_code = 0;
    ZethSection *section = nullptr;
    ASSERT_EQ(zeth_create_section(f.file, &section), 0u) << "the failure opened no section";
    f.section = section;

    sink.fail_seek_code = 0x5F;
    EXPECT_EQ(zeth_close_section(section), 0x5Fu);
    EXPECT_EQ(zeth_close_file(f.file), ZETH_ERR_SECTION_OPEN) << "the section stays open";
    sink.fail_seek_code = 0;
    ASSERT_EQ(zeth_close_section(section), 0u);
    EXPECT_EQ(sink.U64(16), 0u);
    EXPECT_EQ(sink.bytes.size(), 28u) << "the header is written once";

    // A failed write of the patch is returned as well.
    ASSERT_EQ(zeth_create_section(f.file, &section), 0u);
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_IDB, &kIdb, &block), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    sink.writes.clear();
    sink.fail_write_index = 0;
    sink.fail_write_code = 9;
    EXPECT_EQ(zeth_close_section(section), 9u);
    sink.fail_write_code = 0;
    EXPECT_EQ(zeth_close_section(section), 0u);
    EXPECT_EQ(sink.U64(28 + 16), 20u);
}

// ------------------------------------------------------ handler table

uint32_t g_init_answer = 0;
uint32_t g_finish_answer = 0;

uint32_t CustomInit(uintptr_t context) { return context == 0 ? g_init_answer : 99; }
uint32_t CustomFinish(uintptr_t) { return g_finish_answer; }

// A body of five bytes, the record itself: not a multiple of 4.
uint32_t CustomSerialize(uintptr_t, const void *record, void *chunk_buffer, uint32_t *length)
{
    if (chunk_buffer == nullptr || *length < sizeof(ZethChunk)) {
        *length = sizeof(ZethChunk);
        return ZETH_ERR_BUFFER_TOO_SMALL;
    }
    *static_cast<ZethChunk *>(chunk_buffer) = {record, 5, nullptr};
    *length = sizeof(ZethChunk);
    return ZETH_SUCCESS;
}

uint32_t CustomWriteOption(uintptr_t, const ZethOption *, void *, uint32_t *) { return 0x0B; }
uint32_t CustomValidate(uintptr_t, const ZethOption *) { return ZETH_SUCCESS; }

ZethBlockHandler CustomHandler(uint32_t type)
{
    return {type, CustomInit, CustomFinish, CustomSerialize, CustomWriteOption, CustomValidate,
            nullptr, nullptr};
}

TEST(ZethHandlers, TableGrowsByDoublingAndRefusesDuplicates)
{
    MemorySink sink;
    OpenFile f(sink);
    EXPECT_EQ(f.file->handler_count, 4u);
    EXPECT_EQ(f.file->handler_capacity, 10u);
    const ZethBlockHandler duplicate = CustomHandler(ZETH_BLOCK_TYPE_PB);
    EXPECT_EQ(zeth_register_block_handler(f.file, &duplicate), ZETH_ERR_DUPLICATE_TYPE);
    const ZethBlockHandler section_header = CustomHandler(ZETH_BLOCK_TYPE_SHB);
    EXPECT_EQ(zeth_register_block_handler(f.file, &section_header), ZETH_ERR_DUPLICATE_TYPE);
    ZethBlockHandler incomplete = CustomHandler(99);
    incomplete.serialize = nullptr;
    EXPECT_EQ(zeth_register_block_handler(f.file, &incomplete), ZETH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(f.file->handler_count, 4u);

    for (uint32_t type = 100; type < 125; ++type) {
        const ZethBlockHandler handler = CustomHandler(type);
        ASSERT_EQ(zeth_register_block_handler(f.file, &handler), 0u);
    }
    EXPECT_EQ(f.file->handler_count, 29u);
    EXPECT_EQ(f.file->handler_capacity, 40u);

    // Every entry survived the two moves, built-in and added alike.
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    const uint8_t custom[5] = {1, 2, 3, 4, 5};
    const uint8_t data[1] = {0x42};
    const ZethPbRecord pb = {0, 0, 0, 0, 1, 1, data};
    const ZethSpbRecord spb = {1, 1, data};
    const ZethEpbRecord epb = {0, 0, 0, 1, 1, data};
    struct Case {
        uint32_t type;
        const void *record;
        uint32_t length;
    };
    const Case cases[] = {{1, &kIdb, 20},     {2, &pb, 36},       {3, &spb, 20},
                          {6, &epb, 36},      {100, custom, 20},  {109, custom, 20},
                          {110, custom, 20},  {124, custom, 20}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        ZethBlock *block = nullptr;
        ASSERT_EQ(zeth_create_block(f.section, c.type, c.record, &block), 0u);
        const size_t start = sink.bytes.size();
        ASSERT_EQ(zeth_close_block(block), 0u);
        EXPECT_EQ(sink.U32(start), c.type);
        EXPECT_EQ(sink.U32(start + 4), c.length);
        EXPECT_EQ(sink.bytes.size() - start, c.length);
    }
}

TEST(ZethHandlers, CustomBodyIsPaddedAndCountedAndHandlerCodesPassThrough)
{
    MemorySink sink;
    OpenFile f(sink);
    const ZethBlockHandler handler = CustomHandler(0x40000001);
    ASSERT_EQ(zeth_register_block_handler(f.file, &handler), 0u);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    const uint8_t record[5] = {1, 2, 3, 4, 5};

    g_init_answer = 0x1417;
    ZethBlock *block = nullptr;
    EXPECT_EQ(zeth_create_block(f.section, 0x40000001, record, &block), 0x1417u);
    g_init_answer = 0;
    ASSERT_EQ(zeth_create_block(f.section, 0x40000001, record, &block), 0u)
        << "a failed init leaves no block open";

    // The handler's option writer answers neither 0 nor 17 at sizing.
    ZethOption option = {nullptr, 7, record};
    ASSERT_EQ(zeth_add_option(block, &option), 0u);
    EXPECT_EQ(zeth_close_block(block), 0x0Bu);
    EXPECT_EQ(sink.bytes.size(), 28u);
    block->options = nullptr;

    g_finish_answer = 0xF1;
    EXPECT_EQ(zeth_close_block(block), 0xF1u);
    EXPECT_EQ(zeth_close_section(f.section), ZETH_ERR_BLOCK_OPEN) << "finish failed: still open";
    g_finish_answer = 0;
    sink.bytes.resize(28);
    sink.position = 28;
    ASSERT_EQ(zeth_close_block(block), 0u);
    const std::vector<uint8_t> expected = {0x01, 0, 0, 0x40, 20, 0, 0, 0, 1, 2, 3, 4,
                                           5,    0, 0, 0,    20, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(sink.bytes.begin() + 28, sink.bytes.end()), expected);
}

// -------------------------------------------- encoders, parse, read option

TEST(ZethEncoders, AnswerTheSizeTheyNeedWhenGivenTooLittle)
{
    MemorySink sink;
    OpenFile f(sink);
    const ZethBlockHandler *idb = zeth::FindHandler(*f.file, ZETH_BLOCK_TYPE_IDB);
    const ZethBlockHandler *pb = zeth::FindHandler(*f.file, ZETH_BLOCK_TYPE_PB);
    ASSERT_NE(idb, nullptr);
    ASSERT_NE(pb, nullptr);

    const uint8_t data[3] = {};
    const ZethPbRecord record = {0, 0, 0, 0, 3, 3, data};
    uint32_t length = 0;
    EXPECT_EQ(pb->serialize(0, &record, nullptr, &length), ZETH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 2 * sizeof(ZethChunk));
    ZethChunk chunks[2];
    length = sizeof(ZethChunk);
    EXPECT_EQ(pb->serialize(0, &record, chunks, &length), ZETH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 2 * sizeof(ZethChunk));
    length = sizeof chunks;
    ASSERT_EQ(pb->serialize(0, &record, chunks, &length), 0u);
    EXPECT_EQ(chunks[0].data, &record);
    EXPECT_EQ(chunks[0].length, 20u);
    EXPECT_EQ(chunks[0].next, &chunks[1]);
    EXPECT_EQ(chunks[1].data, data);
    EXPECT_EQ(chunks[1].length, 3u) << "the writer pads, the chunk covers only the packet";
    EXPECT_EQ(chunks[1].next, nullptr);

    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    const ZethOption option = {nullptr, IDB_OPTION_IF_MACADDR, mac};
    uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    length = 11;
    EXPECT_EQ(idb->write_option(0, &option, out, &length), ZETH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(out[0], 0xEE) << "nothing written without room";
    length = sizeof out;
    EXPECT_EQ(idb->write_option(0, &option, out, &length), 0u);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(out[10], 0);
    EXPECT_EQ(out[11], 0);
    EXPECT_EQ(out[12], 0xEE) << "not one byte past what it answered";

    const ZethOption name = {nullptr, IDB_OPTION_IF_NAME, "abcdefg"};
    length = 0;
    EXPECT_EQ(idb->write_option(0, &name, nullptr, &length), ZETH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 12u);
    const ZethOption unknown = {nullptr, 14, mac};
    EXPECT_EQ(idb->write_option(0, &unknown, nullptr, &length), ZETH_ERR_UNSUPPORTED);
}

TEST(ZethEncoders, WrittenBlocksDecodeBackToTheirRecordsAndOptions)
{
    MemorySink sink;
    OpenFile f(sink);
    ASSERT_EQ(zeth_create_section(f.file, &f.section), 0u);
    uint8_t data[37];
    for (uint8_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    const ZethIdbRecord idb = {1, 0, 262144};
    const ZethPbRecord pb = {2, 1, 0x10, 0x20, 37, 100, data};
    const ZethEpbRecord epb = {3, 0x30, 0x40, 37, 1500, data};
    const ZethSpbRecord spb = {37, 37, data};
    const uint8_t fcs = 4;
    ZethOption comment = {nullptr, OPTION_COMMENT, "hello"};
    ZethOption fcs_option = {nullptr, IDB_OPTION_IF_FCSLEN, &fcs};

    struct Written {
        uint32_t type;
        const void *record;
        size_t offset;
    };
    std::vector<Written> written = {{1, &idb, 0}, {2, &pb, 0}, {6, &epb, 0}, {3, &spb, 0}};
    for (Written &w : written) {
        ZethBlock *block = nullptr;
        ASSERT_EQ(zeth_create_block(f.section, w.type, w.record, &block), 0u);
        w.offset = sink.bytes.size();
        if (w.type == 1) {
            ASSERT_EQ(zeth_add_option(block, &comment), 0u);
            ASSERT_EQ(zeth_add_option(block, &fcs_option), 0u);
        }
        ASSERT_EQ(zeth_close_block(block), 0u);
    }

    auto body_of = [&](size_t offset) { return sink.bytes.data() + offset + 8; };
    auto total_of = [&](size_t offset) { return sink.U32(offset + 4); };

    ZethIdbRecord idb_back = {};
    const ZethBlockHandler *h = zeth::FindHandler(*f.file, 1);
    ASSERT_EQ(h->parse(0, body_of(written[0].offset), 8, &idb_back), 0u);
    EXPECT_EQ(std::memcmp(&idb_back, &idb, sizeof idb), 0);
    ZethOption back = {};
    uint32_t used = 0;
    const uint8_t *options = body_of(written[0].offset) + 8;
    ASSERT_EQ(h->read_option(0, options, total_of(written[0].offset) - 20, &back, &used), 0u);
    EXPECT_EQ(back.code, OPTION_COMMENT);
    EXPECT_STREQ(static_cast<const char *>(back.value), "hello");
    EXPECT_EQ(used, 12u);
    ASSERT_EQ(h->read_option(0, options + used, 12, &back, &used), 0u);
    EXPECT_EQ(back.code, IDB_OPTION_IF_FCSLEN);
    EXPECT_EQ(*static_cast<const uint8_t *>(back.value), 4);
    EXPECT_EQ(h->read_option(0, options, 11, &back, &used), ZETH_ERR_INVALID_ARGUMENT)
        << "an option running past what is available";

    ZethPbRecord pb_back = {};
    h = zeth::FindHandler(*f.file, 2);
    ASSERT_EQ(h->parse(0, body_of(written[1].offset), total_of(written[1].offset) - 12, &pb_back),
              0u);
    EXPECT_EQ(pb_back.interface_id, 2);
    EXPECT_EQ(pb_back.drops_count, 1);
    EXPECT_EQ(pb_back.timestamp_low, 0x20u);
    EXPECT_EQ(pb_back.packet_length, 100u);
    ASSERT_EQ(pb_back.captured_length, 37u);
    EXPECT_EQ(std::memcmp(pb_back.packet_data, data, 37), 0);
    EXPECT_EQ(h->parse(0, body_of(written[1].offset), 40, &pb_back), ZETH_ERR_INVALID_ARGUMENT)
        << "a captured length beyond the body";

    ZethEpbRecord epb_back = {};
    h = zeth::FindHandler(*f.file, 6);
    ASSERT_EQ(
        h->parse(0, body_of(written[2].offset), total_of(written[2].offset) - 12, &epb_back), 0u);
    EXPECT_EQ(epb_back.interface_id, 3u);
    EXPECT_EQ(epb_back.timestamp_high, 0x30u);
    EXPECT_EQ(epb_back.packet_length, 1500u);
    EXPECT_EQ(std::memcmp(epb_back.packet_data, data, 37), 0);

    ZethSpbRecord spb_back = {};
    h = zeth::FindHandler(*f.file, 3);
    ASSERT_EQ(
        h->parse(0, body_of(written[3].offset), total_of(written[3].offset) - 12, &spb_back), 0u);
    EXPECT_EQ(spb_back.packet_length, 37u);
    EXPECT_EQ(spb_back.captured_length, 37u) << "the packet, not its padding";
    EXPECT_EQ(std::memcmp(spb_back.packet_data, data, 37), 0);
}

TEST(ZethInterface, UsableFromC)
{
    uint8_t buffer[64] = {};
    uint32_t used = 0;
    ASSERT_EQ(zeth_c_write_empty_section(buffer, sizeof buffer, &used), 0);
    EXPECT_EQ(used, 28u);
    uint32_t type;
    std::memcpy(&type, buffer, 4);
    EXPECT_EQ(type, ZETH_BLOCK_TYPE_SHB);
}

}  // namespace
