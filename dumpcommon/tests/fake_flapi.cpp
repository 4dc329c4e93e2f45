// The capture library's exports, as the dump tools' tests script them.
#include "fake_flapi.h"

#include "dump_tool.h"

#include <cstdio>
#include <map>
#include <memory>

namespace fake_flapi {
namespace {

struct Instance {
    size_t Port;
};

struct Buffer {
    std::vector<Packet> Packets;
    size_t Next = 0;
};

struct Statistics {
    int unused = 0;
};

Api* current = nullptr;

size_t PortIndex(FL_PORT port) { return reinterpret_cast<uintptr_t>(port) - 1; }
FL_PORT PortHandle(size_t index) { return reinterpret_cast<FL_PORT>(index + 1); }

}  // namespace

Api& Fake()
{
    if (current == nullptr) Reset();
    return *current;
}

void Reset()
{
    delete current;
    current = new Api;
    current->RunOut = [] { console_ctrl_handler(CTRL_C_EVENT); };
}

std::string StatusText(FL_STATUS status)
{
    char text[32];
    snprintf(text, sizeof text, "status %x", status);
    return text;
}

Packet Frame(uint16_t length, uint64_t timestamp, uint32_t flags)
{
    Packet packet{};
    packet.Header.Timestamp = timestamp;
    packet.Header.Flags = flags;
    packet.Header.WireLength = length;
    packet.Header.CapturedLength = length;
    packet.Data.resize(length);
    for (uint16_t i = 0; i < length; ++i) packet.Data[i] = static_cast<uint8_t>(i * 7 + length);
    return packet;
}

Packet UdpFrame(uint16_t destinationPort, uint64_t timestamp, uint32_t flags)
{
    Packet packet = Frame(64, timestamp, flags);
    uint8_t* f = packet.Data.data();
    f[12] = 0x08;  // IPv4
    f[13] = 0x00;
    f[14] = 0x45;  // version 4, 20-byte header
    f[16] = 0;     // total length 46
    f[17] = 46;
    f[20] = 0;     // not fragmented
    f[21] = 0;
    f[23] = 17;  // UDP
    f[34] = 0x30;  // source port 12345
    f[35] = 0x39;
    f[36] = static_cast<uint8_t>(destinationPort >> 8);
    f[37] = static_cast<uint8_t>(destinationPort);
    return packet;
}

}  // namespace fake_flapi

using fake_flapi::Fake;

