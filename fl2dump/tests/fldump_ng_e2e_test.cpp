// FlDump_ng run as a user runs it, on a machine of its own: the default one,
// one board whose two ports are fed by traffic generators. The pcap-ng files
// it writes are read back by libpcap (in nanoseconds), capinfos and tshark.
#include "dump_child.h"

#include <fl_test_machine.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <time.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace {

using namespace dump_test;
using ::testing::EndsWith;
using ::testing::HasSubstr;

class FlDumpNgEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = FlUseTestMachine("fldump_ng_e2e", ""); }

    static std::vector<ListedPort> Ports() {
        DumpChild child(FLDUMP_NG_PROGRAM, {(dir_ / "never.pcapng").string()}, dir_, "list");
        child.CloseInput();
        EXPECT_EQ(child.Wait(), 255);
        return ListedPorts(child.Output());
    }

    static std::filesystem::path dir_;
};

std::filesystem::path FlDumpNgEndToEnd::dir_;

struct Packet {
    uint64_t Nanoseconds;  // since 1970
    uint32_t Length;
    uint32_t Stream;       // the generator's stream id in the frame
};

std::vector<Packet> ReadPackets(const std::filesystem::path& path)
{
    std::vector<Packet> packets;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    EXPECT_NE(pcap, nullptr) << error;
    if (pcap == nullptr) return packets;
    EXPECT_EQ(pcap_datalink(pcap), DLT_EN10MB);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int result = 0;
    while ((result = pcap_next_ex(pcap, &header, &data)) == 1) {
        uint32_t stream = 0xFFFFFFFF;
        if (header->caplen >= 22) memcpy(&stream, data + 18, 4);
        packets.push_back({static_cast<uint64_t>(header->ts.tv_sec) * 1000000000ull +
                               static_cast<uint64_t>(header->ts.tv_usec),
                           header->len, stream});
    }
    EXPECT_EQ(result, PCAP_ERROR_BREAK) << pcap_geterr(pcap);
    pcap_close(pcap);
    return packets;
}

uint64_t NanosecondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

TEST_F(FlDumpNgEndToEnd, AKeyEndsACaptureOfTheBoardWithOneInterfacePerPort)
{
    const auto ports = Ports();
    ASSERT_EQ(ports.size(), 3u);
    const auto file = dir_ / "board.pcapng";
    const uint64_t before = NanosecondsNow();
    DumpChild child(FLDUMP_NG_PROGRAM, {file.string(), "-p", ports[2].Name}, dir_, "board");
    ASSERT_TRUE(child.WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n")) << child.Output();
    std::this_thread::sleep_for(3s);
    child.PressKey();
    EXPECT_EQ(child.Wait(), 0);
    const uint64_t after = NanosecondsNow();

    const std::string out = child.Output();
    EXPECT_FALSE(SanitizerReported(child.Errors())) << child.Errors();
    const long long accepted = CountBefore(out, " packets accepted by the filter and dumped to disk\n");
    EXPECT_EQ(CountBefore(out, " packets received by the application\n"), accepted);
    EXPECT_GT(accepted, 0) << out;
    EXPECT_THAT(out, EndsWith(" packets accepted by the filter and dumped to disk\n"));

    const auto packets = ReadPackets(file);
    ASSERT_EQ(static_cast<long long>(packets.size()), accepted);
    // Stamped in nanoseconds since 1970 while the capture ran, and merged
    // from both ports in the order of their stamps.
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_GT(packets[i].Nanoseconds, before) << i;
        EXPECT_LT(packets[i].Nanoseconds, after) << i;
        if (i > 0) {
            EXPECT_GE(packets[i].Nanoseconds, packets[i - 1].Nanoseconds) << i;
        }
    }
    const bool someNanoseconds = std::any_of(packets.begin(), packets.end(),
                                             [](const Packet& p) { return p.Nanoseconds % 1000 != 0; });
    EXPECT_TRUE(someNanoseconds) << "every stamp is a whole microsecond";

    // Each packet's interface is the member that received it: one
    // generator's stream always on one interface, and both interfaces used.
    const auto interfaces = Lines(CommandOutput("tshark -r " + file.string() + " -T fields -e frame.interface_id 2>/dev/null"));
    ASSERT_EQ(interfaces.size(), packets.size());
    std::map<uint32_t, std::string> interfaceOfStream;
    std::set<std::string> used;
    for (size_t i = 0; i < packets.size(); ++i) {
        used.insert(interfaces[i]);
        const auto [it, fresh] = interfaceOfStream.emplace(packets[i].Stream, interfaces[i]);
        EXPECT_EQ(it->second, interfaces[i]) << "stream " << packets[i].Stream << " at packet " << i;
    }
    EXPECT_EQ(used, (std::set<std::string>{"0", "1"}));

    const std::string info = CommandOutput("capinfos " + file.string() + " 2>&1");
    EXPECT_THAT(info, HasSubstr("Number of packets:   " + std::to_string(accepted))) << info;
    EXPECT_THAT(info, HasSubstr("Number of interfaces in file: 2")) << info;
    EXPECT_THAT(info, HasSubstr("nanoseconds")) << info;
}

