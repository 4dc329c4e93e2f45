// Byte layout of what the writer produces: section header, the four block
// types, option encodings and padding.
#include "zeth.h"
#include "zeth_test_sink.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using zeth_test::MemorySink;

class ZethLayout : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(zeth_open_file(nullptr, MemorySink::Write, nullptr, &sink_, "w", &file_), 0u);
        ASSERT_EQ(zeth_create_section(file_, &section_), 0u);
    }

    void TearDown() override
    {
        if (file_ != nullptr) {
            zeth_close_section(section_);
            EXPECT_EQ(zeth_close_file(file_), 0u);
        }
    }

    // Writes one block with the given options and answers its bytes.
    std::vector<uint8_t> WriteBlock(uint32_t type, const void *record,
                                    std::vector<ZethOption *> options = {})
    {
        ZethBlock *block = nullptr;
        EXPECT_EQ(zeth_create_block(section_, type, record, &block), 0u);
        const size_t body_start = sink_.bytes.size();
        const size_t writes_before = sink_.writes.size();
        for (ZethOption *option : options) {
            EXPECT_EQ(zeth_add_option(block, option), 0u);
        }
        EXPECT_EQ(zeth_close_block(block), 0u);
        block_writes_ = sink_.writes.size() - writes_before;
        // Measured after creation: the first block of a section writes the
        // section header then.
        return {sink_.bytes.begin() + static_cast<std::ptrdiff_t>(body_start), sink_.bytes.end()};
    }

    static uint32_t U32(const std::vector<uint8_t> &bytes, size_t offset)
    {
        uint32_t value;
        std::memcpy(&value, bytes.data() + offset, 4);
        return value;
    }

    static uint16_t U16(const std::vector<uint8_t> &bytes, size_t offset)
    {
        uint16_t value;
        std::memcpy(&value, bytes.data() + offset, 2);
        return value;
    }

    static bool ZerosAt(const std::vector<uint8_t> &bytes, size_t offset, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            if (bytes.at(offset + i) != 0) {
                return false;
            }
        }
        return true;
    }

    MemorySink sink_;
    size_t block_writes_ = 0;  // write calls made by the last WriteBlock's close
    ZethFile *file_ = nullptr;
    ZethSection *section_ = nullptr;
};

TEST_F(ZethLayout, SectionWithoutBlocksWritesItsHeaderAtClose)
{
    EXPECT_TRUE(sink_.bytes.empty()) << "nothing is written before the first block";
    ASSERT_EQ(zeth_close_section(section_), 0u);
    const std::vector<uint8_t> expected = {
        0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0,                      // type, length
        0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0,                       // magic, 1.0
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,           // length not recorded
        28, 0, 0, 0};
    EXPECT_EQ(sink_.bytes, expected);
}

TEST_F(ZethLayout, InterfaceWithFcsAndResolutionOptionsIs40Bytes)
{
    const ZethIdbRecord idb = {1, 0, 65535};
    const uint8_t fcs = 4;
    const uint8_t resolution = 9;
    ZethOption fcs_option = {nullptr, IDB_OPTION_IF_FCSLEN, &fcs};
    ZethOption resolution_option = {nullptr, IDB_OPTION_IF_TSACCUR, &resolution};
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb, {&fcs_option, &resolution_option});

    ASSERT_EQ(sink_.bytes.size(), 28u + 40u) << "the section header goes first";
    const std::vector<uint8_t> expected = {
        1, 0, 0, 0, 40, 0, 0, 0,        // type 1, L = 40
        1, 0, 0, 0, 0xFF, 0xFF, 0, 0,   // link type 1, reserved, snap length 65535
        13, 0, 1, 0, 4, 0, 0, 0,        // if_fcslen = 4, three zero bytes
        9, 0, 1, 0, 9, 0, 0, 0,         // resolution = 9, three zero bytes
        0, 0, 0, 0,                     // end of options
        40, 0, 0, 0};
    EXPECT_EQ(bytes, expected);
}

