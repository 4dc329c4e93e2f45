#include "PhysicalInstance.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "DriverInterface.h"
#include "OverlappedRequest.h"
#include "PacketRecord.h"
#include "Statistics.h"

namespace FlApi {

namespace {

// The answer of one request on an overlapped handle, once it has ended.
struct Completion {
    bool Succeeded = false;
    DWORD Returned = 0;
    DWORD Error = ERROR_SUCCESS;
};

// One device control request, waited for when the driver pends it.
Completion Request(HANDLE device, OVERLAPPED* overlapped, DWORD code, const void* input,
                   DWORD inputSize, void* output, DWORD outputSize) noexcept
{
    Completion completion;
    BOOL ok = DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output, outputSize,
                              &completion.Returned, overlapped);
    completion.Error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && completion.Error == ERROR_IO_PENDING) {
        ok = AwaitRequest(device, overlapped, &completion.Returned);
        completion.Error = ok ? ERROR_SUCCESS : GetLastError();
    }
    completion.Succeeded = ok != FALSE;
    return completion;
}

// A completed read: the read header, then the records.
void TakeRead(SingleBuffer* buffer, DWORD returned) noexcept
{
    buffer->SetEffectiveLength(returned >= kReadHeaderSize ? returned - kReadHeaderSize : 0);
}

// Whether [0, length) is a run of whole records as the driver frames what
// it sends (by WireLength), none longer than `frameLimit` bytes (0: no
// limit known). The driver never takes a remainder that ends inside a
// record, nor a frame longer than its transmit ring can ever post: either
// would be offered again for ever.
FL_STATUS CheckTransmitRecords(const uint8_t* data, uint32_t length, uint32_t frameLimit) noexcept
{
    uint32_t offset = 0;
    while (offset < length) {
        if (length - offset < kRecordHeaderSize) {
            return FL_ERROR_INCONSISTENT_BUFFER;
        }
        FL_PACKET_HEADER header;
        std::memcpy(&header, data + offset, sizeof header);
        const uint32_t size = RecordSize(header.WireLength);
        if (length - offset < size) {
            return FL_ERROR_INCONSISTENT_BUFFER;
        }
        if (frameLimit != 0 && header.WireLength > frameLimit) {
            return FL_ERROR_INVALID_PACKET;
        }
        offset += size;
    }
    return FL_SUCCESS;
}

