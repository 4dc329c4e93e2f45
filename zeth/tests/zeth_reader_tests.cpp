// Files written through the block writer, read back by readers we did not
// write: libpcap, tshark and capinfos.
#include "zeth.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Plain stdio handlers, as any caller of the library would write them.
uint32_t StdioWrite(void *handle, const void *source, uint32_t length)
{
    return std::fwrite(source, 1, length, static_cast<FILE *>(handle)) == length ? 0 : 1;
}

uint32_t StdioSeek(void *handle, int64_t offset, uint32_t origin, uint64_t *new_position)
{
    FILE *file = static_cast<FILE *>(handle);
    if (fseeko(file, offset, origin == ZETH_SEEK_CURRENT ? SEEK_CUR : SEEK_SET) != 0) {
        return 2;
    }
    if (new_position != nullptr) {
        const off_t position = ftello(file);
        if (position < 0) {
            return 2;
        }
        *new_position = static_cast<uint64_t>(position);
    }
    return 0;
}

uint32_t StdioRead(void *handle, void *destination, uint32_t length, uint32_t)
{
    return std::fread(destination, 1, length, static_cast<FILE *>(handle)) == length ? 0 : 1;
}

struct Packet {
    uint16_t interface_id;
    uint64_t timestamp_ns;
    uint32_t wire_length;
    std::vector<uint8_t> bytes;
};

fs::path TestDirectory()
{
    const char *state = std::getenv("FL_TEST_TMP");
    fs::path directory = state != nullptr ? fs::path(state) : fs::temp_directory_path();
    directory /= "zeth_reader_tests";
    fs::create_directories(directory);
    return directory;
}

// A frame whose bytes depend on its number, so that a reader's copy can be
// checked byte for byte.
std::vector<Packet> MakePackets(size_t count, uint16_t interfaces)
{
    const uint32_t lengths[] = {60, 61, 62, 63, 64, 1514, 128, 65};
    std::vector<Packet> packets;
    for (size_t i = 0; i < count; ++i) {
        Packet p;
        p.interface_id = static_cast<uint16_t>(i % interfaces);
        // Crosses a 2^32 ns boundary of the low word and uses every digit.
        p.timestamp_ns = 1700000000123456789ull + i * 1000000001ull;
        const uint32_t captured = lengths[i % std::size(lengths)];
        p.wire_length = captured + (i % 3 == 0 ? 100 : 0);
        p.bytes.resize(captured);
        for (uint32_t b = 0; b < captured; ++b) {
            p.bytes[b] = static_cast<uint8_t>(i * 31 + b);
        }
        packets.push_back(std::move(p));
    }
    return packets;
}

// The same file FlDump_ng writes: one section, one IDB per interface with
// FCS length 4 and nanosecond resolution, then one PB per packet.
void WriteCapture(const fs::path &path, uint16_t interfaces, const std::vector<Packet> &packets,
                  bool with_seek)
{
    FILE *out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ZethFile *file = nullptr;
    ASSERT_EQ(zeth_open_file(nullptr, StdioWrite, with_seek ? StdioSeek : nullptr, out, "w",
                             &file),
              0u);
    ZethSection *section = nullptr;
    ASSERT_EQ(zeth_create_section(file, &section), 0u);

    const ZethIdbRecord idb = {1, 0, 65535};
    const uint8_t fcs_length = 4;
    const uint8_t resolution = 9;
    ZethOption fcs = {nullptr, IDB_OPTION_IF_FCSLEN, &fcs_length};
    ZethOption tsresol = {nullptr, IDB_OPTION_IF_TSACCUR, &resolution};
    for (uint16_t i = 0; i < interfaces; ++i) {
        ZethBlock *block = nullptr;
        ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_IDB, &idb, &block), 0u);
        ASSERT_EQ(zeth_add_option(block, &fcs), 0u);
        ASSERT_EQ(zeth_add_option(block, &tsresol), 0u);
        ASSERT_EQ(zeth_close_block(block), 0u);
    }
    for (const Packet &p : packets) {
        const ZethPbRecord pb = {p.interface_id,
                                 0,
                                 static_cast<uint32_t>(p.timestamp_ns >> 32),
                                 static_cast<uint32_t>(p.timestamp_ns),
                                 static_cast<uint32_t>(p.bytes.size()),
                                 p.wire_length,
                                 p.bytes.data()};
        ZethBlock *block = nullptr;
        ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_PB, &pb, &block), 0u);
        ASSERT_EQ(zeth_close_block(block), 0u);
    }
    ASSERT_EQ(zeth_close_section(section), 0u);
    ASSERT_EQ(zeth_close_file(file), 0u);
    ASSERT_EQ(std::fclose(out), 0);
}

