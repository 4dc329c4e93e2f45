// The capture driver end to end, through the Win32 calls a client program
// makes: the interface set, device paths, control codes with their byte
// counts and errors, overlapped reads of generated traffic, and frames
// written on one board and read back on the board cabled to it.
#define INITGUID
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include "public.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using Mac = std::array<UCHAR, 6>;

constexpr Mac kBoard0Port0 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x10};
constexpr Mac kBoard0Port1 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x11};
constexpr Mac kBoard1Port0 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x20};
constexpr Mac kBoard1Port1 = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x21};

constexpr DWORD kGenerousWaitMs = 10000;
constexpr DWORD kReadBufferSize = 256 * 1024;

// Board 0: port 0 hears a generator, port 1 is cabled to board 1's port 0.
// Board 1's port 1 has no wire. One description for the whole program: the
// machine boots once, at the first device access.
void UseMachine() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    std::filesystem::path folder;
    if (const char* tmp = std::getenv("FL_TEST_TMP")) {
        folder = tmp;
    } else {
        folder = std::filesystem::temp_directory_path() / ("fl_win32_e2e-" + std::to_string(getpid()));
    }
    folder /= "win32e2e";
    std::filesystem::create_directories(folder);
    // A fresh hive: the driver is installed into it and its keys start empty.
    for (const char* name : {"registry.db", "registry.db-wal", "registry.db-shm"}) {
        std::filesystem::remove(folder / name);
    }
    std::ofstream(folder / "machine.toml") << "clock = \"realtime\"\n"
                                              "autonegotiation_delay_ms = 50\n"
                                              "[[board]]\n"
                                              "mac = \"02:00:f1:0e:00:10\"\n"
                                              "[[board.port]]\n"
                                              "wire = \"generator\"\n"
                                              "rate = 500\n"
                                              "min_size = 64\n"
                                              "max_size = 600\n"
                                              "[[board.port]]\n"
                                              "wire = \"cable\"\n"
                                              "to = { board = 1, port = 0 }\n"
                                              "[[board]]\n"
                                              "mac = \"02:00:f1:0e:00:20\"\n"
                                              "[[board.port]]\n"
                                              "[[board.port]]\n"
                                              "wire = \"none\"\n";
    setenv("FL_MACHINE", (folder / "machine.toml").c_str(), 1);
    setenv("FL_REGISTRY", (folder / "registry.db").c_str(), 1);
    if (std::getenv("FL_DRIVER_DIR") == nullptr) setenv("FL_DRIVER_DIR", FL_DRIVER_DIR_BUILT, 1);
}

// Every interface path of the driver's class, through the usual size probe.
std::vector<std::string> InterfacePaths() {
    UseMachine();
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_FL, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    if (set == INVALID_HANDLE_VALUE) return paths;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_FL, index, &data)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<char> storage(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
            ADD_FAILURE() << "interface detail: " << GetLastError();
            continue;
        }
        paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// A control request whose result is its bytes and last error.
struct Answer {
    BOOL ok = FALSE;
    DWORD bytes = 0;
    DWORD error = ERROR_SUCCESS;
};

// Every request carries an OVERLAPPED, as handles opened for overlapped I/O
// require; on the others it is served synchronously.
Answer Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    Answer a;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetLastError(ERROR_SUCCESS);
    a.ok = DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, &a.bytes, &ov);
    a.error = a.ok ? ERROR_SUCCESS : GetLastError();
    if (!a.ok && a.error == ERROR_IO_PENDING) {
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, kGenerousWaitMs), WAIT_OBJECT_0) << std::hex << "code 0x" << code;
        a.ok = GetOverlappedResult(device, &ov, &a.bytes, TRUE);
        a.error = a.ok ? ERROR_SUCCESS : GetLastError();
    }
    CloseHandle(ov.hEvent);
    return a;
}

template <typename T>
Answer Set(HANDLE device, DWORD code, const T& value) {
    return Control(device, code, &value, sizeof value, nullptr, 0);
}

template <typename T>
T Query(HANDLE device, DWORD code) {
    T value{};
    const Answer a = Control(device, code, nullptr, 0, &value, sizeof value);
    EXPECT_TRUE(a.ok) << std::hex << "code 0x" << code << " error " << std::dec << a.error;
    EXPECT_EQ(a.bytes, sizeof value) << std::hex << "code 0x" << code;
    return value;
}

Mac QueryMac(HANDLE device) {
    return Query<Mac>(device, IOCTL_PORT_QUERY_MAC_ADDRESS);
}

HANDLE Open(const std::string& path, DWORD flags = 0) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// The port paths by MAC address, which says which board and function each is.
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

// One packet record as read: header fields and the packet bytes.
struct Record {
    ULONGLONG timestamp = 0;
    ULONG flags = 0;
    USHORT wireLength = 0;
    USHORT capturedLength = 0;
    ULONG errors = 0;
    std::vector<UCHAR> data;
};

