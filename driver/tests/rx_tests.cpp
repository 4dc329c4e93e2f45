// The receive slot ring against the board model on a manual clock: harvest
// and refill, slot shortage, reads and their records, the error filter,
// tail pruning and the reader table. Read requests, the read queue, events
// and the system time are stood in for below.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include <hw/ethernet.hpp>
#include <hw/machine.hpp>

#include "board_shim.h"
#include "datapath.h"
#include "hw/controller.h"

namespace {

// ------------------------------------------------------------------
// Stand-ins for the read queue, read requests, events and system time.

struct FakeRequest {
    WDFFILEOBJECT file = nullptr;
    std::vector<UCHAR> buffer;
    MDL mdl{};
    size_t length = 0;
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

std::deque<FakeRequest*> g_readQueue;
LONGLONG g_systemTime = 0;
int g_eventsSet = 0;

FakeRequest* AsFake(WDFREQUEST request) { return reinterpret_cast<FakeRequest*>(request); }

}  // namespace

extern "C" {

VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = g_systemTime; }

LONG KeSetEvent(PRKEVENT, KPRIORITY, BOOLEAN)
{
    g_eventsSet++;
    return 0;
}

NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE, WDFFILEOBJECT FileObject, WDFREQUEST* OutRequest)
{
    for (auto it = g_readQueue.begin(); it != g_readQueue.end(); ++it) {
        if ((*it)->file == FileObject) {
            *OutRequest = reinterpret_cast<WDFREQUEST>(*it);
            g_readQueue.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MORE_ENTRIES;
}

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    Parameters->Type = WdfRequestTypeRead;
    Parameters->Parameters.Read.Length = AsFake(Request)->length;
}

NTSTATUS WdfRequestRetrieveOutputWdmMdl(WDFREQUEST Request, PMDL* Mdl)
{
    FakeRequest* r = AsFake(Request);
    if (r->length == 0) return STATUS_BUFFER_TOO_SMALL;
    *Mdl = &r->mdl;
    return STATUS_SUCCESS;
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    FakeRequest* r = AsFake(Request);
    EXPECT_FALSE(r->completed) << "a request is completed once";
    r->completed = true;
    r->status = Status;
    r->information = Information;
}

}  // extern "C"

namespace {

// ------------------------------------------------------------------
// A port with its receive ring and slots in bus-mapped memory.

class DmaMemory {
public:
    DmaMemory(hw::BusSpace& bus, size_t size) : bus_(bus)
    {
        host_ = static_cast<PUCHAR>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096));
        std::memset(host_, 0, size);
        logical_ = bus_.Map(host_, size);
    }
    ~DmaMemory()
    {
        bus_.Unmap(logical_);
        std::free(host_);
    }
    PUCHAR Host() const { return host_; }
    ULONGLONG Logical() const { return logical_; }

private:
    hw::BusSpace& bus_;
    PUCHAR host_;
    ULONGLONG logical_;
};

struct Record {
    ULONGLONG timestamp;
    ULONG flags;
    USHORT wire;
    USHORT captured;
    ULONG errors;
    std::vector<UCHAR> data;
};

struct ReadResult {
    NTSTATUS status;
    ULONG_PTR bytes;
    FL_READ_HEADER header;
    std::vector<Record> records;
};

// A frame with its FCS whose bytes 6..9 carry a sequence number.
std::vector<UCHAR> Frame(size_t sizeWithFcs, ULONG sequence)
{
    std::vector<UCHAR> f(sizeWithFcs - 4);
    for (size_t i = 0; i < f.size(); i++) f[i] = static_cast<UCHAR>(sequence * 13 + i * 7);
    f[0] = 0x02;
    std::memcpy(&f[6], &sequence, sizeof(sequence));
    hw::AppendFcs(f);
    return f;
}

ULONG Sequence(const std::vector<UCHAR>& data)
{
    ULONG sequence;
    std::memcpy(&sequence, &data[6], sizeof(sequence));
    return sequence;
}

class Rx : public ::testing::Test {
protected:
    Rx() : machine_(hw::MachineOptions{hw::ClockMode::Manual, std::chrono::milliseconds(20), {}, {}})
    {
        port_ = &machine_.AddBoard().GetPort(0);
        g_readQueue.clear();
        g_systemTime = 1'000'000'000;
        g_eventsSet = 0;
    }

    ~Rx() override { Stop(); }

    void Stop()
    {
        if (fdo_.Registers != nullptr) shim::UnmapRegisters(fdo_.Registers);
        if (fdo_.ReaderLock != nullptr) shim::DeleteSpinLock(fdo_.ReaderLock);
        if (fdo_.CountersLock != nullptr) shim::DeleteSpinLock(fdo_.CountersLock);
        fdo_ = FDO_DATA{};
        handFill_ = 0;
    }