uint64_t ExpectedFileSize(uint16_t interfaces, const std::vector<Packet> &packets)
{
    uint64_t size = 28 + 40ull * interfaces;
    for (const Packet &p : packets) {
        size += 32 + ((p.bytes.size() + 3) & ~size_t{3});
    }
    return size;
}

void ExpectLibpcapReads(const fs::path &path, const std::vector<Packet> &packets, int precision)
{
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *pcap = precision == PCAP_TSTAMP_PRECISION_NANO
                       ? pcap_open_offline_with_tstamp_precision(path.c_str(), precision, error)
                       : pcap_open_offline(path.c_str(), error);
    ASSERT_NE(pcap, nullptr) << error;
    EXPECT_EQ(pcap_datalink(pcap), DLT_EN10MB);
    EXPECT_EQ(pcap_snapshot(pcap), 65535);
    size_t index = 0;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int answer;
    while ((answer = pcap_next_ex(pcap, &header, &data)) == 1) {
        ASSERT_LT(index, packets.size());
        const Packet &p = packets[index];
        SCOPED_TRACE(index);
        EXPECT_EQ(header->caplen, p.bytes.size());
        EXPECT_EQ(header->len, p.wire_length);
        EXPECT_EQ(static_cast<uint64_t>(header->ts.tv_sec), p.timestamp_ns / 1000000000);
        const uint64_t fraction = p.timestamp_ns % 1000000000;
        EXPECT_EQ(static_cast<uint64_t>(header->ts.tv_usec),
                  precision == PCAP_TSTAMP_PRECISION_NANO ? fraction : fraction / 1000);
        EXPECT_EQ(std::vector<uint8_t>(data, data + header->caplen), p.bytes);
        ++index;
    }
    EXPECT_EQ(answer, PCAP_ERROR_BREAK) << pcap_geterr(pcap);
    EXPECT_EQ(index, packets.size());
    pcap_close(pcap);
}

bool HaveProgram(const char *name)
{
    const char *path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        std::error_code ignored;
        if (fs::exists(fs::path(directory) / name, ignored)) {
            return true;
        }
    }
    return false;
}

struct ProgramOutput {
    int status;
    std::string out;
};

ProgramOutput RunProgram(const std::string &command)
{
    ProgramOutput result{-1, {}};
    FILE *pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.out.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Quoted(const fs::path &path) { return "'" + path.string() + "'"; }

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.find("Running as user") == std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string EpochText(uint64_t ns)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%09llu",
                  static_cast<unsigned long long>(ns / 1000000000),
                  static_cast<unsigned long long>(ns % 1000000000));
    return text;
}

void ExpectTsharkReads(const fs::path &path, const std::vector<Packet> &packets)
{
    const ProgramOutput shown =
        RunProgram("tshark -n -r " + Quoted(path) +
            " -T fields -E separator=, -e frame.interface_id -e frame.len -e frame.cap_len"
            " -e frame.time_epoch");
    ASSERT_EQ(shown.status, 0) << shown.out;
    const std::vector<std::string> lines = Lines(shown.out);
    ASSERT_EQ(lines.size(), packets.size()) << shown.out;
    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet &p = packets[i];
        std::ostringstream expected;
        expected << p.interface_id << ',' << p.wire_length << ',' << p.bytes.size() << ','
                 << EpochText(p.timestamp_ns);
        EXPECT_EQ(lines[i], expected.str());
    }
}

void ExpectCapinfosReads(const fs::path &path, const std::vector<Packet> &packets,
                         uint16_t interfaces)
{
    const ProgramOutput info = RunProgram("capinfos -M -t -E -c -I " + Quoted(path));
    ASSERT_EQ(info.status, 0) << info.out;
    auto expect_line = [&](const std::string &text) {
        EXPECT_NE(info.out.find(text), std::string::npos) << text << " in\n" << info.out;
    };
    expect_line("File type:           pcapng");
    expect_line("File encapsulation:  ether");
    expect_line("Number of packets:   " + std::to_string(packets.size()));
    expect_line("Number of interfaces in file: " + std::to_string(interfaces));
    for (uint16_t i = 0; i < interfaces; ++i) {
        size_t on_interface = 0;
        for (const Packet &p : packets) {
            on_interface += p.interface_id == i;
        }
        const std::string heading = "Interface #" + std::to_string(i) + " info:";
        const size_t at = info.out.find(heading);
        ASSERT_NE(at, std::string::npos) << heading << " in\n" << info.out;
        const size_t next = info.out.find("Interface #", at + heading.size());
        const std::string block = info.out.substr(at, next - at);
        for (const std::string &text :
             {std::string("Encapsulation = Ethernet (1 - ether)"),
              std::string("Capture length = 65535"), std::string("FCS length = 4"),
              std::string("Time precision = nanoseconds (9)"),
              "Number of packets = " + std::to_string(on_interface)}) {
            EXPECT_NE(block.find(text), std::string::npos) << text << " in\n" << block;
        }
    }
}

