// FlDump_ng on machines whose ports are wired to the world outside: veth
// pairs in a network namespace of the test's own (frames sent into the far
// ends by raw sockets), and capture files replayed into a port. The files
// written are read back by libpcap, tshark and capinfos.
#include "dump_child.h"
#include "read_capture.h"

#include <fl_test_machine.h>
#include <fl_test_network.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nt/hive.h>
#include <pcap/pcap.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using namespace dump_test;
using ::testing::HasSubstr;

// The board aggregating port of board 0 (address 02:f1:0e:00:00:00).
const std::string kBoard = "\\\\?\\FL_bap_02f10e000000";
constexpr uint16_t kTestType = 0x88B6;  // local experimental, not the generators'

std::filesystem::path g_base;

// A machine of its own for one run of the tool: its description and a
// fresh hive in a folder of the test's.
std::filesystem::path UseMachine(const std::string& name, const std::string& description)
{
    if (g_base.empty()) g_base = FlUseTestMachine("links_e2e", "");
    const std::filesystem::path dir = g_base / name;
    std::filesystem::create_directories(dir);
    for (const char* file : {"registry.db", "registry.db-wal", "registry.db-shm"}) std::filesystem::remove(dir / file);
    std::ofstream(dir / "machine.toml") << description;
    ::setenv("FL_MACHINE", (dir / "machine.toml").c_str(), 1);
    ::setenv("FL_REGISTRY", (dir / "registry.db").c_str(), 1);
    ::setenv("FL_DEBUGGER", "1", 1);
    return dir;
}

std::string TwoInterfaces(const std::string& first, const std::string& second)
{
    return "[[board]]\n  [[board.port]]\n  wire = \"iface\"\n  interface = \"" + first +
           "\"\n  [[board.port]]\n  wire = \"iface\"\n  interface = \"" + second + "\"\n";
}

// size bytes without FCS: addresses, the test's EtherType, a sequence
// number and a pattern of it.
std::vector<uint8_t> TestFrame(size_t size, uint32_t sequence)
{
    std::vector<uint8_t> f(size);
    const uint8_t head[14] = {0x02, 0, 0, 0, 0, 0x0A, 0x02, 0, 0, 0, 0, 0x0B, kTestType >> 8, kTestType & 0xFF};
    std::memcpy(f.data(), head, 14);
    std::memcpy(f.data() + 14, &sequence, 4);
    for (size_t i = 18; i < size; ++i) f[i] = static_cast<uint8_t>(sequence * 7 + i);
    return f;
}

std::vector<uint8_t> TaggedFrame(size_t size, uint32_t sequence, uint16_t tci)
{
    std::vector<uint8_t> f = TestFrame(size - 4, sequence);
    const uint8_t tag[4] = {0x81, 0x00, static_cast<uint8_t>(tci >> 8), static_cast<uint8_t>(tci)};
    f.insert(f.begin() + 12, tag, tag + 4);
    return f;
}

