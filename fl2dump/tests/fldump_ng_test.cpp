// FlDump_ng as a whole against a scripted capture library: its usage text,
// and the pcap-ng files it writes, byte by byte and as libpcap reads them.
#include "pcapng_output.h"

#include "fake_flapi.h"

#include <um/file_testing.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace hooks = um::file::testing;
using fake_flapi::Fake;
using ::testing::HasSubstr;

ULONGLONG NoTime() { return 0; }
int NoKey() { return 0; }

const char kBap[] = "\\\\?\\FL_bap_001b21000000";
const char kFlan[] = "\\\\?\\FL_flan";

class FlDumpNgTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_flapi::Reset();
        Fake().Ports = {{"\\\\?\\pci#a", "A", FL_PORT_TYPE_PHYSICAL, {}},
                        {"\\\\?\\pci#b", "B", FL_PORT_TYPE_PHYSICAL, {}},
                        {"\\\\?\\pci#c", "C", FL_PORT_TYPE_PHYSICAL, {}},
                        {"\\\\?\\pci#d", "D", FL_PORT_TYPE_PHYSICAL, {}},
                        {kBap, "Ferrolan Board Aggregating Port", FL_PORT_TYPE_BOARD_AGGREGATING, {0, 1}},
                        {kFlan, "Ferrolan Aggregating Port", FL_PORT_TYPE_AGGREGATING, {0, 1, 2, 3}}};
        const char* base = std::getenv("FL_TEST_TMP");
        dir_ = std::filesystem::path(base != nullptr ? base : "/tmp") / "fldump_ng";
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        EXPECT_EQ(Fake().LiveInstances, 0);
        EXPECT_EQ(Fake().LiveBuffers, 0);
    }

    int Run(std::vector<std::string> args) {
        static char program[] = "FlDump_ng.exe";
        std::vector<char*> argv{program};
        args_ = std::move(args);
        for (auto& a : args_) argv.push_back(a.data());
        PcapNgDumpOutput output;
        const DUMP_ENVIRONMENT environment = {stdin, NoKey, NoTime};
        ::testing::internal::CaptureStdout();
        const int status =
            dump_run(static_cast<int>(argv.size()), argv.data(), FlDumpNgTool, output, environment);
        fflush(stdout);
        out_ = ::testing::internal::GetCapturedStdout();
        return status;
    }

    std::string File(const std::string& leaf) const { return (dir_ / leaf).string(); }

    std::filesystem::path dir_;
    std::string out_;

private:
    std::vector<std::string> args_;
};

std::vector<uint8_t> Bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at)
{
    uint32_t v;
    memcpy(&v, &b.at(at + 3) - 3, 4);
    return v;
}

uint16_t U16(const std::vector<uint8_t>& b, size_t at)
{
    uint16_t v;
    memcpy(&v, &b.at(at + 1) - 1, 2);
    return v;
}

struct Block {
    uint32_t Type;
    size_t At;
    uint32_t Length;
};

// The blocks of a file, checking that each one's two lengths agree.
std::vector<Block> Blocks(const std::vector<uint8_t>& file)
{
    std::vector<Block> blocks;
    size_t at = 0;
    while (at + 12 <= file.size()) {
        const uint32_t length = U32(file, at + 4);
        EXPECT_EQ(length % 4, 0u);
        EXPECT_GE(length, 12u);
        if (length < 12 || at + length > file.size()) {
            ADD_FAILURE() << "block at " << at << " runs past the end";
            break;
        }
        EXPECT_EQ(U32(file, at + length - 4), length) << "block at " << at;
        blocks.push_back({U32(file, at), at, length});
        at += length;
    }
    EXPECT_EQ(at, file.size()) << "the file does not end with a whole block";
    return blocks;
}

TEST_F(FlDumpNgTest, UsageTextWithoutArguments)
{
    EXPECT_EQ(Run({}), -1);
    EXPECT_EQ(out_,
              "Usage: FlDump_ng.exe filename [-f <filter string>] [-p <port name>] [-s <snaplen>] \n"
              "\n"
              "\tfilename            name of the file to dump to\n"
              "\t-f <filter string>  filter string, in the libpcap/tcpdump format \n"
              "\t                    (e.g. \"tcp port 80\").\n"
              "\t-p <port name>      name of the port to capture from.\n"
              "\t-s <snaplen>        save only the first <snaplen> bytes of each packet\n");
}

