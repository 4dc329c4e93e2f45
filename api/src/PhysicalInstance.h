// An instance on one physical port: one overlapped handle to the port's
// device, on which the driver keeps the instance's own settings. Receives by
// keeping reads outstanding in the driver and handing out the oldest
// completed one; transmits by writing a packets buffer's records; reports
// link changes to a callback on a thread of its own.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "Objects.h"
#include "PacketsBuffer.h"

namespace FlApi {

class PhysicalInstance final : public Instance {
public:
    // Buffers of the pool, each read outstanding in the driver at most once.
    static constexpr uint32_t kPoolBuffers = 16;
    // Data bytes per pool buffer of an instance opened on a physical port.
    static constexpr uint32_t kDefaultCapacity = 0x80000;
    // Link-change requests kept outstanding by the link watcher.
    static constexpr uint32_t kLinkRequests = 8;
    // How long a transmit waits for the driver to free transmit slots before
    // it offers the rest of the buffer again.
    static constexpr DWORD kTransmitSpaceWaitMs = 500;
    // How long a transmit goes on offering records that the driver takes
    // none of (its transmitter sends nothing) before it gives up.
    static constexpr ULONGLONG kTransmitStallMs = 5000;

    // Opens an instance on `port` (a physical port) whose pool buffers hold
    // `capacity` data bytes each. On failure everything acquired is released
    // and nothing is returned.
    static FL_STATUS Open(Port* port, uint32_t capacity, PhysicalInstance** instance);

    // Closes the instance (FlInstanceClose).
    ~PhysicalInstance() override;

    Port* GetPort() override { return PortCopy; }
    FL_STATUS ReceivePackets(PacketsBuffer** packetsBuffer) override;
    FL_STATUS SetFeature(uint32_t feature, uint32_t value) override;
    FL_STATUS QueryFeature(uint32_t feature, uint32_t* value) override;
    HANDLE GetReceiveWaitHandle() override { return ReceiveEvent; }
    FL_STATUS TransmitPackets(PacketsBuffer* packetsBuffer) override;
    FL_STATUS QueryStatistics(Statistics** statistics) override;
    FL_STATUS RegisterEvtLinkStatusChange(FL_LINK_STATUS_CHANGE_CALLBACK callback,
                                          void* context) override;
    FL_STATUS QueryCounters(uint64_t* counters, uint32_t* count) override;

    // The receive of ReceivePackets, typed for the aggregating instance: the
    // oldest completed read with records (one reference for the caller), or
    // null.
    FL_STATUS Receive(SingleBuffer** buffer);

    // The time of the port's latest harvest, on the driver's clock.
    FL_STATUS QueryHarvestTime(uint64_t* harvestTime);

    // Where the read stands that the next Receive hands back: still in the
    // driver (or a free buffer is to be read into), already completed, or
    // none to be had (every buffer is held). A read still to complete takes
    // every record harvested before now.
    enum class NextRead { Pending, Completed, None };
    NextRead QueryNextRead() noexcept;

    PhysicalInstance(const PhysicalInstance&) = delete;
    PhysicalInstance& operator=(const PhysicalInstance&) = delete;

private:
    PhysicalInstance() noexcept;

    FL_STATUS OpenDevice(Port* port, uint32_t capacity);
    // One control request on the instance's handle, waited for.
    bool Control(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize,
                 DWORD* returned = nullptr);
    FL_STATUS QueryValue(DWORD code, void* value, DWORD size);

    FL_STATUS PostReads();
    // The longest frame the port's transmit ring can ever take, asked of
    // the driver once on `overlapped`; 0 when it cannot be told.
    uint32_t TransmitFrameLimit(OVERLAPPED* overlapped) noexcept;
    void Enqueue(SingleBuffer* buffer) noexcept;
    SingleBuffer* Dequeue() noexcept;

    static DWORD WINAPI LinkWatcher(LPVOID parameter);
    void WatchLink();
    void CloseLinkWatcher() noexcept;

    struct LinkRequest {
        OVERLAPPED Overlapped{};
        FL_LINK_STATUS Status{};
        DWORD Returned = 0;
        bool Pending = false; // touched by the watcher thread only
    };

    HANDLE Device = INVALID_HANDLE_VALUE;
    // Reads queued in the driver, oldest first, linked through the buffers'
    // Next field; guarded by the pool's lock, as the pool itself.
    SingleBuffer* QueueHead = nullptr;
    SingleBuffer* QueueTail = nullptr;
    // Feature requests: one at a time, from one thread.
    OVERLAPPED ControlOverlapped{};
    HANDLE ReceiveEvent = nullptr;
    HANDLE TransmitEvent = nullptr;

    // Written before the watcher thread starts and read-only until it ended.
    std::array<LinkRequest, kLinkRequests> LinkRequests{};
    HANDLE StopEvent = nullptr;
    HANDLE WatcherThread = nullptr;
    FL_LINK_STATUS_CHANGE_CALLBACK Callback = nullptr;
    void* CallbackContext = nullptr;

    Port* PortCopy = nullptr;
    SingleBuffer::Pool Pool;
    // Every buffer made for the pool, wherever it is now: at close the ones
    // the application still holds are told apart from those at home.
    std::array<SingleBuffer*, kPoolBuffers> Buffers{};
    // TransmitFrameLimit's answer once known; transmits may run on several
    // threads.
    std::atomic<uint32_t> FrameLimit{0};
};

} // namespace FlApi