struct Packet {
    uint64_t nanoseconds;
    uint32_t wireLength;
    std::vector<uint8_t> data;  // with the FCS
    std::string interface;      // pcap-ng interface id, from tshark
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<Packet> ReadPackets(const std::filesystem::path& path)
{
    std::vector<Packet> packets;
    for (const CapturedFrame& f : ReadCapture(path)) {
        packets.push_back({f.Nanoseconds, f.WireLength, std::vector<uint8_t>(f.Bytes.begin(), f.Bytes.end()), ""});
    }
    const auto interfaces =
        Lines(CommandOutput("tshark -r " + path.string() + " -T fields -e frame.interface_id 2>/dev/null"));
    EXPECT_EQ(interfaces.size(), packets.size());
    for (size_t i = 0; i < packets.size() && i < interfaces.size(); ++i) packets[i].interface = interfaces[i];
    return packets;
}

// The frame without its last four bytes, when those are its FCS.
std::vector<uint8_t> WithoutValidFcs(const Packet& p)
{
    if (p.data.size() < 5) return {};
    const size_t n = p.data.size() - 4;
    uint32_t fcs = 0;
    std::memcpy(&fcs, p.data.data() + n, 4);
    if (crc32(0, p.data.data(), static_cast<uInt>(n)) != fcs) return {};
    return {p.data.begin(), p.data.begin() + static_cast<long>(n)};
}

// What capinfos and tshark say against the file: nothing on standard error
// from capinfos, and the FCS status of every frame as tshark checks it.
void ExpectReadersAgree(const std::filesystem::path& file, size_t packets)
{
    EXPECT_EQ(CommandOutput("capinfos " + file.string() + " 2>&1 >/dev/null"), "");
    const auto status = Lines(CommandOutput("tshark -r " + file.string() +
                                            " -o eth.check_fcs:TRUE -T fields -e eth.fcs.status 2>/dev/null"));
    EXPECT_EQ(status.size(), packets);
    EXPECT_EQ(static_cast<size_t>(std::count(status.begin(), status.end(), "1")), packets) << "frames with a bad FCS";
}

// FlDump_ng capturing the board until stopped by the test.
class Capture {
public:
    Capture(const std::filesystem::path& dir, const std::string& name)
        : file_(dir / (name + ".pcapng")), child_(FLDUMP_NG_PROGRAM, {file_.string(), "-p", kBoard}, dir, name)
    {
        started_ = child_.WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n");
        EXPECT_TRUE(started_) << child_.Output() << child_.Errors();
    }
    bool Started() const { return started_; }
    // Stops the capture; the number of packets the tool says it wrote.
    long long Stop()
    {
        child_.PressKey();
        EXPECT_EQ(child_.Wait(), 0);
        EXPECT_FALSE(SanitizerReported(child_.Errors())) << child_.Errors();
        const std::string out = child_.Output();
        const long long accepted = CountBefore(out, " packets accepted by the filter and dumped to disk\n");
        EXPECT_EQ(CountBefore(out, " packets received by the application\n"), accepted) << out;
        return accepted;
    }
    const std::filesystem::path& File() const { return file_; }
    // What the machine logged (the debugger's output goes to standard
    // error): where frames were lost, if any were.
    std::string Log() const { return child_.Errors(); }

private:
    std::filesystem::path file_;
    DumpChild child_;
    bool started_ = false;
};

// Time for the links to come up once the tool runs (autonegotiation takes
// 20 ms by default; the rest is slack for a loaded machine).
void WaitForLinks() { std::this_thread::sleep_for(1500ms); }

TEST(LinksEndToEnd, FramesOfTwoLinksArriveByteForByteWithTheirFcsMergedInTimestampOrder)
{
    std::string why;
    if (!FlEnterTestNetwork(&why)) {
        GTEST_SKIP() << why;
    }
    ASSERT_TRUE(FlAddVethPair("a0", "a1"));
    ASSERT_TRUE(FlAddVethPair("b0", "b1"));
    const auto dir = UseMachine("capture", TwoInterfaces("a1", "b1"));
    Capture capture(dir, "capture");
    ASSERT_TRUE(capture.Started());
    WaitForLinks();

    // Every size from the smallest to the largest frame without FCS, even
    // sizes into one link and odd ones into the other, and a VLAN-tagged
    // frame whose tag the kernel takes off on the way in. Paced well below
    // a gigabit: the ports' links are gigabit links.
    FlRawLink links[2] = {FlRawLink("a0"), FlRawLink("b0")};
    ASSERT_TRUE(links[0] && links[1]);
    std::vector<std::vector<uint8_t>> sent[2];
    uint32_t sequence = 0;
    for (size_t size = 60; size <= 1514; ++size) {
        const int link = size % 2;
        sent[link].push_back(TestFrame(size, sequence++));
        ASSERT_TRUE(links[link].Send(sent[link].back()));
        std::this_thread::sleep_for(30us);
    }
    sent[0].push_back(TaggedFrame(100, sequence++, 0x2005));
    ASSERT_TRUE(links[0].Send(sent[0].back()));
    std::this_thread::sleep_for(2s);
    const long long written = capture.Stop();

    const auto packets = ReadPackets(capture.File());
    ASSERT_EQ(static_cast<long long>(packets.size()), written);
    ASSERT_EQ(packets.size(), sent[0].size() + sent[1].size()) << capture.Log();
    size_t next[2] = {0, 0};
    bool someNanoseconds = false;
    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet& p = packets[i];
        ASSERT_TRUE(p.interface == "0" || p.interface == "1") << p.interface;
        const int link = p.interface == "1" ? 1 : 0;
        ASSERT_LT(next[link], sent[link].size()) << "packet " << i;
        const std::vector<uint8_t> frame = WithoutValidFcs(p);
        EXPECT_EQ(frame, sent[link][next[link]]) << "packet " << i << " is not frame " << next[link] << " of link "
                                                 << link << " byte for byte with its FCS";
        EXPECT_EQ(p.wireLength, sent[link][next[link]].size() + 4);
        ++next[link];
        EXPECT_GE(p.nanoseconds, i > 0 ? packets[i - 1].nanoseconds : 0) << i;
        someNanoseconds = someNanoseconds || p.nanoseconds % 1000 != 0;
    }
    EXPECT_TRUE(someNanoseconds) << "every stamp is a whole microsecond";
    ExpectReadersAgree(capture.File(), packets.size());
}