    // Carves the slots, programs the ring and starts it, as device add,
    // D0 entry and the management thread do.
    void Start(ULONG slots, ULONG descriptors, ULONG slotSize = 256)
    {
        Stop();
        fdo_.RxSlots = slots;
        fdo_.RxDescriptors = descriptors;
        fdo_.RxSlotSize = slotSize;
        fdo_.PruneThresholdSlots = slots * 30 / 100;
        ring_ = std::make_unique<DmaMemory>(machine_.Bus(), 16 * descriptors);
        buffers_ = std::make_unique<DmaMemory>(machine_.Bus(), static_cast<size_t>(slots) * slotSize);
        fdo_.RxRing = reinterpret_cast<PRX_DESCRIPTOR>(ring_->Host());
        fdo_.RxRingLogical = ring_->Logical();
        slotArray_.assign(slots, RX_SLOT{});
        for (ULONG s = 0; s < slots; s++) {
            slotArray_[s].Image.BufferAddress = buffers_->Logical() + static_cast<ULONGLONG>(s) * slotSize;
            slotArray_[s].Buffer = buffers_->Host() + static_cast<size_t>(s) * slotSize;
        }
        fdo_.RxSlotArray = slotArray_.data();
        for (auto& entry : table_) {
            entry = READER_ENTRY{};
            entry.Prunable = 1;
        }
        fdo_.ReaderTable = table_;
        fdo_.ReaderCount = FL_READER_COUNT;
        fdo_.ReaderLock = shim::NewSpinLock();
        fdo_.CountersLock = shim::NewSpinLock();
        fdo_.Registers = shim::MapRegisters(machine_, *port_);
        RxSetup(&fdo_);
        RegWrite(&fdo_, E1000_RCTL, RegRead(&fdo_, E1000_RCTL) | E1000_RCTL_UPE | E1000_RCTL_MPE);
        RxStart(&fdo_);
    }

    FILE_OBJECT_DATA& Open(ULONG index)
    {
        FILE_OBJECT_DATA& instance = instances_[index];
        instance = FILE_OBJECT_DATA{};
        instance.Port = &fdo_;
        instance.SnapLength = 0xFFFF;
        instance.ErrorFilter = 3;
        instance.ReadThreshold = 0x100000;
        instance.ReadTimeout = 10;
        instance.LastCompletion = g_systemTime;
        EXPECT_EQ(ReaderAttach(&fdo_, &instance.ReaderIndex), STATUS_SUCCESS);
        instance.ReceptionEnabled = 1;
        return instance;
    }

    void Harvest() { RxHarvest(&fdo_, ++polls_ * 1000); }

    ReadResult Read(FILE_OBJECT_DATA& instance, size_t length)
    {
        FakeRequest request;
        request.length = length;
        request.buffer.assign(length, 0xEE);
        request.mdl.MappedSystemVa = request.buffer.data();
        request.mdl.ByteCount = static_cast<ULONG>(length);
        ReadComplete(&instance, reinterpret_cast<WDFREQUEST>(&request), length);
        EXPECT_TRUE(request.completed);
        return Parse(request);
    }

    static ReadResult Parse(const FakeRequest& request)
    {
        ReadResult result{request.status, request.information, {0, 0}, {}};
        if (request.status != STATUS_SUCCESS) return result;
        std::memcpy(&result.header, request.buffer.data(), sizeof(FL_READ_HEADER));
        size_t offset = sizeof(FL_READ_HEADER);
        while (offset < request.information) {
            PACKET_RECORD_HEADER h;
            std::memcpy(&h, &request.buffer[offset], sizeof(h));
            Record r{h.Timestamp, h.Flags, h.WireLength, h.CapturedLength, h.Errors, {}};
            const UCHAR* data = &request.buffer[offset + sizeof(h)];
            r.data.assign(data, data + h.CapturedLength);
            size_t size = sizeof(h) + ((h.CapturedLength + 7u) & ~7u);
            for (size_t pad = sizeof(h) + h.CapturedLength; pad < size; pad++) {
                EXPECT_EQ(request.buffer[offset + pad], 0) << "padding is cleared";
            }
            offset += size;
            result.records.push_back(std::move(r));
        }
        EXPECT_EQ(offset, request.information) << "records end where the read does";
        return result;
    }

    // The controller's view: descriptors it may still fill.
    ULONG Held() const
    {
        ULONG held = RingDistance(fdo_.RxNextCheck, fdo_.RxRefill, fdo_.RxDescriptors);
        return held == 0 ? fdo_.RxDescriptors : held;
    }

    // Writes a completed frame straight into the descriptor ring, as the
    // controller would, in pieces of the slot size.
    void HandFill(const std::vector<UCHAR>& frame, UCHAR errors)
    {
        size_t offset = 0;
        while (offset < frame.size()) {
            ULONG d = handFill_;
            PRX_DESCRIPTOR descriptor = &fdo_.RxRing[d];
            ULONG slot = RingAdvance(fdo_.RxWrite, RingDistance(fdo_.RxNextCheck, d, fdo_.RxDescriptors),
                                     fdo_.RxSlots);
            size_t piece = std::min<size_t>(fdo_.RxSlotSize, frame.size() - offset);
            std::memcpy(slotArray_[slot].Buffer, &frame[offset], piece);
            offset += piece;
            descriptor->Length = static_cast<USHORT>(piece);
            descriptor->Errors = offset == frame.size() ? errors : 0;
            descriptor->Status = static_cast<UCHAR>(0x01 | (offset == frame.size() ? RXD_STAT_EOP : 0));
            handFill_ = RingAdvance(handFill_, 1, fdo_.RxDescriptors);
        }
    }