TEST(PbRecord, InterfaceFromTheMemberIndexAndTimestampInTwoHalves)
{
    FL_PACKET_HEADER header = {};
    header.Timestamp = 4294967296ull + 5;
    header.Flags = (3u << 24) | FL_PACKET_FLAG_FCS_PRESENT;
    header.WireLength = 1518;
    header.CapturedLength = 96;
    const UCHAR data[1] = {};
    const ZethPbRecord pb = make_pb_record(&header, data);
    EXPECT_EQ(pb.interface_id, 3);
    EXPECT_EQ(pb.drops_count, 0);
    EXPECT_EQ(pb.timestamp_high, 1u);
    EXPECT_EQ(pb.timestamp_low, 5u);
    EXPECT_EQ(pb.captured_length, 96u);
    EXPECT_EQ(pb.packet_length, 1518u);
    EXPECT_EQ(pb.packet_data, data);

    header.Flags = 0xFF000000u;
    EXPECT_EQ(make_pb_record(&header, data).interface_id, 255);
}

TEST_F(FlDumpNgTest, APhysicalPortGivesOneInterfaceAndPacketBlocksOnIt)
{
    Fake().Receives.push_back({FL_SUCCESS, true,
                               {fake_flapi::Frame(60, 4294967296ull + 5), fake_flapi::Frame(61, 1700000000123456789ull)}});
    const std::string path = File("physical.pcapng");
    EXPECT_EQ(Run({path, "-e", "-p", "\\\\?\\pci#c", "-c"}), 0);
    // Unknown to this tool, and the capture goes on.
    EXPECT_THAT(out_, ::testing::StartsWith("Unknown option -e\nUnknown option -c\n\nDump to disk in progress."));

    const auto file = Bytes(path);
    const auto blocks = Blocks(file);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].Type, ZETH_BLOCK_TYPE_SHB);
    EXPECT_EQ(blocks[0].Length, 28u);
    EXPECT_EQ(U32(file, 16), 0xFFFFFFFFu);  // section length: not recorded
    EXPECT_EQ(U32(file, 20), 0xFFFFFFFFu);

    // The IDB: Ethernet, snap length, FCS length 4 and nanoseconds, each
    // option padded to 4 bytes, then the end of options.
    EXPECT_EQ(blocks[1].Type, ZETH_BLOCK_TYPE_IDB);
    ASSERT_EQ(blocks[1].Length, 40u);
    const std::vector<uint8_t> idb(file.begin() + 28, file.begin() + 68);
    const std::vector<uint8_t> expected = {1, 0, 0, 0, 40, 0, 0, 0,      // type, length
                                           1, 0, 0, 0, 0xFF, 0xFF, 0, 0,  // link type, reserved, snap length
                                           13, 0, 1, 0, 4, 0, 0, 0,       // if_fcslen = 4
                                           9, 0, 1, 0, 9, 0, 0, 0,        // if_tsresol = 9
                                           0, 0, 0, 0, 40, 0, 0, 0};      // end of options, length
    EXPECT_EQ(idb, expected);

    // A 60-byte frame: a 92-byte PB; 61 bytes: 96.
    EXPECT_EQ(blocks[2].Type, ZETH_BLOCK_TYPE_PB);
    EXPECT_EQ(blocks[2].Length, 92u);
    EXPECT_EQ(blocks[3].Length, 96u);
    EXPECT_EQ(U16(file, blocks[2].At + 8), 0);   // interface id
    EXPECT_EQ(U32(file, blocks[2].At + 12), 1u);  // timestamp high
    EXPECT_EQ(U32(file, blocks[2].At + 16), 5u);  // timestamp low
    EXPECT_EQ(U32(file, blocks[3].At + 20), 61u);
    EXPECT_EQ(U32(file, blocks[3].At + 24), 61u);

    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    ASSERT_NE(pcap, nullptr) << error;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    ASSERT_EQ(pcap_next_ex(pcap, &header, &data), 1);
    EXPECT_EQ(header->ts.tv_sec, 4);
    EXPECT_EQ(header->ts.tv_usec, 294967301);  // nanoseconds in this precision
    ASSERT_EQ(pcap_next_ex(pcap, &header, &data), 1);
    EXPECT_EQ(header->ts.tv_sec, 1700000000);
    EXPECT_EQ(header->ts.tv_usec, 123456789);
    EXPECT_EQ(std::vector<uint8_t>(data, data + header->caplen), fake_flapi::Frame(61).Data);
    EXPECT_EQ(pcap_next_ex(pcap, &header, &data), PCAP_ERROR_BREAK);
    pcap_close(pcap);
}