// Both ports' devices with passthru on, in the hive the tool's machine
// boots with (a first run of the tool made their keys).
void SetPassthru(const std::filesystem::path& dir)
{
    {
        DumpChild list(FLDUMP_NG_PROGRAM, {(dir / "never.pcapng").string()}, dir, "list");
        list.CloseInput();
        list.Wait();
    }
    std::shared_ptr<nt::Hive> hive;
    ASSERT_EQ(nt::Hive::Open(dir / "registry.db", &hive), STATUS_SUCCESS);
    nt::Ref<nt::RegistryKey> pci;
    ASSERT_EQ(hive->OpenKey("SYSTEM\\CurrentControlSet\\Enum\\PCI", &pci), STATUS_SUCCESS);
    int set = 0;
    std::string hardware;
    for (ULONG i = 0; NT_SUCCESS(pci->EnumerateSubkey(i, &hardware)); ++i) {
        nt::Ref<nt::RegistryKey> id;
        ASSERT_EQ(pci->OpenSubkey(hardware, &id), STATUS_SUCCESS);
        std::string instance;
        for (ULONG j = 0; NT_SUCCESS(id->EnumerateSubkey(j, &instance)); ++j) {
            nt::Ref<nt::RegistryKey> parameters;
            ASSERT_EQ(id->CreateSubkey(instance + "\\Device Parameters", &parameters), STATUS_SUCCESS);
            ASSERT_EQ(parameters->SetDword("PassthruEnabled", 1), STATUS_SUCCESS);
            ++set;
        }
    }
    ASSERT_EQ(set, 2);
}

