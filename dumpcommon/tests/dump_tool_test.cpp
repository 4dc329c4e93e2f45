// The dump tools' shared logic against a scripted capture library: command
// line, report arithmetic, filter, port choice and the whole run with its
// messages, totals and exit status.
#include "dump_tool.h"

#include "fake_flapi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace {

using fake_flapi::Fake;
using ::testing::HasSubstr;
using ::testing::Not;

const char* const kUsage[] = {"usage line 1\n", "usage line 2\n"};

// FlDump's way of doing things, and FlDump_ng's.
DUMP_TOOL PcapLikeTool()
{
    DUMP_TOOL tool = {};
    tool.UsageText = kUsage;
    tool.UsageStrings = 2;
    tool.PcapOptions = TRUE;
    tool.HardwareDrops = TRUE;
    tool.ReportPacketLimit = 50000000;
    tool.ReportIntervalMs = 5000;
    tool.ReportFromCaptureStart = TRUE;
    tool.KeyBeforeStopFlag = TRUE;
    return tool;
}

DUMP_TOOL NgLikeTool()
{
    DUMP_TOOL tool = {};
    tool.UsageText = kUsage;
    tool.UsageStrings = 2;
    tool.ReportPacketLimit = 1000000;
    return tool;
}

// An output that keeps what it is given.
class RecordingOutput : public DumpOutput {
public:
    BOOLEAN OpenAnswer = TRUE;
    BOOLEAN CloseAnswer = TRUE;
    std::vector<DUMP_WRITE_RESULT> WriteAnswers;  // by packet, Done beyond

    int Opens = 0;
    int Closes = 0;
    DUMP_SETTINGS Settings = {};
    std::vector<fake_flapi::Packet> Written;  // every packet offered

    BOOLEAN Open(const DUMP_SETTINGS& settings, FL_INSTANCE) override {
        ++Opens;
        Settings = settings;
        return OpenAnswer;
    }
    DUMP_WRITE_RESULT WritePacket(const FL_PACKET_HEADER& header, const UCHAR* data) override {
        const size_t index = Written.size();
        Written.push_back({header, std::vector<uint8_t>(data, data + header.CapturedLength)});
        const DUMP_WRITE_RESULT answer = index < WriteAnswers.size() ? WriteAnswers[index] : DumpWriteDone;
        if (answer == DumpWriteDone) ++Done;
        return answer;
    }
    BOOLEAN Close() override {
        ++Closes;
        return CloseAnswer;
    }
    ULONGLONG PacketsInFile() const override { return Done; }
    ULONGLONG Done = 0;
};

ULONGLONG fakeNow = 0;
ULONGLONG FakeClock() { return fakeNow; }
int keyAfter = -1;  // _kbhit answers nonzero from this call on; -1 never
int keyCalls = 0;
int FakeKey()
{
    const int call = keyCalls++;
    return keyAfter >= 0 && call >= keyAfter ? 1 : 0;
}

class DumpToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_flapi::Reset();
        Fake().Ports = {{"\\\\?\\pci#port0", "Port zero", FL_PORT_TYPE_PHYSICAL, {}},
                        {"\\\\?\\pci#port1", "Port one", FL_PORT_TYPE_PHYSICAL, {}},
                        {"\\\\?\\FL_bap_001b21000000", "Ferrolan Board Aggregating Port",
                         FL_PORT_TYPE_BOARD_AGGREGATING, {0, 1}}};
        fakeNow = 0;
        keyAfter = -1;
        keyCalls = 0;
    }
    void TearDown() override {
        EXPECT_EQ(Fake().LiveInstances, 0) << "an instance was left open";
        EXPECT_EQ(Fake().LiveBuffers, 0) << "a packets buffer was not destroyed";
        EXPECT_EQ(Fake().LiveStatistics, 0) << "a statistics object was not destroyed";
        EXPECT_EQ(Fake().LiveLists, 0) << "a port list was not freed";
    }

    // Runs the program with these arguments after the program name; the
    // answer typed in is `input`.
    int Run(const DUMP_TOOL& tool, std::vector<std::string> args, const std::string& input = "") {
        std::vector<char*> argv;
        static char program[] = "tool";
        argv.push_back(program);
        args_ = std::move(args);
        for (auto& a : args_) argv.push_back(a.data());
        input_ = input;
        FILE* in = fmemopen(input_.data(), input_.size() + 1, "r");
        const DUMP_ENVIRONMENT environment = {in, FakeKey, FakeClock};
        ::testing::internal::CaptureStdout();
        const int status = dump_run(static_cast<int>(argv.size()), argv.data(), tool, output_, environment);
        fflush(stdout);
        out_ = ::testing::internal::GetCapturedStdout();
        fclose(in);
        return status;
    }

    RecordingOutput output_;
    std::string out_;

