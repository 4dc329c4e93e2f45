// Receive and transmit DMA through descriptor rings, the bus space's fault
// detection, and frames crossing a cable.
#include "hw_test_util.hpp"

namespace hw::test {
namespace {

using namespace reg;
using namespace std::chrono_literals;

MachineOptions Manual() {
    MachineOptions o;
    o.clock = ClockMode::Manual;
    return o;
}

class Dma : public ::testing::Test {
protected:
    Dma() : m(Manual()), b(m.AddBoard()), p(b.GetPort(0)) {}
    Machine m;
    Board& b;
    Port& p;
};

TEST_F(Dma, FrameSplitOverBuffersWithWriteBack) {
    RxRing rx(m, p, 16, 256);
    rx.GiveAll();
    const auto frame = TestFrame(1518, 9);
    p.InjectFrame(frame);
    // 1518 bytes with their FCS in 256-byte buffers: five full and one of 238.
    for (std::uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(rx.Length(i), i < 5 ? 256 : 238) << i;
        EXPECT_EQ(rx.Status(i) & RXD_STAT_DD, RXD_STAT_DD) << i;
        EXPECT_EQ(rx.Status(i) & RXD_STAT_EOP, i == 5 ? RXD_STAT_EOP : 0) << i;
        EXPECT_EQ(rx.Errors(i), 0) << i;
    }
    EXPECT_EQ(rx.Status(6), 0);
    EXPECT_EQ(p.ReadRegister(RDH), 6u);
    std::vector<std::uint8_t> got;
    for (std::uint32_t i = 0; i < 6; ++i) got.insert(got.end(), rx.Buffer(i), rx.Buffer(i) + rx.Length(i));
    EXPECT_EQ(got, frame);  // the FCS is kept
    // The buffer address in each descriptor is left as the driver wrote it.
    EXPECT_EQ(Le(rx.Descriptor(3), 8), rx.buffers.Bus() + 3 * 256);
    EXPECT_EQ(p.Counters().delivered, 1u);
    EXPECT_TRUE(p.ReadRegister(ICR) & ICR_RXT0);
}

TEST_F(Dma, ErrorsInTheDescriptorAndStrippedFcs) {
    RxRing rx(m, p, 8, 2048, RCTL_SECRC);
    rx.GiveAll();
    p.InjectFrame(TestFrame(100, 1, /*badFcs=*/true));
    p.InjectFrame(TestFrame(100, 2), kRxSymbolError);
    EXPECT_EQ(rx.Errors(0), RXD_ERR_CE);
    EXPECT_EQ(rx.Errors(1), kRxSymbolError);
    EXPECT_EQ(rx.Length(0), 96);  // FCS stripped on request
    EXPECT_EQ(p.ReadRegister(SYMERRS), 1u);

    // Without "store bad packets" frames with errors never reach memory.
    p.WriteRegister(RCTL, p.ReadRegister(RCTL) & ~RCTL_SBP);
    p.InjectFrame(TestFrame(100, 3, true));
    EXPECT_EQ(rx.Status(2), 0);
    EXPECT_EQ(p.Counters().ignored, 1u);
}

TEST_F(Dma, AddressFilterAndLongFrames) {
    RxRing rx(m, p, 8, 2048);
    p.WriteRegister(RCTL, (p.ReadRegister(RCTL) & ~(RCTL_UPE | RCTL_MPE | RCTL_LPE)));
    rx.GiveAll();
    auto unicast = TestFrame(100, 1);
    p.InjectFrame(unicast);  // nobody's address
    EXPECT_EQ(p.Counters().ignored, 1u);
    // Receive address 0 with address valid: accepted.
    p.WriteRegister(RAL0, static_cast<std::uint32_t>(Le(unicast.data(), 4)));
    p.WriteRegister(RAH0, static_cast<std::uint32_t>(Le(unicast.data() + 4, 2)) | RAH_AV);
    p.InjectFrame(unicast);
    EXPECT_EQ(p.Counters().delivered, 1u);
    auto broadcast = TestFrame(100, 2);
    std::fill(broadcast.begin(), broadcast.begin() + 6, 0xFF);
    broadcast.resize(96);
    AppendFcs(broadcast);
    p.InjectFrame(broadcast);
    EXPECT_EQ(p.Counters().delivered, 2u);
    EXPECT_EQ(p.ReadRegister(BPRC), 1u);
    // Longer than 1522 without long packet enable: dropped and counted.
    p.WriteRegister(RCTL, p.ReadRegister(RCTL) | RCTL_UPE);
    p.InjectFrame(TestFrame(1600, 3));
    EXPECT_EQ(p.ReadRegister(ROC), 1u);
    EXPECT_EQ(p.Counters().delivered, 2u);
}

TEST_F(Dma, NoFreeDescriptorFillsTheFifoThenMisses) {
    p.WriteRegister(PBA, 4);  // 4 KiB of receive FIFO
    RxRing rx(m, p, 8, 2048);  // RDT = RDH: nothing given to the hardware
    for (int i = 0; i < 5; ++i) p.InjectFrame(TestFrame(1000, static_cast<std::uint8_t>(i)));
    // Four frames wait in the FIFO, the fifth is missed.
    PortCounters c = p.Counters();
    EXPECT_EQ(c.queued, 4u);
    EXPECT_EQ(c.missed, 1u);
    EXPECT_EQ(p.ReadRegister(MPC), 1u);
    EXPECT_EQ(p.ReadRegister(RNBC), 5u);  // every frame arrived to an empty ring
    EXPECT_TRUE(p.ReadRegister(ICR) & ICR_RXO);
    EXPECT_EQ(rx.Status(0), 0);

    // Two descriptors given: the oldest two frames go in, in order.
    p.WriteRegister(RDT, 2);
    EXPECT_EQ(Le(rx.Buffer(0) + 1, 1), TestFrame(1000, 0)[1]);
    EXPECT_EQ(Le(rx.Buffer(1) + 1, 1), TestFrame(1000, 1)[1]);
    EXPECT_EQ(rx.Status(2), 0);
    c = p.Counters();
    EXPECT_EQ(c.delivered, 2u);
    EXPECT_EQ(c.queued, 2u);
    EXPECT_EQ(c.offered, c.ignored + c.missed + c.delivered + c.queued + c.dmaFaults);
    // The hardware never takes the descriptor at the tail.
    rx.GiveAll();
    c = p.Counters();
    EXPECT_EQ(c.delivered, 4u);
    EXPECT_EQ(p.ReadRegister(RDH), 4u);
}

TEST_F(Dma, ReceiveToUnmappedAddressIsAFault) {
    RxRing rx(m, p, 8, 2048);
    const std::uint64_t good = Le(rx.Descriptor(0), 8);
    PutLe(rx.Descriptor(0), 0xDEAD0000, 8);  // not a bus address
    rx.GiveAll();
    p.InjectFrame(TestFrame(100, 1));
    ASSERT_EQ(m.Bus().FaultCount(), 1u);
    EXPECT_EQ(m.Bus().Faults()[0].address, 0xDEAD0000u);
    EXPECT_TRUE(m.Bus().Faults()[0].write);
    EXPECT_EQ(p.Counters().dmaFaults, 1u);
    EXPECT_EQ(rx.Status(0), 0);  // nothing written back for a refused frame
    EXPECT_EQ(p.ReadRegister(RDH), 0u);

    // A virtual address is no bus address either.
    const auto virt = reinterpret_cast<std::uintptr_t>(rx.buffers.Host());
    PutLe(rx.Descriptor(0), virt, 8);
    p.InjectFrame(TestFrame(100, 2));
    ASSERT_EQ(m.Bus().FaultCount(), 2u);
    EXPECT_EQ(m.Bus().Faults()[1].address, virt);

    // With the bus address back, frames flow again.
    PutLe(rx.Descriptor(0), good, 8);
    p.InjectFrame(TestFrame(100, 3));
    EXPECT_EQ(rx.Status(0) & RXD_STAT_EOP, RXD_STAT_EOP);
    EXPECT_EQ(m.Bus().FaultCount(), 2u);

    // The ring itself unmapped: descriptor reads fault too.
    m.Bus().ClearFaults();
    p.WriteRegister(RDBAL, 0x1000);
    p.WriteRegister(RDBAH, 0);
    p.InjectFrame(TestFrame(100, 4));
    ASSERT_EQ(m.Bus().FaultCount(), 1u);
    EXPECT_FALSE(m.Bus().Faults()[0].write);
    const PortCounters c = p.Counters();
    EXPECT_EQ(c.offered, c.ignored + c.missed + c.delivered + c.queued + c.dmaFaults);
}

TEST_F(Dma, TransmitGathersToEndOfPacketAndAppendsFcs) {
    LinkUpCable(m, p, b.GetPort(1));
    p.CaptureTransmitted(true);
    TxRing tx(m, p, 8, 8192);
    std::vector<std::uint8_t> small(60);
    for (std::size_t i = 0; i < small.size(); ++i) small[i] = static_cast<std::uint8_t>(i);
    tx.Put(0, 0, small, TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
    // 1514 bytes in six pieces, FCS appended by the controller; status only on the last.
    std::vector<std::uint8_t> big(1514);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 3);
    for (std::uint32_t k = 0; k < 6; ++k) {
        const std::size_t at = k * 256;
        const std::size_t len = std::min<std::size_t>(256, big.size() - at);
        const bool last = k == 5;
        tx.Put(1 + k, 1024 + at, {big.begin() + at, big.begin() + at + len},
               last ? (TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS) : 0);
    }
    p.WriteRegister(TDT, 7);
    EXPECT_EQ(p.ReadRegister(TDH), 7u);
    auto frames = p.TakeTransmitted();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 64u);
    EXPECT_TRUE(FcsValid(frames[0]));
    EXPECT_TRUE(std::equal(small.begin(), small.end(), frames[0].begin()));
    EXPECT_EQ(frames[1].size(), 1518u);
    EXPECT_TRUE(FcsValid(frames[1]));
    EXPECT_EQ(LoadStatus(tx.Descriptor(0)) & 0x0F, TXD_STAT_DD);
    for (std::uint32_t k = 1; k < 6; ++k) EXPECT_EQ(LoadStatus(tx.Descriptor(k)), 0) << k;
    EXPECT_EQ(LoadStatus(tx.Descriptor(6)) & 0x0F, TXD_STAT_DD);
    EXPECT_EQ(p.ReadRegister(TPT), 2u);
    EXPECT_EQ(p.ReadRegister(TOTL), 64u + 1518u);
    EXPECT_TRUE(p.ReadRegister(ICR) & ICR_TXDW);