TEST_F(ZethLayout, BlockWithoutOptionsEndsRightAfterItsBody)
{
    const ZethIdbRecord idb = {1, 0, 96};
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb);
    ASSERT_EQ(bytes.size(), 20u);
    EXPECT_EQ(U32(bytes, 4), 20u);
    EXPECT_EQ(U32(bytes, 12), 96u);
    EXPECT_EQ(U32(bytes, 16), 20u) << "trailing length follows the body, no end-of-options";
}

TEST_F(ZethLayout, PacketBlockRoundsItsDataToFourWithZeros)
{
    std::array<uint8_t, 61> data;
    data.fill(0xAB);
    for (const uint32_t captured : {60u, 61u}) {
        SCOPED_TRACE(captured);
        const ZethPbRecord pb = {3, 7, 1, 5, captured, 1514, data.data()};
        sink_.writes.clear();
        const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_PB, &pb);
        const uint32_t size = captured == 60 ? 92 : 96;
        ASSERT_EQ(bytes.size(), size);
        EXPECT_EQ(U32(bytes, 0), 2u);
        EXPECT_EQ(U32(bytes, 4), size);
        EXPECT_EQ(U16(bytes, 8), 3u) << "interface id";
        EXPECT_EQ(U16(bytes, 10), 7u) << "drops count";
        EXPECT_EQ(U32(bytes, 12), 1u) << "timestamp high";
        EXPECT_EQ(U32(bytes, 16), 5u) << "timestamp low";
        EXPECT_EQ(U32(bytes, 20), captured);
        EXPECT_EQ(U32(bytes, 24), 1514u);
        EXPECT_EQ(bytes[28], 0xAB);
        EXPECT_EQ(bytes[28 + captured - 1], 0xAB);
        EXPECT_TRUE(ZerosAt(bytes, 28 + captured, size - 4 - 28 - captured));
        EXPECT_EQ(U32(bytes, size - 4), size);

        // The packet bytes go to the writer straight from the caller's
        // buffer, never through a copy of the library's.
        bool data_passed = false;
        for (const auto &call : sink_.writes) {
            data_passed |= call.source == data.data() && call.length == captured;
        }
        EXPECT_TRUE(data_passed);
        // Header, fixed part, data, padding if any, trailing length.
        EXPECT_EQ(block_writes_, captured % 4 == 0 ? 4u : 5u);
    }
}

TEST_F(ZethLayout, EnhancedPacketBlockCarriesA32BitInterfaceId)
{
    const uint8_t data[61] = {0x11};
    const ZethEpbRecord epb = {0x00010002, 0xAABBCCDD, 0x11223344, 61, 61, data};
    const uint32_t flags = 0x00000001;
    ZethOption flags_option = {nullptr, EPB_OPTION_FLAGS, &flags};
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_EPB, &epb, {&flags_option});
    // 8 header + 20 fixed + 64 data + 8 flags + 4 end + 4 trailing
    ASSERT_EQ(bytes.size(), 108u);
    EXPECT_EQ(U32(bytes, 0), 6u);
    EXPECT_EQ(U32(bytes, 4), 108u);
    EXPECT_EQ(U32(bytes, 8), 0x00010002u);
    EXPECT_EQ(U32(bytes, 12), 0xAABBCCDDu);
    EXPECT_EQ(U32(bytes, 16), 0x11223344u);
    EXPECT_EQ(bytes[28], 0x11);
    EXPECT_TRUE(ZerosAt(bytes, 29, 63));
    EXPECT_EQ(U16(bytes, 92), EPB_OPTION_FLAGS);
    EXPECT_EQ(U16(bytes, 94), 4u);
    EXPECT_EQ(U32(bytes, 96), 1u);
    EXPECT_TRUE(ZerosAt(bytes, 100, 4)) << "end of options";
    EXPECT_EQ(U32(bytes, 104), 108u);
}

