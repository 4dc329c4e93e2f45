// The two kinds of packets buffer: SingleBuffer, a run of packet records in
// memory of its own, and AggregationBuffer, a merged view in timestamp order
// over windows of several SingleBuffers of different ports.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "BufferPool.h"
#include "Objects.h"

namespace FlApi {

class SingleBuffer final : public PacketsBuffer {
public:
    using Pool = BufferPool<SingleBuffer>;

    // A buffer of `capacity` data bytes behind a read header. `owner` is the
    // pool of the instance that the buffer belongs to, or null for a buffer
    // of the application. FL_ERROR_NO_MEMORY or FL_ERROR_EVENT_CREATION on
    // failure, and then nothing is returned.
    static FL_STATUS Create(uint32_t capacity, Pool* owner, SingleBuffer** buffer) noexcept;

    ~SingleBuffer() override;

    // Without owner the buffer is freed. An owned buffer drops one
    // reference and goes back to its pool when only the pool's own remains.
    void Destroy() override;
    uint8_t* GetBuffer() override { return Data; }
    uint32_t GetEffectiveLength() override { return EffectiveLength; }
    uint32_t GetLength() override { return Capacity; }
    void ResetIndex() override { ReadIndex = 0; }
    FL_STATUS QueryNextPacket(FL_PACKET_HEADER* header, uint8_t** data) override;
    FL_STATUS CommitNextPacket(const FL_PACKET_HEADER* header, const void* data) override;
    FL_STATUS SetEffectiveLength(uint32_t effectiveLength) override;
    bool IsAggregated() override { return false; }

    // One more holder: the application (when an instance hands the buffer
    // out) or an aggregation window sharing it. May race with Destroy().
    void AddReference() noexcept;

    // The whole allocation, read header first: the target of a read.
    uint8_t* GetAllocation() noexcept { return Allocation.get(); }
    uint32_t GetReadIndex() const noexcept { return ReadIndex; }
    // The timestamp of the last record of the read (first read header field).
    uint64_t GetLastTimestamp() const noexcept;
    OVERLAPPED* GetOverlapped() noexcept { return &Overlapped; }

    // Link in the owner's pool, guarded by the pool's lock.
    SingleBuffer* Next = nullptr;

private:
    SingleBuffer(std::unique_ptr<uint8_t[]> allocation, Pool* owner, uint32_t capacity,
                 HANDLE event) noexcept;

    std::unique_ptr<uint8_t[]> Allocation; // read header + data area
    uint8_t* Data;                         // Allocation + read header
    Pool* Owner;
    uint32_t Capacity;
    uint32_t EffectiveLength = 0;
    // 1 at rest; +1 while the application holds the buffer, +1 while an
    // aggregation buffer shares it. Released from any thread.
    std::atomic<uint32_t> ReferenceCount{1};
    uint32_t ReadIndex = 0;
    OVERLAPPED Overlapped{};

public:
    // Kept by the instance that posts reads into this buffer.
    bool ReadOutstanding = false;
    HANDLE ReadDevice = nullptr;
};

class AggregationBuffer final : public PacketsBuffer {
public:
    using Pool = BufferPool<AggregationBuffer>;

    // The records of one member port that this buffer hands out:
    // [ReadIndex, EndIndex) of Buffer's data area, whole records only.
    struct Window {
        SingleBuffer* Buffer = nullptr;
        uint32_t ReadIndex = 0;
        uint32_t EndIndex = 0;
    };

    // The member index travels in 8 bits of the records' flags.
    static constexpr uint32_t kMaxMembers = 256;

    // An empty buffer of `memberCount` windows that returns to `owner` when
    // released. FL_ERROR_NO_MEMORY on failure; FL_ERROR_INVALID_PARAMETER
    // for more members than the flags can tell apart.
    static FL_STATUS Create(uint32_t memberCount, Pool& owner, AggregationBuffer** buffer) noexcept;

    ~AggregationBuffer() override = default;

    // Drops the holder's reference; on the last one besides the pool's, every
    // window's buffer is released and this buffer goes back to its pool.
    void Destroy() override;
    uint8_t* GetBuffer() override { return nullptr; }
    uint32_t GetEffectiveLength() override { return 0; }
    uint32_t GetLength() override { return 0; }
    void ResetIndex() override {}
    FL_STATUS QueryNextPacket(FL_PACKET_HEADER* header, uint8_t** data) override;
    bool IsAggregated() override { return true; }

    void AddReference() noexcept;
    uint32_t GetMemberCount() const noexcept { return MemberCount; }
    // A window to set or read. The merged read starts over from the windows
    // as they are at its next call: changes through the reference belong
    // before that call.
    Window& GetWindow(uint32_t member) noexcept
    {
        Merging = false;
        return Windows[member];
    }

    AggregationBuffer* Next = nullptr;

private:
    // The next record of a window, framed once when it becomes the head.
    struct Head {
        FL_PACKET_HEADER Record;
        uint32_t Size;
    };

    AggregationBuffer(std::unique_ptr<Window[]> windows, std::unique_ptr<Head[]> heads,
                      std::unique_ptr<uint32_t[]> heap, uint32_t memberCount, Pool& owner) noexcept;

    // Frames the head of `member`'s window into Heads: FL_SUCCESS,
    // FL_ERROR_END_OF_BUFFER for an empty window, or the framing error.
    FL_STATUS FrameHead(uint32_t member) noexcept;
    // The heap order: earlier timestamp first, the lower member on a tie.
    bool Before(uint32_t a, uint32_t b) const noexcept;
    void SiftDown(uint32_t at) noexcept;
    FL_STATUS StartMerge() noexcept;

    // Up to this many members the earliest head is found by looking at
    // each; beyond, a heap keeps them in order.
    static constexpr uint32_t kScannedMembers = 4;

    std::unique_ptr<Window[]> Windows;
    // The merge: the members with records left (Heap[0, HeapSize)), a
    // binary heap on their heads beyond kScannedMembers. Heap[Top] is the
    // member whose record was handed out last; with TopAdvanced its window
    // has moved past it, and its new head is framed at the next call, so
    // that a damaged record is reported when the read gets to it.
    std::unique_ptr<Head[]> Heads;
    std::unique_ptr<uint32_t[]> Heap;
    uint32_t HeapSize = 0;
    uint32_t Top = 0;
    bool Merging = false;
    bool TopAdvanced = false;
    uint32_t MemberCount;
    Pool* Owner;
    // 1 at rest, 2 while the application holds the buffer.
    std::atomic<uint32_t> ReferenceCount{1};
};

} // namespace FlApi
