// What the instance tests share: the port list of the library, records
// taken out of packets buffers, receiving until enough has come, frames
// that no generator makes, and the driver's own view of a port through a
// handle of the test's own.
#pragma once

#include <gtest/gtest.h>

#include "DriverInterface.h"
#include "FlApi.h"
#include "Objects.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace instancetest {

using Mac = std::array<uint8_t, 6>;

constexpr DWORD kGenerousWaitMs = 10000;
constexpr auto kGenerousDeadline = std::chrono::seconds(30);

// The library's port list, freed with the object.
class PortList {
public:
    PortList()
    {
        const FL_STATUS status = FlQueryPortList(&list_, &count_);
        EXPECT_EQ(status, FL_SUCCESS) << FlStatusGetString(status);
    }
    ~PortList() { FlFreePortList(list_); }
    PortList(const PortList&) = delete;
    PortList& operator=(const PortList&) = delete;

    uint32_t Count() const { return count_; }
    FL_PORT operator[](uint32_t i) const { return list_[i]; }

    // The physical port with this address, or null.
    FL_PORT Physical(const Mac& mac) const
    {
        for (uint32_t i = 0; i < count_; ++i) {
            Mac found{};
            if (FlPortGetType(list_[i]) == FL_PORT_TYPE_PHYSICAL &&
                FlPortQueryMacAddress(list_[i], found.data()) == FL_SUCCESS && found == mac) {
                return list_[i];
            }
        }
        ADD_FAILURE() << "no physical port with address ending " << int(mac[5]);
        return nullptr;
    }

    // The first port of this type, or null.
    FL_PORT OfType(uint32_t type) const
    {
        for (uint32_t i = 0; i < count_; ++i) {
            if (FlPortGetType(list_[i]) == type) return list_[i];
        }
        return nullptr;
    }

private:
    FL_PORT* list_ = nullptr;
    uint32_t count_ = 0;
};

// An instance opened on a port and closed with the object.
class OpenInstance {
public:
    explicit OpenInstance(FL_PORT port)
    {
        const FL_STATUS status = port == nullptr ? FL_ERROR_PORT_NOT_FOUND : FlInstanceOpenByPort(port, &instance_);
        EXPECT_EQ(status, FL_SUCCESS) << FlStatusGetString(status);
    }
    ~OpenInstance() { Close(); }
    OpenInstance(const OpenInstance&) = delete;
    OpenInstance& operator=(const OpenInstance&) = delete;

    FL_INSTANCE Get() const { return instance_; }
    explicit operator bool() const { return instance_ != nullptr; }
    void Close()
    {
        EXPECT_EQ(FlInstanceClose(instance_), FL_SUCCESS);
        instance_ = nullptr;
    }

private:
    FL_INSTANCE instance_ = nullptr;
};

// One record as read from a packets buffer, with its bytes copied out.
struct Record {
    FL_PACKET_HEADER header{};
    std::vector<uint8_t> data;
};

// Every record of a buffer, read until its end; a read that ends otherwise
// fails the test.
inline std::vector<Record> Drain(FL_PACKETS_BUFFER buffer)
{
    std::vector<Record> records;
    for (;;) {
        Record record;
        uint8_t* data = nullptr;
        const FL_STATUS status = FlPacketsBufferQueryNextPacket(buffer, &record.header, &data);
        if (status == FL_ERROR_END_OF_BUFFER) break;
        if (status != FL_SUCCESS) {
            ADD_FAILURE() << "reading a received buffer: " << FlStatusGetString(status);
            break;
        }
        record.data.assign(data, data + record.header.CapturedLength);
        records.push_back(std::move(record));
    }
    return records;
}

// Receives and releases buffers until `enough` says so or the deadline
// passes; returns every record received.
inline std::vector<Record> ReceiveUntil(FL_INSTANCE instance,
                                        const std::function<bool(const std::vector<Record>&)>& enough)
{
    std::vector<Record> all;
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while (!enough(all) && std::chrono::steady_clock::now() < deadline) {
        FL_PACKETS_BUFFER buffer = nullptr;
        const FL_STATUS status = FlInstanceReceivePackets(instance, &buffer);
        if (status != FL_SUCCESS) {
            ADD_FAILURE() << "receive: " << FlStatusGetString(status);
            break;
        }
        if (buffer == nullptr) continue;
        for (Record& record : Drain(buffer)) all.push_back(std::move(record));
        FlPacketsBufferDestroy(buffer);
    }
    return all;
}

// A frame no generator makes: broadcast destination, a local experimental
// EtherType, then bytes numbered from `number`.
inline std::vector<uint8_t> MarkedFrame(size_t size, uint8_t number)
{
    std::vector<uint8_t> frame(size);
    std::memset(frame.data(), 0xFF, 6);
    const uint8_t source[6] = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x99};
    std::memcpy(&frame[6], source, 6);
    frame[12] = 0x88;
    frame[13] = 0xB5;
    for (size_t i = 14; i < size; ++i) frame[i] = static_cast<uint8_t>(number + i);
    return frame;
}

inline bool IsMarked(const Record& record)
{
    return record.data.size() >= 14 && record.data[12] == 0x88 && record.data[13] == 0xB5;
}

// A handle of the test's own on a port's device, for what the driver says
// of the port whatever the library does.
class RawPort {
public:
    explicit RawPort(FL_PORT port)
    {
        if (port == nullptr) return;
        // The port's own name, so that programs of the library's internals
        // can use this too.
        device_ = CreateFileA(FlApi::FromHandle(port)->GetName(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
        EXPECT_NE(device_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    ~RawPort()
    {
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    std::array<uint64_t, FL_PORT_STAT_COUNT> Counters() const
    {
        std::array<uint64_t, FL_PORT_STAT_COUNT> counters{};
        DWORD returned = 0;
        EXPECT_TRUE(FlApi::PortControl(device_, IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, counters.data(),
                                       sizeof counters, &returned))
            << GetLastError();
        return counters;
    }

    FL_IOCTL_LINK_STATUS Link() const
    {
        FL_IOCTL_LINK_STATUS link{};
        EXPECT_TRUE(FlApi::PortControl(device_, IOCTL_PORT_QUERY_LINK_STATUS, nullptr, 0, &link, sizeof link));
        return link;
    }

    bool WaitLinkUp() const
    {
        const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Link().LinkUp) return true;
            Sleep(20);
        }
        return false;
    }

    // Advertises `modes` (0: nothing, and the link goes down).
    bool Advertise(ULONG modes) const
    {
        const FL_IOCTL_AUTONEGOTIATION record{modes, modes, 1, {}};
        return FlApi::PortControl(device_, IOCTL_PORT_SET_AUTONEGOTIATION, &record, sizeof record, nullptr, 0);
    }

private:
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

// Polls `condition` until it holds or the deadline passes.
inline bool Eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        Sleep(10);
    }
    return condition();
}

} // namespace instancetest