private:
    std::vector<std::string> args_;
    std::string input_;
};

std::string Totals(unsigned long long received, unsigned long long accepted)
{
    return "\n" + std::to_string(received) + " packets received by the application\n" +
           std::to_string(accepted) + " packets accepted by the filter and dumped to disk\n";
}

/* ---- command line ---- */

DUMP_SETTINGS Parse(const DUMP_TOOL& tool, std::vector<std::string> options, std::string* printed = nullptr)
{
    // The settings point into the arguments, which live as long as a
    // program's: to the end of the tests.
    static std::deque<std::vector<std::string>> arguments;
    arguments.push_back(std::move(options));
    DUMP_SETTINGS settings;
    default_settings("out.pcap", &settings);
    std::vector<char*> argv;
    for (auto& o : arguments.back()) argv.push_back(o.data());
    ::testing::internal::CaptureStdout();
    parse_options(tool, static_cast<int>(argv.size()), argv.data(), &settings);
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (printed != nullptr) *printed = out;
    return settings;
}

TEST(CommandLine, DefaultsWithoutOptions)
{
    const DUMP_SETTINGS s = Parse(PcapLikeTool(), {});
    EXPECT_STREQ(s.FileName, "out.pcap");
    EXPECT_EQ(s.PortName, nullptr);
    EXPECT_EQ(s.FilterText, nullptr);
    EXPECT_EQ(s.SnapLength, 65535);
    EXPECT_EQ(s.BufferCount, 16u);
    EXPECT_EQ(s.BufferSize, 262144u);
    EXPECT_FALSE(s.Ppi);
    EXPECT_FALSE(s.UseCache);
}

TEST(CommandLine, OptionsInAnyCaseWithTheLastOneWinning)
{
    std::string printed;
    const DUMP_SETTINGS s = Parse(PcapLikeTool(),
                                  {"-p", "first", "-F", "tcp", "-P", "second", "-A", "4", "-B", "8192", "-S",
                                   "128", "-E", "-C", "-s", "96"},
                                  &printed);
    EXPECT_STREQ(s.PortName, "second");
    EXPECT_STREQ(s.FilterText, "tcp");
    EXPECT_EQ(s.BufferCount, 4u);
    EXPECT_EQ(s.BufferSize, 8192u);
    EXPECT_EQ(s.SnapLength, 96);
    EXPECT_TRUE(s.Ppi);
    EXPECT_TRUE(s.UseCache);
    EXPECT_EQ(printed, "");
}

TEST(CommandLine, SnapLengthsThatDoNotFitAreIgnoredSilently)
{
    std::string printed;
    EXPECT_EQ(Parse(NgLikeTool(), {"-s", "70000"}, &printed).SnapLength, 65535);
    EXPECT_EQ(Parse(NgLikeTool(), {"-s", "65536"}, &printed).SnapLength, 65535);
    EXPECT_EQ(Parse(NgLikeTool(), {"-s", "many"}, &printed).SnapLength, 65535);
    EXPECT_EQ(Parse(NgLikeTool(), {"-s", "-5"}, &printed).SnapLength, 65535);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(Parse(NgLikeTool(), {"-s", "65535"}).SnapLength, 65535);
    EXPECT_EQ(Parse(NgLikeTool(), {"-s", "0"}).SnapLength, 0);
    EXPECT_EQ(Parse(NgLikeTool(), {"-s", "200", "-s", "x"}).SnapLength, 200);
}