    // A frame that already carries its FCS goes out as it is; without RS no
    // status is written.
    const auto withFcs = TestFrame(80, 5);
    tx.Put(7, 4096, withFcs, TXD_CMD_EOP);
    p.WriteRegister(TDT, 0);
    frames = p.TakeTransmitted();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], withFcs);
    EXPECT_EQ(LoadStatus(tx.Descriptor(7)), 0);
}

TEST_F(Dma, TransmitWithoutLinkIsDroppedButCompleted) {
    p.CaptureTransmitted(true);
    TxRing tx(m, p, 8, 4096);
    tx.Put(0, 0, std::vector<std::uint8_t>(60, 1), TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
    p.WriteRegister(TDT, 1);
    EXPECT_EQ(LoadStatus(tx.Descriptor(0)) & 0x0F, TXD_STAT_DD);
    EXPECT_TRUE(p.TakeTransmitted().empty());
    EXPECT_EQ(p.Counters().txDropped, 1u);
}

TEST_F(Dma, TransmitFromUnmappedBufferIsAFault) {
    LinkUpCable(m, p, b.GetPort(1));
    p.CaptureTransmitted(true);
    TxRing tx(m, p, 8, 4096);
    tx.Put(0, 0, std::vector<std::uint8_t>(60, 1), TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
    PutLe(tx.Descriptor(0), tx.data.Bus() + 4096, 8);  // just past the mapping
    tx.Put(1, 100, std::vector<std::uint8_t>(60, 2), TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
    p.WriteRegister(TDT, 2);
    EXPECT_EQ(m.Bus().FaultCount(), 1u);
    EXPECT_EQ(p.Counters().txDmaFaults, 1u);
    // The faulty packet is lost; the next one still goes.
    const auto frames = p.TakeTransmitted();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][0], 2);
}

TEST_F(Dma, FramesCrossACable) {
    Port& q = b.GetPort(1);
    LinkUpCable(m, p, q);
    RxRing rx(m, q, 16, 2048);
    rx.GiveAll();
    TxRing tx(m, p, 8, 4096);
    std::vector<std::uint8_t> payload(100, 0x42);
    payload[0] = 0x02;
    tx.Put(0, 0, payload, TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
    p.WriteRegister(TDT, 1);
    ASSERT_EQ(rx.Status(0) & RXD_STAT_EOP, RXD_STAT_EOP);
    EXPECT_EQ(rx.Length(0), 104);
    EXPECT_TRUE(FcsValid({rx.Buffer(0), 104}));
    EXPECT_EQ(q.Counters().offered, 1u);
    EXPECT_EQ(p.Counters().transmitted, 1u);
}

}  // namespace
}  // namespace hw::test
