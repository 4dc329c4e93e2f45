// The capture driver end to end, through the Win32 calls a client program
// makes: the interface set, device paths, control codes with their byte
// counts and errors, overlapped reads of generated traffic, and frames
// written on one board and read back on the board cabled to it.
#define INITGUID
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include "public.h"

#include "client_support.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace fltest;

constexpr Mac kBoard0Port0 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x10};
constexpr Mac kBoard0Port1 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x11};
constexpr Mac kBoard1Port0 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x20};
constexpr Mac kBoard1Port1 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x21};

// Board 0: port 0 hears a generator, port 1 is cabled to board 1's port 0.
// Board 1's port 1 has no wire.
[[maybe_unused]] ::testing::Environment* const kMachine = UseMachine("win32e2e", R"(clock = "realtime"
autonegotiation_delay_ms = 50
[[board]]
mac = "02:00:f1:0e:00:10"
[[board.port]]
wire = "generator"
rate = 500
min_size = 64
max_size = 600
[[board.port]]
wire = "cable"
to = { board = 1, port = 0 }
[[board]]
mac = "02:00:f1:0e:00:20"
[[board.port]]
[[board.port]]
wire = "none"
)");

// The port paths by MAC address, which says which board and function each
// is. Taken once, at the program's first use.
const std::map<Mac, std::string>& PortsByMac() {
    static const std::map<Mac, std::string> ports = [] {
        std::map<Mac, std::string> found;
        for (const std::string& path : InterfacePaths()) {
            HANDLE device = Open(path);
            if (device == INVALID_HANDLE_VALUE) {
                ADD_FAILURE() << path << ": " << GetLastError();
                continue;
            }
            found[QueryMac(device)] = path;
            CloseHandle(device);
        }
        return found;
    }();
    return ports;
}