TEST(CommandLine, NumbersThatDoNotParseLeaveTheBuffersAlone)
{
    const DUMP_SETTINGS s = Parse(NgLikeTool(), {"-a", "lots", "-b", "big"});
    EXPECT_EQ(s.BufferCount, 16u);
    EXPECT_EQ(s.BufferSize, 262144u);
}

TEST(CommandLine, AValueOptionAsTheLastArgumentIsIgnored)
{
    std::string printed;
    const DUMP_SETTINGS s = Parse(PcapLikeTool(), {"-f", "udp", "-p"}, &printed);
    EXPECT_EQ(s.PortName, nullptr);
    EXPECT_STREQ(s.FilterText, "udp");
    EXPECT_EQ(printed, "");
}

TEST(CommandLine, UnknownArgumentsAreNamedAndParsingGoesOn)
{
    std::string printed;
    const DUMP_SETTINGS s = Parse(PcapLikeTool(), {"-x", "port0", "-p", "port1", "--p"}, &printed);
    EXPECT_STREQ(s.PortName, "port1");
    EXPECT_EQ(printed, "Unknown option -x\nUnknown option port0\nUnknown option --p\n");
}

TEST(CommandLine, ToolsWithoutPcapOptionsDoNotKnowThem)
{
    std::string printed;
    const DUMP_SETTINGS s = Parse(NgLikeTool(), {"-e", "-c", "-s", "100"}, &printed);
    EXPECT_FALSE(s.Ppi);
    EXPECT_FALSE(s.UseCache);
    EXPECT_EQ(s.SnapLength, 100);
    EXPECT_EQ(printed, "Unknown option -e\nUnknown option -c\n");
}

TEST(CommandLine, BufferLayoutsThatCannotHoldAPacketAreRefused)
{
    DUMP_SETTINGS s;
    default_settings("x", &s);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(check_buffer_layout(s));
    s.BufferCount = 0;
    EXPECT_FALSE(check_buffer_layout(s));
    s.BufferCount = 1;
    s.BufferSize = 65534;
    EXPECT_FALSE(check_buffer_layout(s));
    s.SnapLength = 1518;
    EXPECT_TRUE(check_buffer_layout(s));
    s.BufferSize = 1517;
    EXPECT_FALSE(check_buffer_layout(s));
    s.SnapLength = 0;
    s.BufferSize = 63;
    EXPECT_FALSE(check_buffer_layout(s));
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "The number of buffers (-a) must be at least 1\n"
              "The buffer size (-b) must be at least 65535 bytes, to hold a packet of the snap length\n"
              "The buffer size (-b) must be at least 1518 bytes, to hold a packet of the snap length\n"
              "The buffer size (-b) must be at least 64 bytes, to hold a packet of the snap length\n");
}

/* ---- report ---- */

TEST(Report, CountsEveryPacketWithTwentyBytesOfFraming)
{
    DUMP_REPORT report = {};
    report_count(&report, 60);
    report_count(&report, 1514);
    EXPECT_EQ(report.Packets, 2u);
    EXPECT_EQ(report.Bytes, 80u + 1534u);
}

TEST(Report, PacketLimitIsExceededNotReached)
{
    const DUMP_TOOL ng = NgLikeTool();
    DUMP_REPORT report = {};
    report.Packets = 1000000;
    EXPECT_FALSE(report_due(ng, report, 999999999));  // no time test at all
    report.Packets = 1000001;
    EXPECT_TRUE(report_due(ng, report, 0));

    const DUMP_TOOL pcap = PcapLikeTool();
    report.Packets = 50000000;
    EXPECT_FALSE(report_due(pcap, report, 0));
    report.Packets = 50000001;
    EXPECT_TRUE(report_due(pcap, report, 0));
}

TEST(Report, TimeTestLooksAtTheBuffersStart)
{
    const DUMP_TOOL pcap = PcapLikeTool();
    DUMP_REPORT report = {};
    report.Packets = 1;
    report.LastTime = 1000;
    EXPECT_FALSE(report_due(pcap, report, 6000));
    EXPECT_TRUE(report_due(pcap, report, 6001));
    // A report made within the buffer lies after its start: no time passed.
    report.LastTime = 9000;
    EXPECT_FALSE(report_due(pcap, report, 8000));
}