// Walks a completed read: the read header, then whole records filling the
// returned byte count exactly.
std::vector<Record> ParseRead(const std::vector<UCHAR>& buffer, DWORD bytes, FL_READ_HEADER* header) {
    std::vector<Record> records;
    EXPECT_GE(bytes, sizeof(FL_READ_HEADER));
    if (bytes < sizeof(FL_READ_HEADER)) return records;
    std::memcpy(header, buffer.data(), sizeof *header);
    std::size_t offset = sizeof(FL_READ_HEADER);
    while (offset < bytes) {
        if (offset + 24 > bytes) {
            ADD_FAILURE() << "record header cut at " << offset << " of " << bytes;
            break;
        }
        Record r;
        std::memcpy(&r.timestamp, &buffer[offset], 8);
        std::memcpy(&r.flags, &buffer[offset + 8], 4);
        std::memcpy(&r.wireLength, &buffer[offset + 12], 2);
        std::memcpy(&r.capturedLength, &buffer[offset + 14], 2);
        std::memcpy(&r.errors, &buffer[offset + 16], 4);
        const std::size_t size = 24 + ((r.capturedLength + 7u) & ~std::size_t{7});
        if (offset + size > bytes) {
            ADD_FAILURE() << "record of " << size << " bytes runs past " << bytes;
            break;
        }
        r.data.assign(buffer.begin() + static_cast<std::ptrdiff_t>(offset + 24),
                      buffer.begin() + static_cast<std::ptrdiff_t>(offset + 24 + r.capturedLength));
        records.push_back(std::move(r));
        offset += size;
    }
    EXPECT_EQ(offset, bytes) << "records fill the read exactly";
    if (!records.empty()) {
        EXPECT_EQ(header->LastTimestamp, records.back().timestamp);
        EXPECT_GE(header->HarvestTime, header->LastTimestamp);
    } else {
        EXPECT_EQ(header->LastTimestamp, 0u);
    }
    return records;
}

// One overlapped read, waited for generously. Returns false when it did not
// complete in time (it is then cancelled and waited for).
bool OverlappedRead(HANDLE device, std::vector<UCHAR>* buffer, DWORD* bytes) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(ov.hEvent, nullptr);
    *bytes = 0;
    bool done = false;
    if (ReadFile(device, buffer->data(), static_cast<DWORD>(buffer->size()), nullptr, &ov)) {
        done = GetOverlappedResult(device, &ov, bytes, FALSE) != FALSE;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, kGenerousWaitMs) == WAIT_OBJECT_0) {
            done = GetOverlappedResult(device, &ov, bytes, FALSE) != FALSE;
            EXPECT_TRUE(done) << GetLastError();
        } else {
            ADD_FAILURE() << "read not completed within " << kGenerousWaitMs << " ms";
            CancelIo(device);
            GetOverlappedResult(device, &ov, bytes, TRUE);
        }
    } else {
        ADD_FAILURE() << "ReadFile: " << GetLastError();
    }
    CloseHandle(ov.hEvent);
    return done;
}

// Reads until `enough` says so or the deadline passes; checks every read's
// layout and the order of timestamps across reads.
std::vector<Record> ReadUntil(HANDLE device, const std::function<bool(const std::vector<Record>&)>& enough) {
    std::vector<Record> all;
    std::vector<UCHAR> buffer(kReadBufferSize);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    ULONGLONG previous = 0;
    while (!enough(all) && std::chrono::steady_clock::now() < deadline) {
        DWORD bytes = 0;
        if (!OverlappedRead(device, &buffer, &bytes)) break;
        FL_READ_HEADER header{};
        for (Record& r : ParseRead(buffer, bytes, &header)) {
            EXPECT_GE(r.timestamp, previous) << "timestamps never go back";
            previous = r.timestamp;
            all.push_back(std::move(r));
        }
    }
    return all;
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

bool WaitLinkUp(HANDLE device) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Query<FL_IOCTL_LINK_STATUS>(device, IOCTL_PORT_QUERY_LINK_STATUS).LinkUp) return true;
        Sleep(20);
    }
    return false;
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
    std::array<ULONGLONG, FL_PORT_COUNTER_COUNT> port{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        ASSERT_TRUE(Control(device, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, port.data(), 128).ok);
        const Answer a = Control(device, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0, instance.data(), 56);
        ASSERT_TRUE(a.ok);
        EXPECT_EQ(a.bytes, 56u);
    } while (instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED] < records.size() + cut.size() &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_GE(instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED], records.size() + cut.size());
    EXPECT_GE(port[FL_PORT_COUNTER_PACKETS_RECEIVED], instance[FL_INSTANCE_COUNTER_PACKETS_RECEIVED]);
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
    std::array<ULONGLONG, FL_PORT_COUNTER_COUNT> counters{};
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
    EXPECT_EQ(counters[FL_PORT_COUNTER_RESERVED], 0u);
    EXPECT_EQ(counters[FL_PORT_COUNTER_PACKETS_RECEIVED], 0u) << "no wire, no frames";
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