    hw::Machine machine_;
    hw::Port* port_;
    std::unique_ptr<DmaMemory> ring_;
    std::unique_ptr<DmaMemory> buffers_;
    std::vector<RX_SLOT> slotArray_;
    READER_ENTRY table_[FL_READER_COUNT]{};
    FDO_DATA fdo_{};
    FILE_OBJECT_DATA instances_[4]{};
    ULONGLONG polls_ = 0;
    ULONG handFill_ = 0;
};

// ------------------------------------------------------------------
// Harvest and refill

TEST_F(Rx, StartHandsOverAllButOneDescriptor)
{
    Start(32, 8);
    EXPECT_EQ(port_->ReadRegister(E1000_RDT), 7u);
    EXPECT_EQ(port_->ReadRegister(E1000_RDH), 0u);
    EXPECT_TRUE(port_->ReadRegister(E1000_RCTL) & E1000_RCTL_EN);
    for (ULONG d = 0; d < 8; d++) {
        EXPECT_EQ(fdo_.RxRing[d].BufferAddress, slotArray_[d].Image.BufferAddress);
        EXPECT_EQ(fdo_.RxRing[d].Status, 0);
    }
    // Nothing received: a poll changes no position and no register.
    Harvest();
    EXPECT_EQ(fdo_.RxWrite, 0u);
    EXPECT_EQ(fdo_.RxRefill, 0u);
    EXPECT_EQ(port_->ReadRegister(E1000_RDT), 7u);
    EXPECT_EQ(HarvestTimeRead(&fdo_), 1000u);
}

TEST_F(Rx, HarvestAndRefillAcrossTheWrapOfBothRings)
{
    // 8 descriptors over 32 slots, 200 frames in polls of up to 5: both
    // rings wrap many times and every frame arrives once, whole and in order.
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    ULONG sent = 0;
    ULONG expected = 0;
    for (int round = 0; round < 40; round++) {
        ULONG burst = 1 + round % 5;
        for (ULONG i = 0; i < burst; i++) port_->InjectFrame(Frame(64 + 4 * ((sent + i) % 16), sent + i));
        sent += burst;
        Harvest();
        // The controller is one descriptor short of the refill position.
        ULONG refill = fdo_.RxRefill;
        EXPECT_EQ(port_->ReadRegister(E1000_RDT), refill == 0 ? 7u : refill - 1);
        EXPECT_EQ(Held(), 8u);
        ReadResult read = Read(reader, 4096);
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        for (const Record& r : read.records) {
            EXPECT_EQ(r.data, Frame(64 + 4 * (expected % 16), expected)) << expected;
            EXPECT_EQ(r.wire, r.data.size());
            EXPECT_EQ(r.flags, PACKET_FLAG_FCS_INCLUDED);
            EXPECT_EQ(r.timestamp, polls_ * 1000);  // read right after its poll
            expected++;
        }
    }
    EXPECT_EQ(expected, sent);
    EXPECT_EQ(port_->Counters().delivered, sent);
    EXPECT_EQ(machine_.Bus().FaultCount(), 0u);
}

TEST_F(Rx, OneTimestampPerPollAndTheHarvestTimeInTheHeader)
{
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    port_->InjectFrame(Frame(64, 0));
    port_->InjectFrame(Frame(64, 1));
    Harvest();  // t = 1000
    port_->InjectFrame(Frame(64, 2));
    Harvest();  // t = 2000
    Harvest();  // t = 3000, nothing new
    ReadResult read = Read(reader, 4096);
    ASSERT_EQ(read.records.size(), 3u);
    EXPECT_EQ(read.records[0].timestamp, 1000u);
    EXPECT_EQ(read.records[1].timestamp, 1000u);
    EXPECT_EQ(read.records[2].timestamp, 2000u);
    EXPECT_EQ(read.header.LastTimestamp, 2000u);
    EXPECT_EQ(read.header.HarvestTime, 3000u);
    // With timestamping off every poll stamps 0.
    port_->InjectFrame(Frame(64, 3));
    RxHarvest(&fdo_, 0);
    read = Read(reader, 4096);
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(read.records[0].timestamp, 0u);
    EXPECT_EQ(read.header.HarvestTime, 0u);
}

TEST_F(Rx, SlotShortageGivesTheControllerOnlyTheFreeSlots)
{
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    // The reader does not read: slots run out. Every poll with fewer free
    // slots than descriptors is counted, and the controller holds exactly
    // as many descriptors as there are free slots.
    ULONG sent = 0;
    ULONGLONG shortages = 0;
    for (int poll = 0; poll < 12; poll++) {
        for (int i = 0; i < 4; i++, sent++) port_->InjectFrame(Frame(64, sent));
        Harvest();
        ULONG free = RingDistance(fdo_.RxWrite, fdo_.RxOldest, 32);
        if (free == 0) free = 32;
        if (free < 8) {
            shortages++;
            EXPECT_EQ(Held(), free) << "poll " << poll;
        } else {
            EXPECT_EQ(Held(), 8u) << "poll " << poll;
        }
        EXPECT_EQ(fdo_.PortCounters[FL_PORT_STAT_SLOT_SHORTAGE], shortages);
    }
    EXPECT_GT(shortages, 0u);
    // One slot stays empty: 31 frames wait and none was overwritten.
    EXPECT_EQ(fdo_.RxWrite, 31u);
    ReadResult read = Read(reader, 8192);
    ASSERT_EQ(read.records.size(), 31u);
    for (ULONG i = 0; i < 31; i++) EXPECT_EQ(read.records[i].data, Frame(64, i)) << i;
    // Slots free again: the ring is refilled and the frames the controller
    // kept in its FIFO come in next, in order.
    Harvest();
    EXPECT_EQ(Held(), 8u);
    Harvest();
    read = Read(reader, 8192);
    ASSERT_FALSE(read.records.empty());
    EXPECT_EQ(Sequence(read.records[0].data), 31u);
}

