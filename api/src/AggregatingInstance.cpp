#include "AggregatingInstance.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "PacketRecord.h"
#include "Statistics.h"

namespace FlApi {

// ---------------------------------------------------------------------------
// The merge

void FillWindows(std::span<MemberStream> members, AggregationBuffer& buffer) noexcept
{
    // No member can still deliver a record stamped at or before the
    // horizon: each has harvested past it, and each current read ends at or
    // after it.
    uint64_t horizon = std::numeric_limits<uint64_t>::max();
    for (const MemberStream& member : members) {
        horizon = std::min(horizon, member.HarvestTime);
    }
    for (const MemberStream& member : members) {
        if (member.Current != nullptr) {
            horizon = std::min(horizon, member.Current->GetLastTimestamp());
        }
    }

    for (uint32_t i = 0; i < members.size(); ++i) {
        MemberStream& member = members[i];
        AggregationBuffer::Window& window = buffer.GetWindow(i);
        window = AggregationBuffer::Window{};
        SingleBuffer* current = member.Current;
        if (current == nullptr) {
            continue;
        }
        const uint32_t end = current->GetEffectiveLength();
        uint32_t index = member.ReadIndex;
        if (current->GetLastTimestamp() == horizon) {
            index = end;
        } else {
            while (index != end) {
                FL_PACKET_HEADER header;
                uint32_t size = 0;
                if (FrameRecord(current->GetBuffer(), index, end, &header, &size) != FL_SUCCESS) {
                    // Not the driver's framing: the window takes the rest, and
                    // the merged read reports it when it gets there.
                    index = end;
                    break;
                }
                if (header.Timestamp > horizon) {
                    break;
                }
                index += size;
            }
        }
        window.Buffer = current;
        window.ReadIndex = member.ReadIndex;
        window.EndIndex = index;
        if (index == end) {
            // The window takes over the member's reference.
            member.Current = nullptr;
            member.ReadIndex = 0;
        } else {
            current->AddReference();
            member.ReadIndex = index;
        }
    }
}

// ---------------------------------------------------------------------------
// Open and close

FL_STATUS AggregatingInstance::Open(Port* port, AggregatingInstance** instance)
{
    std::unique_ptr<AggregatingInstance> created(new (std::nothrow) AggregatingInstance());
    if (!created) {
        return FL_ERROR_NO_MEMORY;
    }
    const FL_STATUS status = created->OpenMembers(port);
    if (status != FL_SUCCESS) {
        return status;
    }
    *instance = created.release();
    return FL_SUCCESS;
}

FL_STATUS AggregatingInstance::OpenMembers(Port* port)
{
    PortCopy = port->Clone(true);
    if (PortCopy == nullptr) {
        return FL_ERROR_NO_MEMORY;
    }
    FL_PORT* memberPorts = nullptr;
    uint32_t memberCount = 0;
    FL_STATUS status = PortCopy->QueryAggregatedPortList(&memberPorts, &memberCount);
    if (status != FL_SUCCESS) {
        return status;
    }
    if (memberCount > AggregationBuffer::kMaxMembers) {
        // The member index of a record travels in 8 bits of its flags.
        return FL_ERROR_INVALID_PARAMETER;
    }
    Members.reset(new (std::nothrow) PhysicalInstance*[memberCount]());
    Streams.reset(new (std::nothrow) MemberStream[memberCount]());
    Buffers.reset(new (std::nothrow) AggregationBuffer*[memberCount]());
    if (!Members || !Streams || !Buffers) {
        return FL_ERROR_NO_MEMORY;
    }
    MemberCount = memberCount;

    // Each member's reads hold what the other members' traffic lets pile up
    // while the merge waits for their horizon; never less than one
    // megabyte, so that an aggregating port of one member still receives.
    const uint32_t capacity = std::max(memberCount - 1, 1u) * kCapacityPerMember;
    for (uint32_t i = 0; i < memberCount; ++i) {
        status = PhysicalInstance::Open(FromHandle(memberPorts[i]), capacity, &Members[i]);
        if (status != FL_SUCCESS) {
            return status;
        }
        status = Members[i]->SetFeature(FL_INSTANCE_FT_READ_TIMEOUT, kMemberReadTimeoutMs);
        if (status != FL_SUCCESS) {
            return status;
        }
    }

    for (uint32_t i = 0; i < memberCount; ++i) {
        status = AggregationBuffer::Create(memberCount, Pool, &Buffers[i]);
        if (status != FL_SUCCESS) {
            return status;
        }
        Pool.CountCreated();
        Pool.Push(Buffers[i]);
    }
    // Neither the driver nor the members set this event: each member's
    // driver instance sets that member's own. It is there for applications
    // that wait on every instance alike, with a timeout.
    ReceiveWaitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ReceiveWaitEvent == nullptr) {
        return FL_ERROR_EVENT_CREATION;
    }
    return FL_SUCCESS;
}

