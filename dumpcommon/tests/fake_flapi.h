// A scripted stand-in for the capture library, linked into the dump tools'
// unit tests in place of libFlApi: ports and their names, the answers of
// every call the tools make, the packets buffers that receives hand out, and
// a record of what the tools did with them.
#pragma once

#include <FlApi.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake_flapi {

struct Packet {
    FL_PACKET_HEADER Header;
    std::vector<uint8_t> Data;
};

// A frame of `length` bytes (all of them captured) with a recognisable body.
Packet Frame(uint16_t length, uint64_t timestamp = 0, uint32_t flags = FL_PACKET_FLAG_FCS_PRESENT);
// An Ethernet/IPv4/UDP frame to the given destination port, 64 bytes with FCS.
Packet UdpFrame(uint16_t destinationPort, uint64_t timestamp = 0, uint32_t flags = FL_PACKET_FLAG_FCS_PRESENT);

struct Receive {
    FL_STATUS Status = FL_SUCCESS;
    bool HasBuffer = true;  // false: the library's waiting time ran out
    std::vector<Packet> Packets;
};

struct Port {
    std::string Name;
    std::string Description;
    uint32_t Type = FL_PORT_TYPE_PHYSICAL;
    std::vector<size_t> Members;  // aggregating ports: indices of their physical ports
};

struct Api {
    std::vector<Port> Ports;

    FL_STATUS QueryPortListStatus = FL_SUCCESS;
    FL_STATUS OpenStatus = FL_SUCCESS;
    FL_STATUS RxEnableStatus = FL_SUCCESS;
    FL_STATUS SnapLengthStatus = FL_SUCCESS;
    FL_STATUS QueryStatisticsStatus = FL_SUCCESS;
    int QueryStatisticsFailsFrom = 0;  // with QueryStatisticsStatus: the first call that fails (0-based)
    FL_STATUS StatisticsValueStatus = FL_SUCCESS;
    FL_STATUS CloseStatus = FL_SUCCESS;
    FL_STATUS AggregatedListStatus = FL_SUCCESS;
    uint64_t Dropped = 0;

    // Handed out one per receive. When they run out, a receive returns no
    // buffer and calls RunOut (by default: a Ctrl-C).
    std::deque<Receive> Receives;
    std::function<void()> RunOut;
    // Called after every receive that handed out a buffer.
    std::function<void(int receiveIndex)> AfterReceive;

    // What the tools did.
    std::vector<std::string> Calls;
    std::string OpenedPort;          // name of the port the instance was opened on
    uint32_t SnapLength = 0xFFFFFFFF;
    bool ReceptionEnabled = false;
    int Receives_ = 0;
    int QueryStatisticsCalls = 0;
    int LiveInstances = 0;
    int LiveBuffers = 0;
    int LiveStatistics = 0;
    int LiveLists = 0;
};

// The script and record of the running test; Reset() before each test.
Api& Fake();
void Reset();

// The text the fake gives for a status.
std::string StatusText(FL_STATUS status);

}  // namespace fake_flapi
