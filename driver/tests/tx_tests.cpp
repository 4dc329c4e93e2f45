// Transmit slots and the transmit ring against the board model on a manual
// clock, its port cabled to the board's other port: what a write takes,
// how slots are filled, and what the pump puts on the wire. Write requests
// are stood in for below.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <cstring>
#include <memory>
#include <vector>

#include <hw/ethernet.hpp>
#include <hw/machine.hpp>

#include "board_shim.h"
#include "datapath.h"
#include "hw/controller.h"

namespace {

struct FakeRequest {
    std::vector<UCHAR> buffer;
    MDL mdl{};
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::function<void()> onMap;  // runs while the driver maps the buffer
};

FakeRequest* AsFake(WDFREQUEST request) { return reinterpret_cast<FakeRequest*>(request); }

}  // namespace

extern "C" {

NTSTATUS WdfRequestRetrieveInputWdmMdl(WDFREQUEST Request, PMDL* Mdl)
{
    FakeRequest* r = AsFake(Request);
    if (r->buffer.empty()) return STATUS_BUFFER_TOO_SMALL;
    if (r->onMap) r->onMap();
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

// Frame bytes without FCS; bytes 6..9 carry a sequence number.
std::vector<UCHAR> Payload(size_t length, ULONG sequence)
{
    std::vector<UCHAR> f(length);
    for (size_t i = 0; i < length; i++) f[i] = static_cast<UCHAR>(sequence * 11 + i * 5);
    f[0] = 0x02;
    std::memcpy(&f[6], &sequence, sizeof(sequence));
    return f;
}

// Appends one record: header, bytes, padding to 8.
void AddRecord(std::vector<UCHAR>& buffer, const std::vector<UCHAR>& bytes, ULONG flags = 0)
{
    PACKET_RECORD_HEADER h{};
    h.Flags = flags;
    h.WireLength = static_cast<USHORT>(bytes.size());
    h.CapturedLength = static_cast<USHORT>(bytes.size());
    size_t at = buffer.size();
    buffer.resize(at + sizeof(h) + ((bytes.size() + 7) & ~size_t{7}), 0);
    std::memcpy(&buffer[at], &h, sizeof(h));
    std::memcpy(&buffer[at + sizeof(h)], bytes.data(), bytes.size());
}

size_t RecordSize(size_t length) { return 24 + ((length + 7) & ~size_t{7}); }

class Tx : public ::testing::Test {
protected:
    Tx() : machine_(hw::MachineOptions{hw::ClockMode::Manual, std::chrono::milliseconds(20), {}, {}})
    {
        hw::Board& board = machine_.AddBoard();
        port_ = &board.GetPort(0);
        // A cable to the other port with the MAC link forced up, so that
        // frames reach the wire.
        const ULONG fullDuplex = 0x00000001u;  // CTRL.FD
        port_->WriteRegister(E1000_CTRL, E1000_CTRL_SLU | fullDuplex);
        board.GetPort(1).WriteRegister(E1000_CTRL, E1000_CTRL_SLU | fullDuplex);
        machine_.Connect(*port_, board.GetPort(1));
        machine_.Advance(std::chrono::milliseconds(100));
        port_->CaptureTransmitted(true);
    }

    ~Tx() override
    {
        if (fdo_.Registers != nullptr) shim::UnmapRegisters(fdo_.Registers);
    }

    void Start(ULONG slots, ULONG descriptors, ULONG slotSize = 256)
    {
        ASSERT_TRUE(port_->LinkUp());
        if (fdo_.Registers != nullptr) shim::UnmapRegisters(fdo_.Registers);
        fdo_ = FDO_DATA{};
        instance_ = FILE_OBJECT_DATA{};
        fdo_.TxSlots = slots;
        fdo_.TxDescriptors = descriptors;
        fdo_.TxSlotSize = slotSize;
        ring_ = std::make_unique<DmaMemory>(machine_.Bus(), 16 * descriptors);
        buffers_ = std::make_unique<DmaMemory>(machine_.Bus(), static_cast<size_t>(slots) * slotSize);
        fdo_.TxRing = reinterpret_cast<PTX_DESCRIPTOR>(ring_->Host());
        fdo_.TxRingLogical = ring_->Logical();
        slotArray_.assign(slots, TX_SLOT{});
        for (ULONG s = 0; s < slots; s++) {
            slotArray_[s].Image.BufferAddress = buffers_->Logical() + static_cast<ULONGLONG>(s) * slotSize;
            slotArray_[s].Buffer = buffers_->Host() + static_cast<size_t>(s) * slotSize;
        }
        fdo_.TxSlotArray = slotArray_.data();
        fdo_.Registers = shim::MapRegisters(machine_, *port_);
        TxSetup(&fdo_, FALSE);
        TxStart(&fdo_);
        instance_.Port = &fdo_;
        instance_.TransmissionEnabled = 1;
    }

    FakeRequest Write(const std::vector<UCHAR>& buffer, std::function<void()> onMap = {})
    {
        FakeRequest request;
        request.onMap = std::move(onMap);
        request.buffer = buffer;
        request.mdl.MappedSystemVa = request.buffer.data();
        request.mdl.ByteCount = static_cast<ULONG>(request.buffer.size());
        TxWrite(&instance_, reinterpret_cast<WDFREQUEST>(&request), request.buffer.size());
        EXPECT_TRUE(request.completed);
        return request;
    }

    ULONG_PTR Taken(const std::vector<UCHAR>& buffer)
    {
        FakeRequest request = Write(buffer);
        EXPECT_EQ(request.status, STATUS_SUCCESS);
        return request.information;
    }

    hw::Machine machine_;
    hw::Port* port_;
    std::unique_ptr<DmaMemory> ring_;
    std::unique_ptr<DmaMemory> buffers_;
    std::vector<TX_SLOT> slotArray_;
    FDO_DATA fdo_{};
    FILE_OBJECT_DATA instance_{};
};

TEST_F(Tx, SixtyBytesGetTheirFcsFromTheController)
{
    Start(16, 8);
    const auto frame = Payload(60, 1);
    std::vector<UCHAR> buffer;
    AddRecord(buffer, frame);
    EXPECT_EQ(Taken(buffer), 88u);
    EXPECT_EQ(fdo_.TxProducer, 1u);
    EXPECT_EQ(slotArray_[0].Image.Length, 60);
    EXPECT_EQ(slotArray_[0].Image.Command, TXD_CMD_EOP | TXD_CMD_IFCS);
    EXPECT_EQ(instance_.TxPackets, 1u);
    EXPECT_EQ(instance_.TxBytes, 64u);

    TxPump(&fdo_);
    EXPECT_EQ(fdo_.TxRing[0].Command, TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
    EXPECT_EQ(fdo_.TxRing[0].Length, 60);
    EXPECT_EQ(port_->ReadRegister(E1000_TDT), 1u);
    auto wire = port_->TakeTransmitted();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].size(), 64u);
    EXPECT_TRUE(hw::FcsValid(wire[0]));
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), wire[0].begin()));

    // The next poll sees the descriptor done, clears its status and gives
    // the slot back.
    EXPECT_EQ(TxFreeSlots(&fdo_), 15u);
    TxPump(&fdo_);
    EXPECT_EQ(fdo_.TxRing[0].Status & TXD_STAT_MASK, 0);
    EXPECT_EQ(fdo_.TxClean, 1u);
    EXPECT_EQ(TxFreeSlots(&fdo_), 16u);
}

