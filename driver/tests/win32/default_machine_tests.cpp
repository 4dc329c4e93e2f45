// The capture driver on the default machine (one board, both ports on
// generators), through nothing but what a client or a configuration program
// calls: the interface set, each port's address, overlapped reads of the
// generated traffic, a device disabled under an open handle, and passthru
// set in the devices' registry keys taking effect at their restart.
//
// The tests run in this order in one process; the last one changes the
// ports' settings and puts them back.
#define INITGUID
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include "public.h"

#include "client_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace fltest;

[[maybe_unused]] ::testing::Environment* const kMachine = UseMachine("default", "");

// Frames of the machine's generators: addressed to the port they feed, the
// experimental EtherType, "FLGN", a u32 stream and a u64 sequence number
// (little endian).
constexpr std::size_t kSmallestFrame = 64;
constexpr std::size_t kLargestFrame = 1518;

struct GeneratedFrame {
    ULONG stream = 0;
    ULONGLONG sequence = 0;
};

bool ParseGenerated(const Record& r, GeneratedFrame* frame) {
    if (r.data.size() < 30 || r.data[12] != 0x88 || r.data[13] != 0xB5 || std::memcmp(&r.data[14], "FLGN", 4) != 0) {
        return false;
    }
    std::memcpy(&frame->stream, &r.data[18], 4);
    std::memcpy(&frame->sequence, &r.data[22], 8);
    return true;
}

// The PCI function of a port from its interface path: Windows names a PCI
// device instance after its slot, (device << 3) | function in hexadecimal
// after the instance part's last '&' ("...#3&0f10e000&0&01#{class}").
int FunctionOf(const std::string& path) {
    const std::size_t end = path.rfind("#{");
    const std::size_t amp = path.rfind('&', end);
    if (end == std::string::npos || amp == std::string::npos || amp + 1 >= end) return -1;
    return static_cast<int>(std::stoul(path.substr(amp + 1, end - amp - 1), nullptr, 16) & 7u);
}

// Nanoseconds since 1970 now, from the system time.
ULONGLONG UnixNanosecondsNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - 116444736000000000ull) * 100;
}

// The ports' devices as a configuration program reaches them: one device
// information set of every interface of the class, present or not, whose
// devices are addressed by interface path.
class PortDevices {
public:
    PortDevices() {
        set_ = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_FL, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set_, INVALID_HANDLE_VALUE) << GetLastError();
        if (set_ == INVALID_HANDLE_VALUE) return;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_DEVINTERFACE_FL, index, &data)) break;
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailA(set_, &data, nullptr, 0, &required, nullptr);
            std::vector<char> storage(required);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof device;
            if (!SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, required, nullptr, &device)) {
                ADD_FAILURE() << "interface detail: " << GetLastError();
                continue;
            }
            devices_[detail->DevicePath] = device;
        }
    }
    ~PortDevices() {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    }
    PortDevices(const PortDevices&) = delete;
    PortDevices& operator=(const PortDevices&) = delete;

    std::size_t Count() const { return devices_.size(); }

    // DICS_DISABLE or DICS_ENABLE through the class installer.
    bool Change(const std::string& path, DWORD stateChange) {
        SP_DEVINFO_DATA* device = Find(path);
        if (device == nullptr) return false;
        SP_PROPCHANGE_PARAMS change{};
        change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        change.StateChange = stateChange;
        change.Scope = DICS_FLAG_GLOBAL;
        change.HwProfile = 0;
        if (!SetupDiSetClassInstallParamsW(set_, device, &change.ClassInstallHeader, sizeof change)) {
            ADD_FAILURE() << "class install parameters: " << GetLastError();
            return false;
        }
        if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_, device)) {
            ADD_FAILURE() << "property change " << stateChange << ": " << GetLastError();
            return false;
        }
        return true;
    }

    // A value of the device's hardware key, where its driver reads its
    // settings when the device starts.
    bool SetDword(const std::string& path, const char* name, DWORD value) {
        SP_DEVINFO_DATA* device = Find(path);
        if (device == nullptr) return false;
        HKEY key = SetupDiOpenDevRegKey(set_, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_SET_VALUE);
        if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
            ADD_FAILURE() << "hardware key: " << GetLastError();
            return false;
        }
        const LSTATUS error =
            RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
        EXPECT_EQ(error, ERROR_SUCCESS) << name;
        return error == ERROR_SUCCESS;
    }