TEST_F(FlDumpNgTest, AnAggregatingPortGivesOneInterfacePerMemberInListOrder)
{
    Fake().Receives.push_back({FL_SUCCESS, true,
                               {fake_flapi::Frame(60, 1, (2u << 24) | 1u), fake_flapi::Frame(60, 2, (0u << 24) | 1u),
                                fake_flapi::Frame(60, 3, (3u << 24) | 1u), fake_flapi::Frame(60, 4, (1u << 24) | 1u)}});
    const std::string path = File("flan.pcapng");
    EXPECT_EQ(Run({path, "-p", kFlan, "-s", "1514"}), 0);

    const auto file = Bytes(path);
    const auto blocks = Blocks(file);
    ASSERT_EQ(blocks.size(), 1u + 4u + 4u);
    const std::vector<uint8_t> first(file.begin() + blocks[1].At, file.begin() + blocks[1].At + 40);
    for (size_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(blocks[i].Type, ZETH_BLOCK_TYPE_IDB);
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + blocks[i].At, file.begin() + blocks[i].At + 40), first);
        EXPECT_EQ(U32(file, blocks[i].At + 12), 1514u);  // snap length
    }
    const uint16_t interfaces[] = {2, 0, 3, 1};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(U16(file, blocks[5 + i].At + 8), interfaces[i]) << i;
    }
}

TEST_F(FlDumpNgTest, ACaptureWithoutPacketsLeavesTheHeadersOnly)
{
    EXPECT_EQ(Run({File("empty.pcapng"), "-p", kBap}), 0);
    EXPECT_EQ(std::filesystem::file_size(File("empty.pcapng")), 28u + 2 * 40u);
    EXPECT_THAT(out_, ::testing::EndsWith("\n0 packets received by the application\n"
                                          "0 packets accepted by the filter and dumped to disk\n"));
}

TEST_F(FlDumpNgTest, MembersThatCannotBeListedEndTheCaptureBeforeItStarts)
{
    Fake().AggregatedListStatus = FL_ERROR_INVALID_REQUEST;
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run({File("nomembers.pcapng"), "-p", kBap}), -1);
    EXPECT_THAT(out_, ::testing::StartsWith("Error listing the physical ports of an aggregating port: " +
                                            fake_flapi::StatusText(FL_ERROR_INVALID_REQUEST) + " (20000004)\n\n0 packets"));
    EXPECT_EQ(Fake().Receives.size(), 1u);
    Fake().Receives.clear();
    // What was opened was closed: a section header without interfaces.
    EXPECT_EQ(std::filesystem::file_size(File("nomembers.pcapng")), 28u);
}

TEST_F(FlDumpNgTest, AFileThatCannotBeOpenedIsReported)
{
    EXPECT_EQ(Run({File("missing/x.pcapng"), "-p", kBap}), -1);
    EXPECT_THAT(out_, ::testing::StartsWith("Error opening the file natively, ZETH error "));
}

TEST_F(FlDumpNgTest, APacketLongerThanABufferIsSkippedAndTheFileStaysWhole)
{
    // The driver cuts packets to the snap length; one that is longer than a
    // writer buffer all the same is reported and left out.
    Fake().Receives.push_back({FL_SUCCESS, true,
                               {fake_flapi::Frame(100, 1), fake_flapi::Frame(5000, 2), fake_flapi::Frame(100, 3)}});
    const std::string path = File("skipped.pcapng");
    EXPECT_EQ(Run({path, "-p", "\\\\?\\pci#a", "-a", "2", "-b", "4096", "-s", "4096"}), -1);
    EXPECT_THAT(out_, HasSubstr("Error dumping the packet. ZETH error 1\n"));
    EXPECT_THAT(out_, HasSubstr("2 packets accepted by the filter and dumped to disk\n"
                                "1 packets accepted by the filter but not written to disk\n"));
    const auto blocks = Blocks(Bytes(path));
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[2].Length, 32u + 100u);
    EXPECT_EQ(blocks[3].Length, 32u + 100u);
}

