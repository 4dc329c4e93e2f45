// FlDump as a whole against a scripted capture library: its usage text, its
// options, and the pcap files it writes as libpcap reads them.
#include "fldump.h"

#include "fake_flapi.h"

#include <um/file_testing.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using fake_flapi::Fake;
using ::testing::HasSubstr;

ULONGLONG NoTime() { return 0; }
int NoKey() { return 0; }

class FlDumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_flapi::Reset();
        Fake().Ports = {{"\\\\?\\pci#a", "A", FL_PORT_TYPE_PHYSICAL, {}},
                        {"\\\\?\\pci#b", "B", FL_PORT_TYPE_PHYSICAL, {}},
                        {"\\\\?\\FL_bap_001b21000000", "Ferrolan Board Aggregating Port",
                         FL_PORT_TYPE_BOARD_AGGREGATING, {0, 1}}};
        const char* base = std::getenv("FL_TEST_TMP");
        dir_ = std::filesystem::path(base != nullptr ? base : "/tmp") / "fldump";
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        EXPECT_EQ(Fake().LiveInstances, 0);
        EXPECT_EQ(Fake().LiveBuffers, 0);
        EXPECT_EQ(Fake().LiveStatistics, 0);
    }

    int Run(std::vector<std::string> args) {
        static char program[] = "FlDump.exe";
        std::vector<char*> argv{program};
        args_ = std::move(args);
        for (auto& a : args_) argv.push_back(a.data());
        PcapDumpOutput output;
        const DUMP_ENVIRONMENT environment = {stdin, NoKey, NoTime};
        ::testing::internal::CaptureStdout();
        const int status = dump_run(static_cast<int>(argv.size()), argv.data(), FlDumpTool, output, environment);
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

struct Read {
    int linkType = -1;
    int snapLength = -1;
    std::vector<pcap_pkthdr> headers;
    std::vector<std::vector<u_char>> data;
};

Read ReadBack(const std::string& path)
{
    Read read;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(path.c_str(), error);
    EXPECT_NE(pcap, nullptr) << error;
    if (pcap == nullptr) return read;
    read.linkType = pcap_datalink(pcap);
    read.snapLength = pcap_snapshot(pcap);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int result = 0;
    while ((result = pcap_next_ex(pcap, &header, &data)) == 1) {
        read.headers.push_back(*header);
        read.data.emplace_back(data, data + header->caplen);
    }
    EXPECT_EQ(result, PCAP_ERROR_BREAK) << "the file does not end after a whole record";
    pcap_close(pcap);
    return read;
}

TEST_F(FlDumpTest, UsageTextWithoutArguments)
{
    EXPECT_EQ(Run({}), -1);
    EXPECT_EQ(out_,
              "Usage: FlDump.exe filename [-f <filter string>] [-p <port name>] [-e] [-s <snaplen>]\n"
              "\n"
              "\tfilename            name of the file to dump to\n"
              "\t-f <filter string>  filter string, in the libpcap/tcpdump format \n"
              "\t                    (e.g. \"tcp port 80\").\n"
              "\t-p <port name>      name of the port to capture from.\n"
              "\t-e                  when capturing from an aggregating port, save the\n"
              "\t                    ID of the physical ports for each packet.\n"
              "\t-s <snaplen>        save only the first <snaplen> bytes of each packet\n"
              "\t-c\t\t      Enable the use of the file system cache\n");
}

TEST_F(FlDumpTest, FilteredPacketsInAMicrosecondPcapFile)
{
    Fake().Dropped = 3;
    Fake().Receives.push_back({FL_SUCCESS, true,
                               {fake_flapi::UdpFrame(53, 1700000000123456789ull), fake_flapi::UdpFrame(80, 2),
                                fake_flapi::UdpFrame(53, 1700000001000001999ull)}});
    const std::string path = File("filtered.pcap");
    EXPECT_EQ(Run({path, "-P", "\\\\?\\pci#b", "-F", "udp port 53", "-C"}), 0);
    EXPECT_THAT(out_, ::testing::EndsWith("\n3 packets received by the application\n"
                                          "2 packets accepted by the filter and dumped to disk\n"
                                          "3 packets dropped by the hardware\n"));
    const Read read = ReadBack(path);
    EXPECT_EQ(read.linkType, DLT_EN10MB);
    EXPECT_EQ(read.snapLength, 65535);
    ASSERT_EQ(read.headers.size(), 2u);
    EXPECT_EQ(read.headers[0].ts.tv_sec, 1700000000);
    EXPECT_EQ(read.headers[0].ts.tv_usec, 123456);
    EXPECT_EQ(read.headers[1].ts.tv_usec, 1);
    EXPECT_EQ(read.data[1], fake_flapi::UdpFrame(53).Data);
}

TEST_F(FlDumpTest, PpiRecordsNameTheMemberPort)
{
    Fake().Receives.push_back({FL_SUCCESS, true,
                               {fake_flapi::Frame(60, 10, (1u << 24) | 1u), fake_flapi::Frame(70, 11, 1u)}});
    const std::string path = File("members.pcap");
    EXPECT_EQ(Run({path, "-p", "\\\\?\\FL_bap_001b21000000", "-e", "-s", "64", "-b", "65536"}), 0);
    EXPECT_EQ(Fake().SnapLength, 64u);
    const Read read = ReadBack(path);
    EXPECT_EQ(read.linkType, DLT_PPI);
    EXPECT_EQ(read.snapLength, 64 + 28);
    ASSERT_EQ(read.headers.size(), 2u);
    // The member index sits in the aggregation field behind the PPI header.
    EXPECT_EQ(read.data[0][12], 1);
    EXPECT_EQ(read.data[1][12], 0);
}

TEST_F(FlDumpTest, AFileThatCannotBeOpenedEndsTheCaptureWithTheTotals)
{
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run({File("no-such-folder/x.pcap"), "-p", "\\\\?\\pci#a"}), -1);
    EXPECT_THAT(out_, ::testing::StartsWith("Error opening the file , error 1\n"
                                            "The system cannot find the path specified.\n"));
    EXPECT_THAT(out_, HasSubstr("0 packets received by the application\n"));
    EXPECT_EQ(Fake().Receives.size(), 1u);
    Fake().Receives.clear();
}