HANDLE OpenPort(const Mac& mac, DWORD flags = 0) {
    const auto& ports = PortsByMac();
    const auto it = ports.find(mac);
    if (it == ports.end()) {
        ADD_FAILURE() << "no port with MAC ending " << static_cast<int>(mac[5]);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE device = Open(it->second, flags);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << it->second << ": " << GetLastError();
    return device;
}

// A frame no generator makes: broadcast destination, board 0 port 1 as the
// source, a local experimental EtherType and a numbered pattern.
std::vector<UCHAR> MarkedFrame(std::size_t size, UCHAR number) {
    std::vector<UCHAR> frame(size);
    for (std::size_t i = 0; i < 6; i++) frame[i] = 0xFF;
    std::memcpy(&frame[6], kBoard0Port1.data(), 6);
    frame[12] = 0x88;
    frame[13] = 0xB5;
    for (std::size_t i = 14; i < size; i++) frame[i] = static_cast<UCHAR>(number + i);
    return frame;
}

// Appends one transmit record: FCS left to the controller (flags 0).
void AppendRecord(std::vector<UCHAR>* records, const std::vector<UCHAR>& frame) {
    const std::size_t at = records->size();
    records->resize(at + 24 + ((frame.size() + 7) & ~std::size_t{7}), 0);
    const USHORT wire = static_cast<USHORT>(frame.size());
    std::memcpy(&(*records)[at + 12], &wire, 2);
    std::memcpy(&(*records)[at + 24], frame.data(), frame.size());
}

// ------------------------------------------------------------------------

TEST(Win32EndToEnd, TheInterfaceSetListsEveryPortWithItsDevicePath) {
    const std::vector<std::string> paths = InterfacePaths();
    ASSERT_EQ(paths.size(), 4u);
    for (const std::string& path : paths) {
        EXPECT_TRUE(path.starts_with("\\\\?\\")) << path;
        EXPECT_TRUE(path.ends_with("#{ccc1ec52-8c28-41f5-9748-5695dcbda22a}")) << path;
    }
    for (std::size_t i = 0; i < paths.size(); i++) {
        for (std::size_t j = i + 1; j < paths.size(); j++) EXPECT_NE(paths[i], paths[j]);
    }

    // A path nobody published opens nothing.
    HANDLE none = Open("\\\\?\\pci#ven_0000&dev_0000#0#{ccc1ec52-8c28-41f5-9748-5695dcbda22a}");
    EXPECT_EQ(none, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32EndToEnd, EachPortReportsItsMacTheSecondFunctionWithTheLastBitInverted) {
    const auto& ports = PortsByMac();
    ASSERT_EQ(ports.size(), 4u) << "four distinct MAC addresses";
    EXPECT_EQ(ports.count(kBoard0Port0), 1u);
    EXPECT_EQ(ports.count(kBoard0Port1), 1u);
    EXPECT_EQ(ports.count(kBoard1Port0), 1u);
    EXPECT_EQ(ports.count(kBoard1Port1), 1u);

    HANDLE device = OpenPort(kBoard1Port1);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    std::array<UCHAR, 8> big{};
    big.fill(0xEE);
    Answer a = Control(device, IOCTL_PORT_QUERY_MAC_ADDRESS, nullptr, 0, big.data(), 8);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.bytes, 6u);
    EXPECT_EQ(0, std::memcmp(big.data(), kBoard1Port1.data(), 6));
    EXPECT_EQ(big[6], 0xEE) << "nothing written past the address";
    a = Control(device, IOCTL_PORT_QUERY_MAC_ADDRESS, nullptr, 0, big.data(), 5);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(a.bytes, 0u);
    CloseHandle(device);
}

TEST(Win32EndToEnd, OverlappedReadsReturnGeneratedFramesAsRecords) {
    HANDLE device = OpenPort(kBoard0Port0, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    // Reading before reception is enabled is refused at once.
    std::vector<UCHAR> buffer(1024);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReadFile(device, buffer.data(), 1024, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(ov.hEvent);

    ASSERT_TRUE(Control(device, IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0).ok);
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_TIMEOUT, ULONG{20}).ok);
    EXPECT_EQ(Query<ULONG>(device, IOCTL_INSTANCE_QUERY_READ_TIMEOUT), 20u);

    const std::vector<Record> records =
        ReadUntil(device, [](const std::vector<Record>& got) { return got.size() >= 20; });
    ASSERT_GE(records.size(), 20u);
    for (const Record& r : records) {
        EXPECT_GE(r.wireLength, 64u);
        EXPECT_LE(r.wireLength, 600u);
        EXPECT_EQ(r.capturedLength, r.wireLength) << "the default snap length keeps whole frames";
        EXPECT_EQ(r.flags, 1u) << "received frames end with their FCS";
        EXPECT_EQ(r.errors, 0u);
    }

    // The harvest time is readable once reception is on, and not behind the
    // frames already read.
    const ULONGLONG harvest = Query<ULONGLONG>(device, IOCTL_INSTANCE_QUERY_HARVEST_TIME);
    EXPECT_GE(harvest, records.back().timestamp);

    // A snap length cuts what is stored, not the wire length.
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_SNAPLEN, USHORT{40}).ok);
    const std::vector<Record> cut = ReadUntil(device, [](const std::vector<Record>& got) {
        return got.size() >= 5 && got.back().capturedLength == 40;
    });
    ASSERT_FALSE(cut.empty());
    EXPECT_EQ(cut.back().capturedLength, 40u);
    EXPECT_GE(cut.back().wireLength, 64u);

    // The instance counters follow the port's, which the port query brings
    // up to date with the controller; every frame read was counted.
    std::array<ULONGLONG, FL_INSTANCE_COUNTER_COUNT> instance{};
    std::array<ULONGLONG, FL_PORT_STAT_COUNT> port{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        ASSERT_TRUE(Control(device, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, port.data(), 128).ok);
        const Answer a = Control(device, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0, instance.data(), 56);
        ASSERT_TRUE(a.ok);
        EXPECT_EQ(a.bytes, 56u);
    } while (instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED] < records.size() + cut.size() &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_GE(instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], records.size() + cut.size());
    EXPECT_GE(port[FL_PORT_STAT_PACKETS_RECEIVED], instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED]);
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_RECEIVE_ERRORS], 0u);
    CloseHandle(device);
}