HANDLE NewManualResetEvent() noexcept
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void CloseIfOpen(HANDLE& handle) noexcept
{
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Open and close

PhysicalInstance::PhysicalInstance() noexcept = default;

FL_STATUS PhysicalInstance::Open(Port* port, uint32_t capacity, PhysicalInstance** instance)
{
    std::unique_ptr<PhysicalInstance> created(new (std::nothrow) PhysicalInstance());
    if (!created) {
        return FL_ERROR_NO_MEMORY;
    }
    // A failure closes what was opened so far, through the destructor.
    const FL_STATUS status = created->OpenDevice(port, capacity);
    if (status != FL_SUCCESS) {
        return status;
    }
    *instance = created.release();
    return FL_SUCCESS;
}

FL_STATUS PhysicalInstance::OpenDevice(Port* port, uint32_t capacity)
{
    // The instance keeps a port of its own (with its board), so the
    // caller's list may be freed at once.
    PortCopy = port->Clone(true);
    if (PortCopy == nullptr) {
        return FL_ERROR_NO_MEMORY;
    }

    ControlOverlapped.hEvent = NewManualResetEvent();
    ReceiveEvent = NewManualResetEvent();
    TransmitEvent = NewManualResetEvent();
    if (ControlOverlapped.hEvent == nullptr || ReceiveEvent == nullptr || TransmitEvent == nullptr) {
        return FL_ERROR_EVENT_CREATION;
    }

    Device = CreateFileA(PortCopy->GetName(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
    if (Device == INVALID_HANDLE_VALUE) {
        return FL_ERROR_IO;
    }

    // The driver takes event handles as 8 bytes from a 64-bit caller.
    const uint64_t receiveEvent = reinterpret_cast<uintptr_t>(ReceiveEvent);
    const uint64_t transmitEvent = reinterpret_cast<uintptr_t>(TransmitEvent);
    if (!Control(IOCTL_INSTANCE_SET_RECEIVE_EVENT, &receiveEvent, sizeof receiveEvent, nullptr, 0) ||
        !Control(IOCTL_INSTANCE_SET_TRANSMIT_EVENT, &transmitEvent, sizeof transmitEvent, nullptr, 0)) {
        return FL_ERROR_IO;
    }

    for (SingleBuffer*& slot : Buffers) {
        SingleBuffer* buffer = nullptr;
        const FL_STATUS status = SingleBuffer::Create(capacity, &Pool, &buffer);
        if (status != FL_SUCCESS) {
            return status;
        }
        slot = buffer;
        Pool.CountCreated();
        Pool.Push(buffer);
    }
    return FL_SUCCESS;
}

PhysicalInstance::~PhysicalInstance()
{
    if (Device != INVALID_HANDLE_VALUE) {
        CloseLinkWatcher();
        // Closing the handle ends the reads still outstanding in the driver.
        CloseHandle(Device);
        Device = INVALID_HANDLE_VALUE;
    }
    delete PortCopy;
    PortCopy = nullptr;

    while (SingleBuffer* buffer = Dequeue()) {
        if (buffer->ReadOutstanding) {
            // The buffer is the driver's until its read has ended.
            DWORD returned = 0;
            if (AwaitRequest(buffer->ReadDevice, buffer->GetOverlapped(), &returned)) {
                TakeRead(buffer, returned);
            }
            buffer->ReadOutstanding = false;
        }
        Pool.Push(buffer);
    }

    CloseIfOpen(ControlOverlapped.hEvent);
    CloseIfOpen(ReceiveEvent);
    CloseIfOpen(TransmitEvent);

    // Buffers the application still holds are not the pool's to free; they
    // get one more reference, so that a release after the close drops that
    // count and never reaches the pool freed with this instance. Their memory
    // stays valid for the holder and is lost with it.
    std::array<bool, kPoolBuffers> atHome{};
    std::array<SingleBuffer*, kPoolBuffers> home{};
    uint32_t homeCount = 0;
    while (SingleBuffer* buffer = Pool.Pop()) {
        for (uint32_t i = 0; i < kPoolBuffers; ++i) {
            if (Buffers[i] == buffer) {
                atHome[i] = true;
            }
        }
        home[homeCount++] = buffer;
    }
    for (uint32_t i = 0; i < kPoolBuffers; ++i) {
        if (Buffers[i] != nullptr && !atHome[i]) {
            Buffers[i]->AddReference();
        }
    }
    while (homeCount > 0) {
        Pool.Push(home[--homeCount]);
    }
    // The pool destroys the buffers lying in it.
}

// ---------------------------------------------------------------------------
// Control requests and features

bool PhysicalInstance::Control(DWORD code, const void* input, DWORD inputSize, void* output,
                               DWORD outputSize, DWORD* returned)
{
    const Completion completion =
        Request(Device, &ControlOverlapped, code, input, inputSize, output, outputSize);
    if (returned != nullptr) {
        *returned = completion.Returned;
    }
    return completion.Succeeded;
}

FL_STATUS PhysicalInstance::QueryValue(DWORD code, void* value, DWORD size)
{
    DWORD returned = 0;
    if (!Control(code, nullptr, 0, value, size, &returned) || returned != size) {
        return FL_ERROR_INVALID_REQUEST;
    }
    return FL_SUCCESS;
}

FL_STATUS PhysicalInstance::SetFeature(uint32_t feature, uint32_t value)
{
    // The driver checks the values it owns (a read timeout of 0, for one);
    // a refusal of the driver is an invalid request of the caller.
    const auto set = [this](DWORD code, const void* input, DWORD size) {
        return Control(code, input, size, nullptr, 0) ? FL_SUCCESS : FL_ERROR_INVALID_REQUEST;
    };
    switch (feature) {
    case FL_INSTANCE_FT_SNAPLEN: {
        if (value > 0xFFFF) {
            return FL_ERROR_INVALID_PARAMETER;
        }
        const uint16_t snapLength = static_cast<uint16_t>(value);
        return set(IOCTL_INSTANCE_SET_SNAPLEN, &snapLength, sizeof snapLength);
    }
    case FL_INSTANCE_FT_ERROR_FILTER:
        if (value > (FL_ERROR_FILTER_GOOD | FL_ERROR_FILTER_CRC_ERRORS | FL_ERROR_FILTER_OTHER_ERRORS)) {
            return FL_ERROR_INVALID_REQUEST;
        }
        return set(IOCTL_INSTANCE_SET_ERROR_FILTER, &value, sizeof value);
    case FL_INSTANCE_FT_READ_THRESHOLD:
        return set(IOCTL_INSTANCE_SET_READ_THRESHOLD, &value, sizeof value);
    case FL_INSTANCE_FT_RX_ENABLE:
        // Reception and transmission are switched on once and stay on.
        if (value != 1) {
            return FL_ERROR_INVALID_REQUEST;
        }
        return set(IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0);
    case FL_INSTANCE_FT_TX_ENABLE:
        if (value != 1) {
            return FL_ERROR_INVALID_REQUEST;
        }
        return set(IOCTL_INSTANCE_ENABLE_TRANSMISSION, nullptr, 0);
    case FL_INSTANCE_FT_READ_TIMEOUT:
        return set(IOCTL_INSTANCE_SET_READ_TIMEOUT, &value, sizeof value);
    default:
        return FL_ERROR_INVALID_REQUEST;
    }
}

FL_STATUS PhysicalInstance::QueryFeature(uint32_t feature, uint32_t* value)
{
    DWORD code = 0;
    switch (feature) {
    case FL_INSTANCE_FT_SNAPLEN: {
        uint16_t snapLength = 0;
        const FL_STATUS status = QueryValue(IOCTL_INSTANCE_QUERY_SNAPLEN, &snapLength, sizeof snapLength);
        if (status == FL_SUCCESS) {
            *value = snapLength;
        }
        return status;
    }
    case FL_INSTANCE_FT_ERROR_FILTER:
        code = IOCTL_INSTANCE_QUERY_ERROR_FILTER;
        break;
    case FL_INSTANCE_FT_READ_THRESHOLD:
        code = IOCTL_INSTANCE_QUERY_READ_THRESHOLD;
        break;
    case FL_INSTANCE_FT_RX_ENABLE:
        code = IOCTL_INSTANCE_QUERY_RECEPTION_ENABLED;
        break;
    case FL_INSTANCE_FT_TX_ENABLE:
        code = IOCTL_INSTANCE_QUERY_TRANSMISSION_ENABLED;
        break;
    case FL_INSTANCE_FT_READ_TIMEOUT:
        code = IOCTL_INSTANCE_QUERY_READ_TIMEOUT;
        break;
    default:
        return FL_ERROR_INVALID_REQUEST;
    }
    uint32_t answer = 0;
    const FL_STATUS status = QueryValue(code, &answer, sizeof answer);
    if (status == FL_SUCCESS) {
        *value = answer;
    }
    return status;
}

FL_STATUS PhysicalInstance::QueryHarvestTime(uint64_t* harvestTime)
{
    uint64_t answer = 0;
    const FL_STATUS status = QueryValue(IOCTL_INSTANCE_QUERY_HARVEST_TIME, &answer, sizeof answer);
    if (status == FL_SUCCESS) {
        *harvestTime = answer;
    }
    return status;
}

FL_STATUS PhysicalInstance::QueryStatistics(Statistics** statistics)
{
    return CreateInstanceStatistics(this, statistics);
}

FL_STATUS PhysicalInstance::QueryCounters(uint64_t* counters, uint32_t* count)
{
    // An overlapped record of its own: statistics may be read while another
    // thread makes feature requests or receives.
    OVERLAPPED overlapped{};
    overlapped.hEvent = NewManualResetEvent();
    if (overlapped.hEvent == nullptr) {
        return FL_ERROR_EVENT_CREATION;
    }
    FL_STATUS status = FL_SUCCESS;
    // First the size of the driver's counter area, in a 4-byte answer.
    uint32_t size = 0;
    Completion completion = Request(Device, &overlapped, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0,
                                    &size, sizeof size);
    if (completion.Succeeded || completion.Error != ERROR_MORE_DATA ||
        completion.Returned != sizeof size) {
        status = FL_ERROR_IO;
    } else if (*count < size / sizeof(uint64_t)) {
        *count = size / sizeof(uint64_t);
        status = FL_ERROR_BUFFER_TOO_SMALL;
    } else {
        completion = Request(Device, &overlapped, IOCTL_INSTANCE_QUERY_STATISTICS, nullptr, 0,
                             counters, *count * static_cast<DWORD>(sizeof(uint64_t)));
        if (completion.Succeeded || completion.Error == ERROR_SUCCESS) {
            *count = completion.Returned / sizeof(uint64_t);
        } else {
            status = FL_ERROR_IO;
        }
    }
    CloseHandle(overlapped.hEvent);
    return status;
}

// ---------------------------------------------------------------------------
// Receive

void PhysicalInstance::Enqueue(SingleBuffer* buffer) noexcept
{
    CriticalSectionGuard guard(Pool.GetLock());
    buffer->Next = nullptr;
    if (QueueTail == nullptr) {
        QueueHead = buffer;
    } else {
        QueueTail->Next = buffer;
    }
    QueueTail = buffer;
}

SingleBuffer* PhysicalInstance::Dequeue() noexcept
{
    CriticalSectionGuard guard(Pool.GetLock());
    SingleBuffer* buffer = QueueHead;
    if (buffer != nullptr) {
        QueueHead = buffer->Next;
        if (QueueHead == nullptr) {
            QueueTail = nullptr;
        }
        buffer->Next = nullptr;
    }
    return buffer;
}

FL_STATUS PhysicalInstance::PostReads()
{
    // Every free buffer goes to the driver, so that it can complete one read
    // while the application works on the previous.
    for (uint32_t posted = 0; posted < kPoolBuffers; ++posted) {
        SingleBuffer* buffer = Pool.Pop();
        if (buffer == nullptr) {
            break;
        }
        OVERLAPPED* overlapped = buffer->GetOverlapped();
        const DWORD size = buffer->GetLength() + kReadHeaderSize;
        if (ReadFile(Device, buffer->GetAllocation(), size, nullptr, overlapped)) {
            DWORD returned = 0;
            GetOverlappedResult(Device, overlapped, &returned, FALSE);
            TakeRead(buffer, returned);
            if (buffer->GetEffectiveLength() == 0) {
                Pool.Push(buffer);
                continue;
            }
        } else if (GetLastError() == ERROR_IO_PENDING) {
            buffer->ReadOutstanding = true;
            buffer->ReadDevice = Device;
        } else {
            Pool.Push(buffer);
            return FL_ERROR_IO;
        }
        Enqueue(buffer);
    }
    return FL_SUCCESS;
}

FL_STATUS PhysicalInstance::Receive(SingleBuffer** received)
{
    *received = nullptr;
    const FL_STATUS status = PostReads();
    if (status != FL_SUCCESS) {
        return status;
    }
    SingleBuffer* buffer = Dequeue();
    if (buffer == nullptr) {
        // Every buffer is with the application.
        return FL_SUCCESS;
    }
    if (buffer->ReadOutstanding) {
        // Reads complete in the order they were posted: the oldest is the
        // next to come back, once the read threshold or timeout is reached.
        DWORD returned = 0;
        const BOOL ok = AwaitRequest(Device, buffer->GetOverlapped(), &returned);
        buffer->ReadOutstanding = false;
        if (!ok) {
            Pool.Push(buffer);
            return FL_ERROR_INVALID_REQUEST;
        }
        TakeRead(buffer, returned);
    }
    if (buffer->GetEffectiveLength() == 0) {
        Pool.Push(buffer);
        return FL_SUCCESS;
    }
    buffer->AddReference();
    buffer->ResetIndex();
    *received = buffer;
    return FL_SUCCESS;
}

PhysicalInstance::NextRead PhysicalInstance::QueryNextRead() noexcept
{
    CriticalSectionGuard guard(Pool.GetLock());
    if (QueueHead != nullptr) {
        const bool pending = QueueHead->ReadOutstanding && RequestPending(Device, QueueHead->GetOverlapped());
        return pending ? NextRead::Pending : NextRead::Completed;
    }
    SingleBuffer* free = Pool.PopLocked();
    if (free == nullptr) {
        return NextRead::None;
    }
    Pool.PushLocked(free);
    return NextRead::Pending;
}

FL_STATUS PhysicalInstance::ReceivePackets(PacketsBuffer** packetsBuffer)
{
    SingleBuffer* buffer = nullptr;
    const FL_STATUS status = Receive(&buffer);
    if (status == FL_SUCCESS) {
        *packetsBuffer = buffer;
    }
    return status;
}

// ---------------------------------------------------------------------------
// Transmit

uint32_t PhysicalInstance::TransmitFrameLimit(OVERLAPPED* overlapped) noexcept
{
    uint32_t limit = FrameLimit.load(std::memory_order_relaxed);
    if (limit != 0) {
        return limit;
    }
    // The port's transmit ring, fixed while the handle is open.
    uint32_t slots = 0;
    uint32_t slotSize = 0;
    uint32_t descriptors = 0;
    const std::pair<DWORD, uint32_t*> queries[] = {{IOCTL_PORT_QUERY_TX_SLOTS, &slots},
                                                   {IOCTL_PORT_QUERY_TX_SLOT_SIZE, &slotSize},
                                                   {IOCTL_PORT_QUERY_TX_DESCRIPTORS, &descriptors}};
    for (const auto& [code, value] : queries) {
        const Completion answer = Request(Device, overlapped, code, nullptr, 0, value, sizeof *value);
        if (!answer.Succeeded || answer.Returned < sizeof *value) {
            return 0;
        }
    }
    // One slot always stays free, one descriptor always stays empty, and a
    // frame is sent once all its slots are posted; a descriptor carries at
    // most 0xFFFF bytes.
    const uint64_t ring = std::min(slots, descriptors);
    const uint64_t piece = std::min<uint32_t>(slotSize, 0xFFFF);
    if (ring < 2 || piece == 0) {
        return 0;
    }
    limit = static_cast<uint32_t>(std::min<uint64_t>((ring - 1) * piece, UINT32_MAX));
    FrameLimit.store(limit, std::memory_order_relaxed);
    return limit;
}

FL_STATUS PhysicalInstance::TransmitPackets(PacketsBuffer* packetsBuffer)
{
    if (packetsBuffer->IsAggregated()) {
        return FL_ERROR_NOT_IMPLEMENTED;
    }
    auto* buffer = static_cast<SingleBuffer*>(packetsBuffer);
    const uint8_t* data = buffer->GetBuffer();
    const uint32_t length = buffer->GetEffectiveLength();
    if (length == 0) {
        return FL_SUCCESS;
    }
    OVERLAPPED* overlapped = buffer->GetOverlapped();
    const FL_STATUS framing = CheckTransmitRecords(data, length, TransmitFrameLimit(overlapped));
    if (framing != FL_SUCCESS) {
        return framing;
    }

    uint32_t sent = 0;
    bool stalled = false;       // the driver took nothing since stalledSince
    ULONGLONG stalledSince = 0;
    for (bool first = true; sent < length; first = false) {
        // The driver takes whole records while transmit slots are free. When
        // it took less than offered, wait for it to free slots (it sets the
        // event while more than half are free) before offering the rest. A
        // wait that runs out is no failure: the next write tells.
        if (!first) {
            WaitForSingleObject(TransmitEvent, kTransmitSpaceWaitMs);
        }
        DWORD written = 0;
        if (WriteFile(Device, data + sent, length - sent, nullptr, overlapped)) {
            GetOverlappedResult(Device, overlapped, &written, FALSE);
        } else if (GetLastError() != ERROR_IO_PENDING || !AwaitRequest(Device, overlapped, &written)) {
            return FL_ERROR_IO;
        }
        sent += written;
        // Slots come free only as the transmitter sends: one that has sent
        // nothing for this long has stopped.
        if (written != 0) {
            stalled = false;
        } else if (!stalled) {
            stalled = true;
            stalledSince = GetTickCount64();
        } else if (GetTickCount64() - stalledSince >= kTransmitStallMs) {
            return FL_ERROR_IO;
        }
    }
    return FL_SUCCESS;
}

// ---------------------------------------------------------------------------
// Link changes

FL_STATUS PhysicalInstance::RegisterEvtLinkStatusChange(FL_LINK_STATUS_CHANGE_CALLBACK callback,
                                                        void* context)
{
    // The thread is the registration: one per instance, until the close.
    if (WatcherThread != nullptr) {
        return FL_ERROR_ALREADY_REGISTERED;
    }
    bool created = true;
    for (LinkRequest& request : LinkRequests) {
        request = LinkRequest{};
        request.Overlapped.hEvent = NewManualResetEvent();
        created = created && request.Overlapped.hEvent != nullptr;
    }
    StopEvent = NewManualResetEvent();
    created = created && StopEvent != nullptr;
    if (created) {
        Callback = callback;
        CallbackContext = context;
        WatcherThread = CreateThread(nullptr, 0, LinkWatcher, this, 0, nullptr);
        if (WatcherThread != nullptr) {
            return FL_SUCCESS;
        }
        Callback = nullptr;
        CallbackContext = nullptr;
    }
    for (LinkRequest& request : LinkRequests) {
        CloseIfOpen(request.Overlapped.hEvent);
    }
    CloseIfOpen(StopEvent);
    return created ? FL_ERROR_UNKNOWN : FL_ERROR_EVENT_CREATION;
}

DWORD WINAPI PhysicalInstance::LinkWatcher(LPVOID parameter)
{
    static_cast<PhysicalInstance*>(parameter)->WatchLink();
    return 0;
}

void PhysicalInstance::WatchLink()
{
    // The requests form a ring: `current` is the oldest outstanding one once
    // all are issued. Keeping several outstanding lets the driver report a
    // change that follows another before the callback has returned.
    const auto report = [this](const LinkRequest& request) {
        FL_LINK_STATUS status{};
        std::memcpy(&status, &request.Status,
                    request.Returned < sizeof status ? request.Returned : sizeof status);
        Callback(ToHandle(static_cast<Instance*>(this)), &status, CallbackContext);
    };

    uint32_t current = 0;
    uint32_t toIssue = kLinkRequests;
    for (;;) {
        bool failed = false;
        while (toIssue > 0) {
            LinkRequest& request = LinkRequests[current];
            request.Returned = 0;
            if (DeviceIoControl(Device, IOCTL_PORT_WAIT_LINK_CHANGE, nullptr, 0, &request.Status,
                                sizeof request.Status, &request.Returned, &request.Overlapped)) {
                // Answered at once: report it and wait with the same request.
                report(request);
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING) {
                failed = true;
                break;
            }
            request.Pending = true;
            current = (current + 1) % kLinkRequests;
            --toIssue;
        }
        if (failed) {
            break;
        }
        LinkRequest& oldest = LinkRequests[current];
        const HANDLE waits[2] = {StopEvent, oldest.Overlapped.hEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            break;
        }
        // Its event set while it is still in the driver is no answer (see
        // AwaitRequest): the record is reissued only once it has ended, and
        // the wait for it stays open to the stop event.
        if (RequestPending(Device, &oldest.Overlapped)) {
            ResetEvent(oldest.Overlapped.hEvent);
            if (RequestPending(Device, &oldest.Overlapped)) {
                continue;
            }
        }
        const BOOL ok = GetOverlappedResult(Device, &oldest.Overlapped, &oldest.Returned, FALSE);
        oldest.Pending = false;
        if (ok) {
            report(oldest);
        }
        toIssue = 1;
    }

    // Nothing may be left in the driver that writes into these records.
    CancelIo(Device);
    for (LinkRequest& request : LinkRequests) {
        if (request.Pending) {
            DWORD returned = 0;
            AwaitRequest(Device, &request.Overlapped, &returned);
            request.Pending = false;
        }
    }
}

void PhysicalInstance::CloseLinkWatcher() noexcept
{
    if (WatcherThread == nullptr) {
        return;
    }
    SetEvent(StopEvent);
    WaitForSingleObject(WatcherThread, INFINITE);
    CloseIfOpen(WatcherThread);
    CloseIfOpen(StopEvent);
    for (LinkRequest& request : LinkRequests) {
        CloseIfOpen(request.Overlapped.hEvent);
    }
}

} // namespace FlApi