// The number in front of `text` on its line, or -1.
long long CountBefore(const std::string& output, const std::string& text)
{
    const size_t at = output.find(text);
    if (at == std::string::npos) return -1;
    size_t start = output.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return std::stoll(output.substr(start, at - start));
}

// The packets a reader we did not write finds in a file: capinfos, or
// libpcap where capinfos is not installed.
long long PacketsReadBack(const std::string& path)
{
    std::string info;
    if (FILE* pipe = ::popen(("capinfos -c -M " + path + " 2>/dev/null").c_str(), "r")) {
        char chunk[512];
        size_t n = 0;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) info.append(chunk, n);
        ::pclose(pipe);
    }
    const size_t at = info.find("Number of packets:");
    if (at != std::string::npos) return std::stoll(info.substr(at + 18));
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(path.c_str(), error);
    if (pcap == nullptr) return -1;
    long long packets = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(pcap, &header, &data) == 1) ++packets;
    pcap_close(pcap);
    return packets;
}

class FlDumpNgDiskTest : public FlDumpNgTest {
protected:
    void SetUp() override {
        FlDumpNgTest::SetUp();
        hooks::Reset();
    }
    void TearDown() override {
        hooks::Reset();
        FlDumpNgTest::TearDown();
    }
};

// The disk fills in the middle of the capture: the user reads why, the
// totals say what the file holds, and the file holds whole blocks only.
TEST_F(FlDumpNgDiskTest, AFullDiskIsNamedAndTheTotalsMatchTheFile)
{
    for (int i = 0; i < 4; ++i) {
        std::vector<fake_flapi::Packet> packets;
        for (int k = 0; k < 100; ++k) packets.push_back(fake_flapi::Frame(1000 + k, i * 100 + k));
        Fake().Receives.push_back({FL_SUCCESS, true, packets});
    }
    hooks::SetSpaceLimit(150000);
    const std::string path = File("full.pcapng");
    // Buffers enough for the whole capture: the failure shows when the file
    // is closed. (A failed block close would leave ZETH's block open, and
    // its file could then never be released.)
    EXPECT_EQ(Run({path, "-p", "\\\\?\\pci#a", "-a", "16", "-b", "65536"}), -1);
    hooks::SetSpaceLimit(~0ull);

    EXPECT_THAT(out_, HasSubstr("ZETH error 1\nThere is not enough space on the disk.\n"));
    const long long dumped = CountBefore(out_, " packets accepted by the filter and dumped to disk\n");
    const long long lost = CountBefore(out_, " packets accepted by the filter but not written to disk\n");
    const long long accepted = CountBefore(out_, " packets received by the application\n");  // no filter
    EXPECT_GT(dumped, 0);
    EXPECT_GT(lost, 0);
    EXPECT_EQ(dumped + lost, accepted) << out_;

    const auto blocks = Blocks(Bytes(path));  // whole blocks to the last byte
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(static_cast<long long>(blocks.size()) - 2, dumped) << "section header and one IDB first";
    EXPECT_EQ(PacketsReadBack(path), dumped);
    Fake().Receives.clear();
}

// Large buffers on a nearly full disk: the data fit, so the capture is a
// success although a whole last buffer would not have fit.
TEST_F(FlDumpNgDiskTest, DataThatFitAreAWholeCaptureWhateverTheBufferSize)
{
    std::vector<fake_flapi::Packet> packets;
    for (int k = 0; k < 50; ++k) packets.push_back(fake_flapi::Frame(1000, k));
    Fake().Receives.push_back({FL_SUCCESS, true, packets});
    hooks::SetSpaceLimit(65536);  // room for the 53 KiB of data, not for a 1 MiB buffer
    const std::string path = File("nearly-full.pcapng");
    EXPECT_EQ(Run({path, "-p", "\\\\?\\pci#a", "-a", "2", "-b", "1048576"}), 0) << out_;
    hooks::SetSpaceLimit(~0ull);

    EXPECT_THAT(out_, ::testing::Not(HasSubstr("rror")));
    EXPECT_THAT(out_, HasSubstr("\n50 packets accepted by the filter and dumped to disk\n"));
    EXPECT_EQ(Blocks(Bytes(path)).size(), 52u);
    EXPECT_EQ(PacketsReadBack(path), 50);
}

}  // namespace