AggregatingInstance::~AggregatingInstance()
{
    delete PortCopy;
    PortCopy = nullptr;

    // Aggregation buffers the application still holds get one more
    // reference, so that a release after the close never reaches the pool
    // freed here (nor the member buffers it shares, which their members keep
    // alive the same way). The pool destroys the others.
    if (Buffers) {
        std::unique_ptr<bool[]> atHome(new (std::nothrow) bool[MemberCount]());
        std::unique_ptr<AggregationBuffer*[]> home(new (std::nothrow) AggregationBuffer*[MemberCount]());
        if (atHome && home) {
            uint32_t homeCount = 0;
            while (AggregationBuffer* buffer = Pool.Pop()) {
                for (uint32_t i = 0; i < MemberCount; ++i) {
                    if (Buffers[i] == buffer) {
                        atHome[i] = true;
                    }
                }
                home[homeCount++] = buffer;
            }
            for (uint32_t i = 0; i < MemberCount; ++i) {
                if (Buffers[i] != nullptr && !atHome[i]) {
                    Buffers[i]->AddReference();
                }
            }
            while (homeCount > 0) {
                Pool.Push(home[--homeCount]);
            }
        }
    }

    for (uint32_t i = 0; i < MemberCount; ++i) {
        // A member buffer not yet merged in full goes back to its member's
        // pool, unless a window still shares it.
        if (Streams && Streams[i].Current != nullptr) {
            Streams[i].Current->Destroy();
            Streams[i].Current = nullptr;
        }
        if (Members) {
            delete Members[i];
            Members[i] = nullptr;
        }
    }
    if (ReceiveWaitEvent != nullptr) {
        CloseHandle(ReceiveWaitEvent);
    }
}

// ---------------------------------------------------------------------------
// Receive

FL_STATUS AggregatingInstance::ReceiveMember(PhysicalInstance& member, MemberStream& stream)
{
    uint64_t harvestTime = 0;
    if (stream.Current != nullptr) {
        // Records in hand bound the horizon by the last of them anyway.
        if (member.QueryHarvestTime(&harvestTime) != FL_SUCCESS) {
            return FL_ERROR_INVALID_REQUEST;
        }
        stream.HarvestTime = harvestTime;
        return FL_SUCCESS;
    }
    // The harvest time is asked for before the read is taken, and counts
    // only when that read was still in the driver after the answer: a read
    // that completes later takes every record harvested until then, so that
    // no record of this member stamped before it is still to come. Asked
    // after the read (or vouched for by a read completed before it was
    // asked), it may count polls whose records are only in a later read, and
    // those would come out behind later records of other members. Reads that
    // completed empty before the question are passed over until one vouches.
    for (uint32_t attempt = 0; attempt <= PhysicalInstance::kPoolBuffers; ++attempt) {
        const bool answered = member.QueryHarvestTime(&harvestTime) == FL_SUCCESS;
        const PhysicalInstance::NextRead next = member.QueryNextRead();
        const FL_STATUS status = member.Receive(&stream.Current);
        if (status != FL_SUCCESS) {
            return status;
        }
        stream.ReadIndex = 0;
        if (!answered) {
            return FL_ERROR_INVALID_REQUEST;
        }
        if (stream.Current != nullptr || next == PhysicalInstance::NextRead::Pending) {
            stream.HarvestTime = harvestTime;
            return FL_SUCCESS;
        }
        if (next == PhysicalInstance::NextRead::None) {
            // Every buffer of the member is held: its previous harvest time
            // still holds.
            return FL_SUCCESS;
        }
    }
    return FL_SUCCESS;
}

