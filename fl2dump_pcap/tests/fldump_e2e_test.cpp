// FlDump run as a user runs it, on a machine of its own: the default one,
// one board whose two ports are fed by traffic generators. The files it
// writes are read back by libpcap, capinfos and tshark.
//
// The tests run in this order in one process, each starting the program
// afresh on the same machine description and hive.
#include "dump_child.h"

#include <fl_test_machine.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <map>
#include <set>

namespace {

using namespace dump_test;
using ::testing::EndsWith;
using ::testing::HasSubstr;

class FlDumpEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = FlUseTestMachine("fldump_e2e", ""); }

    static std::vector<ListedPort> Ports() {
        DumpChild child(FLDUMP_PROGRAM, {(dir_ / "never.pcap").string()}, dir_, "list");
        child.CloseInput();  // no answer
        EXPECT_EQ(child.Wait(), 255);
        return ListedPorts(child.Output());
    }

    static std::filesystem::path dir_;
};

std::filesystem::path FlDumpEndToEnd::dir_;

struct Capture {
    int linkType = -1;
    std::vector<pcap_pkthdr> headers;
    std::vector<std::vector<u_char>> data;
};

Capture ReadCapture(const std::filesystem::path& path)
{
    Capture capture;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(path.c_str(), error);
    EXPECT_NE(pcap, nullptr) << error;
    if (pcap == nullptr) return capture;
    capture.linkType = pcap_datalink(pcap);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int result = 0;
    while ((result = pcap_next_ex(pcap, &header, &data)) == 1) {
        capture.headers.push_back(*header);
        capture.data.emplace_back(data, data + header->caplen);
    }
    EXPECT_EQ(result, PCAP_ERROR_BREAK) << pcap_geterr(pcap);
    pcap_close(pcap);
    return capture;
}

TEST_F(FlDumpEndToEnd, WithoutAnAnswerThePortsAreListedAndNoneIsTaken)
{
    DumpChild child(FLDUMP_PROGRAM, {(dir_ / "unused.pcap").string(), "-p"}, dir_, "no-answer");
    child.CloseInput();
    EXPECT_EQ(child.Wait(), 255);
    const std::string out = child.Output();
    const auto ports = ListedPorts(out);
    ASSERT_EQ(ports.size(), 3u) << out;
    EXPECT_THAT(ports[0].Name, ::testing::StartsWith("\\\\?\\pci#ven_f10e&dev_0001"));
    EXPECT_THAT(ports[1].Name, ::testing::StartsWith("\\\\?\\pci#ven_f10e&dev_0001"));
    EXPECT_THAT(ports[2].Name, ::testing::StartsWith("\\\\?\\FL_bap_"));
    EXPECT_EQ(ports[2].Description, "Ferrolan Board Aggregating Port");
    EXPECT_THAT(out, EndsWith("Enter the port number (0-2):\nPort number out of range.\n"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "unused.pcap"));
    EXPECT_FALSE(SanitizerReported(child.Errors())) << child.Errors();
}

