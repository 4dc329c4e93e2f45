#include "Statistics.h"

#include <new>

#include "DriverInterface.h"

namespace FlApi {

namespace {

// Where each counter id of an instance lies in the driver's instance
// counters; kNoCounter for an id that names none.
constexpr uint32_t kNoCounter = 0xFFFFFFFFu;

uint32_t InstanceCounterIndex(uint32_t counterId) noexcept
{
    switch (counterId) {
    case FL_INSTANCE_COUNTER_RX_BYTES:
        return FL_INSTANCE_COUNTER_OCTETS_RECEIVED;
    case FL_INSTANCE_COUNTER_RX_PACKETS:
        return FL_INSTANCE_COUNTER_PACKETS_RECEIVED;
    case FL_INSTANCE_COUNTER_TX_BYTES:
        return FL_INSTANCE_COUNTER_OCTETS_SENT;
    case FL_INSTANCE_COUNTER_TX_PACKETS:
        return FL_INSTANCE_COUNTER_PACKETS_SENT;
    case FL_INSTANCE_COUNTER_RX_GOOD_PACKETS:
        return FL_INSTANCE_COUNTER_GOOD_RECEIVED;
    case FL_INSTANCE_COUNTER_RX_ERRORS:
        return FL_INSTANCE_COUNTER_RECEIVE_ERRORS;
    case FL_INSTANCE_COUNTER_RX_DROPPED:
        return FL_INSTANCE_COUNTER_DROPPED;
    default:
        return kNoCounter;
    }
}

// The same for a port: ids 1 to 6 for the common counters, 0xF0000001 to
// 0xF000000A for the controller's others, in the driver's order.
uint32_t PortCounterIndex(uint32_t counterId) noexcept
{
    static constexpr uint32_t kCommon[] = {
        0,  // FL_PORT_COUNTER_RX_BYTES: octets received
        1,  // FL_PORT_COUNTER_RX_PACKETS: packets received
        2,  // FL_PORT_COUNTER_RX_GOOD_PACKETS: good packets received
        3,  // FL_PORT_COUNTER_RX_ERRORS: receive errors
        10, // FL_PORT_COUNTER_TX_PACKETS: packets transmitted
        11, // FL_PORT_COUNTER_TX_BYTES: octets transmitted
    };
    static constexpr uint32_t kController[] = {4, 5, 6, 7, 8, 9, 12, 13, 14, 15};
    if (counterId >= FL_PORT_COUNTER_RX_BYTES && counterId <= FL_PORT_COUNTER_TX_BYTES) {
        return kCommon[counterId - FL_PORT_COUNTER_RX_BYTES];
    }
    if (counterId >= FL_PORT_COUNTER_SLOT_SHORTAGE_POLLS && counterId <= FL_PORT_COUNTER_TX_QUEUE_EMPTY) {
        return kController[counterId - FL_PORT_COUNTER_SLOT_SHORTAGE_POLLS];
    }
    return kNoCounter;
}

FL_STATUS ReadCounter(const uint64_t* counters, uint32_t count, uint32_t index, uint64_t* value) noexcept
{
    // Never updated (count 0), an unknown id, or a counter the driver did
    // not answer with.
    if (index == kNoCounter || index >= count) {
        return FL_ERROR_INVALID_REQUEST;
    }
    *value = counters[index];
    return FL_SUCCESS;
}

} // namespace

// ---------------------------------------------------------------------------
// InstanceStatistics

FL_STATUS InstanceStatistics::QueryValue(uint32_t counterId, uint64_t* value)
{
    return ReadCounter(Counters.get(), Count, InstanceCounterIndex(counterId), value);
}

FL_STATUS InstanceStatistics::Update()
{
    uint32_t count = Capacity;
    FL_STATUS status = Source->QueryCounters(Counters.get(), &count);
    if (status == FL_ERROR_BUFFER_TOO_SMALL) {
        // The first update learns how many counters the driver keeps.
        std::unique_ptr<uint64_t[]> counters(new (std::nothrow) uint64_t[count]());
        if (!counters) {
            Count = 0;
            return FL_ERROR_NO_MEMORY;
        }
        Counters = std::move(counters);
        Capacity = count;
        Count = 0;
        status = Source->QueryCounters(Counters.get(), &count);
    }
    // A failed update leaves the previous snapshot.
    if (status == FL_SUCCESS) {
        Count = count;
    }
    return status;
}

FL_STATUS CreateInstanceStatistics(Instance* instance, Statistics** statistics)
{
    std::unique_ptr<InstanceStatistics> created(new (std::nothrow) InstanceStatistics(instance));
    if (!created) {
        return FL_ERROR_NO_MEMORY;
    }
    const FL_STATUS status = created->Update();
    if (status != FL_SUCCESS) {
        return status;
    }
    *statistics = created.release();
    return FL_SUCCESS;
}

// ---------------------------------------------------------------------------
// PortStatistics

FL_STATUS PortStatistics::QueryValue(uint32_t counterId, uint64_t* value)
{
    return ReadCounter(Counters.get(), Count, PortCounterIndex(counterId), value);
}

FL_STATUS PortStatistics::Update()
{
    // A handle of its own for each snapshot: the port may have gone away
    // (or come back) since the last.
    UniqueHandle device(CreateFileA(Name.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!device.IsValid()) {
        return FL_ERROR_PORT_NOT_FOUND;
    }
    if (!Counters) {
        // The size of the driver's counter area, in a 4-byte answer.
        uint32_t size = 0;
        DWORD returned = 0;
        SetLastError(ERROR_SUCCESS);
        if (PortControl(device.Get(), IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, &size, sizeof size, &returned) ||
            GetLastError() != ERROR_MORE_DATA || returned != sizeof size) {
            return FL_ERROR_IO;
        }
        const uint32_t count = size / sizeof(uint64_t);
        std::unique_ptr<uint64_t[]> counters(new (std::nothrow) uint64_t[count]());
        if (!counters) {
            return FL_ERROR_NO_MEMORY;
        }
        Counters = std::move(counters);
        Count = count;
    }
    const DWORD size = Count * static_cast<DWORD>(sizeof(uint64_t));
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    const bool done = PortControl(device.Get(), IOCTL_PORT_QUERY_STATISTICS, nullptr, 0, Counters.get(), size,
                                  &returned) ||
                      GetLastError() == ERROR_SUCCESS;
    if (!done || returned != size) {
        return FL_ERROR_IO;
    }
    return FL_SUCCESS;
}

FL_STATUS CreatePortStatistics(const char* name, Statistics** statistics)
{
    std::unique_ptr<PortStatistics> created(new (std::nothrow) PortStatistics(name));
    if (!created) {
        return FL_ERROR_NO_MEMORY;
    }
    const FL_STATUS status = created->Update();
    if (status != FL_SUCCESS) {
        return status;
    }
    *statistics = created.release();
    return FL_SUCCESS;
}

} // namespace FlApi
