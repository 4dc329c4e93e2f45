#include "Ports.h"

#include <cstdio>
#include <cstring>

#include "DriverInterface.h"
#include "Enumeration.h"
#include "Statistics.h"
#include "WideText.h"

namespace FlApi {

// ---- Boards ----

bool SameMac(const uint8_t a[6], const uint8_t b[6]) noexcept
{
    return std::memcmp(a, b, 6) == 0;
}

std::unique_ptr<Board> NewBoard(const uint8_t portMac[6])
{
    auto board = std::make_unique<Board>();
    std::memcpy(board->Description, kBoardDescription, sizeof(kBoardDescription));
    std::memcpy(board->MacAddress, portMac, 6);
    board->MacAddress[5] &= 0xFE;
    board->Ports[0] = nullptr;
    board->Ports[1] = nullptr;
    board->PortCount = 0;
    return board;
}

bool BoardTakes(const Board& board, const uint8_t portMac[6]) noexcept
{
    return board.PortCount < 2 && std::memcmp(board.MacAddress, portMac, 5) == 0 &&
           ((board.MacAddress[5] ^ portMac[5]) & 0xFE) == 0;
}

void AttachPort(Board& board, PhysicalPort* port) noexcept
{
    board.Ports[board.PortCount++] = ToHandle(port);
    port->SetBoard(&board, false);
}

Board* CopyBoard(const Board& source)
{
    if (source.PortCount == 0) {
        return nullptr;
    }
    auto* first = static_cast<PhysicalPort*>(FromHandle(source.Ports[0]));
    std::unique_ptr<Board> copy = NewBoard(first->MacAddress());
    std::unique_ptr<PhysicalPort> ports[2];
    for (uint32_t i = 0; i < source.PortCount; ++i) {
        ports[i].reset(static_cast<PhysicalPort*>(FromHandle(source.Ports[i])->Clone(false)));
        if (!ports[i]) {
            return nullptr;
        }
    }
    for (uint32_t i = 0; i < source.PortCount; ++i) {
        AttachPort(*copy, ports[i].release());
    }
    return copy.release();
}

void DestroyBoard(Board* board) noexcept
{
    if (board == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < board->PortCount; ++i) {
        delete FromHandle(board->Ports[i]);
    }
    delete board;
}

// ---- PhysicalPort ----

FL_STATUS PhysicalPort::Create(const char* path, const char* description,
                               std::unique_ptr<PhysicalPort>* port)
{
    UniqueHandle device = OpenPortDevice(path, GENERIC_READ | GENERIC_WRITE);
    if (!device.IsValid()) {
        return FL_ERROR_UNKNOWN;
    }
    uint8_t mac[6] = {};
    DWORD returned = 0;
    if (!PortControl(device.Get(), IOCTL_PORT_QUERY_MAC_ADDRESS, nullptr, 0, mac, sizeof(mac), &returned) ||
        returned != sizeof(mac)) {
        return FL_ERROR_INVALID_REQUEST;
    }
    const bool described = description != nullptr && *description != '\0';
    port->reset(new PhysicalPort(path, described ? description : path, mac));
    return FL_SUCCESS;
}

PhysicalPort::PhysicalPort(std::string name, std::string description, const uint8_t macAddress[6])
    : name_(std::move(name)), description_(std::move(description))
{
    std::memcpy(mac_, macAddress, sizeof(mac_));
}

PhysicalPort::~PhysicalPort()
{
    if (ownsBoard_ && board_ != nullptr) {
        for (uint32_t i = 0; i < board_->PortCount; ++i) {
            Port* sibling = FromHandle(board_->Ports[i]);
            if (sibling != this) {
                delete sibling;
            }
        }
        delete board_;
    }
}

void PhysicalPort::SetBoard(Board* board, bool owns) noexcept
{
    board_ = board;
    ownsBoard_ = owns;
}

Port* PhysicalPort::Clone(bool withBoard)
{
    if (!withBoard || board_ == nullptr) {
        std::unique_ptr<PhysicalPort> copy;
        return Create(name_.c_str(), description_.c_str(), &copy) == FL_SUCCESS ? copy.release() : nullptr;
    }
    Board* board = CopyBoard(*board_);
    if (board == nullptr) {
        return nullptr;
    }
    for (uint32_t i = 0; i < board->PortCount; ++i) {
        auto* candidate = static_cast<PhysicalPort*>(FromHandle(board->Ports[i]));
        if (candidate->IsEqual(this)) {
            candidate->SetBoard(board, true);
            return candidate;
        }
    }
    // The device answered with another address this time.
    DestroyBoard(board);
    return nullptr;
}

const char* PhysicalPort::GetName()
{
    return name_.c_str();
}

const char* PhysicalPort::GetDescription()
{
    return description_.c_str();
}

FL_STATUS PhysicalPort::SetDescription(const char* description)
{
    if (description == nullptr) {
        return FL_ERROR_INVALID_PARAMETER;
    }
    std::string narrow(description);
    const std::u16string wide = WideFromNarrow(narrow);

    DeviceInfo info;
    FL_STATUS status = FindDeviceInfo(name_.c_str(), &info);
    if (status != FL_SUCCESS) {
        return status;
    }
    UniqueKey key;
    if ((status = OpenPortKey(info, KEY_SET_VALUE, &key)) != FL_SUCCESS) {
        return status;
    }
    const DWORD bytes = static_cast<DWORD>((wide.size() + 1) * sizeof(char16_t));
    const LSTATUS error = RegSetValueExW(key.Get(), u"CustomDescription", 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(wide.c_str()), bytes);
    if (error != ERROR_SUCCESS) {
        return RegistryWriteFailure(error);
    }
    description_ = std::move(narrow);
    return FL_SUCCESS;
}

FL_STATUS PhysicalPort::QueryBoard(Board** board)
{
    *board = board_;
    return FL_SUCCESS;
}

uint32_t PhysicalPort::GetType()
{
    return FL_PORT_TYPE_PHYSICAL;
}

FL_STATUS PhysicalPort::QueryMacAddress(uint8_t* macAddress)
{
    std::memcpy(macAddress, mac_, sizeof(mac_));
    return FL_SUCCESS;
}

bool PhysicalPort::IsEqual(Port* other)
{
    uint8_t mac[6];
    return other->GetType() == FL_PORT_TYPE_PHYSICAL && other->QueryMacAddress(mac) == FL_SUCCESS &&
           SameMac(mac, mac_);
}

FL_STATUS PhysicalPort::QueryStatistics(Statistics** statistics)
{
    // The snapshot opens the device by name, so it outlives this port.
    return CreatePortStatistics(GetName(), statistics);
}

// ---- BapPort ----

BapPort::BapPort(Board* board, bool owns) : board_(board), ownsBoard_(owns)
{
    const uint8_t* mac = board->MacAddress;
    std::snprintf(name_, sizeof(name_), "%s%02x%02x%02x%02x%02x%02x", kBapPortNamePrefix, mac[0], mac[1],
                  mac[2], mac[3], mac[4], mac[5]);
}

BapPort::~BapPort()
{
    if (ownsBoard_) {
        DestroyBoard(board_);
    }
}

Port* BapPort::Clone(bool /*withBoard*/)
{
    Board* board = CopyBoard(*board_);
    if (board == nullptr) {
        return nullptr;
    }
    try {
        return new BapPort(board, true);
    } catch (...) {
        DestroyBoard(board);
        throw;
    }
}

const char* BapPort::GetName()
{
    return name_;
}

const char* BapPort::GetDescription()
{
    return kBapPortDescription;
}

FL_STATUS BapPort::QueryBoard(Board** board)
{
    *board = board_;
    return FL_SUCCESS;
}

uint32_t BapPort::GetType()
{
    return FL_PORT_TYPE_BOARD_AGGREGATING;
}

FL_STATUS BapPort::QueryAggregatedPortList(FL_PORT** portList, uint32_t* portCount)
{
    *portList = board_->Ports;
    *portCount = board_->PortCount;
    return FL_SUCCESS;
}

bool BapPort::IsEqual(Port* other)
{
    Board* board = nullptr;
    return other->GetType() == FL_PORT_TYPE_BOARD_AGGREGATING && other->QueryBoard(&board) == FL_SUCCESS &&
           board != nullptr && SameMac(board->MacAddress, board_->MacAddress);
}

FL_STATUS BapPort::QueryStatistics(Statistics** /*statistics*/)
{
    // Counters of merged ports are not kept.
    return FL_ERROR_NOT_IMPLEMENTED;
}

// ---- FlApPort ----

FlApPort::FlApPort(std::vector<FL_PORT> members, bool owns) : members_(std::move(members)), ownsMembers_(owns) {}

FlApPort::~FlApPort()
{
    if (ownsMembers_) {
        for (FL_PORT member : members_) {
            delete FromHandle(member);
        }
    }
}

Port* FlApPort::Clone(bool /*withBoard*/)
{
    std::vector<std::unique_ptr<Port>> copies;
    copies.reserve(members_.size());
    for (FL_PORT member : members_) {
        copies.emplace_back(FromHandle(member)->Clone(true));
        if (!copies.back()) {
            return nullptr;
        }
    }
    std::vector<FL_PORT> members;
    members.reserve(copies.size());
    for (const std::unique_ptr<Port>& copy : copies) {
        members.push_back(ToHandle(copy.get()));
    }
    auto* port = new FlApPort(std::move(members), true);
    for (std::unique_ptr<Port>& copy : copies) {
        copy.release();
    }
    return port;
}

const char* FlApPort::GetName()
{
    return kFlApPortName;
}

const char* FlApPort::GetDescription()
{
    return kFlApPortDescription;
}

uint32_t FlApPort::GetType()
{
    return FL_PORT_TYPE_AGGREGATING;
}

FL_STATUS FlApPort::QueryAggregatedPortList(FL_PORT** portList, uint32_t* portCount)
{
    *portList = members_.data();
    *portCount = static_cast<uint32_t>(members_.size());
    return FL_SUCCESS;
}

bool FlApPort::IsEqual(Port* other)
{
    return other->GetType() == FL_PORT_TYPE_AGGREGATING;
}

FL_STATUS FlApPort::QueryStatistics(Statistics** /*statistics*/)
{
    return FL_ERROR_NOT_IMPLEMENTED;
}

} // namespace FlApi