struct Capture {
    uint16_t interfaces;
    bool with_seek;
    const char *name;
};

class ZethReaders : public ::testing::TestWithParam<Capture> {
protected:
    void SetUp() override
    {
        const Capture &c = GetParam();
        path_ = TestDirectory() / c.name;
        packets_ = MakePackets(c.interfaces == 1 ? 17 : 40, c.interfaces);
        WriteCapture(path_, c.interfaces, packets_, c.with_seek);
        ASSERT_EQ(fs::file_size(path_), ExpectedFileSize(c.interfaces, packets_));
    }

    fs::path path_;
    std::vector<Packet> packets_;
};

TEST_P(ZethReaders, SectionLengthIsPatchedOnlyWithASeekFunction)
{
    FILE *in = std::fopen(path_.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    uint8_t header[28];
    ASSERT_EQ(std::fread(header, 1, sizeof header, in), sizeof header);
    std::fclose(in);
    uint64_t section_length;
    std::memcpy(&section_length, header + 16, 8);
    const uint64_t expected =
        GetParam().with_seek ? ExpectedFileSize(GetParam().interfaces, packets_) - 28 : ~0ull;
    EXPECT_EQ(section_length, expected);

    // And the library itself recognizes the file when opened for reading.
    in = std::fopen(path_.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    ZethFile *file = nullptr;
    EXPECT_EQ(zeth_open_file(StdioRead, nullptr, nullptr, in, "r", &file), 0u);
    EXPECT_EQ(zeth_close_file(file), 0u);
    std::fclose(in);
}

TEST_P(ZethReaders, LibpcapReadsEveryPacketInNanoseconds)
{
    ExpectLibpcapReads(path_, packets_, PCAP_TSTAMP_PRECISION_NANO);
}

TEST_P(ZethReaders, LibpcapReadsEveryPacketInMicroseconds)
{
    ExpectLibpcapReads(path_, packets_, PCAP_TSTAMP_PRECISION_MICRO);
}

TEST_P(ZethReaders, TsharkShowsInterfacesLengthsAndTimestamps)
{
    if (!HaveProgram("tshark")) {
        GTEST_SKIP() << "tshark is not installed";
    }
    ExpectTsharkReads(path_, packets_);
}

TEST_P(ZethReaders, CapinfosCountsPacketsAndInterfaces)
{
    if (!HaveProgram("capinfos")) {
        GTEST_SKIP() << "capinfos is not installed";
    }
    ExpectCapinfosReads(path_, packets_, GetParam().interfaces);
}

INSTANTIATE_TEST_SUITE_P(Captures, ZethReaders,
                         ::testing::Values(Capture{1, false, "one_interface.pcapng"},
                                           Capture{1, true, "one_interface_seek.pcapng"},
                                           Capture{4, false, "four_interfaces.pcapng"},
                                           Capture{4, true, "four_interfaces_seek.pcapng"}),
                         [](const auto &info) {
                             return std::to_string(info.param.interfaces) + "Interfaces" +
                                    (info.param.with_seek ? "WithSeek" : "WithoutSeek");
                         });

// Every block type and option kind the library writes, in one file that
// tshark must walk without complaint: the simple packet blocks with a
// length that is not a multiple of 4 are the test of the padding rule.
TEST(ZethReadersMixed, EveryBlockTypeAndOptionIsReadBack)
{
    const fs::path path = TestDirectory() / "mixed.pcapng";
    FILE *out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ZethFile *file = nullptr;
    ASSERT_EQ(zeth_open_file(nullptr, StdioWrite, StdioSeek, out, "w", &file), 0u);
    ZethSection *section = nullptr;
    ASSERT_EQ(zeth_create_section(file, &section), 0u);

    const ZethIdbRecord idb = {1, 0, 65535};
    const uint8_t resolution = 9;
    const uint64_t speed = 1000000000;
    const uint8_t mac[6] = {0x00, 0x1B, 0x21, 0x0A, 0x0B, 0x0C};
    ZethOption name = {nullptr, IDB_OPTION_IF_NAME, "port0"};
    ZethOption description = {nullptr, IDB_OPTION_IF_DESCRIPTION, "first port"};
    ZethOption speed_option = {nullptr, IDB_OPTION_IF_SPEED, &speed};
    ZethOption mac_option = {nullptr, IDB_OPTION_IF_MACADDR, mac};
    ZethOption tsresol = {nullptr, IDB_OPTION_IF_TSACCUR, &resolution};
    ZethBlock *block = nullptr;
    ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_IDB, &idb, &block), 0u);
    for (ZethOption *option : {&name, &description, &speed_option, &mac_option, &tsresol}) {
        ASSERT_EQ(zeth_add_option(block, option), 0u);
    }
    ASSERT_EQ(zeth_close_block(block), 0u);

    std::vector<uint8_t> frame(61);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i);
    }
    const uint64_t ns = 1700000000000000007ull;
    const ZethEpbRecord epb = {0, static_cast<uint32_t>(ns >> 32), static_cast<uint32_t>(ns), 61,
                               61, frame.data()};
    const ZethSpbRecord spb = {61, 61, frame.data()};
    const ZethSpbRecord spb_short = {33, 33, frame.data()};
    const ZethPbRecord pb = {0, 0, static_cast<uint32_t>(ns >> 32), static_cast<uint32_t>(ns),
                             61, 61, frame.data()};
    const uint32_t flags = 1;  // inbound
    ZethOption epb_flags = {nullptr, EPB_OPTION_FLAGS, &flags};
    ZethOption comment = {nullptr, OPTION_COMMENT, "pb note"};

    ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_EPB, &epb, &block), 0u);
    ASSERT_EQ(zeth_add_option(block, &epb_flags), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_SPB, &spb, &block), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_SPB, &spb_short, &block), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    ASSERT_EQ(zeth_create_block(section, ZETH_BLOCK_TYPE_PB, &pb, &block), 0u);
    ASSERT_EQ(zeth_add_option(block, &comment), 0u);
    ASSERT_EQ(zeth_close_block(block), 0u);
    ASSERT_EQ(zeth_close_section(section), 0u);
    ASSERT_EQ(zeth_close_file(file), 0u);
    ASSERT_EQ(std::fclose(out), 0);

    // libpcap refuses a block whose total length is not a multiple of 4.
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *pcap = pcap_open_offline(path.c_str(), error);
    ASSERT_NE(pcap, nullptr) << error;
    std::vector<uint32_t> captured;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int answer;
    while ((answer = pcap_next_ex(pcap, &header, &data)) == 1) {
        captured.push_back(header->caplen);
        EXPECT_EQ(std::memcmp(data, frame.data(), header->caplen), 0);
    }
    EXPECT_EQ(answer, PCAP_ERROR_BREAK) << pcap_geterr(pcap);
    pcap_close(pcap);
    EXPECT_EQ(captured, (std::vector<uint32_t>{61, 61, 33, 61}));

    if (!HaveProgram("tshark")) {
        GTEST_SKIP() << "tshark is not installed";
    }
    const ProgramOutput shown =
        RunProgram("tshark -n -r " + Quoted(path) +
            " -T fields -E separator=, -e frame.len -e frame.cap_len -e frame.interface_name"
            " -e frame.interface_description -e frame.comment");
    ASSERT_EQ(shown.status, 0) << shown.out;
    const std::vector<std::string> lines = Lines(shown.out);
    ASSERT_EQ(lines.size(), 4u) << shown.out;
    EXPECT_EQ(lines[0], "61,61,port0,first port,");
    EXPECT_EQ(lines[1], "61,61,port0,first port,");
    EXPECT_EQ(lines[2], "33,33,port0,first port,");
    EXPECT_EQ(lines[3].rfind("61,61,port0,first port,pb note", 0), 0u) << lines[3];

    const ProgramOutput times = RunProgram("tshark -n -r " + Quoted(path) +
                                    " -T fields -e frame.time_epoch -Y 'frame.number != 2 && "
                                    "frame.number != 3'");
    ASSERT_EQ(times.status, 0) << times.out;
    const std::vector<std::string> stamped = Lines(times.out);
    ASSERT_EQ(stamped.size(), 2u) << times.out;
    EXPECT_EQ(stamped[0], EpochText(ns));
    EXPECT_EQ(stamped[1], EpochText(ns));
}

}  // namespace