private:
    SP_DEVINFO_DATA* Find(const std::string& path) {
        const auto it = devices_.find(path);
        if (it == devices_.end()) {
            ADD_FAILURE() << "no device for " << path;
            return nullptr;
        }
        return &it->second;
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::map<std::string, SP_DEVINFO_DATA> devices_;
};

// Reads at least `count` records on an open port and checks each as a frame
// of the port's generator: lengths, FCS kept, addressed to the port, in
// sequence. Returns the records.
std::vector<Record> ReadGenerated(HANDLE device, const Mac& mac, std::size_t count) {
    const ULONGLONG started = UnixNanosecondsNow();
    const std::vector<Record> records =
        ReadUntil(device, [count](const std::vector<Record>& got) { return got.size() >= count; });
    EXPECT_GE(records.size(), count);
    std::set<ULONG> streams;
    ULONGLONG lastSequence = 0;
    bool first = true;
    for (const Record& r : records) {
        EXPECT_GE(r.wireLength, kSmallestFrame);
        EXPECT_LE(r.wireLength, kLargestFrame);
        EXPECT_EQ(r.capturedLength, r.wireLength) << "the default snap length keeps whole frames";
        EXPECT_EQ(r.flags, 1u) << "received frames end with their FCS";
        EXPECT_EQ(r.errors, 0u);
        GeneratedFrame frame;
        if (!ParseGenerated(r, &frame)) {
            ADD_FAILURE() << "not a generated frame";
            continue;
        }
        EXPECT_EQ(0, std::memcmp(r.data.data(), mac.data(), 6)) << "a frame of the port's own generator";
        streams.insert(frame.stream);
        if (!first) {
            EXPECT_GT(frame.sequence, lastSequence) << "frames in the order they arrived";
        }
        lastSequence = frame.sequence;
        first = false;
    }
    EXPECT_EQ(streams.size(), 1u) << "one generator feeds the port";
    if (!records.empty()) {
        // Nanoseconds since 1970 of the system time, taken while reading
        // (a minute's slack either side for a loaded machine).
        const ULONGLONG minute = 60ull * 1000 * 1000 * 1000;
        EXPECT_GT(records.front().timestamp + minute, started);
        EXPECT_LT(records.back().timestamp, UnixNanosecondsNow() + minute);
    }
    return records;
}

HANDLE OpenReceiving(const std::string& path) {
    HANDLE device = Open(path, FILE_FLAG_OVERLAPPED);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << path << ": " << GetLastError();
    if (device == INVALID_HANDLE_VALUE) return device;
    EXPECT_TRUE(Do(device, IOCTL_INSTANCE_ENABLE_RECEPTION).ok);
    EXPECT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_TIMEOUT, ULONG{20}).ok);
    return device;
}

// The two ports by function number.
std::array<std::string, 2> PortPaths() {
    std::array<std::string, 2> paths;
    for (const std::string& path : InterfacePaths()) {
        const int function = FunctionOf(path);
        if (function == 0 || function == 1) paths[function] = path;
    }
    EXPECT_FALSE(paths[0].empty());
    EXPECT_FALSE(paths[1].empty());
    return paths;
}

Mac MacOf(const std::string& path) {
    HANDLE device = Open(path);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    if (device == INVALID_HANDLE_VALUE) return {};
    const Mac mac = QueryMac(device);
    CloseHandle(device);
    return mac;
}

// ------------------------------------------------------------------------

TEST(Win32DefaultMachine, TheInterfaceSetHoldsExactlyTheTwoPorts) {
    const std::vector<std::string> paths = InterfacePaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0], paths[1]);
    std::set<int> functions;
    for (const std::string& path : paths) {
        EXPECT_TRUE(path.starts_with("\\\\?\\pci#ven_f10e&dev_")) << path;
        EXPECT_TRUE(path.ends_with("#{ccc1ec52-8c28-41f5-9748-5695dcbda22a}")) << path;
        functions.insert(FunctionOf(path));
    }
    EXPECT_EQ(functions, (std::set<int>{0, 1})) << "both functions of the one board";
    // The set of every interface, present or not, holds no others.
    PortDevices all;
    EXPECT_EQ(all.Count(), 2u);
}