TEST(Win32EndToEnd, FramesWrittenOnOneBoardAreReadOnTheBoardCabledToIt) {
    HANDLE receiver = OpenPort(kBoard1Port0, FILE_FLAG_OVERLAPPED);
    HANDLE sender = OpenPort(kBoard0Port1);
    ASSERT_NE(receiver, INVALID_HANDLE_VALUE);
    ASSERT_NE(sender, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Control(receiver, IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0).ok);
    ASSERT_TRUE(Set(receiver, IOCTL_INSTANCE_SET_READ_TIMEOUT, ULONG{20}).ok);
    ASSERT_TRUE(WaitLinkUp(sender)) << "the cable's link never came up";
    ASSERT_TRUE(WaitLinkUp(receiver));

    // Writing needs transmission enabled.
    std::vector<UCHAR> records;
    const std::vector<std::vector<UCHAR>> frames = {MarkedFrame(60, 1), MarkedFrame(101, 2), MarkedFrame(1514, 3)};
    for (const auto& frame : frames) AppendRecord(&records, frame);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(sender, records.data(), static_cast<DWORD>(records.size()), &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    ASSERT_TRUE(Control(sender, IOCTL_INSTANCE_ENABLE_TRANSMISSION, nullptr, 0, nullptr, 0).ok);
    EXPECT_EQ(Query<ULONG>(sender, IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED), 1u);

    // Whole records are taken as slots allow; the rest is sent again.
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sent < records.size() && std::chrono::steady_clock::now() < deadline) {
        written = 0;
        ASSERT_TRUE(WriteFile(sender, records.data() + sent, static_cast<DWORD>(records.size() - sent), &written,
                              nullptr))
            << GetLastError();
        EXPECT_EQ(written % 8, 0u) << "whole records only";
        sent += written;
        if (written == 0) Sleep(10);
    }
    ASSERT_EQ(sent, records.size());

    const auto marked = [](const Record& r) { return r.data.size() >= 14 && r.data[12] == 0x88 && r.data[13] == 0xB5; };
    const std::vector<Record> got = ReadUntil(receiver, [&](const std::vector<Record>& so_far) {
        std::size_t n = 0;
        for (const Record& r : so_far) n += marked(r) ? 1 : 0;
        return n >= frames.size();
    });
    std::vector<const Record*> ours;
    for (const Record& r : got) {
        if (marked(r)) ours.push_back(&r);
    }
    ASSERT_EQ(ours.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); i++) {
        const Record& r = *ours[i];
        EXPECT_EQ(r.wireLength, frames[i].size() + 4) << "the controller appended the FCS";
        EXPECT_EQ(r.capturedLength, r.wireLength);
        EXPECT_EQ(r.flags, 1u);
        EXPECT_EQ(r.errors, 0u);
        ASSERT_GE(r.data.size(), frames[i].size());
        EXPECT_EQ(0, std::memcmp(r.data.data(), frames[i].data(), frames[i].size())) << "frame " << i;
    }

    std::array<ULONGLONG, FL_INSTANCE_COUNTER_COUNT> instance{};
    ASSERT_TRUE(Control(sender, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0, instance.data(), 56).ok);
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_PACKETS_SENT], frames.size());
    EXPECT_EQ(instance[FL_INSTANCE_COUNTER_OCTETS_SENT], 60u + 101u + 1514u + 3u * 4u);
    CloseHandle(sender);
    CloseHandle(receiver);
}