std::string Printed(DUMP_REPORT* report, ULONGLONG now)
{
    ::testing::internal::CaptureStdout();
    report_print(report, now);
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

TEST(Report, PrintsPacketsSecondsAndMegabitsAndStartsAgain)
{
    DUMP_REPORT report = {};
    for (int i = 0; i < 1000001; ++i) report_count(&report, 64);
    EXPECT_EQ(Printed(&report, 2000),
              "Received 1000001 packets in 2.000000 seconds\t Bandwidth = 336.00 Mbps\n");
    EXPECT_EQ(report.Packets, 0u);
    EXPECT_EQ(report.Bytes, 0u);
    EXPECT_EQ(report.LastTime, 2000u);

    // 125 000 bytes in 250 ms: 4 Mb/s, measured from the last report.
    report.Packets = 3;
    report.Bytes = 125000;
    EXPECT_EQ(Printed(&report, 2250), "Received 3 packets in 0.250000 seconds\t Bandwidth = 4.00 Mbps\n");
}

TEST(Report, NoTimePassedIsNotAnInfiniteRate)
{
    DUMP_REPORT report = {5, 1000, 700};
    EXPECT_EQ(Printed(&report, 700), "Received 5 packets in 0.000000 seconds\t Bandwidth = 8.00 Mbps\n");
}

/* ---- filter ---- */

FL_PACKET_HEADER HeaderOf(const fake_flapi::Packet& p) { return p.Header; }

TEST(Filter, KeepsWhatMatchesAndSeesTheCapturedBytesOnly)
{
    DUMP_FILTER filter;
    ASSERT_TRUE(filter_prepare("udp dst port 53", &filter));
    const auto dns = fake_flapi::UdpFrame(53);
    const auto other = fake_flapi::UdpFrame(80);
    EXPECT_TRUE(filter_accepts(filter, HeaderOf(dns), dns.Data.data()));
    EXPECT_FALSE(filter_accepts(filter, HeaderOf(other), other.Data.data()));
    filter_release(&filter);

    // The length on the wire is the packet's length; bytes beyond the
    // captured ones are not there.
    auto cut = fake_flapi::Frame(200);
    cut.Header.CapturedLength = 64;
    ASSERT_TRUE(filter_prepare("greater 150", &filter));
    EXPECT_TRUE(filter_accepts(filter, cut.Header, cut.Data.data()));
    filter_release(&filter);
    ASSERT_TRUE(filter_prepare("ether[100] = ether[100]", &filter));
    EXPECT_FALSE(filter_accepts(filter, cut.Header, cut.Data.data()));
    filter_release(&filter);
}

TEST(Filter, WithoutAFilterEveryPacketIsKept)
{
    DUMP_FILTER none = {};
    const auto p = fake_flapi::Frame(60);
    EXPECT_TRUE(filter_accepts(none, p.Header, p.Data.data()));
}

TEST(Filter, AnExpressionThatDoesNotCompileIsReported)
{
    DUMP_FILTER filter;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(filter_prepare("udp port fifty", &filter));
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, ::testing::StartsWith("Error compiling the filter string: "));
    EXPECT_GT(out.size(), std::string("Error compiling the filter string: \n").size());
    EXPECT_FALSE(filter.Compiled);
}

/* ---- console control ---- */

/* ---- whole runs ---- */