TEST(Win32DefaultMachine, EachPortAnswersItsAddressTheSecondFunctionWithBitZeroInverted) {
    const std::array<std::string, 2> paths = PortPaths();
    ASSERT_FALSE(paths[0].empty() || paths[1].empty());
    std::array<Mac, 2> macs{};
    std::array<Mac, 2> boardAddress{};
    for (std::size_t function = 0; function < 2; function++) {
        HANDLE device = Open(paths[function]);
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
        macs[function] = QueryMac(device);
        // The board's address is in EEPROM words 0 to 2, low byte first.
        for (USHORT word = 0; word < 3; word++) {
            FL_IOCTL_EEPROM_WORD answer{};
            const Answer a = Control(device, IOCTL_PORT_READ_EEPROM_WORD, &word, sizeof word, &answer, sizeof answer);
            ASSERT_TRUE(a.ok) << a.error;
            EXPECT_EQ(answer.Address, word);
            boardAddress[function][2 * word] = static_cast<UCHAR>(answer.Value & 0xFF);
            boardAddress[function][2 * word + 1] = static_cast<UCHAR>(answer.Value >> 8);
        }
        CloseHandle(device);
    }
    EXPECT_EQ(boardAddress[0], boardAddress[1]) << "one EEPROM for the board";
    EXPECT_EQ(macs[0], boardAddress[0]) << "the first function answers the board's address";
    Mac second = boardAddress[0];
    second[5] ^= 1;
    EXPECT_EQ(macs[1], second) << "the second function: bit 0 of the last byte inverted";
    EXPECT_EQ(macs[0][0] & 1, 0) << "an individual address";
}

TEST(Win32DefaultMachine, OverlappedReadsOnEachPortReturnItsGeneratedFrames) {
    const std::array<std::string, 2> paths = PortPaths();
    ASSERT_FALSE(paths[0].empty() || paths[1].empty());
    // Both ports receive at once, each read on its own handle.
    std::array<HANDLE, 2> devices{OpenReceiving(paths[0]), OpenReceiving(paths[1])};
    ASSERT_NE(devices[0], INVALID_HANDLE_VALUE);
    ASSERT_NE(devices[1], INVALID_HANDLE_VALUE);
    for (std::size_t function = 0; function < 2; function++) {
        const Mac mac = QueryMac(devices[function]);
        const std::vector<Record> records = ReadGenerated(devices[function], mac, 20);
        EXPECT_GE(records.size(), 20u) << "function " << function;
    }
    for (HANDLE device : devices) CloseHandle(device);
}