TEST_F(Tx, LongFrameOverSixSlotsAndAFrameWithItsOwnFcs)
{
    Start(16, 8);
    const auto frame = Payload(1514, 2);
    auto withFcs = Payload(76, 3);
    hw::AppendFcs(withFcs);
    std::vector<UCHAR> buffer;
    AddRecord(buffer, frame);
    AddRecord(buffer, withFcs, PACKET_FLAG_FCS_INCLUDED);
    // Two records: the write takes both, counted with their padding.
    EXPECT_EQ(Taken(buffer), RecordSize(1514) + RecordSize(80));
    for (ULONG s = 0; s < 6; s++) {
        EXPECT_EQ(slotArray_[s].Image.Length, s < 5 ? 256 : 234) << s;
        EXPECT_EQ(slotArray_[s].Image.Command, s < 5 ? 0 : TXD_CMD_EOP | TXD_CMD_IFCS) << s;
    }
    EXPECT_EQ(slotArray_[6].Image.Command, TXD_CMD_EOP);
    EXPECT_EQ(instance_.TxPackets, 2u);
    EXPECT_EQ(instance_.TxBytes, 1518u + 80u);

    TxPump(&fdo_);
    EXPECT_EQ(fdo_.TxTail, 7u);
    EXPECT_EQ(fdo_.TxRing[6].Command, TXD_CMD_EOP | TXD_CMD_RS);
    auto wire = port_->TakeTransmitted();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].size(), 1518u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), wire[0].begin()));
    EXPECT_EQ(wire[1], withFcs);
}