TEST_F(FlDumpTest, AFailedWriteEndsTheCaptureAndTheFileKeepsItsWholeRecords)
{
    // Cached, with one 4 KiB buffer: a packet longer than the buffer cannot
    // be written, and nothing after it is.
    const std::string path = File("cut.pcap");
    Fake().Receives.push_back(
        {FL_SUCCESS, true, {fake_flapi::Frame(100, 1), fake_flapi::Frame(5000, 2), fake_flapi::Frame(100, 3)}});
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(100, 4)}});
    EXPECT_EQ(Run({path, "-p", "\\\\?\\pci#a", "-c", "-a", "1", "-b", "4096", "-s", "4096"}), -1);
    EXPECT_THAT(out_, HasSubstr("Error dumping the packet. Internal error code 1\n"));
    EXPECT_THAT(out_, HasSubstr("1 packets accepted by the filter and dumped to disk\n"
                                "1 packets accepted by the filter but not written to disk\n"));
    const Read read = ReadBack(path);
    ASSERT_EQ(read.headers.size(), 1u);
    EXPECT_EQ(read.headers[0].caplen, 100u);
    Fake().Receives.clear();
}

// The disk fills in the middle of a cached capture: the user reads why, the
// totals say what the file holds, and the file ends after a whole record.
TEST_F(FlDumpTest, AFullDiskIsNamedAndTheTotalsMatchTheFile)
{
    namespace hooks = um::file::testing;
    hooks::Reset();
    std::vector<fake_flapi::Packet> packets;
    for (int k = 0; k < 300; ++k) packets.push_back(fake_flapi::Frame(900 + k, k));
    Fake().Receives.push_back({FL_SUCCESS, true, packets});
    hooks::SetSpaceLimit(100000);
    const std::string path = File("full.pcap");
    EXPECT_EQ(Run({path, "-p", "\\\\?\\pci#a", "-c", "-a", "2", "-b", "32768", "-s", "2000"}), -1);
    hooks::Reset();

    EXPECT_THAT(out_, HasSubstr("Internal error code 1\nThere is not enough space on the disk.\n"));
    const auto at = out_.find(" packets accepted by the filter and dumped to disk\n");
    ASSERT_NE(at, std::string::npos) << out_;
    const auto line = out_.rfind('\n', at) + 1;
    const size_t dumped = std::stoul(out_.substr(line, at - line));
    EXPECT_GT(dumped, 0u);
    EXPECT_EQ(ReadBack(path).headers.size(), dumped);  // and the file ends after a whole record
    Fake().Receives.clear();
}

}  // namespace
