// An instance on an aggregating port: one physical instance per member
// port, whose reads are merged into one stream in timestamp order. Every
// receive hands out an aggregation buffer whose windows cover, for each
// member, the records stamped no later than a merge horizon that every
// member has reached; later records wait with their member.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <span>

#include "Objects.h"
#include "PacketsBuffer.h"
#include "PhysicalInstance.h"

namespace FlApi {

// What the merge knows of one member: the buffer received from it and not
// yet merged in full, where merging goes on in it, and how far the port's
// harvest had come when the member was last asked.
struct MemberStream {
    SingleBuffer* Current = nullptr; // holds one reference while not null
    uint32_t ReadIndex = 0;
    uint64_t HarvestTime = 0;
};

// Fills `buffer`'s windows from `members` (as many as the buffer has
// windows) up to the merge horizon: the earliest harvest time, and the
// last-record timestamp of every current buffer. A member whose buffer is
// covered to its end gives it up to the window; a member that keeps records
// above the horizon keeps its buffer and shares it with the window.
void FillWindows(std::span<MemberStream> members, AggregationBuffer& buffer) noexcept;

class AggregatingInstance final : public Instance {
public:
    // Members never wait longer than this for their reads, so that a quiet
    // member holds up the merged stream only briefly.
    static constexpr uint32_t kMemberReadTimeoutMs = 3;
    // Data bytes per member pool buffer for every member beyond the first.
    static constexpr uint32_t kCapacityPerMember = 0x100000;

    // Opens an instance on `port` (an aggregating port): one physical
    // instance per member, each with a read timeout of 3 ms.
    static FL_STATUS Open(Port* port, AggregatingInstance** instance);

    ~AggregatingInstance() override;

    Port* GetPort() override { return PortCopy; }
    FL_STATUS ReceivePackets(PacketsBuffer** packetsBuffer) override;
    FL_STATUS SetFeature(uint32_t feature, uint32_t value) override;
    FL_STATUS QueryFeature(uint32_t feature, uint32_t* value) override;
    HANDLE GetReceiveWaitHandle() override { return ReceiveWaitEvent; }
    FL_STATUS QueryStatistics(Statistics** statistics) override;
    FL_STATUS QueryCounters(uint64_t* counters, uint32_t* count) override;

    AggregatingInstance(const AggregatingInstance&) = delete;
    AggregatingInstance& operator=(const AggregatingInstance&) = delete;

private:
    AggregatingInstance() noexcept = default;

    FL_STATUS OpenMembers(Port* port);
    // Takes the member's next read when it has no records in hand, and the
    // harvest time up to which it has delivered everything.
    static FL_STATUS ReceiveMember(PhysicalInstance& member, MemberStream& stream);

    Port* PortCopy = nullptr;
    uint32_t MemberCount = 0;
    std::unique_ptr<PhysicalInstance*[]> Members;
    std::unique_ptr<MemberStream[]> Streams;
    AggregationBuffer::Pool Pool;
    // Every aggregation buffer made for the pool, wherever it is now.
    std::unique_ptr<AggregationBuffer*[]> Buffers;
    HANDLE ReceiveWaitEvent = nullptr;
};

} // namespace FlApi