TEST_F(DumpToolTest, CtrlCAndCloseStopTheCaptureOtherEventsAreLeftAlone)
{
    // A run starts with the flag clear, whatever came before; this one ends
    // by a key.
    console_ctrl_handler(CTRL_C_EVENT);
    Fake().RunOut = [] {};
    keyAfter = 0;
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_FALSE(dump_stop_requested());

    for (DWORD event : {CTRL_BREAK_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        EXPECT_FALSE(console_ctrl_handler(event));
    }
    EXPECT_FALSE(dump_stop_requested());
    EXPECT_TRUE(console_ctrl_handler(CTRL_C_EVENT));
    EXPECT_TRUE(dump_stop_requested());

    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_FALSE(dump_stop_requested());
    EXPECT_TRUE(console_ctrl_handler(CTRL_CLOSE_EVENT));
    EXPECT_TRUE(dump_stop_requested());
}

TEST_F(DumpToolTest, NoArgumentPrintsTheUsageAndFails)
{
    EXPECT_EQ(Run(NgLikeTool(), {}), -1);
    EXPECT_EQ(out_, "usage line 1\nusage line 2\n");
    EXPECT_TRUE(Fake().Calls.empty());
}

TEST_F(DumpToolTest, CapturesANamedPortUntilCtrlC)
{
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60, 5), fake_flapi::Frame(61, 6)}});
    Fake().Receives.push_back({FL_SUCCESS, false, {}});
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(1514, 7)}});

    EXPECT_EQ(Run(NgLikeTool(), {"out.pcapng", "-p", "\\\\?\\pci#port1", "-s", "1518"}), 0);
    EXPECT_EQ(Fake().OpenedPort, "\\\\?\\pci#port1");
    const std::vector<std::string> expected = {"FlInstanceOpenByName \\\\?\\pci#port1", "FlInstanceSetFeature 4 1",
                                               "FlInstanceSetFeature 1 1518", "FlInstanceClose"};
    EXPECT_EQ(Fake().Calls, expected);
    EXPECT_EQ(output_.Opens, 1);
    EXPECT_EQ(output_.Closes, 1);
    EXPECT_STREQ(output_.Settings.FileName, "out.pcapng");
    ASSERT_EQ(output_.Written.size(), 3u);
    EXPECT_EQ(output_.Written[1].Header.Timestamp, 6u);
    EXPECT_EQ(output_.Written[1].Data, fake_flapi::Frame(61).Data);
    EXPECT_EQ(out_, "\nDump to disk in progress. Press a key (or CTRL-C) to stop the capture.\n" + Totals(3, 3));
}

TEST_F(DumpToolTest, TheFilterDecidesWhatIsWrittenNotWhatIsCounted)
{
    Fake().Receives.push_back(
        {FL_SUCCESS, true, {fake_flapi::UdpFrame(53), fake_flapi::UdpFrame(80), fake_flapi::UdpFrame(53)}});
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-f", "udp port 53", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_EQ(output_.Written.size(), 2u);
    EXPECT_THAT(out_, HasSubstr(Totals(3, 2)));
}

TEST_F(DumpToolTest, AFilterThatDoesNotCompileEndsTheRunBeforeAnyPort)
{
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-f", "tcp port http-ish"}), -1);
    EXPECT_THAT(out_, ::testing::StartsWith("Error compiling the filter string: "));
    EXPECT_THAT(out_, Not(HasSubstr("packets received")));
    EXPECT_TRUE(Fake().Calls.empty());
    EXPECT_EQ(output_.Opens, 0);
}

TEST_F(DumpToolTest, ABufferLayoutThatCannotWorkIsRefusedBeforeAnyPort)
{
    EXPECT_EQ(Run(PcapLikeTool(), {"f", "-a", "0"}), -1);
    EXPECT_EQ(out_, "The number of buffers (-a) must be at least 1\n");
    EXPECT_TRUE(Fake().Calls.empty());
}

TEST_F(DumpToolTest, WithoutAPortNameThePortsAreListedAndOneIsChosen)
{
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p"}, "2\n"), 0);
    EXPECT_EQ(Fake().OpenedPort, "\\\\?\\FL_bap_001b21000000");
    EXPECT_THAT(out_, ::testing::StartsWith("0. \\\\?\\pci#port0 (Port zero)\n"
                                            "1. \\\\?\\pci#port1 (Port one)\n"
                                            "2. \\\\?\\FL_bap_001b21000000 (Ferrolan Board Aggregating Port)\n"
                                            "Enter the port number (0-2):\n"
                                            "Dump to disk in progress."));
    const std::vector<std::string> expected = {"FlQueryPortList", "FlInstanceOpenByPort", "FlInstanceSetFeature 4 1",
                                               "FlFreePortList", "FlInstanceSetFeature 1 65535", "FlInstanceClose"};
    EXPECT_EQ(Fake().Calls, expected);
}