TEST(LinksEndToEnd, AnInlineTapCarriesBothDirectionsWhileTheBoardIsCaptured)
{
    std::string why;
    if (!FlEnterTestNetwork(&why)) {
        GTEST_SKIP() << why;
    }
    ASSERT_TRUE(FlAddVethPair("a0", "a1"));
    ASSERT_TRUE(FlAddVethPair("b0", "b1"));
    const auto dir = UseMachine("tap", TwoInterfaces("a1", "b1"));
    SetPassthru(dir);
    if (HasFailure()) return;
    Capture capture(dir, "tap");
    ASSERT_TRUE(capture.Started());
    WaitForLinks();

    // Frames into both outer ends, alternately.
    FlRawLink ends[2] = {FlRawLink("a0"), FlRawLink("b0")};
    ASSERT_TRUE(ends[0] && ends[1]);
    constexpr uint32_t kFrames = 300;
    std::vector<std::vector<uint8_t>> sent[2];
    for (uint32_t i = 0; i < kFrames; ++i) {
        for (int end = 0; end < 2; ++end) {
            sent[end].push_back(TestFrame(60 + (i * 37 + end * 500) % 1455, i * 2 + end));
            ASSERT_TRUE(ends[end].Send(sent[end].back()));
        }
        std::this_thread::sleep_for(50us);
    }
    // Each comes out of the other end, in order, byte for byte.
    for (int end = 0; end < 2; ++end) {
        for (uint32_t i = 0; i < kFrames; ++i) {
            const auto frame = ends[1 - end].Receive(kTestType, 10s);
            ASSERT_FALSE(frame.empty()) << "frame " << i << " into end " << end << " never came out of the other\n"
                                        << capture.Log();
            EXPECT_EQ(frame, sent[end][i]) << "frame " << i << " into end " << end;
        }
    }
    std::this_thread::sleep_for(1s);
    const long long written = capture.Stop();

    // The board's capture holds both directions, each on its port's
    // interface, merged in timestamp order.
    const auto packets = ReadPackets(capture.File());
    ASSERT_EQ(static_cast<long long>(packets.size()), written);
    ASSERT_EQ(packets.size(), 2u * kFrames);
    size_t next[2] = {0, 0};
    for (size_t i = 0; i < packets.size(); ++i) {
        const int end = packets[i].interface == "1" ? 1 : 0;
        ASSERT_LT(next[end], sent[end].size());
        EXPECT_EQ(WithoutValidFcs(packets[i]), sent[end][next[end]]) << "packet " << i;
        ++next[end];
        EXPECT_GE(packets[i].nanoseconds, i > 0 ? packets[i - 1].nanoseconds : 0) << i;
    }
    ExpectReadersAgree(capture.File(), packets.size());
}

std::string ReplayOf(const std::filesystem::path& file, const std::string& pace, int repeat)
{
    // The link comes up (and the file starts) a while after the machine
    // boots, once the tool is capturing (generous: a loaded machine under
    // a sanitizer boots slowly).
    return "autonegotiation_delay_ms = 8000\n[[board]]\n  [[board.port]]\n  wire = \"pcap\"\n  file = \"" +
           file.string() + "\"\n  pace = \"" + pace + "\"\n  repeat = " + std::to_string(repeat) + "\n";
}

uint64_t Span(const std::vector<Packet>& packets)
{
    return packets.empty() ? 0 : packets.back().nanoseconds - packets.front().nanoseconds;
}

TEST(LinksEndToEnd, AFileFlDumpNgWroteReplaysExactlyAtItsRecordedPaceOrAtLineRate)
{
    // The recording: generated traffic on port 0, a few hundred frames.
    auto dir = UseMachine("record", "[[board]]\n  [[board.port]]\n  wire = \"generator\"\n  rate = 200\n");
    std::vector<Packet> recorded;
    {
        Capture capture(dir, "recorded");
        ASSERT_TRUE(capture.Started());
        std::this_thread::sleep_for(2s);
        capture.Stop();
        recorded = ReadPackets(capture.File());
    }
    ASSERT_GE(recorded.size(), 100u);
    const std::filesystem::path source = dir / "recorded.pcapng";

    // At the recorded pace: the same frames, FCS and all, in the same
    // order, over about the same time.
    dir = UseMachine("replay-recorded", ReplayOf(source, "recorded", 1));
    std::vector<Packet> paced;
    {
        Capture capture(dir, "paced");
        ASSERT_TRUE(capture.Started());
        std::this_thread::sleep_for(std::chrono::nanoseconds(Span(recorded)) + 8s + 3s);
        EXPECT_EQ(capture.Stop(), static_cast<long long>(recorded.size()));
        paced = ReadPackets(capture.File());
    }
    ASSERT_EQ(paced.size(), recorded.size());
    for (size_t i = 0; i < paced.size(); ++i) ASSERT_EQ(paced[i].data, recorded[i].data) << "packet " << i;
    // (Stamps are the driver's, taken when it harvests: a poll thread
    // starved for long bunches them, so the lower bound is loose.)
    EXPECT_GT(Span(paced), Span(recorded) / 2);
    EXPECT_LT(Span(paced), Span(recorded) * 3 / 2 + 500'000'000ull);

    // At line rate, three times through: the frames three times over, in
    // far less time than they took to record.
    dir = UseMachine("replay-line", ReplayOf(source, "line", 3));
    std::vector<Packet> fast;
    {
        Capture capture(dir, "line");
        ASSERT_TRUE(capture.Started());
        std::this_thread::sleep_for(8s + 3s);
        capture.Stop();
        fast = ReadPackets(capture.File());
    }
    ASSERT_EQ(fast.size(), 3 * recorded.size());
    for (size_t i = 0; i < fast.size(); ++i) {
        ASSERT_EQ(fast[i].data, recorded[i % recorded.size()].data) << "packet " << i;
    }
    EXPECT_LT(Span(fast), Span(recorded) / 2);
    ExpectReadersAgree(dir / "line.pcapng", fast.size());
}

