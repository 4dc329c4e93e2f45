// A capture file as the far end of a port, on the manual clock: when each
// frame arrives (recorded gaps, line rate, repeats, the start at link up),
// and the FCS a frame gets or keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "hw_test_util.hpp"

namespace hw {
namespace {

using namespace std::chrono_literals;
using namespace reg;
using namespace test;

std::filesystem::path TempFile(const std::string& name) {
    const char* tmp = std::getenv("FL_TEST_TMP");
    const std::filesystem::path dir = tmp != nullptr ? tmp : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(dir);
    return dir / name;
}

void Put32(std::string& out, std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void Put16(std::string& out, std::uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); }

struct Recorded {
    std::uint64_t nanoseconds;
    std::vector<std::uint8_t> bytes;
};

// A pcap file in microseconds, link type Ethernet (frames without FCS).
std::filesystem::path WritePcap(const std::string& name, const std::vector<Recorded>& frames) {
    std::string out;
    for (std::uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65535u, 1u}) Put32(out, v);
    for (const Recorded& f : frames) {
        Put32(out, static_cast<std::uint32_t>(f.nanoseconds / 1'000'000'000));
        Put32(out, static_cast<std::uint32_t>(f.nanoseconds % 1'000'000'000 / 1000));
        Put32(out, static_cast<std::uint32_t>(f.bytes.size()));
        Put32(out, static_cast<std::uint32_t>(f.bytes.size()));
        out.append(f.bytes.begin(), f.bytes.end());
    }
    const auto path = TempFile(name);
    std::ofstream(path, std::ios::binary) << out;
    return path;
}

// A pcap-ng file whose one interface says its frames carry a 4-byte FCS.
std::filesystem::path WritePcapNgWithFcs(const std::string& name, const std::vector<Recorded>& frames) {
    std::string out;
    for (std::uint32_t v : {0x0A0D0D0Au, 28u, 0x1A2B3C4Du}) Put32(out, v);
    Put16(out, 1);
    Put16(out, 0);
    Put32(out, 0xFFFFFFFF);
    Put32(out, 0xFFFFFFFF);
    Put32(out, 28);
    // Interface: Ethernet, if_tsresol 9, if_fcslen 4.
    Put32(out, 1);
    Put32(out, 40);
    Put16(out, 1);
    Put16(out, 0);
    Put32(out, 0);
    Put16(out, 9), Put16(out, 1), out.append("\x09\0\0\0", 4);
    Put16(out, 13), Put16(out, 1), out.append("\x04\0\0\0", 4);
    Put32(out, 0);  // end of options
    Put32(out, 40);
    for (const Recorded& f : frames) {
        const std::uint32_t padded = (static_cast<std::uint32_t>(f.bytes.size()) + 3) & ~3u;
        Put32(out, 6);
        Put32(out, 32 + padded);
        Put32(out, 0);
        Put32(out, static_cast<std::uint32_t>(f.nanoseconds >> 32));
        Put32(out, static_cast<std::uint32_t>(f.nanoseconds));
        Put32(out, static_cast<std::uint32_t>(f.bytes.size()));
        Put32(out, static_cast<std::uint32_t>(f.bytes.size()));
        out.append(f.bytes.begin(), f.bytes.end());
        out.append(padded - f.bytes.size(), '\0');
        Put32(out, 32 + padded);
    }
    const auto path = TempFile(name);
    std::ofstream(path, std::ios::binary) << out;
    return path;
}

std::vector<std::uint8_t> WithoutFcs(std::vector<std::uint8_t> frame) {
    frame.resize(frame.size() - 4);
    return frame;
}

struct Replay {
    explicit Replay(const CaptureFileOptions& options) : m(Options()), p(m.AddBoard().GetPort(0)), rx(m, p, 64, 2048) {
        p.WriteRegister(CTRL, CTRL_SLU);
        rx.GiveAll();
        std::string why;
        EXPECT_TRUE(m.AttachCaptureFile(p, options, &why)) << why;
    }
    static MachineOptions Options() {
        MachineOptions o;
        o.clock = ClockMode::Manual;
        o.autonegotiationDelay = 10ms;
        return o;
    }
    std::uint64_t Delivered() const { return p.Counters().delivered; }

    Machine m;
    Port& p;
    RxRing rx;
};

const std::uint64_t kStart = 1'700'000'000'000'000'000ull;

TEST(CaptureFile, RecordedGapsFromTheFirstLinkUpRepeatedThenIdleWithTheLinkUp) {
    const std::vector<Recorded> frames = {{kStart, WithoutFcs(TestFrame(64, 1))},
                                          {kStart + 2'000'000, WithoutFcs(TestFrame(104, 2))},
                                          {kStart + 7'000'000, WithoutFcs(TestFrame(1518, 3))}};
    Replay r({WritePcap("recorded.pcap", frames), ReplayPace::Recorded, 2});
    r.m.Advance(9ms);
    EXPECT_EQ(r.Delivered(), 0u) << "nothing before the link is up";
    r.m.Advance(1ms);
    ASSERT_TRUE(r.p.LinkUp());
    EXPECT_EQ(r.Delivered(), 1u);
    r.m.Advance(1900us);
    EXPECT_EQ(r.Delivered(), 1u);
    r.m.Advance(200us);
    EXPECT_EQ(r.Delivered(), 2u);
    r.m.Advance(4890us);
    EXPECT_EQ(r.Delivered(), 2u);
    r.m.Advance(11us);
    EXPECT_EQ(r.Delivered(), 3u);
    // The second time through starts once the last frame has left the line
    // (12.3 us for 1518 bytes at a gigabit), with the same gaps.
    r.m.Advance(20us);
    EXPECT_EQ(r.Delivered(), 4u);
    r.m.Advance(1s);
    EXPECT_EQ(r.Delivered(), 6u);
    EXPECT_TRUE(r.p.LinkUp()) << "the link stays up at the end of the file";

    // Each frame with an FCS of its own added, the bytes as recorded.
    for (std::uint32_t i = 0; i < 6; ++i) {
        const auto& f = frames[i % 3].bytes;
        ASSERT_EQ(r.rx.Length(i), f.size() + 4) << i;
        EXPECT_EQ(std::memcmp(r.rx.Buffer(i), f.data(), f.size()), 0) << i;
        EXPECT_TRUE(FcsValid({r.rx.Buffer(i), r.rx.Length(i)})) << i;
        EXPECT_EQ(r.rx.Errors(i), 0) << i;
    }
}

TEST(CaptureFile, LineRateBackToBackAndFramesWithTheirOwnFcsKeepIt) {
    // Recorded a second apart, the second frame with a bad FCS.
    const std::vector<Recorded> frames = {{kStart, TestFrame(64, 1)},
                                          {kStart + 1'000'000'000, TestFrame(200, 2, true)},
                                          {kStart + 2'000'000'000, TestFrame(1518, 3)}};
    Replay r({WritePcapNgWithFcs("fcs.pcapng", frames), ReplayPace::Line, 1});
    r.m.Advance(10ms);
    // 84, 220 and 1538 bytes on the line at a gigabit: 14.7 us in all.
    r.m.Advance(20us);
    EXPECT_EQ(r.Delivered(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(r.rx.Length(i), frames[i].bytes.size()) << i;
        EXPECT_EQ(std::memcmp(r.rx.Buffer(i), frames[i].bytes.data(), frames[i].bytes.size()), 0) << i;
    }
    EXPECT_EQ(r.rx.Errors(1) & RXD_ERR_CE, RXD_ERR_CE) << "the recorded bad FCS reaches the driver";
    EXPECT_EQ(r.rx.Errors(0) | r.rx.Errors(2), 0);
}

TEST(CaptureFile, FilesThatCannotBeReplayedAreRefusedNamingThem) {
    Machine m(Replay::Options());
    Port& p = m.AddBoard().GetPort(0);
    std::string why;
    const auto missing = TempFile("missing.pcap");
    EXPECT_FALSE(m.AttachCaptureFile(p, {missing, ReplayPace::Line, 1}, &why));
    EXPECT_EQ(why, "\"" + missing.string() + "\": no such file");
    const auto text = TempFile("text.pcap");
    std::ofstream(text) << "hello, this is not a capture file at all\n";
    EXPECT_FALSE(m.AttachCaptureFile(p, {text, ReplayPace::Line, 1}, &why));
    EXPECT_EQ(why.rfind("\"" + text.string() + "\": not a pcap or pcap-ng file (", 0), 0u) << why;
}

}  // namespace
}  // namespace hw