TEST_F(DumpToolTest, AnAnswerOutsideTheListEndsTheRun)
{
    for (const char* answer : {"3\n", "port\n", "-1\n", ""}) {
        SetUp();
        EXPECT_EQ(Run(NgLikeTool(), {"f"}, answer), -1) << answer;
        EXPECT_THAT(out_, ::testing::EndsWith("Enter the port number (0-2):\nPort number out of range.\n")) << answer;
        EXPECT_EQ(Fake().LiveLists, 0);
        EXPECT_EQ(Fake().LiveInstances, 0);
        EXPECT_EQ(output_.Opens, 0);
    }
}

TEST_F(DumpToolTest, NoPortsOrNoListEndTheRun)
{
    Fake().Ports.clear();
    EXPECT_EQ(Run(NgLikeTool(), {"f"}), -1);
    EXPECT_EQ(out_, "\nNo ports found! Make sure Ferrolan is installed.\n");

    SetUp();
    Fake().QueryPortListStatus = FL_ERROR_UNKNOWN;
    EXPECT_EQ(Run(NgLikeTool(), {"f"}), -1);
    EXPECT_EQ(out_, "Error in FlQueryPortList: " + fake_flapi::StatusText(FL_ERROR_UNKNOWN) + " (20000002)\n");
}

TEST_F(DumpToolTest, APortThatCannotBeOpenedEndsTheRunWithoutTotals)
{
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\nothing"}), -1);
    EXPECT_EQ(out_, "Cannot open port, " + fake_flapi::StatusText(FL_ERROR_PORT_NOT_FOUND) + " (20000001)\n");

    SetUp();
    Fake().OpenStatus = FL_ERROR_NO_MEMORY;
    EXPECT_EQ(Run(NgLikeTool(), {"f"}, "0"), -1);
    EXPECT_THAT(out_, ::testing::EndsWith("Cannot open port, " + fake_flapi::StatusText(FL_ERROR_NO_MEMORY) +
                                          " (20000006)\n"));
}

TEST_F(DumpToolTest, ReceptionRefusedClosesTheInstance)
{
    Fake().RxEnableStatus = FL_ERROR_IO;
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), -1);
    EXPECT_EQ(out_, "Cannot enable reception, " + fake_flapi::StatusText(FL_ERROR_IO) + " (2000000d)\n");
    EXPECT_EQ(Fake().Calls.back(), "FlInstanceClose");

    SetUp();
    Fake().RxEnableStatus = FL_ERROR_IO;
    EXPECT_EQ(Run(NgLikeTool(), {"f"}, "1"), -1);
    EXPECT_THAT(out_, HasSubstr("Cannot enable reception, "));
    // The list is freed whatever happened to the instance.
    EXPECT_EQ(Fake().Calls.back(), "FlFreePortList");
}

TEST_F(DumpToolTest, ASnapLengthRefusedGoesStraightToTheTotals)
{
    Fake().SnapLengthStatus = FL_ERROR_INVALID_PARAMETER;
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0", "-s", "0"}), -1);
    EXPECT_EQ(out_, "Error setting the snaplen in the driver: " + fake_flapi::StatusText(FL_ERROR_INVALID_PARAMETER) +
                        " (536870923)\n" + Totals(0, 0));
    EXPECT_EQ(output_.Opens, 0);
    EXPECT_EQ(Fake().Calls.back(), "FlInstanceClose");
}

TEST_F(DumpToolTest, AnOutputThatCannotOpenIsClosedAndTheRunFails)
{
    output_.OpenAnswer = FALSE;
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), -1);
    EXPECT_EQ(out_, Totals(0, 0));
    EXPECT_EQ(output_.Closes, 1);
    EXPECT_EQ(Fake().Receives_, 0);
    Fake().Receives.clear();
}