TEST(Win32DefaultMachine, DisablingTheDeviceEndsAPendingReadOfAnOpenHandle) {
    const std::array<std::string, 2> paths = PortPaths();
    ASSERT_FALSE(paths[0].empty() || paths[1].empty());
    const std::string& path = paths[0];
    const Mac mac = MacOf(path);
    HANDLE device = Open(path, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    // Nothing makes the read due: no threshold is reached, no timeout ends.
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_THRESHOLD, ULONG{0xFFFFFFFFu}).ok);
    ASSERT_TRUE(Set(device, IOCTL_INSTANCE_SET_READ_TIMEOUT, ULONG{3600000}).ok);
    ASSERT_TRUE(Do(device, IOCTL_INSTANCE_ENABLE_RECEPTION).ok);
    std::vector<UCHAR> buffer(kReadBufferSize);
    DWORD bytes = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(ReadFile(device, buffer.data(), kReadBufferSize, nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 50), static_cast<DWORD>(WAIT_TIMEOUT)) << "the read waits";

    PortDevices devices;
    ASSERT_TRUE(devices.Change(path, DICS_DISABLE));
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, kGenerousWaitMs), WAIT_OBJECT_0) << "the read ended";
    bytes = 7;
    EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
    CloseHandle(ov.hEvent);

    // The handle stays a handle, but nothing reaches the device through it.
    Mac stale{};
    Answer a = Control(device, IOCTL_PORT_QUERY_MAC_ADDRESS, nullptr, 0, stale.data(), 6);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(a.bytes, 0u);
    ov = OVERLAPPED{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bytes = 7;
    if (!ReadFile(device, buffer.data(), kReadBufferSize, nullptr, &ov)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            EXPECT_EQ(WaitForSingleObject(ov.hEvent, kGenerousWaitMs), WAIT_OBJECT_0);
            EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, FALSE));
            error = GetLastError();
        }
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    } else {
        ADD_FAILURE() << "a read on an ended handle succeeded";
    }
    CloseHandle(ov.hEvent);

    // Disabled: not present, and not to be opened.
    const std::vector<std::string> present = InterfacePaths();
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0], paths[1]);
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);

    // Enabled again: the port is back with its address and its traffic; the
    // old handle stays ended.
    ASSERT_TRUE(devices.Change(path, DICS_ENABLE));
    EXPECT_EQ(InterfacePaths().size(), 2u);
    a = Control(device, IOCTL_PORT_QUERY_MAC_ADDRESS, nullptr, 0, stale.data(), 6);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    CloseHandle(device);
    HANDLE again = OpenReceiving(path);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(QueryMac(again), mac);
    ReadGenerated(again, mac, 5);
    CloseHandle(again);
}

// Last: it changes the ports' settings (and puts them back at the end).
TEST(Win32DefaultMachine, PassthruSetInTheRegistryRefusesTransmissionOnceTheDevicesRestart) {
    const std::array<std::string, 2> paths = PortPaths();
    ASSERT_FALSE(paths[0].empty() || paths[1].empty());
    const std::array<Mac, 2> macs{MacOf(paths[0]), MacOf(paths[1])};
    PortDevices devices;
    ASSERT_EQ(devices.Count(), 2u);

    // Restarted as a configuration program does it: disabled, then enabled.
    const auto restart = [&] {
        for (const std::string& path : paths) EXPECT_TRUE(devices.Change(path, DICS_DISABLE));
        for (const std::string& path : paths) EXPECT_TRUE(devices.Change(path, DICS_ENABLE));
    };
    // However the test ends, the ports go back to their default.
    struct Restore {
        std::function<void()> undo;
        ~Restore() {
            if (undo) undo();
        }
    } restore{[&] {
        for (const std::string& path : paths) EXPECT_TRUE(devices.SetDword(path, "PassthruEnabled", 0));
        restart();
    }};

    // The driver reads its settings when a port starts: written only, the
    // value changes nothing yet.
    for (const std::string& path : paths) ASSERT_TRUE(devices.SetDword(path, "PassthruEnabled", 1));
    HANDLE before = Open(paths[0]);
    ASSERT_NE(before, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Do(before, IOCTL_INSTANCE_ENABLE_TRANSMISSION).ok);
    restart();
    EXPECT_FALSE(Do(before, IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED).ok) << "the restart ended the handle";
    CloseHandle(before);

    for (std::size_t function = 0; function < 2; function++) {
        HANDLE device = OpenReceiving(paths[function]);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        const Answer a = Do(device, IOCTL_INSTANCE_ENABLE_TRANSMISSION);
        EXPECT_FALSE(a.ok) << "function " << function;
        EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        EXPECT_EQ(Query<ULONG>(device, IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED), 0u);
        std::array<UCHAR, 32> record{};
        DWORD written = 7;
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(WriteFile(device, record.data(), static_cast<DWORD>(record.size()), &written, &ov));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "no writes without transmission";
        CloseHandle(ov.hEvent);
        // Reception is the port's as before.
        ReadGenerated(device, macs[function], 5);
        CloseHandle(device);
    }

    // Back to the default: both ports transmit again after a restart.
    std::exchange(restore.undo, nullptr)();
    for (const std::string& path : paths) {
        HANDLE device = Open(path);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(Do(device, IOCTL_INSTANCE_ENABLE_TRANSMISSION).ok);
        CloseHandle(device);
    }
}

}  // namespace