TEST_F(FlDumpEndToEnd, CtrlCEndsAFilteredCaptureOfOnePortWithAWholeFile)
{
    const auto ports = Ports();
    ASSERT_EQ(ports.size(), 3u);
    const auto file = dir_ / "filtered.pcap";
    DumpChild child(FLDUMP_PROGRAM, {file.string(), "-p", ports[0].Name, "-f", "greater 800"}, dir_, "filtered");
    ASSERT_TRUE(child.WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n")) << child.Output();
    // Long enough for the report that comes 5 s after the capture's start.
    ASSERT_TRUE(child.WaitForOutput("Received ", 120s)) << child.Output();
    child.Interrupt();
    EXPECT_EQ(child.Wait(), 0);

    const std::string out = child.Output();
    // "Received N packets in S seconds\t Bandwidth = B Mbps", a little more
    // than 5 s after the capture's start.
    const size_t report = out.find("\nReceived ");
    ASSERT_NE(report, std::string::npos) << out;
    const std::string line = out.substr(report + 1, out.find('\n', report + 1) - report - 1);
    unsigned long long packets = 0;
    float seconds = 0;
    float megabits = -1;
    int consumed = 0;
    ASSERT_EQ(sscanf(line.c_str(), "Received %llu packets in %f seconds\t Bandwidth = %f Mbps%n", &packets, &seconds,
                     &megabits, &consumed),
              3)
        << line;
    EXPECT_EQ(static_cast<size_t>(consumed), line.size()) << line;
    EXPECT_GT(packets, 0u);
    EXPECT_GT(seconds, 5.0f);
    EXPECT_LT(seconds, 10.0f);
    EXPECT_GT(megabits, 0.0f);
    EXPECT_FALSE(SanitizerReported(child.Errors())) << child.Errors();
    const long long received = CountBefore(out, " packets received by the application\n");
    const long long accepted = CountBefore(out, " packets accepted by the filter and dumped to disk\n");
    const long long dropped = CountBefore(out, " packets dropped by the hardware\n");
    EXPECT_THAT(out, EndsWith(" packets dropped by the hardware\n"));
    EXPECT_GT(received, accepted) << out;
    EXPECT_GT(accepted, 0) << out;
    EXPECT_GE(dropped, 0) << out;

    const Capture capture = ReadCapture(file);
    EXPECT_EQ(capture.linkType, DLT_EN10MB);
    ASSERT_EQ(static_cast<long long>(capture.headers.size()), accepted);
    for (size_t i = 0; i < capture.headers.size(); ++i) {
        // The filter saw each frame's length on the wire, FCS included.
        EXPECT_GE(capture.headers[i].len, 800u) << i;
        EXPECT_EQ(capture.headers[i].caplen, capture.headers[i].len) << i;
        ASSERT_GE(capture.data[i].size(), 18u);
        EXPECT_EQ(capture.data[i][12], 0x88);  // the generators' EtherType
        EXPECT_EQ(capture.data[i][13], 0xB5);
        EXPECT_EQ(std::string(capture.data[i].begin() + 14, capture.data[i].begin() + 18), "FLGN");
    }
    const std::string info = CommandOutput("capinfos -c " + file.string() + " 2>&1");
    EXPECT_THAT(info, HasSubstr("Number of packets:   " + std::to_string(accepted))) << info;
}

TEST_F(FlDumpEndToEnd, AKeyEndsACaptureOfTheBoardWithPpiRecordsNamingEachPort)
{
    const auto ports = Ports();
    ASSERT_EQ(ports.size(), 3u);
    const auto file = dir_ / "board.pcap";
    DumpChild child(FLDUMP_PROGRAM, {file.string(), "-P", ports[2].Name, "-e", "-s", "100"}, dir_, "board");
    ASSERT_TRUE(child.WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n")) << child.Output();
    std::this_thread::sleep_for(3s);
    child.PressKey();
    EXPECT_EQ(child.Wait(), 0);

    const std::string out = child.Output();
    EXPECT_FALSE(SanitizerReported(child.Errors())) << child.Errors();
    const long long accepted = CountBefore(out, " packets accepted by the filter and dumped to disk\n");
    EXPECT_EQ(CountBefore(out, " packets received by the application\n"), accepted);
    EXPECT_GT(accepted, 0) << out;

    const Capture capture = ReadCapture(file);
    EXPECT_EQ(capture.linkType, DLT_PPI);
    ASSERT_EQ(static_cast<long long>(capture.headers.size()), accepted);
    // Each generator feeds one port: its stream always arrives with the same
    // member index, and both members are there.
    std::map<uint32_t, uint32_t> memberOfStream;
    std::set<uint32_t> members;
    for (size_t i = 0; i < capture.data.size(); ++i) {
        const auto& d = capture.data[i];
        ASSERT_GE(d.size(), 28u + 22u) << i;
        EXPECT_LE(capture.headers[i].caplen, 28u + 100u);
        const uint32_t member = d[12] | d[13] << 8 | d[14] << 16 | static_cast<uint32_t>(d[15]) << 24;
        const uint32_t stream = d[28 + 18] | d[28 + 19] << 8 | d[28 + 20] << 16 |
                                static_cast<uint32_t>(d[28 + 21]) << 24;
        members.insert(member);
        const auto [it, fresh] = memberOfStream.emplace(stream, member);
        EXPECT_EQ(it->second, member) << "stream " << stream << " at record " << i;
    }
    EXPECT_EQ(members, (std::set<uint32_t>{0, 1}));

    const std::string fields =
        CommandOutput("tshark -r " + file.string() + " -T fields -e ppi.aggregation_extension.interface_id 2>/dev/null");
    EXPECT_THAT(fields, HasSubstr("0\n"));
    EXPECT_THAT(fields, HasSubstr("1\n"));
}

TEST_F(FlDumpEndToEnd, ThePortTypedInIsCapturedUntilAKey)
{
    const auto file = dir_ / "typed.pcap";
    DumpChild child(FLDUMP_PROGRAM, {file.string()}, dir_, "typed");
    ASSERT_TRUE(child.WaitForOutput("Enter the port number (0-2):")) << child.Output();
    child.Type("1\n");
    ASSERT_TRUE(child.WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n")) << child.Output();
    std::this_thread::sleep_for(2s);
    child.PressKey();
    EXPECT_EQ(child.Wait(), 0);
    const long long accepted = CountBefore(child.Output(), " packets accepted by the filter and dumped to disk\n");
    EXPECT_GT(accepted, 0) << child.Output();
    const Capture capture = ReadCapture(file);
    ASSERT_EQ(static_cast<long long>(capture.headers.size()), accepted);
    // Only the second port's generator: one stream throughout.
    std::set<uint32_t> streams;
    for (const auto& d : capture.data) {
        ASSERT_GE(d.size(), 22u);
        streams.insert(d[18] | d[19] << 8 | d[20] << 16 | static_cast<uint32_t>(d[21]) << 24);
    }
    EXPECT_EQ(streams.size(), 1u);
}

TEST_F(FlDumpEndToEnd, APortThatDoesNotExistEndsTheRunWithoutTotals)
{
    DumpChild child(FLDUMP_PROGRAM, {(dir_ / "none.pcap").string(), "-p", "\\\\?\\no-such-port"}, dir_, "none");
    EXPECT_EQ(child.Wait(), 255);
    EXPECT_THAT(child.Output(), ::testing::StartsWith("Cannot open port, "));
    EXPECT_THAT(child.Output(), ::testing::Not(HasSubstr("packets received")));
}

}  // namespace
