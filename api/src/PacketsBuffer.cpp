#include "PacketsBuffer.h"

#include <cstring>
#include <new>
#include <utility>

#include "PacketRecord.h"

namespace FlApi {

// ---------------------------------------------------------------------------
// SingleBuffer

SingleBuffer::SingleBuffer(std::unique_ptr<uint8_t[]> allocation, Pool* owner, uint32_t capacity,
                           HANDLE event) noexcept
    : Allocation(std::move(allocation)),
      Data(Allocation.get() + kReadHeaderSize),
      Owner(owner),
      Capacity(capacity)
{
    Overlapped.hEvent = event;
}

FL_STATUS SingleBuffer::Create(uint32_t capacity, Pool* owner, SingleBuffer** buffer) noexcept
{
    // size_t: capacity + header must not wrap for the largest capacities.
    std::unique_ptr<uint8_t[]> allocation(
        new (std::nothrow) uint8_t[size_t{capacity} + kReadHeaderSize]);
    if (!allocation) {
        return FL_ERROR_NO_MEMORY;
    }
    // The read header stays meaningful (no records, no harvest) until a read
    // fills the buffer.
    std::memset(allocation.get(), 0, kReadHeaderSize);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        return FL_ERROR_EVENT_CREATION;
    }
    SingleBuffer* created = new (std::nothrow) SingleBuffer(std::move(allocation), owner, capacity, event);
    if (created == nullptr) {
        CloseHandle(event);
        return FL_ERROR_NO_MEMORY;
    }
    *buffer = created;
    return FL_SUCCESS;
}

SingleBuffer::~SingleBuffer()
{
    if (Overlapped.hEvent != nullptr) {
        CloseHandle(Overlapped.hEvent);
    }
}

void SingleBuffer::Destroy()
{
    if (Owner == nullptr) {
        delete this;
        return;
    }
    // acq_rel: the holder dropping the last outside reference must see every
    // other holder's use of the buffer finished before it is pooled (and
    // then refilled by the instance's next read).
    if (ReferenceCount.fetch_sub(1, std::memory_order_acq_rel) == 2) {
        Owner->Push(this);
    }
}

void SingleBuffer::AddReference() noexcept
{
    // relaxed: a new reference is taken by a thread that already holds one
    // (the instance or the aggregating receive); no data are published by it.
    ReferenceCount.fetch_add(1, std::memory_order_relaxed);
}

uint64_t SingleBuffer::GetLastTimestamp() const noexcept
{
    READ_HEADER header;
    std::memcpy(&header, Allocation.get(), sizeof header);
    return header.LastTimestamp;
}

FL_STATUS SingleBuffer::QueryNextPacket(FL_PACKET_HEADER* header, uint8_t** data)
{
    FL_PACKET_HEADER record;
    uint32_t size = 0;
    const FL_STATUS status = FrameRecord(Data, ReadIndex, EffectiveLength, &record, &size);
    if (status != FL_SUCCESS) {
        // The read index stays: the same answer repeats until the caller
        // resets the index or the buffer is refilled.
        return status;
    }
    *header = record;
    *data = Data + ReadIndex + kRecordHeaderSize;
    ReadIndex += size;
    return FL_SUCCESS;
}

FL_STATUS SingleBuffer::CommitNextPacket(const FL_PACKET_HEADER* header, const void* data)
{
    // A record built here is always complete (WireLength == CapturedLength)
    // and small enough that its padded size cannot wrap in 16 bits, so every
    // reader, the driver included, frames it the same way.
    const uint32_t length = header->WireLength;
    if (length != header->CapturedLength || length == 0 || length > FL_PACKET_MAX_LENGTH) {
        return FL_ERROR_INVALID_PACKET;
    }
    const uint32_t size = RecordSize(length);
    if (Capacity - EffectiveLength < size) {
        return FL_ERROR_BUFFER_FULL;
    }
    std::memcpy(Data + EffectiveLength, header, kRecordHeaderSize);
    std::memcpy(Data + EffectiveLength + kRecordHeaderSize, data, length);
    // The padding is left as it is: nobody reads it.
    EffectiveLength += size;
    return FL_SUCCESS;
}

FL_STATUS SingleBuffer::SetEffectiveLength(uint32_t effectiveLength)
{
    if (effectiveLength > Capacity) {
        return FL_ERROR_INVALID_PARAMETER;
    }
    // The read index is left alone; a reader past the new end gets
    // FL_ERROR_INCONSISTENT_BUFFER until it resets the index.
    EffectiveLength = effectiveLength;
    return FL_SUCCESS;
}

// ---------------------------------------------------------------------------
// AggregationBuffer

AggregationBuffer::AggregationBuffer(std::unique_ptr<Window[]> windows, std::unique_ptr<Head[]> heads,
                                     std::unique_ptr<uint32_t[]> heap, uint32_t memberCount,
                                     Pool& owner) noexcept
    : Windows(std::move(windows)),
      Heads(std::move(heads)),
      Heap(std::move(heap)),
      MemberCount(memberCount),
      Owner(&owner)
{
}