TEST_F(ZethLayout, SimplePacketBlockLengthCountsItsPadding)
{
    uint8_t data[61];
    std::memset(data, 0x5A, sizeof data);
    const ZethSpbRecord spb = {1000, 61, data};
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_SPB, &spb);
    // Readers walk blocks by their total length and require a multiple of
    // 4, so the three bytes of padding are counted: L = 80, not 77.
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(U32(bytes, 0), 3u);
    EXPECT_EQ(U32(bytes, 4), 80u);
    EXPECT_EQ(U32(bytes, 8), 1000u) << "packet length";
    EXPECT_EQ(bytes[12], 0x5A);
    EXPECT_EQ(bytes[72], 0x5A);
    EXPECT_TRUE(ZerosAt(bytes, 73, 3));
    EXPECT_EQ(U32(bytes, 76), 80u);

    // The next block starts right after: the padding is part of this one.
    const ZethIdbRecord idb = {1, 0, 64};
    WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb);
    EXPECT_EQ(sink_.U32(28 + 80), ZETH_BLOCK_TYPE_IDB);
}

TEST_F(ZethLayout, StringOptionKeepsItsTerminatorInTheLength)
{
    const ZethIdbRecord idb = {1, 0, 65535};
    ZethOption name = {nullptr, IDB_OPTION_IF_NAME, "eth0"};
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb, {&name});
    // 8 + 8 body + 12 option + 4 end + 4 trailing
    ASSERT_EQ(bytes.size(), 36u);
    EXPECT_EQ(U16(bytes, 16), IDB_OPTION_IF_NAME);
    EXPECT_EQ(U16(bytes, 18), 5u) << "four characters and the terminating zero";
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&bytes[20]), 4), "eth0");
    EXPECT_TRUE(ZerosAt(bytes, 24, 4)) << "terminator and padding";
    EXPECT_TRUE(ZerosAt(bytes, 28, 4)) << "end of options";

    // A string filling a multiple of 4 with its terminator takes no padding.
    ZethOption os = {nullptr, IDB_OPTION_IF_OS, "abc"};
    const auto exact = WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb, {&os});
    ASSERT_EQ(exact.size(), 32u);
    EXPECT_EQ(U16(exact, 18), 4u);
}

TEST_F(ZethLayout, EveryInterfaceOptionIsEncodedInTheOrderAdded)
{
    const ZethIdbRecord idb = {1, 0, 65535};
    const uint8_t ipv4[8] = {192, 168, 1, 2, 255, 255, 255, 0};
    uint8_t ipv6[17];
    for (uint8_t i = 0; i < 17; ++i) {
        ipv6[i] = static_cast<uint8_t>(0xF0 + i);
    }
    const uint8_t mac[6] = {0x00, 0x1B, 0x21, 0x0A, 0x0B, 0x0C};
    const uint8_t eui[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint64_t speed = 1000000000ull;
    const uint8_t resolution = 9;
    const uint32_t zone = 0x01020304;
    const uint8_t fcs = 4;

    struct Expected {
        uint16_t code;
        uint16_t length;
        std::vector<uint8_t> value;
    };
    std::vector<ZethOption> options = {
        {nullptr, OPTION_COMMENT, "c"},
        {nullptr, IDB_OPTION_IF_NAME, "n"},
        {nullptr, IDB_OPTION_IF_DESCRIPTION, "desc"},
        {nullptr, IDB_OPTION_IF_IPV4ADDR, ipv4},
        {nullptr, IDB_OPTION_IF_IPV6ADDR, ipv6},
        {nullptr, IDB_OPTION_IF_MACADDR, mac},
        {nullptr, IDB_OPTION_IF_EUIADDR, eui},
        {nullptr, IDB_OPTION_IF_SPEED, &speed},
        {nullptr, IDB_OPTION_IF_TSACCUR, &resolution},
        {nullptr, IDB_OPTION_IF_TZONE, &zone},
        {nullptr, IDB_OPTION_IF_FILTER, "tcp"},
        {nullptr, IDB_OPTION_IF_OS, "Windows"},
        {nullptr, IDB_OPTION_IF_FCSLEN, &fcs},
    };
    auto bytes_of = [](const void *value, size_t length) {
        const auto *p = static_cast<const uint8_t *>(value);
        return std::vector<uint8_t>(p, p + length);
    };
    const std::vector<Expected> expected = {
        {OPTION_COMMENT, 2, bytes_of("c", 2)},
        {IDB_OPTION_IF_NAME, 2, bytes_of("n", 2)},
        {IDB_OPTION_IF_DESCRIPTION, 5, bytes_of("desc", 5)},
        {IDB_OPTION_IF_IPV4ADDR, 8, bytes_of(ipv4, 8)},
        {IDB_OPTION_IF_IPV6ADDR, 17, bytes_of(ipv6, 17)},
        {IDB_OPTION_IF_MACADDR, 6, bytes_of(mac, 6)},
        {IDB_OPTION_IF_EUIADDR, 8, bytes_of(eui, 8)},
        {IDB_OPTION_IF_SPEED, 8, bytes_of(&speed, 8)},
        {IDB_OPTION_IF_TSACCUR, 1, {9}},
        {IDB_OPTION_IF_TZONE, 4, {4, 3, 2, 1}},
        {IDB_OPTION_IF_FILTER, 4, bytes_of("tcp", 4)},
        {IDB_OPTION_IF_OS, 8, bytes_of("Windows", 8)},
        {IDB_OPTION_IF_FCSLEN, 1, {4}},
    };
    std::vector<ZethOption *> pointers;
    for (auto &option : options) {
        pointers.push_back(&option);
    }
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb, pointers);

    size_t offset = 16;
    for (const Expected &e : expected) {
        SCOPED_TRACE(e.code);
        ASSERT_LE(offset + 4, bytes.size());
        EXPECT_EQ(U16(bytes, offset), e.code);
        EXPECT_EQ(U16(bytes, offset + 2), e.length);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset + 4),
                                       bytes.begin() +
                                           static_cast<std::ptrdiff_t>(offset + 4 + e.length)),
                  e.value);
        const size_t padded = (e.length + 3u) & ~size_t{3};
        EXPECT_TRUE(ZerosAt(bytes, offset + 4 + e.length, padded - e.length));
        offset += 4 + padded;
    }
    EXPECT_TRUE(ZerosAt(bytes, offset, 4)) << "end of options";
    EXPECT_EQ(offset + 8, bytes.size());
    EXPECT_EQ(U32(bytes, 4), bytes.size());
    EXPECT_EQ(U32(bytes, offset + 4), bytes.size());
}