// ------------------------------------------------------------------
// Reads

TEST_F(Rx, LongFrameOverSixSlotsWithSnapLength64)
{
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    reader.SnapLength = 64;
    const auto frame = Frame(1518, 7);
    port_->InjectFrame(frame);
    Harvest();
    EXPECT_EQ(fdo_.RxWrite, 6u);
    FILE_OBJECT_DATA& whole = Open(2);
    EXPECT_EQ(table_[2].Position, 0u) << "a later reader starts at the oldest data held";
    ReadResult read = Read(reader, 4096);
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(read.bytes, 16u + 88u);
    EXPECT_EQ(read.records[0].wire, 1518);
    EXPECT_EQ(read.records[0].captured, 64);
    EXPECT_EQ(read.records[0].errors, 0u);
    EXPECT_EQ(read.records[0].data, std::vector<UCHAR>(frame.begin(), frame.begin() + 64));
    // Without a snap length the whole frame, FCS included, across the slots.
    read = Read(whole, 4096);
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(read.records[0].data, frame);
    EXPECT_EQ(read.bytes, 16u + 24u + 1520u);
}

TEST_F(Rx, BufferSizes)
{
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    port_->InjectFrame(Frame(64, 0));
    port_->InjectFrame(Frame(64, 1));
    Harvest();
    // 16 bytes: the header and nothing else.
    ReadResult read = Read(reader, 16);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.bytes, 16u);
    EXPECT_EQ(read.header.LastTimestamp, 0u);
    EXPECT_EQ(read.header.HarvestTime, 1000u);
    // Too small for the second record: the first comes, the second stays.
    read = Read(reader, 16 + 88 + 87);
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(read.bytes, 16u + 88u);
    EXPECT_EQ(Sequence(read.records[0].data), 0u);
    // Too small for any: only the header, as often as it is offered.
    for (int i = 0; i < 3; i++) {
        read = Read(reader, 16 + 87);
        EXPECT_EQ(read.bytes, 16u);
        EXPECT_TRUE(read.records.empty());
    }
    read = Read(reader, 16 + 88);
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(Sequence(read.records[0].data), 1u);
    // Below the header, and before reception is enabled.
    EXPECT_EQ(Read(reader, 15).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Read(reader, 0).status, STATUS_BUFFER_TOO_SMALL);
    FILE_OBJECT_DATA idle{};
    idle.Port = &fdo_;
    EXPECT_EQ(Read(idle, 4096).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Rx, ErrorFilterAndErrorBits)
{
    Start(64, 16);
    struct Kind {
        UCHAR descriptor;  // error byte the controller reports
        ULONG bits;        // error bits of the record
    };
    const Kind kinds[] = {
        {0x00, 0},
        {RXD_ERR_CE, PACKET_ERROR_CRC},
        {RXD_ERR_SE, PACKET_ERROR_SYMBOL},
        {RXD_ERR_SEQ, PACKET_ERROR_SEQUENCE},
        {RXD_ERR_RXE, PACKET_ERROR_DATA},
        {RXD_ERR_CE | RXD_ERR_SE, PACKET_ERROR_CRC | PACKET_ERROR_SYMBOL},
        {0x20, 0},                // checksum result only: never delivered
        {0x20 | RXD_ERR_CE, PACKET_ERROR_CRC},
    };
    for (ULONG filter = 0; filter < 8; filter++) {
        SCOPED_TRACE(filter);
        FILE_OBJECT_DATA& reader = Open(1);
        reader.ErrorFilter = filter;
        for (ULONG k = 0; k < std::size(kinds); k++) HandFill(Frame(64, k), kinds[k].descriptor);
        Harvest();
        ReadResult read = Read(reader, 4096);
        size_t next = 0;
        for (ULONG k = 0; k < std::size(kinds); k++) {
            bool crc = kinds[k].bits & PACKET_ERROR_CRC;
            bool other = kinds[k].bits & ~PACKET_ERROR_CRC;
            bool wanted = kinds[k].descriptor == 0 ? (filter & 1) : ((crc && (filter & 2)) || (other && (filter & 4)));
            if (!wanted) continue;
            ASSERT_LT(next, read.records.size()) << "kind " << k;
            EXPECT_EQ(Sequence(read.records[next].data), k);
            EXPECT_EQ(read.records[next].errors, kinds[k].bits) << "kind " << k;
            next++;
        }
        EXPECT_EQ(next, read.records.size());
        // Frames left out are consumed all the same.
        EXPECT_EQ(table_[1].Position, fdo_.RxWrite);
        ReaderDetach(&fdo_, reader.ReaderIndex);
    }
}