TEST_F(DumpToolTest, AReceiveFailureEndsTheCapture)
{
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    Fake().Receives.push_back({FL_ERROR_IO, true, {}});
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), -1);
    EXPECT_THAT(out_, HasSubstr("Error receiving packets, " + fake_flapi::StatusText(FL_ERROR_IO) + "\n" +
                                Totals(1, 1)));
    EXPECT_EQ(output_.Closes, 1);
    Fake().Receives.clear();
}

TEST_F(DumpToolTest, ABrokenOutputEndsTheCaptureInTheMiddleOfABuffer)
{
    output_.WriteAnswers = {DumpWriteDone, DumpWriteBroken};
    Fake().Receives.push_back(
        {FL_SUCCESS, true, {fake_flapi::Frame(60), fake_flapi::Frame(61), fake_flapi::Frame(62)}});
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), -1);
    EXPECT_EQ(output_.Written.size(), 2u);
    // The totals say what the file holds, and what it lost.
    EXPECT_THAT(out_, HasSubstr(Totals(2, 1) + "1 packets accepted by the filter but not written to disk\n"));
    EXPECT_EQ(Fake().Receives.size(), 1u);
    Fake().Receives.clear();
}

TEST_F(DumpToolTest, ASkippedPacketLetsTheCaptureGoOnButFailsTheRun)
{
    output_.WriteAnswers = {DumpWriteSkipped};
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60), fake_flapi::Frame(61)}});
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(62)}});
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), -1);
    EXPECT_EQ(output_.Written.size(), 3u);
    EXPECT_THAT(out_, HasSubstr(Totals(3, 2) + "1 packets accepted by the filter but not written to disk\n"));
}

TEST_F(DumpToolTest, AnOutputThatCannotCloseFailsTheRun)
{
    output_.CloseAnswer = FALSE;
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), -1);
    EXPECT_THAT(out_, HasSubstr(Totals(1, 1)));
}

TEST_F(DumpToolTest, AnInstanceThatCannotCloseIsReportedButTheRunSucceeds)
{
    Fake().CloseStatus = FL_ERROR_IO;
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_THAT(out_, HasSubstr("Error closing instance, " + fake_flapi::StatusText(FL_ERROR_IO) + "\n" +
                                Totals(0, 0)));
}

TEST_F(DumpToolTest, HardwareDropsAreReadAtTheEndAndTheirObjectsReleased)
{
    Fake().Dropped = 1234567890123ull;
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run(PcapLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_THAT(out_, ::testing::EndsWith(Totals(1, 1) + "1234567890123 packets dropped by the hardware\n"));
    EXPECT_EQ(Fake().QueryStatisticsCalls, 2);
    const std::vector<std::string> expected = {"FlInstanceOpenByName \\\\?\\pci#port0", "FlInstanceSetFeature 4 1",
                                               "FlInstanceQueryStatistics", "FlInstanceSetFeature 1 65535",
                                               "FlInstanceQueryStatistics", "FlStatisticsQueryValue 65543",
                                               "FlInstanceClose"};
    EXPECT_EQ(Fake().Calls, expected);
}

TEST_F(DumpToolTest, StatisticsMissingAtTheStartFailTheRunButNotTheCapture)
{
    Fake().QueryStatisticsStatus = FL_ERROR_NOT_IMPLEMENTED;
    Fake().Dropped = 9;
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    EXPECT_EQ(Run(PcapLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), -1);
    EXPECT_THAT(out_, ::testing::StartsWith("Error getting the statistics, " +
                                            fake_flapi::StatusText(FL_ERROR_NOT_IMPLEMENTED) + "\n"));
    // Unreadable at the end too: the count stays 0, silently.
    EXPECT_THAT(out_, ::testing::EndsWith(Totals(1, 1) + "0 packets dropped by the hardware\n"));
    EXPECT_EQ(output_.Written.size(), 1u);
}

TEST_F(DumpToolTest, ADropCounterThatCannotBeReadCountsZero)
{
    Fake().StatisticsValueStatus = FL_ERROR_COUNTER_NOT_AVAILABLE;
    Fake().Dropped = 9;
    EXPECT_EQ(Run(PcapLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_THAT(out_, ::testing::EndsWith("0 packets dropped by the hardware\n"));
}

TEST_F(DumpToolTest, AKeyStopsTheCaptureAfterTheBufferInHand)
{
    Fake().RunOut = [] { ADD_FAILURE() << "the key did not stop the capture"; };
    keyAfter = 1;  // the second test after a buffer
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60)}});
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60), fake_flapi::Frame(70)}});
    Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(80)}});
    EXPECT_EQ(Run(PcapLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_EQ(output_.Written.size(), 3u);
    EXPECT_EQ(Fake().Receives.size(), 1u);
    Fake().Receives.clear();
}

TEST_F(DumpToolTest, CtrlCDuringABufferStopsAfterIt)
{
    Fake().RunOut = [] { ADD_FAILURE() << "Ctrl-C did not stop the capture"; };
    Fake().AfterReceive = [](int receive) {
        if (receive == 2) console_ctrl_handler(CTRL_C_EVENT);
    };
    for (int i = 0; i < 4; ++i) {
        Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(60), fake_flapi::Frame(60)}});
    }
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_EQ(output_.Written.size(), 4u);
    Fake().Receives.clear();
}