TEST_F(ZethLayout, OptionCodeZeroIsIgnored)
{
    const ZethIdbRecord idb = {1, 0, 65535};
    const uint32_t anything = 0xFFFFFFFF;
    ZethOption end = {nullptr, OPTION_ENDOFOPT, &anything};
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb, {&end});
    EXPECT_EQ(bytes.size(), 20u) << "neither the option nor an end-of-options marker";
}

TEST_F(ZethLayout, PacketBlockFlagsOption)
{
    const uint8_t data[4] = {1, 2, 3, 4};
    const ZethPbRecord pb = {0, 0, 0, 0, 4, 4, data};
    const uint32_t flags = 0xC0000001;
    ZethOption flags_option = {nullptr, PB_OPTION_FLAGS, &flags};
    const auto bytes = WriteBlock(ZETH_BLOCK_TYPE_PB, &pb, {&flags_option});
    ASSERT_EQ(bytes.size(), 32u + 4u + 8u + 4u);
    EXPECT_EQ(U16(bytes, 32), PB_OPTION_FLAGS);
    EXPECT_EQ(U16(bytes, 34), 4u);
    EXPECT_EQ(U32(bytes, 36), 0xC0000001u);
}

TEST_F(ZethLayout, NextSectionHeaderFollowsThePreviousSectionsBlocks)
{
    const ZethIdbRecord idb = {1, 0, 128};
    WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb);
    ASSERT_EQ(zeth_close_section(section_), 0u);
    ASSERT_EQ(zeth_create_section(file_, &section_), 0u);
    WriteBlock(ZETH_BLOCK_TYPE_IDB, &idb);
    ASSERT_EQ(zeth_close_section(section_), 0u);
    ASSERT_EQ(sink_.bytes.size(), 2u * (28u + 20u));
    EXPECT_EQ(sink_.U32(48), ZETH_BLOCK_TYPE_SHB);
    EXPECT_EQ(sink_.U32(48 + 28), ZETH_BLOCK_TYPE_IDB);
}

}  // namespace