TEST_F(Rx, FirstReaderStartsAtThePresentButNotInsideAFrame)
{
    Start(64, 16);
    port_->InjectFrame(Frame(64, 0));  // before any reader: never delivered
    Harvest();
    // Three of a frame's six slots are harvested when the reader comes.
    const auto frame = Frame(1518, 1);
    std::vector<UCHAR> head(frame.begin(), frame.begin() + 768);
    std::vector<UCHAR> tail(frame.begin() + 768, frame.end());
    ULONG start = handFill_ = fdo_.RxNextCheck;
    for (size_t i = 0; i < 3; i++) {
        PRX_DESCRIPTOR d = &fdo_.RxRing[RingAdvance(start, static_cast<ULONG>(i), 16)];
        std::memcpy(slotArray_[fdo_.RxWrite + i].Buffer, &frame[256 * i], 256);
        d->Length = 256;
        d->Status = 0x01;
    }
    Harvest();
    FILE_OBJECT_DATA& reader = Open(1);
    EXPECT_EQ(table_[1].Position, 1u) << "the frame in progress starts at slot 1";
    for (size_t i = 3; i < 6; i++) {
        PRX_DESCRIPTOR d = &fdo_.RxRing[RingAdvance(start, static_cast<ULONG>(i), 16)];
        size_t piece = std::min<size_t>(256, frame.size() - 256 * i);
        std::memcpy(slotArray_[1 + i].Buffer, &frame[256 * i], piece);
        d->Length = static_cast<USHORT>(piece);
        d->Status = static_cast<UCHAR>(0x01 | (i == 5 ? RXD_STAT_EOP : 0));
    }
    Harvest();
    ReadResult read = Read(reader, 4096);
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(read.records[0].data, frame);
}

// ------------------------------------------------------------------
// Completing reads

TEST_F(Rx, ReadCheckCompletesByThresholdTimeoutOrAClockGoneBack)
{
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    const auto file = reinterpret_cast<WDFFILEOBJECT>(&reader);
    KEVENT event{};
    reader.ReceiveEvent = &event;
    reader.ReadThreshold = 100;  // more than one 88-byte record
    FakeRequest request;
    request.file = file;
    request.length = 4096;
    request.buffer.assign(4096, 0);
    request.mdl.MappedSystemVa = request.buffer.data();
    request.mdl.ByteCount = 4096;
    g_readQueue.push_back(&request);

    // One record waiting, within the timeout: not due.
    port_->InjectFrame(Frame(64, 0));
    Harvest();
    g_systemTime += 5 * 10000;
    ReadCheck(file, &reader);
    EXPECT_FALSE(request.completed);
    EXPECT_EQ(g_eventsSet, 0);

    // Two records exceed the threshold: due, the event is set.
    port_->InjectFrame(Frame(64, 1));
    Harvest();
    ReadCheck(file, &reader);
    ASSERT_TRUE(request.completed);
    EXPECT_EQ(g_eventsSet, 1);
    EXPECT_EQ(request.information, 16u + 2 * 88u);
    EXPECT_EQ(reader.LastCompletion, g_systemTime);

    // Due without a pending read: nothing changes, and the next check
    // finds it due again.
    port_->InjectFrame(Frame(64, 2));
    port_->InjectFrame(Frame(64, 3));
    Harvest();
    ReadCheck(file, &reader);
    ReadCheck(file, &reader);
    EXPECT_EQ(g_eventsSet, 3);
    LONGLONG completedAt = reader.LastCompletion;

    // By the timeout: 10 ms after the last completion, and not before.
    FakeRequest second = request;
    second.completed = false;
    second.mdl.MappedSystemVa = second.buffer.data();
    reader.ReadThreshold = 0x100000;
    g_readQueue.push_back(&second);
    g_systemTime = completedAt + 10 * 10000;
    ReadCheck(file, &reader);
    EXPECT_FALSE(second.completed);
    g_systemTime += 1;
    ReadCheck(file, &reader);
    ASSERT_TRUE(second.completed);
    EXPECT_EQ(second.information, 16u + 2 * 88u);

    // A system time earlier than the last completion: due at once.
    FakeRequest third = second;
    third.completed = false;
    third.mdl.MappedSystemVa = third.buffer.data();
    g_readQueue.push_back(&third);
    g_systemTime -= 50;
    ReadCheck(file, &reader);
    EXPECT_TRUE(third.completed);
    EXPECT_EQ(third.information, 16u);
}

// ------------------------------------------------------------------
// Pruning and the reader table

class Prune : public Rx {
protected:
    // A ring of 100 slots with readers placed by hand: slots [oldest, write)
    // hold frames of the given slot counts, one after another.
    void Lay(ULONG oldest, const std::vector<ULONG>& frames)
    {
        Start(100, 8);
        fdo_.RxOldest = oldest;
        ULONG s = oldest;
        for (ULONG slots : frames) {
            for (ULONG i = 0; i < slots; i++) {
                slotArray_[s].Image.Status = static_cast<UCHAR>(0x01 | (i + 1 == slots ? RXD_STAT_EOP : 0));
                s = RingAdvance(s, 1, 100);
            }
        }
        fdo_.RxWrite = s;
    }
    void Place(ULONG index, ULONG position)
    {
        table_[index] = READER_ENTRY{};
        table_[index].Position = position;
        table_[index].Prunable = 1;
        table_[index].Active = 1;
        fdo_.ActiveReaders++;
    }
};