// The message a machine that cannot boot leaves on the tool's standard error.
std::string BootRefusal(const std::filesystem::path& dir, const std::vector<std::string>& wrapper = {})
{
    std::vector<std::string> args = wrapper;
    std::string program = FLDUMP_NG_PROGRAM;
    if (!wrapper.empty()) {
        program = wrapper.front();
        args.erase(args.begin());
        args.push_back(FLDUMP_NG_PROGRAM);
    }
    args.push_back((dir / "never.pcapng").string());
    args.push_back("-p");
    args.push_back(kBoard);
    DumpChild child(program, args, dir, "refused");
    child.CloseInput();
    child.Wait();
    return child.Errors();
}

TEST(LinksEndToEnd, WiresThatCannotBeMadeAreRefusedAtBootWithFileKeyAndReason)
{
    std::string why;
    if (!FlEnterTestNetwork(&why)) {
        GTEST_SKIP() << why;
    }
    ASSERT_TRUE(FlAddVethPair("a0", "a1"));

    auto dir = UseMachine("no-interface", TwoInterfaces("a1", "fl-nosuch9"));
    EXPECT_THAT(BootRefusal(dir), HasSubstr("machine not booted: " + (dir / "machine.toml").string() +
                                            ": board[0].port[1].interface: \"fl-nosuch9\": no such interface\n"));

    // Without CAP_NET_RAW (gone from the bounding set, root or not).
    dir = UseMachine("no-raw", TwoInterfaces("a1", "a0"));
    EXPECT_THAT(BootRefusal(dir, {"/usr/bin/setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw"}),
                HasSubstr(": board[0].port[0].interface: \"a1\": a packet socket needs CAP_NET_RAW\n"));

    const auto file = [](const std::string& name) {
        return "[[board]]\n  [[board.port]]\n  wire = \"pcap\"\n  file = \"" + name + "\"\n";
    };
    dir = UseMachine("no-file", file("missing.pcapng"));
    EXPECT_THAT(BootRefusal(dir), HasSubstr(": board[0].port[0].file: \"" + (dir / "missing.pcapng").string() +
                                            "\": no such file\n"));

    dir = UseMachine("not-a-capture", file("notes.txt"));
    std::ofstream(dir / "notes.txt") << "not a capture file, but long enough to be read as one\n";
    EXPECT_THAT(BootRefusal(dir), HasSubstr(": board[0].port[0].file: \"" + (dir / "notes.txt").string() +
                                            "\": not a pcap or pcap-ng file ("));

    // A pcap file of Linux cooked captures (link type 113).
    dir = UseMachine("not-ethernet", file("cooked.pcap"));
    {
        const uint32_t header[6] = {0xA1B2C3D4, 0x00040002, 0, 0, 65535, 113};
        std::ofstream(dir / "cooked.pcap", std::ios::binary).write(reinterpret_cast<const char*>(header), sizeof header);
    }
    EXPECT_THAT(BootRefusal(dir), HasSubstr(": board[0].port[0].file: \"" + (dir / "cooked.pcap").string() +
                                            "\": link type 113 (LINUX_SLL), not Ethernet\n"));
}

}  // namespace