TEST_F(FlDumpNgEndToEnd, CtrlCEndsAFilteredCaptureOfOnePort)
{
    const auto ports = Ports();
    ASSERT_EQ(ports.size(), 3u);
    const auto file = dir_ / "filtered.pcapng";
    DumpChild child(FLDUMP_NG_PROGRAM, {file.string(), "-c", "-F", "less 300", "-P", ports[1].Name}, dir_,
                    "filtered");
    ASSERT_TRUE(child.WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n")) << child.Output();
    std::this_thread::sleep_for(3s);
    child.Interrupt();
    EXPECT_EQ(child.Wait(), 0);

    const std::string out = child.Output();
    EXPECT_FALSE(SanitizerReported(child.Errors())) << child.Errors();
    EXPECT_THAT(out, ::testing::StartsWith("Unknown option -c\n"));
    const long long received = CountBefore(out, " packets received by the application\n");
    const long long accepted = CountBefore(out, " packets accepted by the filter and dumped to disk\n");
    EXPECT_GT(received, accepted) << out;
    EXPECT_GT(accepted, 0) << out;

    const auto packets = ReadPackets(file);
    ASSERT_EQ(static_cast<long long>(packets.size()), accepted);
    for (const auto& p : packets) EXPECT_LE(p.Length, 300u);
    const auto interfaces = Lines(CommandOutput("tshark -r " + file.string() + " -T fields -e frame.interface_id 2>/dev/null"));
    EXPECT_EQ(std::set<std::string>(interfaces.begin(), interfaces.end()), std::set<std::string>{"0"});
    const std::string info = CommandOutput("capinfos " + file.string() + " 2>&1");
    EXPECT_THAT(info, HasSubstr("Number of interfaces in file: 1")) << info;
}

TEST_F(FlDumpNgEndToEnd, SigtermEndsTheCaptureLikeCtrlC)
{
    const auto ports = Ports();
    ASSERT_EQ(ports.size(), 3u);
    const auto file = dir_ / "terminated.pcapng";
    DumpChild child(FLDUMP_NG_PROGRAM, {file.string(), "-p", ports[0].Name}, dir_, "terminated");
    ASSERT_TRUE(child.WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n")) << child.Output();
    std::this_thread::sleep_for(1s);
    child.Terminate();
    EXPECT_EQ(child.Wait(), 0);
    const long long accepted =
        CountBefore(child.Output(), " packets accepted by the filter and dumped to disk\n");
    EXPECT_EQ(static_cast<long long>(ReadPackets(file).size()), accepted);
}

// Started with standard input closed, the program reads its answer from
// nothing, as from an empty input, and does not wait for one.
TEST_F(FlDumpNgEndToEnd, WithStandardInputClosedThePortQuestionEndsAtOnce)
{
    DumpChild child(FLDUMP_NG_PROGRAM, {(dir_ / "no-input.pcapng").string()}, dir_, "no-input", {STDIN_FILENO});
    EXPECT_EQ(child.Wait(30s), 255);
    EXPECT_THAT(child.Output(), HasSubstr("Enter the port number (0-2):\nPort number out of range.\n"));
}

// Started with standard output and error closed and the driver's debugger
// output sent to standard error: the capture runs until Ctrl-C, however
// long, and the file holds what it took.
TEST_F(FlDumpNgEndToEnd, WithStandardOutputAndErrorClosedTheCaptureRunsUntilCtrlC)
{
    const auto ports = Ports();
    ASSERT_EQ(ports.size(), 3u);
    const auto file = dir_ / "no-output.pcapng";
    ::setenv("FL_DEBUGGER", "1", 1);
    DumpChild child(FLDUMP_NG_PROGRAM, {file.string(), "-p", ports[0].Name}, dir_, "no-output",
                    {STDOUT_FILENO, STDERR_FILENO});
    ::unsetenv("FL_DEBUGGER");
    std::this_thread::sleep_for(4s);
    EXPECT_TRUE(child.Running()) << "the capture ended by itself";
    child.Interrupt();
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_GT(ReadPackets(file).size(), 0u);
}

TEST_F(FlDumpNgEndToEnd, AFilterThatDoesNotCompileEndsTheRunBeforeAnyPort)
{
    DumpChild child(FLDUMP_NG_PROGRAM, {(dir_ / "bad.pcapng").string(), "-f", "udp port fifty"}, dir_, "bad");
    child.CloseInput();
    EXPECT_EQ(child.Wait(), 255);
    EXPECT_THAT(child.Output(), ::testing::StartsWith("Error compiling the filter string: "));
    EXPECT_THAT(child.Output(), ::testing::Not(HasSubstr("Enter the port number")));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "bad.pcapng"));
}

}  // namespace