TEST_F(Prune, ReadersMoveToAFrameBoundaryAndOneInsideAScanStays)
{
    // 96 slots held from 90 on (across the wrap) in frames of 6 slots:
    // 4 free, threshold 30. The target, 30 slots past RxWrite, lies inside
    // a frame and moves back to its start.
    Lay(90, std::vector<ULONG>(16, 6));
    fdo_.PruneThresholdSlots = 30;
    ASSERT_EQ(fdo_.RxWrite, 86u);
    Place(1, 90);
    Place(2, 96);
    Place(3, 20);  // already past the target
    RxTailPrune(&fdo_);
    // 86 + 30 = 116: slot 16 lies in the frame 14..19, whose start is the
    // boundary.
    EXPECT_EQ(table_[1].Position, 14u);
    EXPECT_EQ(table_[2].Position, 14u);
    EXPECT_EQ(table_[3].Position, 20u);
    // Frames of six slots: four and three of them passed.
    EXPECT_EQ(table_[1].Dropped, 4u);
    EXPECT_EQ(table_[2].Dropped, 3u);
    EXPECT_EQ(table_[3].Dropped, 0u);
    EXPECT_EQ(fdo_.RxOldest, 14u);

    // A reader inside a scan is not moved and holds RxOldest; the others go.
    Lay(90, std::vector<ULONG>(16, 6));
    fdo_.PruneThresholdSlots = 30;
    Place(1, 90);
    Place(2, 0);
    ULONG position, write;
    ReaderBeginScan(&fdo_, 2, &position, &write);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(write, 86u);
    RxTailPrune(&fdo_);
    EXPECT_EQ(table_[1].Position, 14u);
    EXPECT_EQ(table_[2].Position, 0u);
    EXPECT_EQ(fdo_.RxOldest, 0u);
    // Its scan ends past the others: RxOldest follows to the oldest reader.
    ReaderEndScan(&fdo_, 2, 30, 1);
    EXPECT_EQ(fdo_.RxOldest, 14u);
    EXPECT_EQ(table_[2].Prunable, 1);
}

TEST_F(Prune, NothingToPruneWithoutTwoReadersOrWithoutABoundary)
{
    // One frame over all held slots: the target finds no end of packet
    // before RxOldest, so nobody moves.
    Lay(0, std::vector<ULONG>{90});
    fdo_.PruneThresholdSlots = 30;
    Place(1, 0);
    Place(2, 0);
    RxTailPrune(&fdo_);
    EXPECT_EQ(table_[1].Position, 0u);
    EXPECT_EQ(fdo_.RxOldest, 0u);
    // A single reader is never pruned.
    Lay(0, std::vector<ULONG>(90, 1));
    fdo_.PruneThresholdSlots = 30;
    Place(1, 0);
    RxTailPrune(&fdo_);
    EXPECT_EQ(table_[1].Position, 0u);
}

TEST_F(Prune, HarvestPrunesForPassthruOnly)
{
    // The passthru reader keeps up; an instance reader lags. Without
    // passthru the ring simply runs short; with it the lagging reader is
    // pruned and counts what it lost.
    for (UCHAR passthru = 0; passthru < 2; passthru++) {
        SCOPED_TRACE(static_cast<int>(passthru));
        Start(40, 8);
        fdo_.PassthruEnabled = passthru;
        fdo_.PruneThresholdSlots = 12;
        FILE_OBJECT_DATA& lagging = Open(1);
        ReaderAttachPassthru(&fdo_);
        for (ULONG i = 0; i < 60; i++) {
            port_->InjectFrame(Frame(64, i));
            Harvest();
            ULONG position, write;
            ReaderBeginScan(&fdo_, 0, &position, &write);
            ReaderEndScan(&fdo_, 0, write, 0);
        }
        if (passthru) {
            EXPECT_GT(table_[1].Dropped, 0u);
            ReadResult read = Read(lagging, 8192);
            ASSERT_FALSE(read.records.empty());
            EXPECT_EQ(Sequence(read.records[0].data), table_[1].Dropped) << "the frames moved past are the oldest";
            EXPECT_EQ(Sequence(read.records.back().data), 59u);
        } else {
            EXPECT_EQ(table_[1].Dropped, 0u);
            EXPECT_GT(fdo_.PortCounters[FL_PORT_STAT_SLOT_SHORTAGE], 0u);
            ReadResult read = Read(lagging, 8192);
            ASSERT_EQ(read.records.size(), 39u);
            EXPECT_EQ(Sequence(read.records[0].data), 0u);
        }
    }
}