TEST(Win32EndToEnd, ControlCodesAnswerWithTheirByteCountsAndErrors) {
    HANDLE device = OpenPort(kBoard1Port1);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    // Codes with no request behind them, and instance state not yet there.
    for (DWORD function : {0x802u, 0x803u, 0x80Cu, 0x80Du, 0x82Au, 0xBBAu}) {
        const Answer a = Control(device, FL_IOCTL(function), nullptr, 0, nullptr, 0);
        EXPECT_FALSE(a.ok) << std::hex << function;
        EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << std::hex << function;
    }
    ULONGLONG harvest = 0;
    Answer a = Control(device, IOCTL_INSTANCE_QUERY_HARVEST_TIME, nullptr, 0, &harvest, 8);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(Query<ULONG>(device, IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED), 0u);

    // Reception once per handle; a buffer below the read header is refused.
    ASSERT_TRUE(Control(device, IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0).ok);
    a = Control(device, IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(Query<ULONG>(device, IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED), 1u);
    EXPECT_TRUE(Control(device, IOCTL_INSTANCE_QUERY_HARVEST_TIME, nullptr, 0, &harvest, 8).ok);
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_TIMEOUT, ULONG{20}).ok);
    std::array<UCHAR, 15> tiny{};
    DWORD bytes = 7;
    EXPECT_FALSE(ReadFile(device, tiny.data(), 15, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bytes, 0u);

    // Instance settings: out-of-range values refused, the others read back.
    a = Set(device, IOCTL_INSTANCE_SET_READ_TIMEOUT, ULONG{0});
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Query<ULONG>(device, IOCTL_INSTANCE_QUERY_READ_TIMEOUT), 20u);
    a = Set(device, IOCTL_INSTANCE_SET_ERROR_FILTER, ULONG{8});
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Set(device, IOCTL_INSTANCE_SET_ERROR_FILTER, ULONG{5}).ok);
    EXPECT_EQ(Query<ULONG>(device, IOCTL_INSTANCE_QUERY_ERROR_FILTER), 5u);
    EXPECT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_THRESHOLD, ULONG{0xFFFFFFFFu}).ok);
    EXPECT_EQ(Query<ULONG>(device, IOCTL_INSTANCE_QUERY_READ_THRESHOLD), 0xFFFFFFFFu);
    EXPECT_TRUE(Set(device, IOCTL_INSTANCE_SET_SNAPLEN, USHORT{128}).ok);
    EXPECT_EQ(Query<USHORT>(device, IOCTL_INSTANCE_QUERY_SNAPLEN), 128u);
    a = Control(device, IOCTL_INSTANCE_SET_READ_TIMEOUT, &bytes, 3, nullptr, 0);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // The receive event registers once; a second is refused.
    HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(Set(device, IOCTL_INSTANCE_SET_RECEIVE_EVENT, first).ok);
    a = Set(device, IOCTL_INSTANCE_SET_RECEIVE_EVENT, second);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // Port counters: the size answer in 4 bytes, too small below that.
    std::array<ULONGLONG, FL_PORT_STAT_COUNT> counters{};
    a = Control(device, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, counters.data(), 8);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(a.bytes, 4u);
    ULONG size = 0;
    std::memcpy(&size, counters.data(), 4);
    EXPECT_EQ(size, 128u);
    a = Control(device, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, counters.data(), 2);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    a = Control(device, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, counters.data(), 128);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.bytes, 128u);
    EXPECT_EQ(counters[FL_PORT_STAT_RESERVED], 0u);
    EXPECT_EQ(counters[FL_PORT_STAT_PACKETS_RECEIVED], 0u) << "no wire, no frames";
    std::array<ULONGLONG, FL_INSTANCE_COUNTER_COUNT> instance{};
    a = Control(device, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0, instance.data(), 55);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(a.bytes, 4u);
    std::memcpy(&size, instance.data(), 4);
    EXPECT_EQ(size, 56u);

    // No wire: the link is down and says so with zeros.
    const auto link = Query<FL_IOCTL_LINK_STATUS>(device, IOCTL_PORT_QUERY_LINK_STATUS);
    EXPECT_EQ(link.LinkUp, 0u);
    EXPECT_EQ(link.Speed, 0u);
    EXPECT_EQ(link.Duplex, 0u);

    // Autonegotiation records: only enabled ones whose two masks agree.
    EXPECT_TRUE(Set(device, IOCTL_PORT_SET_AUTONEGOTIATION, FL_IOCTL_AUTONEGOTIATION{5, 5, 1, {}}).ok);
    for (const FL_IOCTL_AUTONEGOTIATION& bad : {FL_IOCTL_AUTONEGOTIATION{5, 4, 1, {}},
                                                FL_IOCTL_AUTONEGOTIATION{32, 32, 1, {}},
                                                FL_IOCTL_AUTONEGOTIATION{5, 5, 0, {}}}) {
        a = Set(device, IOCTL_PORT_SET_AUTONEGOTIATION, bad);
        EXPECT_FALSE(a.ok) << bad.Modes << "/" << bad.SupportedModes << "/" << int(bad.Enabled);
        EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    const auto autoneg = Query<FL_IOCTL_AUTONEGOTIATION>(device, IOCTL_PORT_QUERY_AUTONEGOTIATION);
    EXPECT_EQ(autoneg.Modes, 5u) << "refused records change nothing";
    EXPECT_EQ(autoneg.SupportedModes, FL_MODES_ALL);
    EXPECT_EQ(autoneg.Enabled, 1u);
    EXPECT_TRUE(Set(device, IOCTL_PORT_SET_AUTONEGOTIATION, FL_IOCTL_AUTONEGOTIATION{31, 31, 1, {}}).ok);

    // PHY registers: allowed ones answer with value and number.
    FL_IOCTL_PHY_READ phy{0xFFFF, 1};
    a = Control(device, IOCTL_PORT_READ_PHY_REGISTER, &phy, 4, &phy, 4);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.bytes, 4u);
    EXPECT_EQ(phy.Register, 1u);
    phy = {0, 2};
    a = Control(device, IOCTL_PORT_READ_PHY_REGISTER, &phy, 4, &phy, 4);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    a = Set(device, IOCTL_PORT_WRITE_PHY_REGISTER, FL_IOCTL_PHY_WRITE{0, 0xFFFF, 1});
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // LEDs read back what was set; codes above 3 are refused.
    EXPECT_TRUE(Set(device, IOCTL_PORT_SET_LED2, ULONG{2}).ok);
    EXPECT_EQ(Query<LONG>(device, IOCTL_PORT_QUERY_LED2), 2);
    EXPECT_TRUE(Set(device, IOCTL_PORT_SET_LED2, ULONG{3}).ok);
    EXPECT_EQ(Query<LONG>(device, IOCTL_PORT_QUERY_LED2), 3);
    a = Set(device, IOCTL_PORT_SET_LED0, ULONG{4});
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // The port's ring geometry is readable and nonzero.
    for (DWORD code : {IOCTL_PORT_QUERY_RX_SLOT_SIZE, IOCTL_PORT_QUERY_TX_SLOT_SIZE, IOCTL_PORT_QUERY_RX_SLOTS,
                       IOCTL_PORT_QUERY_TX_SLOTS, IOCTL_PORT_QUERY_RX_DESCRIPTORS, IOCTL_PORT_QUERY_TX_DESCRIPTORS}) {
        EXPECT_GT(Query<ULONG>(device, code), 0u) << std::hex << code;
    }

    // An EEPROM word reads back with its address.
    const USHORT address = 3;
    FL_IOCTL_EEPROM_WORD word{};
    a = Control(device, IOCTL_PORT_READ_EEPROM_WORD, &address, 2, &word, 4);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.bytes, 4u);
    EXPECT_EQ(word.Address, address);

    // Transmission once per handle.
    EXPECT_TRUE(Control(device, IOCTL_INSTANCE_ENABLE_TRANSMISSION, nullptr, 0, nullptr, 0).ok);
    a = Control(device, IOCTL_INSTANCE_ENABLE_TRANSMISSION, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // A buffer ending inside a record is taken up to its last whole record.
    std::vector<UCHAR> records;
    AppendRecord(&records, MarkedFrame(60, 7));
    const DWORD whole = static_cast<DWORD>(records.size());
    AppendRecord(&records, MarkedFrame(60, 8));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(device, records.data(), static_cast<DWORD>(records.size()) - 8, &written, nullptr))
        << GetLastError();
    EXPECT_EQ(written, whole);

    CloseHandle(device);
    CloseHandle(first);
    CloseHandle(second);
}