TEST_F(DumpToolTest, TheToolSaysWhichStopTestComesFirst)
{
    Fake().AfterReceive = [](int) { console_ctrl_handler(CTRL_C_EVENT); };
    Fake().Receives.push_back({FL_SUCCESS, true, {}});
    EXPECT_EQ(Run(NgLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_EQ(keyCalls, 0) << "the stop flag comes first";

    SetUp();
    keyAfter = 100;
    Fake().AfterReceive = [](int) { console_ctrl_handler(CTRL_C_EVENT); };
    Fake().Receives.push_back({FL_SUCCESS, true, {}});
    EXPECT_EQ(Run(PcapLikeTool(), {"f", "-p", "\\\\?\\pci#port0"}), 0);
    EXPECT_EQ(keyCalls, 1) << "the key comes first";
}

TEST_F(DumpToolTest, ReportsByPacketCountCarryOverBuffers)
{
    DUMP_TOOL tool = NgLikeTool();
    tool.ReportPacketLimit = 3;
    Fake().AfterReceive = [](int) { fakeNow += 500; };
    for (int i = 0; i < 3; ++i) {
        Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(105), fake_flapi::Frame(105)}});
    }
    fakeNow = 1000;  // the process has run for a second before the capture
    EXPECT_EQ(Run(tool, {"f", "-p", "\\\\?\\pci#port0"}), 0);
    // The 4th packet comes in at 2000 ms: counted from the process start
    // (this tool does not reset the clock at the capture's start). 4 packets
    // of 125 bytes on the wire in 2 s: 2000 bit/s.
    EXPECT_THAT(out_, HasSubstr("Received 4 packets in 2.000000 seconds\t Bandwidth = 0.00 Mbps\n"));
    const size_t first = out_.find("Received ");
    EXPECT_EQ(out_.find("Received ", first + 1), std::string::npos) << out_;
}

TEST_F(DumpToolTest, ReportsByTimeComeAtTheFirstPacketOfALateBuffer)
{
    DUMP_TOOL tool = PcapLikeTool();
    fakeNow = 700;  // capture start: the first report measures from here
    Fake().AfterReceive = [](int) { fakeNow += 2000; };
    for (int i = 0; i < 4; ++i) {
        Fake().Receives.push_back({FL_SUCCESS, true, {fake_flapi::Frame(105), fake_flapi::Frame(105)}});
    }
    EXPECT_EQ(Run(tool, {"f", "-p", "\\\\?\\pci#port0"}), 0);
    // Buffers start at 2700, 4700, 6700, 8700: the third is the first more
    // than 5000 ms after 700, and its first packet is the 5th.
    EXPECT_THAT(out_, HasSubstr("Received 5 packets in 6.000000 seconds\t Bandwidth = "));
    const size_t first = out_.find("Received ");
    EXPECT_EQ(out_.find("Received ", first + 1), std::string::npos) << out_;
}

}  // namespace