TEST_F(Tx, OneSlotAlwaysStaysFree)
{
    Start(16, 8);
    std::vector<UCHAR> small;
    for (ULONG i = 0; i < 10; i++) AddRecord(small, Payload(60, i));
    std::vector<UCHAR> large;
    AddRecord(large, Payload(1514, 99));  // six slots

    // 9 slots used, 7 free: six for the frame and one that stays free.
    std::vector<UCHAR> nine(small.begin(), small.begin() + 9 * 88);
    EXPECT_EQ(Taken(nine), 9u * 88u);
    EXPECT_EQ(Taken(large), RecordSize(1514));
    EXPECT_EQ(TxFreeSlots(&fdo_), 1u);
    // One free slot: nothing more is taken, the buffer is not even looked at.
    EXPECT_EQ(Taken(small), 0u);

    // Start over with 10 used: 6 free are not enough, and a write that
    // brings small frames first returns the bytes taken up to there.
    Start(16, 8);
    std::vector<UCHAR> mixed(small);
    mixed.insert(mixed.end(), large.begin(), large.end());
    EXPECT_EQ(Taken(mixed), 10u * 88u);
    EXPECT_EQ(TxFreeSlots(&fdo_), 6u);
    EXPECT_EQ(instance_.TxPackets, 10u);
}

TEST_F(Tx, WhatAWriteTakes)
{
    Start(16, 8);
    // Too short for a record header.
    EXPECT_EQ(Taken(std::vector<UCHAR>(23, 0)), 0u);
    EXPECT_EQ(Taken({}), 0u);
    // A buffer that ends inside its second record takes the first.
    std::vector<UCHAR> buffer;
    AddRecord(buffer, Payload(60, 1));
    AddRecord(buffer, Payload(100, 2));
    buffer.resize(buffer.size() - 1);
    EXPECT_EQ(Taken(buffer), 88u);
    // A record without bytes is passed over; the frame after it goes.
    std::vector<UCHAR> empty(24, 0);
    AddRecord(empty, Payload(60, 3));
    EXPECT_EQ(Taken(empty), 24u + 88u);
    EXPECT_EQ(fdo_.TxProducer, 2u);
    EXPECT_EQ(instance_.TxPackets, 2u);
    // Without transmission enabled.
    instance_.TransmissionEnabled = 0;
    EXPECT_EQ(Write(buffer).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Tx, ARecordRunningPastTheBufferIsNeverRead)
{
    // Slots large enough for any length, so that only the buffer's end can
    // stop the copy: neither a long frame nor one whose padded length
    // would wrap 16 bits is read past it.
    Start(16, 8, 16384);
    for (USHORT length : {USHORT(1000), USHORT(0xFFF9), USHORT(0xFFFF)}) {
        PACKET_RECORD_HEADER h{};
        h.WireLength = length;
        std::vector<UCHAR> lying(sizeof(h) + 16, 0);
        std::memcpy(lying.data(), &h, sizeof(h));
        EXPECT_EQ(Taken(lying), 0u) << length;
    }
    EXPECT_EQ(fdo_.TxProducer, 0u);
    EXPECT_EQ(instance_.TxPackets, 0u);
}

TEST_F(Tx, PumpAcrossTheWrapOfBothRings)
{
    // 8 descriptors (7 usable at once) over 16 slots, frames of one to
    // three slots: every frame reaches the wire once, whole and in order.
    Start(16, 8);
    ULONG sent = 0;
    ULONG seen = 0;
    for (int round = 0; round < 30; round++) {
        std::vector<UCHAR> buffer;
        for (ULONG i = 0; i < 4; i++) AddRecord(buffer, Payload(60 + 97 * ((sent + i) % 7), sent + i));
        size_t offset = 0;
        ULONG_PTR taken = Taken(buffer);
        // Only whole records are taken.
        while (offset < taken) {
            PACKET_RECORD_HEADER h;
            std::memcpy(&h, &buffer[offset], sizeof(h));
            offset += RecordSize(h.WireLength);
            sent++;
        }
        EXPECT_EQ(offset, taken);
        TxPump(&fdo_);
        EXPECT_LE(RingDistance(fdo_.TxClean, fdo_.TxTail, 8), 7u) << "one descriptor stays empty";
        for (const auto& frame : port_->TakeTransmitted()) {
            auto expected = Payload(60 + 97 * (seen % 7), seen);
            ASSERT_EQ(frame.size(), expected.size() + 4) << seen;
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.begin())) << seen;
            EXPECT_TRUE(hw::FcsValid(frame));
            seen++;
        }
    }
    for (int i = 0; i < 10; i++) {
        TxPump(&fdo_);
        seen += static_cast<ULONG>(port_->TakeTransmitted().size());
    }
    EXPECT_EQ(seen, sent);
    EXPECT_GT(sent, 30u);
    EXPECT_EQ(TxFreeSlots(&fdo_), 16u);
    EXPECT_EQ(fdo_.TxClean, fdo_.TxTail);
    EXPECT_EQ(machine_.Bus().FaultCount(), 0u);
}