TEST_F(Rx, DetachingTheReaderAtRxOldest)
{
    Start(32, 8);
    FILE_OBJECT_DATA& first = Open(1);
    for (ULONG i = 0; i < 10; i++) port_->InjectFrame(Frame(64, i));
    Harvest();
    FILE_OBJECT_DATA& second = Open(2);
    FILE_OBJECT_DATA& third = Open(3);
    Read(second, 16 + 3 * 88);  // to slot 3
    Read(third, 16 + 6 * 88);   // to slot 6
    EXPECT_EQ(fdo_.RxOldest, 0u);
    ReaderDetach(&fdo_, first.ReaderIndex);
    EXPECT_EQ(fdo_.RxOldest, 3u);
    EXPECT_EQ(fdo_.ActiveReaders, 2u);
    // The freed entry is the lowest again; a sixteenth reader finds none.
    EXPECT_EQ(Open(1).ReaderIndex, 1u);
    for (ULONG i = 4; i < FL_READER_COUNT; i++) {
        ULONG index;
        EXPECT_EQ(ReaderAttach(&fdo_, &index), STATUS_SUCCESS);
        EXPECT_EQ(index, i);
    }
    ULONG index;
    EXPECT_EQ(ReaderAttach(&fdo_, &index), STATUS_UNSUCCESSFUL);
}

TEST_F(Rx, RestartMovesAttachedReadersToTheNewRing)
{
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    for (ULONG i = 0; i < 5; i++) port_->InjectFrame(Frame(64, i));
    Harvest();
    Read(reader, 16 + 88);
    RxStart(&fdo_);
    EXPECT_EQ(table_[1].Position, 0u);
    EXPECT_EQ(fdo_.RxOldest, 0u);
    port_->InjectFrame(Frame(64, 100));
    Harvest();
    ReadResult read = Read(reader, 4096);
    ASSERT_EQ(read.records.size(), 1u);
    EXPECT_EQ(Sequence(read.records[0].data), 100u);
}