FL_STATUS AggregationBuffer::Create(uint32_t memberCount, Pool& owner,
                                    AggregationBuffer** buffer) noexcept
{
    if (memberCount > kMaxMembers) {
        return FL_ERROR_INVALID_PARAMETER;
    }
    std::unique_ptr<Window[]> windows(new (std::nothrow) Window[memberCount]);
    std::unique_ptr<Head[]> heads(new (std::nothrow) Head[memberCount]);
    std::unique_ptr<uint32_t[]> heap(new (std::nothrow) uint32_t[memberCount]);
    if (!windows || !heads || !heap) {
        return FL_ERROR_NO_MEMORY;
    }
    AggregationBuffer* created = new (std::nothrow)
        AggregationBuffer(std::move(windows), std::move(heads), std::move(heap), memberCount, owner);
    if (created == nullptr) {
        return FL_ERROR_NO_MEMORY;
    }
    *buffer = created;
    return FL_SUCCESS;
}

void AggregationBuffer::AddReference() noexcept
{
    ReferenceCount.fetch_add(1, std::memory_order_relaxed);
}

void AggregationBuffer::Destroy()
{
    // acq_rel as for SingleBuffer: the windows are emptied by whichever
    // thread drops the application's reference.
    if (ReferenceCount.fetch_sub(1, std::memory_order_acq_rel) != 2) {
        return;
    }
    for (uint32_t member = 0; member < MemberCount; ++member) {
        Window& window = Windows[member];
        if (window.Buffer != nullptr) {
            window.Buffer->Destroy();
        }
        window = Window{};
    }
    Merging = false;
    Owner->Push(this);
}

FL_STATUS AggregationBuffer::FrameHead(uint32_t member) noexcept
{
    const Window& window = Windows[member];
    // Windows are cut by the aggregating instance on record boundaries of
    // the driver's reads; framing each head costs 24 bytes and keeps a
    // damaged window from leading the read out of its buffer.
    if (window.EndIndex > window.Buffer->GetEffectiveLength()) {
        return FL_ERROR_INCONSISTENT_BUFFER;
    }
    Head& head = Heads[member];
    return FrameRecord(window.Buffer->GetBuffer(), window.ReadIndex, window.EndIndex, &head.Record, &head.Size);
}

bool AggregationBuffer::Before(uint32_t a, uint32_t b) const noexcept
{
    const uint64_t first = Heads[a].Record.Timestamp;
    const uint64_t second = Heads[b].Record.Timestamp;
    return first < second || (first == second && a < b);
}

void AggregationBuffer::SiftDown(uint32_t at) noexcept
{
    const uint32_t member = Heap[at];
    for (;;) {
        uint32_t child = 2 * at + 1;
        if (child >= HeapSize) {
            break;
        }
        if (child + 1 < HeapSize && Before(Heap[child + 1], Heap[child])) {
            ++child;
        }
        if (!Before(Heap[child], member)) {
            break;
        }
        Heap[at] = Heap[child];
        at = child;
    }
    Heap[at] = member;
}

FL_STATUS AggregationBuffer::StartMerge() noexcept
{
    HeapSize = 0;
    for (uint32_t member = 0; member < MemberCount; ++member) {
        if (Windows[member].Buffer == nullptr) {
            continue;
        }
        const FL_STATUS status = FrameHead(member);
        if (status == FL_ERROR_END_OF_BUFFER) {
            continue;
        }
        if (status != FL_SUCCESS) {
            return status;
        }
        Heap[HeapSize++] = member;
    }
    if (MemberCount > kScannedMembers) {
        for (uint32_t at = HeapSize / 2; at-- > 0;) {
            SiftDown(at);
        }
    }
    Merging = true;
    TopAdvanced = false;
    Top = 0;
    return FL_SUCCESS;
}

FL_STATUS AggregationBuffer::QueryNextPacket(FL_PACKET_HEADER* header, uint8_t** data)
{
    // Each window's head is framed once, when it comes up, and kept: a
    // packet costs one framing, not a framing of every member's head.
    if (!Merging) {
        const FL_STATUS status = StartMerge();
        if (status != FL_SUCCESS) {
            return status;
        }
    }
    const bool heap = MemberCount > kScannedMembers;
    if (TopAdvanced) {
        const FL_STATUS status = FrameHead(Heap[Top]);
        if (status == FL_ERROR_END_OF_BUFFER) {
            Heap[Top] = Heap[--HeapSize];
        } else if (status != FL_SUCCESS) {
            // Reported again at every call, as the window stays where it is.
            return status;
        }
        TopAdvanced = false;
        if (heap && HeapSize > 0) {
            SiftDown(0);
        }
    }
    if (HeapSize == 0) {
        return FL_ERROR_END_OF_BUFFER;
    }
    if (!heap) {
        Top = 0;
        for (uint32_t at = 1; at < HeapSize; ++at) {
            if (Before(Heap[at], Heap[Top])) {
                Top = at;
            }
        }
    }

    const uint32_t chosen = Heap[Top];
    Window& window = Windows[chosen];
    const Head& head = Heads[chosen];
    *header = head.Record;
    header->Flags = (head.Record.Flags & ~FL_PACKET_FLAG_PORT_INDEX_MASK) | (chosen << FL_PACKET_FLAG_PORT_INDEX_SHIFT);
    *data = window.Buffer->GetBuffer() + window.ReadIndex + kRecordHeaderSize;
    window.ReadIndex += head.Size;
    TopAdvanced = true;
    return FL_SUCCESS;
}

} // namespace FlApi
