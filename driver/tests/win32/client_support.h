// What the Win32 test programs of the driver share, written as a client
// program of the driver would: the interface set through SetupAPI, control
// requests and overlapped reads with their results and last errors, and the
// packet records of a completed read.
//
// Include after <windows.h>, <setupapi.h>, <winioctl.h> and public.h, in a
// program that defines the interface GUID's storage (INITGUID).
#pragma once

#include <fl_test_machine.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fltest {

using Mac = std::array<UCHAR, 6>;

constexpr DWORD kGenerousWaitMs = 10000;
constexpr DWORD kReadBufferSize = 256 * 1024;
constexpr std::size_t kRecordHeaderSize = 24;

// The program's machine: its description is set up before the first test,
// and the machine boots at the first device access. One per program.
class TestMachine final : public ::testing::Environment {
public:
    TestMachine(std::string name, std::string description)
        : name_(std::move(name)), description_(std::move(description)) {}
    void SetUp() override { FlUseTestMachine(name_, description_); }

private:
    std::string name_;
    std::string description_;
};

// Registers the program's machine; call from a namespace-scope initialiser.
inline ::testing::Environment* UseMachine(std::string name, std::string description) {
    return ::testing::AddGlobalTestEnvironment(new TestMachine(std::move(name), std::move(description)));
}

// Every interface path of the driver's class present now, through the usual
// size probe of the detail call.
inline std::vector<std::string> InterfacePaths() {
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
inline Answer Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
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

inline Answer Do(HANDLE device, DWORD code) { return Control(device, code, nullptr, 0, nullptr, 0); }

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

inline Mac QueryMac(HANDLE device) { return Query<Mac>(device, IOCTL_PORT_QUERY_MAC_ADDRESS); }

inline HANDLE Open(const std::string& path, DWORD flags = 0) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
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
inline std::vector<Record> ParseRead(const std::vector<UCHAR>& buffer, DWORD bytes, FL_READ_HEADER* header) {
    std::vector<Record> records;
    EXPECT_GE(bytes, sizeof(FL_READ_HEADER));
    EXPECT_LE(bytes, buffer.size());
    if (bytes < sizeof(FL_READ_HEADER) || bytes > buffer.size()) return records;
    std::memcpy(header, buffer.data(), sizeof *header);
    std::size_t offset = sizeof(FL_READ_HEADER);
    while (offset < bytes) {
        if (offset + kRecordHeaderSize > bytes) {
            ADD_FAILURE() << "record header cut at " << offset << " of " << bytes;
            break;
        }
        Record r;
        std::memcpy(&r.timestamp, &buffer[offset], 8);
        std::memcpy(&r.flags, &buffer[offset + 8], 4);
        std::memcpy(&r.wireLength, &buffer[offset + 12], 2);
        std::memcpy(&r.capturedLength, &buffer[offset + 14], 2);
        std::memcpy(&r.errors, &buffer[offset + 16], 4);
        const std::size_t size = kRecordHeaderSize + ((r.capturedLength + 7u) & ~std::size_t{7});
        if (offset + size > bytes) {
            ADD_FAILURE() << "record of " << size << " bytes runs past " << bytes;
            break;
        }
        const auto start = buffer.begin() + static_cast<std::ptrdiff_t>(offset + kRecordHeaderSize);
        r.data.assign(start, start + r.capturedLength);
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
inline bool OverlappedRead(HANDLE device, std::vector<UCHAR>* buffer, DWORD* bytes) {
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
inline std::vector<Record> ReadUntil(HANDLE device, const std::function<bool(const std::vector<Record>&)>& enough) {
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

inline bool WaitLinkUp(HANDLE device) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Query<FL_IOCTL_LINK_STATUS>(device, IOCTL_PORT_QUERY_LINK_STATUS).LinkUp) return true;
        Sleep(20);
    }
    return false;
}

}  // namespace fltest
