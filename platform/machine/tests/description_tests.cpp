// Machine descriptions: what a good one gives the machine, and that a bad
// one is refused with a message naming the file and the key.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "machine/description.hpp"

namespace {

using machine::Description;
using machine::WireKind;

Description Parse(std::string_view text) {
    Description d;
    std::string error;
    EXPECT_TRUE(machine::ParseDescription(text, "test.toml", &d, &error)) << error;
    return d;
}

std::string Refusal(std::string_view text) {
    Description d;
    d.boards.resize(7);  // must stay untouched by a refused parse
    std::string error;
    EXPECT_FALSE(machine::ParseDescription(text, "bad.toml", &d, &error)) << text;
    EXPECT_EQ(d.boards.size(), 7u);
    return error;
}

TEST(MachineDescription, DefaultIsOneBoardWithTwoGeneratorsAtAModestMixedRate) {
    const Description d = machine::DefaultDescription();
    ASSERT_EQ(d.boards.size(), 1u);
    EXPECT_EQ(d.clock, hw::ClockMode::RealTime);
    for (const auto& port : d.boards[0].ports) {
        ASSERT_EQ(port.kind, WireKind::Generator);
        EXPECT_GT(port.generator.framesPerSecond, 0);
        EXPECT_LE(port.generator.framesPerSecond, 10000);
        EXPECT_LT(port.generator.minSize, port.generator.maxSize);
        EXPECT_EQ(port.generator.count, 0u);  // no end
        EXPECT_EQ(port.generator.fcsErrorEvery, 0u);
    }
}

TEST(MachineDescription, FullDescriptionReachesEveryField) {
    const Description d = Parse(R"(
clock = "manual"
autonegotiation_delay_ms = 2.5

[[board]]
device_id = 0x0002
mac = "02:00:F1:0e:aa:00"
link_width = 1
  [[board.port]]
  wire = "generator"
  rate = 250
  min_size = 100
  max_size = 200
  count = 42
  fcs_error_every = 7
  partner_modes = 0x04
  [[board.port]]
  wire = "cable"
  to = { board = 1, port = 0 }

[[board]]
vendor_id = 0x8086
)");
    EXPECT_EQ(d.source, "test.toml");
    EXPECT_EQ(d.clock, hw::ClockMode::Manual);
    EXPECT_EQ(d.autonegotiationDelay, std::chrono::microseconds(2500));
    ASSERT_EQ(d.boards.size(), 2u);
    const auto& b0 = d.boards[0];
    EXPECT_EQ(b0.options.deviceId, 2);
    EXPECT_EQ(b0.options.vendorId, 0xF10E);
    ASSERT_TRUE(b0.options.mac.has_value());
    EXPECT_EQ(*b0.options.mac, (hw::MacAddress{0x02, 0x00, 0xF1, 0x0E, 0xAA, 0x00}));
    EXPECT_EQ(b0.options.pcieLinkWidth, 1u);
    ASSERT_EQ(b0.ports[0].kind, WireKind::Generator);
    const auto& g = b0.ports[0].generator;
    EXPECT_EQ(g.framesPerSecond, 250);
    EXPECT_EQ(g.minSize, 100u);
    EXPECT_EQ(g.maxSize, 200u);
    EXPECT_EQ(g.count, 42u);
    EXPECT_EQ(g.fcsErrorEvery, 7u);
    EXPECT_EQ(g.partnerModes, 0x04u);
    // The cable was given at one end; the other end gets it too.
    ASSERT_EQ(b0.ports[1].kind, WireKind::Cable);
    EXPECT_EQ(b0.ports[1].peerBoard, 1u);
    EXPECT_EQ(b0.ports[1].peerPort, 0u);
    const auto& b1 = d.boards[1];
    EXPECT_EQ(b1.options.vendorId, 0x8086);
    EXPECT_EQ(b1.options.deviceId, 1);
    EXPECT_FALSE(b1.options.mac.has_value());
    ASSERT_EQ(b1.ports[0].kind, WireKind::Cable);
    EXPECT_EQ(b1.ports[0].peerBoard, 0u);
    EXPECT_EQ(b1.ports[0].peerPort, 1u);
    EXPECT_EQ(b1.ports[1].kind, WireKind::None);
}

TEST(MachineDescription, GeneratorSizeMixAndStartDelay) {
    const Description d = Parse(R"(
[[board]]
  [[board.port]]
  wire = "generator"
  sizes = [64, 594, 1518]
  start_delay_ms = 2500
)");
    const hw::GeneratorOptions& g = d.boards[0].ports[0].generator;
    EXPECT_EQ(g.sizes, (std::vector<std::uint32_t>{64, 594, 1518}));
    EXPECT_EQ(g.startDelay, std::chrono::milliseconds(2500));
    EXPECT_NE(Refusal("[[board]]\n[[board.port]]\nwire = \"generator\"\nsizes = [64, 63]")
                  .find("bad.toml: board[0].port[0].sizes: each size"),
              std::string::npos);
    EXPECT_NE(Refusal("[[board]]\n[[board.port]]\nwire = \"generator\"\nsizes = []").find("board[0].port[0].sizes"),
              std::string::npos);
}

TEST(MachineDescription, CableBetweenABoardsOwnPortsNamedAtBothEnds) {
    const Description d = Parse(R"(
[[board]]
  [[board.port]]
  wire = "cable"
  to = { board = 0, port = 1 }
  [[board.port]]
  wire = "cable"
  to = { board = 0, port = 0 }
)");
    ASSERT_EQ(d.boards.size(), 1u);
    EXPECT_EQ(d.boards[0].ports[0].kind, WireKind::Cable);
    EXPECT_EQ(d.boards[0].ports[0].peerPort, 1u);
    EXPECT_EQ(d.boards[0].ports[1].peerPort, 0u);
}

TEST(MachineDescription, GeneratorWithoutSettingsIsTheDefaultMachines) {
    const Description d = Parse("[[board]]\n[[board.port]]\nwire = \"generator\"\n");
    const auto& described = d.boards[0].ports[0].generator;
    const Description defaults = machine::DefaultDescription();
    const auto& builtIn = defaults.boards[0].ports[0].generator;
    EXPECT_EQ(described.framesPerSecond, builtIn.framesPerSecond);
    EXPECT_EQ(described.minSize, builtIn.minSize);
    EXPECT_EQ(described.maxSize, builtIn.maxSize);
    EXPECT_EQ(described.partnerModes, static_cast<std::uint32_t>(hw::kModesAll));
}

TEST(MachineDescription, EmptyDescriptionIsAMachineWithoutBoards) {
    const Description d = Parse("# nothing here\n");
    EXPECT_TRUE(d.boards.empty());
    EXPECT_EQ(d.clock, hw::ClockMode::RealTime);
    const Description bare = Parse("[[board]]\n");
    ASSERT_EQ(bare.boards.size(), 1u);
    EXPECT_EQ(bare.boards[0].ports[0].kind, WireKind::None);
    EXPECT_EQ(bare.boards[0].ports[1].kind, WireKind::None);
}

struct BadCase {
    const char* text;
    const char* key;   // what the message must name after the file
    const char* what;  // and a part of its explanation
};

TEST(MachineDescription, BadDescriptionsNameTheFileAndTheKey) {
    const BadCase cases[] = {
        {"clocks = \"manual\"", "clocks", "unknown key"},
        {"clock = \"fast\"", "clock", "\"realtime\" or \"manual\""},
        {"clock = 1", "clock", "must be a string"},
        {"autonegotiation_delay_ms = -1", "autonegotiation_delay_ms", "at least 0"},
        {"autonegotiation_delay_ms = \"soon\"", "autonegotiation_delay_ms", "must be a number"},
        {"board = 3", "board", "[[board]]"},
        {"[[board]]\ndevice_id = 3", "board[0].device_id", "between 1 and 2"},
        {"[[board]]\ndevice_id = 1.0", "board[0].device_id", "must be an integer"},
        {"[[board]]\nlink_width = 3", "board[0].link_width", "1, 2 or 4"},
        {"[[board]]\nlink_width = 8", "board[0].link_width", "between 1 and 4"},
        {"[[board]]\nmac = \"02:00:f1:0e:00\"", "board[0].mac", "six hexadecimal bytes"},
        {"[[board]]\nmac = \"02:00:f1:0e:00:zz\"", "board[0].mac", "six hexadecimal bytes"},
        {"[[board]]\nmac = \"03:00:f1:0e:00:00\"", "board[0].mac", "multicast"},
        {"[[board]]\nmac = \"02:00:f1:0e:00:02\"\n[[board]]\nmac = \"02:00:f1:0e:00:03\"", "board[1].mac",
         "board[0]"},
        {"[[board]]\nspeed = 1000", "board[0].speed", "unknown key"},
        {"[[board]]\n[[board.port]]\n[[board.port]]\n[[board.port]]", "board[0].port", "two ports"},
        {"[[board]]\n[[board.port]]\nwire = \"fibre\"", "board[0].port[0].wire", "\"none\", \"cable\", \"generator\", \"iface\" or \"pcap\""},
        {"[[board]]\n[[board.port]]\nwire = \"iface\"", "board[0].port[0].interface", "needs its interface"},
        {"[[board]]\n[[board.port]]\nwire = \"iface\"\ninterface = 3", "board[0].port[0].interface", "a string"},
        {"[[board]]\n[[board.port]]\nwire = \"iface\"\ninterface = \"eth1\"\nfile = \"x\"",
         "board[0].port[0].file", "unknown key"},
        {"[[board]]\n[[board.port]]\nwire = \"pcap\"", "board[0].port[0].file", "needs its file"},
        {"[[board]]\n[[board.port]]\nwire = \"pcap\"\nfile = \"a.pcap\"\npace = \"fast\"", "board[0].port[0].pace",
         "\"recorded\" or \"line\""},
        {"[[board]]\n[[board.port]]\nwire = \"pcap\"\nfile = \"a.pcap\"\nrepeat = -1", "board[0].port[0].repeat",
         "between 0"},
        {"[[board]]\n[[board.port]]\nrate = 10", "board[0].port[0].rate", "unknown key"},
        {"[[board]]\n[[board.port]]\nwire = \"generator\"\nrate = 0", "board[0].port[0].rate", "greater than 0"},
        {"[[board]]\n[[board.port]]\nwire = \"generator\"\nrate = \"fast\"", "board[0].port[0].rate", "number"},
        {"[[board]]\n[[board.port]]\nwire = \"generator\"\nmin_size = 10", "board[0].port[0].min_size", "between 64"},
        {"[[board]]\n[[board.port]]\nwire = \"generator\"\nmin_size = 900\nmax_size = 800",
         "board[0].port[0].min_size", "max_size"},
        {"[[board]]\n[[board.port]]\nwire = \"generator\"\npartner_modes = 0x20", "board[0].port[0].partner_modes",
         "between 0 and 31"},
        {"[[board]]\n[[board.port]]\nwire = \"generator\"\ncount = -1", "board[0].port[0].count", "between 0"},
        {"[[board]]\n[[board.port]]\nwire = \"generator\"\nfcs_eror_every = 3", "board[0].port[0].fcs_eror_every",
         "unknown key"},
        {"[[board]]\n[[board.port]]\nwire = \"cable\"", "board[0].port[0].to", "far end"},
        {"[[board]]\n[[board.port]]\nwire = \"cable\"\nto = { board = 0 }", "board[0].port[0].to", "both board and port"},
        {"[[board]]\n[[board.port]]\nwire = \"cable\"\nto = { board = 0, port = 2 }", "board[0].port[0].to.port",
         "between 0 and 1"},
        {"[[board]]\n[[board.port]]\nwire = \"cable\"\nto = { board = 1, port = 0 }", "board[0].port[0].to",
         "board 1 does not exist"},
        {"[[board]]\n[[board.port]]\nwire = \"cable\"\nto = { board = 0, port = 0 }", "board[0].port[0].to",
         "itself"},
        {"[[board]]\n[[board.port]]\nwire = \"cable\"\nto = { board = 0, port = 1 }\n[[board.port]]\nwire = \"none\"",
         "board[0].port[0].to", "board[0].port[1] is wired to something else"},
        // Two cables into one port: the second finds it taken by the first.
        {"[[board]]\n[[board.port]]\nwire = \"cable\"\nto = { board = 1, port = 0 }\n"
         "[[board.port]]\nwire = \"cable\"\nto = { board = 1, port = 0 }\n[[board]]",
         "board[0].port[1].to", "board[1].port[0] is wired to something else"},
    };
    for (const BadCase& c : cases) {
        const std::string error = Refusal(c.text);
        const std::string prefix = std::string("bad.toml: ") + c.key + ": ";
        EXPECT_EQ(error.rfind(prefix, 0), 0u) << "for:\n" << c.text << "\ngot: " << error;
        EXPECT_NE(error.find(c.what), std::string::npos) << "for:\n" << c.text << "\ngot: " << error;
    }
}

TEST(MachineDescription, InterfaceAndCaptureFileWiresWithFilesBesideTheDescription) {
    Description d;
    std::string error;
    ASSERT_TRUE(machine::ParseDescription(R"(
[[board]]
  [[board.port]]
  wire = "iface"
  interface = "veth1"
  [[board.port]]
  wire = "pcap"
  file = "traces/a.pcapng"
  pace = "line"
  repeat = 0
[[board]]
  [[board.port]]
  wire = "pcap"
  file = "/srv/b.pcap"
)", "/lab/machines/lab.toml", &d, &error)) << error;
    ASSERT_EQ(d.boards.size(), 2u);
    ASSERT_EQ(d.boards[0].ports[0].kind, WireKind::Interface);
    EXPECT_EQ(d.boards[0].ports[0].interface.name, "veth1");
    ASSERT_EQ(d.boards[0].ports[1].kind, WireKind::CaptureFile);
    EXPECT_EQ(d.boards[0].ports[1].capture.file, "/lab/machines/traces/a.pcapng");
    EXPECT_EQ(d.boards[0].ports[1].capture.pace, hw::ReplayPace::Line);
    EXPECT_EQ(d.boards[0].ports[1].capture.repeat, 0u);
    ASSERT_EQ(d.boards[1].ports[0].kind, WireKind::CaptureFile);
    EXPECT_EQ(d.boards[1].ports[0].capture.file, "/srv/b.pcap");
    EXPECT_EQ(d.boards[1].ports[0].capture.pace, hw::ReplayPace::Recorded);
    EXPECT_EQ(d.boards[1].ports[0].capture.repeat, 1u);
}

TEST(MachineDescription, SyntaxErrorGivesFileLineAndColumn) {
    const std::string error = Refusal("clock = \"manual\"\n[[board]\n");
    EXPECT_EQ(error.rfind("bad.toml:2:", 0), 0u) << error;
}

TEST(MachineDescription, LoadReadsTheFileAndNamesItInErrors) {
    const char* tmp = std::getenv("FL_TEST_TMP");
    std::filesystem::path dir = tmp != nullptr ? tmp : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(dir);
    const std::filesystem::path good = dir / "good.toml";
    const std::filesystem::path bad = dir / "bad-width.toml";
    std::ofstream(good) << "clock = \"manual\"\n[[board]]\n";
    std::ofstream(bad) << "[[board]]\nlink_width = 0\n";

    Description d;
    std::string error;
    ASSERT_TRUE(machine::LoadDescription(good, &d, &error)) << error;
    EXPECT_EQ(d.source, good.string());
    EXPECT_EQ(d.boards.size(), 1u);

    EXPECT_FALSE(machine::LoadDescription(bad, &d, &error));
    EXPECT_EQ(error.rfind(bad.string() + ": board[0].link_width: ", 0), 0u) << error;

    const std::filesystem::path missing = dir / "no-such.toml";
    EXPECT_FALSE(machine::LoadDescription(missing, &d, &error));
    EXPECT_EQ(error, missing.string() + ": cannot be read");
    EXPECT_FALSE(machine::LoadDescription(dir, &d, &error));  // a folder
    EXPECT_EQ(error, dir.string() + ": cannot be read");
}

}  // namespace
