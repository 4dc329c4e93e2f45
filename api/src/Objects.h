// The object model behind the exported handles.
//
// Every handle is a pointer to one of these objects; an export converts the
// handle and calls the virtual operation of the same name. The classes keep
// their virtual operations in the order below (the destructor first), and an
// operation that an object's kind does not support answers with the one
// shared Unsupported() result.
#pragma once

#include <windows.h>

#include <cstdint>

#include "FlApi.h"

namespace FlApi {

class Port;
class Instance;
class PacketsBuffer;
class Statistics;
struct Board;

// The one answer of every operation that an object's kind does not offer.
inline FL_STATUS Unsupported() noexcept
{
    return FL_ERROR_INVALID_REQUEST;
}

class Port {
public:
    virtual ~Port() = default;
    // withBoard: copy the port's board (and its other port) along.
    virtual Port* Clone(bool withBoard) = 0;
    virtual const char* GetName() = 0;
    virtual const char* GetDescription() = 0;
    virtual FL_STATUS SetDescription(const char* /*description*/) { return Unsupported(); }
    virtual FL_STATUS QueryBoard(Board** /*board*/) { return Unsupported(); }
    virtual uint32_t GetType() = 0;
    virtual FL_STATUS QueryMacAddress(uint8_t* /*macAddress*/) { return Unsupported(); }
    virtual FL_STATUS QueryAggregatedPortList(FL_PORT** /*portList*/, uint32_t* /*portCount*/)
    {
        return Unsupported();
    }
    virtual bool IsEqual(Port* other) = 0;
    virtual FL_STATUS QueryLinkStatus(FL_LINK_STATUS* /*linkStatus*/) { return Unsupported(); }
    virtual FL_STATUS QueryStatistics(Statistics** /*statistics*/) { return Unsupported(); }
    virtual FL_STATUS SetFeature(uint32_t /*feature*/, uint32_t /*value*/) { return Unsupported(); }
    virtual FL_STATUS QueryFeature(uint32_t /*feature*/, uint32_t* /*value*/)
    {
        return Unsupported();
    }
    virtual FL_STATUS QueryAutonegotiationParameters(FL_AUTONEGOTIATION_PARAMETERS* /*parameters*/)
    {
        return Unsupported();
    }
    virtual FL_STATUS SetAutonegotiationParameters(FL_AUTONEGOTIATION_PARAMETERS* /*parameters*/)
    {
        return Unsupported();
    }
};

class Instance {
public:
    // Closes the instance.
    virtual ~Instance() = default;
    virtual Port* GetPort() = 0;
    virtual FL_STATUS ReceivePackets(PacketsBuffer** packetsBuffer) = 0;
    virtual FL_STATUS SetFeature(uint32_t /*feature*/, uint32_t /*value*/) { return Unsupported(); }
    virtual FL_STATUS QueryFeature(uint32_t /*feature*/, uint32_t* /*value*/)
    {
        return Unsupported();
    }
    virtual HANDLE GetReceiveWaitHandle() = 0;
    virtual FL_STATUS TransmitPackets(PacketsBuffer* /*packetsBuffer*/) { return Unsupported(); }
    virtual FL_STATUS QueryStatistics(Statistics** /*statistics*/) { return Unsupported(); }
    virtual FL_STATUS RegisterEvtLinkStatusChange(FL_LINK_STATUS_CHANGE_CALLBACK /*callback*/,
                                                  void* /*context*/)
    {
        return Unsupported();
    }
    // Fills up to *count counters; answers FL_ERROR_BUFFER_TOO_SMALL with the
    // needed count when the array is too small.
    virtual FL_STATUS QueryCounters(uint64_t* /*counters*/, uint32_t* /*count*/)
    {
        return Unsupported();
    }
};

class PacketsBuffer {
public:
    virtual ~PacketsBuffer() = default;
    // Release by the holder: FlPacketsBufferDestroy.
    virtual void Destroy() = 0;
    virtual uint8_t* GetBuffer() = 0;
    virtual uint32_t GetEffectiveLength() = 0;
    virtual uint32_t GetLength() = 0;
    virtual void ResetIndex() = 0;
    virtual FL_STATUS QueryNextPacket(FL_PACKET_HEADER* header, uint8_t** data) = 0;
    virtual FL_STATUS CommitNextPacket(const FL_PACKET_HEADER* /*header*/, const void* /*data*/)
    {
        return Unsupported();
    }
    virtual FL_STATUS SetEffectiveLength(uint32_t /*effectiveLength*/) { return Unsupported(); }
    virtual bool IsAggregated() = 0;
};

class Statistics {
public:
    virtual ~Statistics() = default;
    virtual FL_STATUS QueryValue(uint32_t /*counterId*/, uint64_t* /*value*/)
    {
        return Unsupported();
    }
    virtual FL_STATUS Update() { return Unsupported(); }
};

// Handles are the objects' addresses, always taken from the base class so
// that the conversion back lands on the same object.
inline PacketsBuffer* FromHandle(FL_PACKETS_BUFFER handle) noexcept
{
    return reinterpret_cast<PacketsBuffer*>(handle);
}

inline FL_PACKETS_BUFFER ToHandle(PacketsBuffer* object) noexcept
{
    return reinterpret_cast<FL_PACKETS_BUFFER>(object);
}

inline Port* FromHandle(FL_PORT handle) noexcept
{
    return reinterpret_cast<Port*>(handle);
}

inline FL_PORT ToHandle(Port* object) noexcept
{
    return reinterpret_cast<FL_PORT>(object);
}

inline Board* FromHandle(FL_BOARD handle) noexcept
{
    return reinterpret_cast<Board*>(handle);
}

inline FL_BOARD ToHandle(Board* object) noexcept
{
    return reinterpret_cast<FL_BOARD>(object);
}

inline Instance* FromHandle(FL_INSTANCE handle) noexcept
{
    return reinterpret_cast<Instance*>(handle);
}

inline FL_INSTANCE ToHandle(Instance* object) noexcept
{
    return reinterpret_cast<FL_INSTANCE>(object);
}

inline Statistics* FromHandle(FL_STATISTICS handle) noexcept
{
    return reinterpret_cast<Statistics*>(handle);
}

inline FL_STATISTICS ToHandle(Statistics* object) noexcept
{
    return reinterpret_cast<FL_STATISTICS>(object);
}

} // namespace FlApi