extern "C" {

FL_STATUS FlQueryPortList(FL_PORT** PortList, uint32_t* PortCount)
{
    Fake().Calls.push_back("FlQueryPortList");
    if (Fake().QueryPortListStatus != FL_SUCCESS) return Fake().QueryPortListStatus;
    const size_t count = Fake().Ports.size();
    *PortCount = static_cast<uint32_t>(count);
    if (count == 0) {
        *PortList = nullptr;
        return FL_SUCCESS;
    }
    *PortList = new FL_PORT[count];
    for (size_t i = 0; i < count; ++i) (*PortList)[i] = fake_flapi::PortHandle(i);
    Fake().LiveLists += 1;
    return FL_SUCCESS;
}

FL_STATUS FlFreePortList(FL_PORT* PortList)
{
    Fake().Calls.push_back("FlFreePortList");
    if (PortList != nullptr) {
        delete[] PortList;
        Fake().LiveLists -= 1;
    }
    return FL_SUCCESS;
}

const char* FlPortGetName(FL_PORT Port) { return Fake().Ports.at(fake_flapi::PortIndex(Port)).Name.c_str(); }

const char* FlPortGetDescription(FL_PORT Port)
{
    return Fake().Ports.at(fake_flapi::PortIndex(Port)).Description.c_str();
}

uint32_t FlPortGetType(FL_PORT Port) { return Fake().Ports.at(fake_flapi::PortIndex(Port)).Type; }

FL_STATUS FlPortQueryAggregatedPortList(FL_PORT Port, FL_PORT** PortList, uint32_t* PortCount)
{
    Fake().Calls.push_back("FlPortQueryAggregatedPortList");
    if (Fake().AggregatedListStatus != FL_SUCCESS) return Fake().AggregatedListStatus;
    auto& port = Fake().Ports.at(fake_flapi::PortIndex(Port));
    if (port.Type == FL_PORT_TYPE_PHYSICAL) return FL_ERROR_INVALID_REQUEST;
    // The array stays the port's: kept with it for the rest of the test.
    static std::map<size_t, std::vector<FL_PORT>> arrays;
    auto& array = arrays[fake_flapi::PortIndex(Port)];
    array.clear();
    for (size_t member : port.Members) array.push_back(fake_flapi::PortHandle(member));
    *PortList = array.data();
    *PortCount = static_cast<uint32_t>(array.size());
    return FL_SUCCESS;
}

static FL_STATUS OpenInstance(size_t port, FL_INSTANCE* Instance)
{
    if (Fake().OpenStatus != FL_SUCCESS) return Fake().OpenStatus;
    *Instance = reinterpret_cast<FL_INSTANCE>(new fake_flapi::Instance{port});
    Fake().OpenedPort = Fake().Ports.at(port).Name;
    Fake().LiveInstances += 1;
    return FL_SUCCESS;
}

FL_STATUS FlInstanceOpenByPort(FL_PORT Port, FL_INSTANCE* Instance)
{
    Fake().Calls.push_back("FlInstanceOpenByPort");
    return OpenInstance(fake_flapi::PortIndex(Port), Instance);
}

FL_STATUS FlInstanceOpenByName(const char* PortName, FL_INSTANCE* Instance)
{
    Fake().Calls.push_back(std::string("FlInstanceOpenByName ") + PortName);
    for (size_t i = 0; i < Fake().Ports.size(); ++i) {
        if (Fake().Ports[i].Name == PortName) return OpenInstance(i, Instance);
    }
    return FL_ERROR_PORT_NOT_FOUND;
}

FL_STATUS FlInstanceClose(FL_INSTANCE Instance)
{
    Fake().Calls.push_back("FlInstanceClose");
    delete reinterpret_cast<fake_flapi::Instance*>(Instance);
    Fake().LiveInstances -= 1;
    return Fake().CloseStatus;
}

FL_PORT FlInstanceGetPort(FL_INSTANCE Instance)
{
    return fake_flapi::PortHandle(reinterpret_cast<fake_flapi::Instance*>(Instance)->Port);
}

FL_STATUS FlInstanceSetFeature(FL_INSTANCE, uint32_t Feature, uint32_t Value)
{
    Fake().Calls.push_back("FlInstanceSetFeature " + std::to_string(Feature) + " " + std::to_string(Value));
    if (Feature == FL_INSTANCE_FT_RX_ENABLE) {
        if (Fake().RxEnableStatus != FL_SUCCESS) return Fake().RxEnableStatus;
        Fake().ReceptionEnabled = Value != 0;
        return FL_SUCCESS;
    }
    if (Feature == FL_INSTANCE_FT_SNAPLEN) {
        if (Fake().SnapLengthStatus != FL_SUCCESS) return Fake().SnapLengthStatus;
        Fake().SnapLength = Value;
        return FL_SUCCESS;
    }
    return FL_ERROR_INVALID_PARAMETER;
}

FL_STATUS FlInstanceReceivePackets(FL_INSTANCE, FL_PACKETS_BUFFER* PacketsBuffer)
{
    auto& fake = Fake();
    fake.Receives_ += 1;
    if (fake.Receives.empty()) {
        *PacketsBuffer = nullptr;
        if (fake.RunOut) fake.RunOut();
        return FL_SUCCESS;
    }
    fake_flapi::Receive receive = std::move(fake.Receives.front());
    fake.Receives.pop_front();
    if (receive.Status != FL_SUCCESS) return receive.Status;
    if (!receive.HasBuffer) {
        *PacketsBuffer = nullptr;
        return FL_SUCCESS;
    }
    auto* buffer = new fake_flapi::Buffer;
    buffer->Packets = std::move(receive.Packets);
    *PacketsBuffer = reinterpret_cast<FL_PACKETS_BUFFER>(buffer);
    fake.LiveBuffers += 1;
    if (fake.AfterReceive) fake.AfterReceive(fake.Receives_);
    return FL_SUCCESS;
}

FL_STATUS FlPacketsBufferQueryNextPacket(FL_PACKETS_BUFFER PacketsBuffer, FL_PACKET_HEADER* Header,
                                         uint8_t** Data)
{
    auto* buffer = reinterpret_cast<fake_flapi::Buffer*>(PacketsBuffer);
    if (buffer->Next == buffer->Packets.size()) return FL_ERROR_END_OF_BUFFER;
    auto& packet = buffer->Packets[buffer->Next++];
    *Header = packet.Header;
    *Data = packet.Data.data();
    return FL_SUCCESS;
}

void FlPacketsBufferDestroy(FL_PACKETS_BUFFER PacketsBuffer)
{
    delete reinterpret_cast<fake_flapi::Buffer*>(PacketsBuffer);
    Fake().LiveBuffers -= 1;
}

FL_STATUS FlInstanceQueryStatistics(FL_INSTANCE, FL_STATISTICS* Statistics)
{
    auto& fake = Fake();
    const int call = fake.QueryStatisticsCalls++;
    fake.Calls.push_back("FlInstanceQueryStatistics");
    if (fake.QueryStatisticsStatus != FL_SUCCESS && call >= fake.QueryStatisticsFailsFrom) {
        return fake.QueryStatisticsStatus;
    }
    *Statistics = reinterpret_cast<FL_STATISTICS>(new fake_flapi::Statistics);
    fake.LiveStatistics += 1;
    return FL_SUCCESS;
}

FL_STATUS FlStatisticsQueryValue(FL_STATISTICS, uint32_t CounterId, uint64_t* Value)
{
    Fake().Calls.push_back("FlStatisticsQueryValue " + std::to_string(CounterId));
    if (Fake().StatisticsValueStatus != FL_SUCCESS) return Fake().StatisticsValueStatus;
    if (CounterId != FL_INSTANCE_COUNTER_RX_DROPPED) return FL_ERROR_COUNTER_NOT_AVAILABLE;
    *Value = Fake().Dropped;
    return FL_SUCCESS;
}

void FlStatisticsDestroy(FL_STATISTICS Statistics)
{
    delete reinterpret_cast<fake_flapi::Statistics*>(Statistics);
    Fake().LiveStatistics -= 1;
}

const char* FlStatusGetString(FL_STATUS Status)
{
    static std::map<FL_STATUS, std::string> texts;
    auto& text = texts[Status];
    text = fake_flapi::StatusText(Status);
    return text.c_str();
}

}  // extern "C"