FL_STATUS AggregatingInstance::ReceivePackets(PacketsBuffer** packetsBuffer)
{
    bool dataPresent = false;
    for (uint32_t i = 0; i < MemberCount; ++i) {
        MemberStream& stream = Streams[i];
        const FL_STATUS status = ReceiveMember(*Members[i], stream);
        if (status != FL_SUCCESS) {
            // The buffers already received stay with their members, for the
            // next receive.
            return status;
        }
        dataPresent = dataPresent || stream.Current != nullptr;
    }
    if (!dataPresent) {
        *packetsBuffer = nullptr;
        return FL_SUCCESS;
    }
    AggregationBuffer* buffer = Pool.Pop();
    if (buffer == nullptr) {
        // The application holds every aggregation buffer.
        return FL_ERROR_NO_MEMORY;
    }
    FillWindows(std::span<MemberStream>(Streams.get(), MemberCount), *buffer);
    buffer->AddReference();
    *packetsBuffer = buffer;
    return FL_SUCCESS;
}

// ---------------------------------------------------------------------------
// Features and counters

FL_STATUS AggregatingInstance::SetFeature(uint32_t feature, uint32_t value)
{
    switch (feature) {
    case FL_INSTANCE_FT_SNAPLEN:
    case FL_INSTANCE_FT_ERROR_FILTER:
    case FL_INSTANCE_FT_READ_THRESHOLD:
        break;
    case FL_INSTANCE_FT_READ_TIMEOUT:
        value = std::min(value, kMemberReadTimeoutMs);
        break;
    case FL_INSTANCE_FT_RX_ENABLE:
        if (value != 1) {
            return FL_ERROR_INVALID_REQUEST;
        }
        break;
    default:
        // Transmission included: an aggregating port only receives.
        return FL_ERROR_INVALID_REQUEST;
    }
    // The first member that refuses ends it; the members before it keep the
    // new value.
    for (uint32_t i = 0; i < MemberCount; ++i) {
        const FL_STATUS status = Members[i]->SetFeature(feature, value);
        if (status != FL_SUCCESS) {
            return status;
        }
    }
    return FL_SUCCESS;
}

FL_STATUS AggregatingInstance::QueryFeature(uint32_t feature, uint32_t* value)
{
    switch (feature) {
    case FL_INSTANCE_FT_SNAPLEN:
    case FL_INSTANCE_FT_ERROR_FILTER:
    case FL_INSTANCE_FT_READ_THRESHOLD:
    case FL_INSTANCE_FT_RX_ENABLE:
    case FL_INSTANCE_FT_READ_TIMEOUT:
        // Every member was set alike; the first answers for all.
        if (MemberCount == 0) {
            return FL_ERROR_INVALID_REQUEST;
        }
        return Members[0]->QueryFeature(feature, value);
    default:
        return FL_ERROR_INVALID_REQUEST;
    }
}

FL_STATUS AggregatingInstance::QueryStatistics(Statistics** statistics)
{
    return CreateInstanceStatistics(this, statistics);
}

FL_STATUS AggregatingInstance::QueryCounters(uint64_t* counters, uint32_t* count)
{
    // The members' counter areas may differ in size; the sum is as long as
    // the longest.
    uint32_t needed = 0;
    for (uint32_t i = 0; i < MemberCount; ++i) {
        uint32_t memberCount = 0;
        const FL_STATUS status = Members[i]->QueryCounters(nullptr, &memberCount);
        if (status != FL_SUCCESS && status != FL_ERROR_BUFFER_TOO_SMALL) {
            return status;
        }
        needed = std::max(needed, memberCount);
    }
    if (*count < needed) {
        *count = needed;
        return FL_ERROR_BUFFER_TOO_SMALL;
    }
    std::unique_ptr<uint64_t[]> memberCounters(new (std::nothrow) uint64_t[needed]());
    if (!memberCounters) {
        return FL_ERROR_NO_MEMORY;
    }
    std::fill(counters, counters + needed, uint64_t{0});
    for (uint32_t i = 0; i < MemberCount; ++i) {
        uint32_t memberCount = needed;
        const FL_STATUS status = Members[i]->QueryCounters(memberCounters.get(), &memberCount);
        if (status != FL_SUCCESS) {
            return status;
        }
        for (uint32_t c = 0; c < memberCount && c < needed; ++c) {
            counters[c] += memberCounters[c];
        }
    }
    *count = needed;
    return FL_SUCCESS;
}

} // namespace FlApi