TEST_F(Tx, AWriterAndThePumpOnTheirOwnThreads)
{
    // Writes fill slots on one thread while the pump posts and reclaims on
    // another: every frame goes on the wire once, whole and in order.
    Start(32, 8);
    const ULONG frames = 1000;
    auto length = [](ULONG sequence) { return 60 + (sequence * 211) % (1514 - 60 + 1); };
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        while (!stop.load()) {
            TxPump(&fdo_);
            std::this_thread::yield();
        }
    });
    std::thread writer([&] {
        ULONG next = 0;
        while (next < frames && !stop.load()) {
            std::vector<UCHAR> buffer;
            for (ULONG i = next; i < frames && i < next + 5; i++) AddRecord(buffer, Payload(length(i), i));
            ULONG_PTR taken = Taken(buffer);
            for (size_t offset = 0; offset < taken; next++) offset += RecordSize(length(next));
            if (taken == 0) std::this_thread::yield();
        }
    });
    ULONG seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (seen < frames && std::chrono::steady_clock::now() < deadline) {
        for (const auto& frame : port_->TakeTransmitted()) {
            auto expected = Payload(length(seen), seen);
            ASSERT_EQ(frame.size(), expected.size() + 4) << seen;
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.begin())) << seen;
            seen++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop.store(true);
    writer.join();
    pump.join();
    EXPECT_EQ(seen, frames);
    EXPECT_EQ(instance_.TxPackets, frames);
    EXPECT_EQ(machine_.Bus().FaultCount(), 0u);
}

TEST_F(Tx, PostingStopsOneDescriptorShort)
{
    Start(16, 8);
    std::vector<UCHAR> buffer;
    for (ULONG i = 0; i < 10; i++) AddRecord(buffer, Payload(60, i));
    EXPECT_EQ(Taken(buffer), 10u * 88u);
    TxPump(&fdo_);
    EXPECT_EQ(fdo_.TxTail, 7u);
    EXPECT_EQ(port_->TakeTransmitted().size(), 7u);
    // The controller finished all seven: the next poll reclaims them and
    // posts the remaining three.
    TxPump(&fdo_);
    EXPECT_EQ(fdo_.TxClean, 7u);
    EXPECT_EQ(fdo_.TxTail, 2u);
    EXPECT_EQ(port_->TakeTransmitted().size(), 3u);
    EXPECT_EQ(TxFreeSlots(&fdo_), 16u - 3u);
}

}  // namespace

namespace {

TEST_F(Tx, AFrameNeedingMoreSlotsThanTheRingCanPostIsNotTaken)
{
    // Eight descriptors post at most seven slots at a time, and the
    // controller sends a frame only once it has all of them: a frame of
    // eight slots would stop the ring for good.
    Start(64, 8);
    std::vector<UCHAR> tooLong;
    AddRecord(tooLong, Payload(7 * 256 + 1, 1));
    EXPECT_EQ(Taken(tooLong), 0u);
    EXPECT_EQ(fdo_.TxProducer, 0u);

    // Seven slots go, and the ring goes on after them.
    std::vector<UCHAR> longest;
    AddRecord(longest, Payload(7 * 256, 2));
    AddRecord(longest, Payload(60, 3));
    EXPECT_EQ(Taken(longest), longest.size());
    for (int poll = 0; poll < 4; poll++) TxPump(&fdo_);
    auto wire = port_->TakeTransmitted();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].size(), 7u * 256 + 4);
    EXPECT_EQ(wire[1].size(), 64u);
}

TEST_F(Tx, ARestartWaitsForTheWriteInProgressAndTurnsNewOnesAway)
{
    Start(64, 8);
    std::vector<UCHAR> records;
    AddRecord(records, Payload(300, 1));

    // A write stops while it maps its buffer; the positions restart on
    // another thread meanwhile.
    std::atomic<bool> mapping{false};
    std::atomic<bool> proceed{false};
    FakeRequest held;
    std::thread writer([&] {
        held = Write(records, [&] {
            mapping = true;
            while (!proceed) std::this_thread::yield();
        });
    });
    while (!mapping) std::this_thread::yield();
    std::atomic<bool> restarted{false};
    std::thread management([&] {
        TxStart(&fdo_);
        restarted = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!restarted && InterlockedCompareExchange(&fdo_.TxRestarting, 0, 0) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(restarted) << "the restart waits for the write in progress";
    // A write that comes now takes nothing and is asked again later.
    if (!restarted) {
        EXPECT_EQ(Taken(records), 0u);
    }
    EXPECT_EQ(fdo_.TxProducer, 0u);

    proceed = true;
    writer.join();
    management.join();
    EXPECT_EQ(held.information, records.size());
    // The restart came after that write: the ring starts over empty.
    EXPECT_EQ(fdo_.TxProducer, 0u);
    EXPECT_EQ(fdo_.TxReleased, 0u);
    EXPECT_EQ(Taken(records), records.size());
    EXPECT_EQ(fdo_.TxProducer, 2u);
}

}  // namespace