TEST(Win32EndToEnd, ReaderEntriesRunOutOnTheSixteenthHandle) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < 16; i++) {
        HANDLE device = OpenPort(kBoard0Port1);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        handles.push_back(device);
    }
    for (int i = 0; i < 15; i++) {
        EXPECT_TRUE(Control(handles[i], IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0).ok) << i;
    }
    const Answer a = Control(handles[15], IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(Query<ULONG>(handles[15], IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED), 0u);

    // A closed handle gives its entry back.
    CloseHandle(handles[0]);
    EXPECT_TRUE(Control(handles[15], IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0).ok);
    for (int i = 1; i < 16; i++) CloseHandle(handles[i]);
}

TEST(Win32EndToEnd, ALinkChangeCompletesAPendingWaitWithTheNewStatus) {
    // The link is up before the waiting handle opens, so that handle starts
    // with nothing to report.
    HANDLE first = OpenPort(kBoard0Port1);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WaitLinkUp(first));
    CloseHandle(first);
    HANDLE device = OpenPort(kBoard0Port1, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    // The wait stays pending while nothing changes.
    FL_IOCTL_LINK_STATUS status{};
    status.LinkUp = 0xEE;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_PORT_WAIT_LINK_CHANGE, nullptr, 0, &status, sizeof status, nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Advertising nothing takes the cable's link down.
    EXPECT_TRUE(Set(device, IOCTL_PORT_SET_AUTONEGOTIATION, FL_IOCTL_AUTONEGOTIATION{0, 0, 1, {}}).ok);
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, kGenerousWaitMs), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(device, &ov, &bytes, FALSE)) << GetLastError();
    EXPECT_EQ(bytes, sizeof status);
    EXPECT_EQ(status.LinkUp, 0u);
    EXPECT_EQ(status.Speed, 0u);
    EXPECT_EQ(status.Duplex, 0u);
    CloseHandle(ov.hEvent);

    // Every mode again brings it back at gigabit.
    EXPECT_TRUE(Set(device, IOCTL_PORT_SET_AUTONEGOTIATION, FL_IOCTL_AUTONEGOTIATION{31, 31, 1, {}}).ok);
    ASSERT_TRUE(WaitLinkUp(device));
    const auto link = Query<FL_IOCTL_LINK_STATUS>(device, IOCTL_PORT_QUERY_LINK_STATUS);
    EXPECT_EQ(link.Speed, 1000u);
    EXPECT_EQ(link.Duplex, FL_LINK_DUPLEX_FULL);
    CloseHandle(device);
}