TEST_F(Rx, ARestartWaitsForTheCopyInProgress)
{
    // A reader is copying the five frames it found when the ring restarts
    // on the management thread, which then harvests new frames of other
    // sizes into the same slots.
    Start(32, 8);
    FILE_OBJECT_DATA& reader = Open(1);
    for (ULONG i = 0; i < 5; i++) port_->InjectFrame(Frame(64 + 8 * i, i));
    Harvest();
    ULONG position, write;
    ReaderBeginScan(&fdo_, 1, &position, &write);
    ASSERT_EQ(RingDistance(position, write, 32), 5u);
    std::vector<RX_SLOT> images(slotArray_.begin(), slotArray_.begin() + 5);
    std::vector<std::vector<UCHAR>> bytes;
    for (ULONG s = 0; s < 5; s++) bytes.emplace_back(slotArray_[s].Buffer, slotArray_[s].Buffer + 256);

    std::atomic<bool> restarted{false};
    std::thread management([&] {
        RxStart(&fdo_);
        restarted = true;
        for (ULONG i = 0; i < 5; i++) port_->InjectFrame(Frame(200 - 8 * i, 100 + i));
        Harvest();
    });
    auto restarting = [&] {
        WdfSpinLockAcquire(fdo_.ReaderLock);
        bool held = fdo_.RxRestarting != 0;
        WdfSpinLockRelease(fdo_.ReaderLock);
        return held;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!restarted && !restarting() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    // The copy still sees the lengths and bytes it began with.
    EXPECT_FALSE(restarted) << "the restart waits for the copy";
    for (ULONG s = 0; s < 5; s++) {
        EXPECT_EQ(slotArray_[s].Image.Length, images[s].Image.Length) << s;
        EXPECT_EQ(std::memcmp(slotArray_[s].Buffer, bytes[s].data(), 256), 0) << s;
    }
    ReaderEndScan(&fdo_, 1, write, 1);
    management.join();

    // The reader goes on with the new ring, every frame whole.
    ReadResult read = Read(reader, 8192);
    ASSERT_EQ(read.records.size(), 5u);
    for (ULONG i = 0; i < 5; i++) EXPECT_EQ(read.records[i].data, Frame(200 - 8 * i, 100 + i)) << i;
}

TEST_F(Rx, TheThresholdWalkKeptBetweenChecksAgreesWithAFreshOne)
{
    // The check goes on where its last walk stopped. Whatever moves the
    // reader in between (reads that take part of what was counted, tail
    // pruning, a restart, a new snap length or threshold), its answer is
    // the one of a walk from the reader's position over every whole frame.
    Start(64, 8);
    fdo_.PruneThresholdSlots = 16;
    FILE_OBJECT_DATA& reader = Open(1);
    FILE_OBJECT_DATA& other = Open(2);
    const auto file = reinterpret_cast<WDFFILEOBJECT>(&reader);
    KEVENT event{};
    reader.ReceiveEvent = &event;
    reader.LastCompletion = g_systemTime;  // never due by the timeout

    auto fresh = [&] {
        ULONGLONG waiting = 0;
        ULONG s = table_[1].Position;
        ULONG length = 0;
        for (; s != fdo_.RxWrite; s = RingAdvance(s, 1, 64)) {
            length += slotArray_[s].Image.Length;
            if (slotArray_[s].Image.Status & RXD_STAT_EOP) {
                ULONG captured = std::min<ULONG>(length, reader.SnapLength);
                waiting += 24 + ((captured + 7) & ~7u);
                length = 0;
            }
        }
        return waiting > reader.ReadThreshold;
    };

    unsigned seed = 7;
    auto next = [&](unsigned bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    ULONG sequence = 0;
    for (int step = 0; step < 600; step++) {
        switch (next(8)) {
        case 0:
        case 1:
        case 2:
            for (unsigned n = next(4); n > 0; n--) port_->InjectFrame(Frame(64 + next(1300), sequence++));
            Harvest();
            break;
        case 3:
            Read(reader, 16 + next(3000));
            break;
        case 4:
            reader.SnapLength = next(2) ? 0xFFFF : static_cast<USHORT>(60 + next(200));
            break;
        case 5:
            reader.ReadThreshold = next(3000);
            break;
        case 6:
            // The other reader keeps up; pruning moves this one on.
            Read(other, 1 << 16);
            fdo_.PassthruEnabled = 1;
            RxTailPrune(&fdo_);
            fdo_.PassthruEnabled = 0;
            break;
        default:
            if (next(10) == 0) {
                // Frames come in before the next check sees the new ring.
                RxStart(&fdo_);
                for (unsigned n = 1 + next(12); n > 0; n--) port_->InjectFrame(Frame(64 + next(300), sequence++));
                for (int poll = 0; poll < 4; poll++) Harvest();
            }
            break;
        }
        const bool expected = fresh();
        const int before = g_eventsSet;
        ReadCheck(file, &reader);
        ASSERT_EQ(g_eventsSet - before, expected ? 1 : 0) << "step " << step;
    }
    EXPECT_GT(table_[1].Dropped, 0u) << "pruning moved the reader at least once";
}

TEST_F(Rx, ThreadsShareTheRingWithoutLocks)
{
    // The board writes frames on this thread, a poller harvests on another
    // and two readers copy on two more, one with a snap length. Every frame
    // that reached memory reaches each reader once, whole and in order.
    Start(64, 16);
    FILE_OBJECT_DATA* readers[2] = {&Open(1), &Open(2)};
    readers[1]->SnapLength = 100;
    const ULONG frames = 1500;
    auto size = [](ULONG sequence) { return 64 + (sequence * 331) % (1518 - 64 + 1); };

    std::atomic<bool> stop{false};
    std::thread poller([&] {
        for (ULONGLONG t = 1; !stop.load(); t++) {
            RxHarvest(&fdo_, t);
            std::this_thread::yield();
        }
    });
    std::atomic<ULONG> received[2] = {0, 0};
    std::vector<std::thread> copiers;
    for (int r = 0; r < 2; r++) {
        copiers.emplace_back([&, r] {
            ULONG last = 0;
            bool first = true;
            while (!stop.load()) {
                ReadResult read = Read(*readers[r], 16384);
                for (const Record& record : read.records) {
                    ULONG sequence = Sequence(record.data);
                    EXPECT_TRUE(first || sequence > last) << sequence;
                    first = false;
                    last = sequence;
                    auto frame = Frame(size(sequence), sequence);
                    EXPECT_EQ(record.wire, frame.size());
                    frame.resize(std::min<size_t>(frame.size(), readers[r]->SnapLength));
                    EXPECT_EQ(record.data, frame) << sequence;
                    received[r].fetch_add(1);
                }
                std::this_thread::yield();
            }
        });
    }
    for (ULONG i = 0; i < frames; i++) {
        port_->InjectFrame(Frame(size(i), i));
        if (i % 8 == 0) std::this_thread::yield();
    }
    // Generous bound; the test never measures speed.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto settled = [&] {
        hw::PortCounters c = port_->Counters();
        return c.queued == 0 && received[0].load() == c.delivered && received[1].load() == c.delivered;
    };
    while (!settled() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop.store(true);
    poller.join();
    for (auto& t : copiers) t.join();
    hw::PortCounters c = port_->Counters();
    EXPECT_EQ(c.offered, frames);
    EXPECT_GT(c.delivered, 0u);
    EXPECT_EQ(received[0].load(), c.delivered);
    EXPECT_EQ(received[1].load(), c.delivered);
    EXPECT_EQ(machine_.Bus().FaultCount(), 0u);
}

TEST_F(Rx, HarvestTimeIsNeverSeenTorn)
{
    // Every published value has halves that add up to 0xFFFFFFFF, and the
    // high half changes with every poll: a reader on another thread must
    // only ever see whole values.
    Start(32, 8);
    std::atomic<bool> done{false};
    std::thread poller([&] {
        for (ULONGLONG k = 1; k <= 20000; k++) RxHarvest(&fdo_, (k << 32) | (0xFFFFFFFFull - k));
        done.store(true);
    });
    ULONGLONG reads = 0;
    ULONGLONG last = 0;
    while (!done.load()) {
        ULONGLONG value = HarvestTimeRead(&fdo_);
        if (value == 0) continue;
        ASSERT_EQ((value >> 32) + (value & 0xFFFFFFFFull), 0xFFFFFFFFull) << std::hex << value;
        ASSERT_GE(value >> 32, last >> 32) << "time never runs back";
        last = value;
        reads++;
    }
    poller.join();
    EXPECT_EQ(HarvestTimeRead(&fdo_), (20000ull << 32) | (0xFFFFFFFFull - 20000));
}

}  // namespace