TEST(Win32EndToEnd, RegisteredEventsAreSetWhenFramesWaitAndTransmitSlotsAreFree) {
    HANDLE device = OpenPort(kBoard0Port0);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    HANDLE received = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE transmit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_RECEIVE_EVENT, received).ok);
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_TRANSMIT_EVENT, transmit).ok);
    const Answer again = Set(device, IOCTL_INSTANCE_SET_TRANSMIT_EVENT, received);
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // More waiting record bytes than the threshold set the receive event,
    // with no read outstanding. The instance looks at the waiting bytes only
    // while its read timeout has not run out, so the timeout is long here.
    Sleep(50);
    EXPECT_EQ(WaitForSingleObject(received, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not receiving yet";
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_TIMEOUT, ULONG{600000}).ok);
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_THRESHOLD, ULONG{200}).ok);
    ASSERT_TRUE(Control(device, IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0, nullptr, 0).ok);
    EXPECT_EQ(WaitForSingleObject(received, kGenerousWaitMs), WAIT_OBJECT_0);

    // Nothing written: every transmit slot is free.
    ASSERT_TRUE(Control(device, IOCTL_INSTANCE_ENABLE_TRANSMISSION, nullptr, 0, nullptr, 0).ok);
    EXPECT_EQ(WaitForSingleObject(transmit, kGenerousWaitMs), WAIT_OBJECT_0);

    CloseHandle(device);
    CloseHandle(received);
    CloseHandle(transmit);
}

}  // namespace
