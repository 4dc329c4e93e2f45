// Register-level behaviour of one function: configuration space, resets,
// interrupts, statistics, LEDs, the software semaphore and traces.
#include "hw_test_util.hpp"

namespace hw::test {
namespace {

using namespace reg;

MachineOptions Manual() {
    MachineOptions o;
    o.clock = ClockMode::Manual;
    return o;
}

TEST(Config, IdentityLinkWidthAndBar) {
    Machine m(Manual());
    BoardOptions bo;
    bo.deviceId = 0x0002;
    bo.pcieLinkWidth = 2;
    Board& b = m.AddBoard(bo);
    Port& p0 = b.GetPort(0);
    Port& p1 = b.GetPort(1);
    EXPECT_EQ(p0.ConfigRead16(0), 0xF10E);
    EXPECT_EQ(p1.ConfigRead16(2), 0x0002);
    EXPECT_EQ(p0.ConfigRead32(0), 0x0002F10Eu);
    EXPECT_EQ(p0.ConfigRead16(0xF2) & 0x3F0, 0x20);  // x2
    EXPECT_EQ(p0.ConfigRead8(0x0B), 0x02);            // network controller
    EXPECT_EQ(p1.Location().function, 1u);
    EXPECT_NE(p0.InterruptLine(), p1.InterruptLine());
    EXPECT_NE(p0.Bar0Physical(), p1.Bar0Physical());
    EXPECT_EQ(p0.ConfigRead32(0x1000), 0xFFFFFFFFu);  // beyond the space

    // BAR sizing: all ones written, the size mask read back, then restored.
    const std::uint32_t bar = p0.ConfigRead32(0x10);
    p0.ConfigWrite32(0x10, 0xFFFFFFFF);
    EXPECT_EQ(p0.ConfigRead32(0x10), ~(p0.Bar0Length() - 1));
    p0.ConfigWrite32(0x10, bar);
    EXPECT_EQ(p0.ConfigRead32(0x10), bar);
    // Identity is read-only.
    p0.ConfigWrite16(0, 0x8086);
    EXPECT_EQ(p0.ConfigRead16(0), 0xF10E);
    // A board with another identity (the controller maker's own, say).
    BoardOptions other;
    other.vendorId = 0x8086;
    other.deviceId = 0x105E;
    Port& q = m.AddBoard(other).GetPort(0);
    EXPECT_EQ(q.ConfigRead32(0), 0x105E8086u);
    EXPECT_EQ(q.Location().bus, p0.Location().bus + 1);
}

TEST(Clock, ManualTimeMovesOnlyWhenTold) {
    MachineOptions o = Manual();
    o.autonegotiationDelay = std::chrono::milliseconds(5);
    Machine m(o);
    Board& b = m.AddBoard();
    EXPECT_EQ(m.Mode(), ClockMode::Manual);
    EXPECT_EQ(m.Now(), 0);
    EXPECT_FALSE(m.StepToNextEvent());
    m.Connect(b.GetPort(0), b.GetPort(1));
    EXPECT_FALSE(b.GetPort(0).LinkUp());
    ASSERT_TRUE(m.StepToNextEvent());  // straight to the outcome of negotiation
    EXPECT_EQ(m.Now(), 5'000'000);
    EXPECT_TRUE(b.GetPort(0).LinkUp());
    EXPECT_FALSE(m.StepToNextEvent());
    m.Advance(std::chrono::milliseconds(3));
    EXPECT_EQ(m.Now(), 8'000'000);
}

TEST(Reset, DeviceResetRestoresRegistersAndSelfClears) {
    Machine m(Manual());
    Port& p = m.AddBoard().GetPort(1);
    EXPECT_EQ((p.ReadRegister(STATUS) >> STATUS_FUNC_SHIFT) & 3, 1u);
    EXPECT_TRUE(p.ReadRegister(EECD) & EECD_AUTO_RD);
    EXPECT_EQ(p.ReadRegister(LEDCTL), 0x07068302u);

    p.WriteRegister(RCTL, 0x8002);
    p.WriteRegister(IMS, ICR_LSC);
    p.WriteRegister(RAL0, 0x12345678);
    p.WriteRegister(PBA, 32);
    EXPECT_EQ(p.ReadRegister(PBA) & 0xFFFF, 32u);  // receive share; the transmit share follows from it
    p.WriteRegister(CTRL, CTRL_SLU | CTRL_RST);
    EXPECT_EQ(p.ReadRegister(CTRL) & (CTRL_RST | CTRL_SLU), 0u);  // self-cleared, SLU back to reset value
    EXPECT_EQ(p.ReadRegister(RCTL), 0u);
    EXPECT_EQ(p.ReadRegister(IMS), 0u);
    EXPECT_EQ(p.ReadRegister(RAL0), 0u);
    EXPECT_EQ(p.ReadRegister(PBA), 0x00100030u);
    EXPECT_TRUE(p.ReadRegister(EECD) & EECD_AUTO_RD);
    EXPECT_TRUE(p.ReadRegister(EEMNGCTL) & EEMNGCTL_CFG_DONE0);
}

TEST(Reset, GioMasterDisableStopsDmaUntilCleared) {
    Machine m(Manual());
    Port& p = m.AddBoard().GetPort(0);
    EXPECT_TRUE(p.ReadRegister(STATUS) & STATUS_GIO_MASTER_ENABLE);
    RxRing rx(m, p, 8, 2048);
    rx.GiveAll();
    p.WriteRegister(CTRL, CTRL_GIO_MASTER_DISABLE);
    EXPECT_FALSE(p.ReadRegister(STATUS) & STATUS_GIO_MASTER_ENABLE);
    p.InjectFrame(TestFrame(100, 1));
    EXPECT_EQ(rx.Status(0), 0);  // held in the FIFO, not written
    EXPECT_EQ(p.Counters().queued, 1u);
    p.WriteRegister(CTRL, 0);
    EXPECT_TRUE(p.ReadRegister(STATUS) & STATUS_GIO_MASTER_ENABLE);
    EXPECT_EQ(rx.Status(0), RXD_STAT_DD | RXD_STAT_EOP | RXD_STAT_IXSM);
    EXPECT_EQ(p.Counters().delivered, 1u);
}

TEST(Reset, BusMasterOffInConfigurationStopsDma) {
    Machine m(Manual());
    Port& p = m.AddBoard().GetPort(0);
    RxRing rx(m, p, 8, 2048);
    rx.GiveAll();
    p.ConfigWrite16(0x04, 0x0002);  // memory only
    p.InjectFrame(TestFrame(100, 1));
    EXPECT_EQ(rx.Status(0), 0);
    p.ConfigWrite16(0x04, 0x0006);
    p.WriteRegister(RDT, 7);  // the next ring access moves the frame
    EXPECT_EQ(rx.Status(0) & RXD_STAT_DD, RXD_STAT_DD);
}

TEST(Reset, RemovedFunctionReadsAllOnes) {
    Machine m(Manual());
    Port& p = m.AddBoard().GetPort(0);
    p.SetFaults({.phyNeverReady = false, .removed = true});
    EXPECT_EQ(p.ReadRegister(STATUS), 0xFFFFFFFFu);
    p.WriteRegister(EERD, EERD_START);
    EXPECT_EQ(p.ReadRegister(EERD), 0xFFFFFFFFu);
    p.WriteRegister(RCTL, RCTL_EN);
    p.SetFaults({});
    EXPECT_EQ(p.ReadRegister(RCTL), 0u);  // the write was lost
    EXPECT_EQ(m.TraceCount(), 0u);
}

TEST(Interrupts, LevelFollowsCauseAndMaskAndReadClears) {
    Machine m(Manual());
    Port& p = m.AddBoard().GetPort(0);
    std::vector<bool> seen;
    p.SetInterruptHandler([&](bool level) { seen.push_back(level); });

    p.WriteRegister(ICS, ICR_LSC);  // cause without mask: no interrupt
    EXPECT_FALSE(p.InterruptAsserted());
    p.WriteRegister(IMS, ICR_LSC);
    EXPECT_TRUE(p.InterruptAsserted());
    const std::uint32_t icr = p.ReadRegister(ICR);
    EXPECT_EQ(icr, ICR_LSC | ICR_ASSERTED);
    EXPECT_FALSE(p.InterruptAsserted());
    EXPECT_EQ(p.ReadRegister(ICR), 0u);  // cleared by the read, bit 31 gone with it
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));

    // Masked again: the cause stays but the line stays low.
    p.WriteRegister(IMC, 0xFFFFFFFF);
    p.WriteRegister(ICS, ICR_LSC);
    EXPECT_FALSE(p.InterruptAsserted());
    EXPECT_EQ(p.ReadRegister(ICR), ICR_LSC);  // not this device's interrupt: bit 31 clear
    p.SetInterruptHandler(nullptr);
}

TEST(Interrupts, HandlerMayReadRegisters) {
    Machine m(Manual());
    Port& p = m.AddBoard().GetPort(0);
    std::uint32_t claimed = 0;
    p.SetInterruptHandler([&](bool level) {
        if (level) claimed = p.ReadRegister(ICR);  // an ISR on the same thread
    });
    p.WriteRegister(IMS, ICR_LSC);
    p.WriteRegister(ICS, ICR_LSC);
    EXPECT_EQ(claimed, ICR_LSC | ICR_ASSERTED);
    EXPECT_FALSE(p.InterruptAsserted());
    p.SetInterruptHandler(nullptr);
}

TEST(Statistics, ClearOnReadAndPairsClearOnHighHalf) {
    Machine m(Manual());
    Port& p = m.AddBoard().GetPort(0);
    RxRing rx(m, p, 16, 2048);
    rx.GiveAll();
    p.InjectFrame(TestFrame(100, 1));
    p.InjectFrame(TestFrame(200, 2));
    p.InjectFrame(TestFrame(64, 3, /*badFcs=*/true));
    EXPECT_EQ(p.ReadRegister(TPR), 3u);
    EXPECT_EQ(p.ReadRegister(TPR), 0u);
    EXPECT_EQ(p.ReadRegister(GPRC), 2u);
    EXPECT_EQ(p.ReadRegister(CRCERRS), 1u);
    EXPECT_EQ(p.ReadRegister(GPRC), 0u);
    EXPECT_EQ(p.ReadRegister(CRCERRS), 0u);
    // Total octets: low half does not clear, the high half clears both.
    EXPECT_EQ(p.ReadRegister(TORL), 364u);
    EXPECT_EQ(p.ReadRegister(TORL), 364u);
    EXPECT_EQ(p.ReadRegister(TORH), 0u);
    EXPECT_EQ(p.ReadRegister(TORL), 0u);
    // A frame that arrives between the two halves is left for the next read.
    p.InjectFrame(TestFrame(100, 5));
    EXPECT_EQ(p.ReadRegister(TORL), 100u);
    p.InjectFrame(TestFrame(200, 6));
    EXPECT_EQ(p.ReadRegister(TORH), 0u);
    EXPECT_EQ(p.ReadRegister(TORL), 200u);
    EXPECT_EQ(p.ReadRegister(TORH), 0u);
    EXPECT_EQ(p.ReadRegister(TORL), 0u);
    // Reading every counter (as a clear does) leaves all of them zero and
    // traces nothing.
    p.InjectFrame(TestFrame(100, 4));
    for (std::uint32_t r = STATS_FIRST; r <= STATS_LAST; r += 4) p.ReadRegister(r);
    for (std::uint32_t r = STATS_FIRST; r <= STATS_LAST; r += 4) EXPECT_EQ(p.ReadRegister(r), 0u) << r;
    EXPECT_EQ(m.TraceCount(), 0u);
}

TEST(Leds, ModesFollowLinkAndOverrides) {
    Machine m(Manual());
    Board& b = m.AddBoard();
    Port& p = b.GetPort(0);
    // Reset: LED 0 shows link up; link is down.
    EXPECT_FALSE(p.LedState(0).on);
    p.WriteRegister(LEDCTL, 0x0F8E070E);  // LED0 on, LED1 1000 link, LED2 on+blink, LED3 off
    EXPECT_TRUE(p.LedState(0).on);
    EXPECT_FALSE(p.LedState(0).blinking);
    EXPECT_FALSE(p.LedState(1).on);
    EXPECT_TRUE(p.LedState(2).on);
    EXPECT_TRUE(p.LedState(2).blinking);
    EXPECT_FALSE(p.LedState(3).on);

    p.WriteRegister(LEDCTL, 0x07060302);  // normal modes: link, -, 100, 1000
    LinkUpCable(m, p, b.GetPort(1));
    EXPECT_TRUE(p.LedState(0).on);
    EXPECT_FALSE(p.LedState(2).on);
    EXPECT_TRUE(p.LedState(3).on);  // 1000 Mb/s
    p.WriteRegister(LEDCTL, 0x07060342);  // LED 0 inverted
    EXPECT_FALSE(p.LedState(0).on);
}

TEST(Semaphore, SharedByBothFunctions) {
    Machine m(Manual());
    Board& b = m.AddBoard();
    Port& f0 = b.GetPort(0);
    Port& f1 = b.GetPort(1);
    f0.WriteRegister(SWSM, SWSM_SWESMBI);
    EXPECT_TRUE(f0.ReadRegister(SWSM) & SWSM_SWESMBI);
    f1.WriteRegister(SWSM, SWSM_SWESMBI);
    EXPECT_FALSE(f1.ReadRegister(SWSM) & SWSM_SWESMBI);  // held by function 0
    f0.WriteRegister(SWSM, 0);
    f1.WriteRegister(SWSM, SWSM_SWESMBI);
    EXPECT_TRUE(f1.ReadRegister(SWSM) & SWSM_SWESMBI);
    f1.WriteRegister(SWSM, 0);

    // SMBI: the first read takes it (reads 0), later reads see it taken.
    EXPECT_FALSE(f0.ReadRegister(SWSM) & SWSM_SMBI);
    EXPECT_TRUE(f1.ReadRegister(SWSM) & SWSM_SMBI);
    f1.WriteRegister(SWSM, 0);
    EXPECT_FALSE(f0.ReadRegister(SWSM) & SWSM_SMBI);
}

TEST(Semaphore, StuckNeverGrantsAndCannotBeBroken) {
    Machine m(Manual());
    Board& b = m.AddBoard();
    b.SetFaults({.eepromSilent = false, .semaphoreStuck = true});
    Port& p = b.GetPort(0);
    for (int i = 0; i < 17; ++i) {
        p.WriteRegister(SWSM, SWSM_SWESMBI);
        EXPECT_FALSE(p.ReadRegister(SWSM) & SWSM_SWESMBI);
    }
    p.WriteRegister(SWSM, 0);
    p.WriteRegister(SWSM, SWSM_SWESMBI);
    EXPECT_FALSE(p.ReadRegister(SWSM) & SWSM_SWESMBI);
    b.SetFaults({});
    p.WriteRegister(SWSM, SWSM_SWESMBI);
    EXPECT_TRUE(p.ReadRegister(SWSM) & SWSM_SWESMBI);
}

TEST(Traces, UnimplementedAndMalformedAccessesAreTraced) {
    std::vector<std::string> sunk;
    MachineOptions o = Manual();
    o.traceSink = [&](const std::string& s) { sunk.push_back(s); };
    Machine m(o);
    Port& p = m.AddBoard().GetPort(1);
    EXPECT_EQ(p.ReadRegister(0x0004), 0u);   // not in the model
    p.WriteRegister(0x0F00, 1);
    p.ReadRegister(0x0102);                  // misaligned
    p.ReadRegister(p.Bar0Length());          // beyond BAR0
    p.WriteRegister(STATUS, 0xFFFFFFFF);     // read-only
    p.ReadRegister(IMC);                     // write-only
    p.WriteRegister(TDT1, 4);                // a queue the model does not run
    EXPECT_EQ(m.TraceCount(), 7u);
    ASSERT_EQ(sunk.size(), 7u);
    EXPECT_NE(sunk[0].find("board 0 function 1"), std::string::npos);
    EXPECT_NE(sunk[0].find("0x0004"), std::string::npos);
    EXPECT_EQ(m.Traces(), sunk);
    // A plain implemented register traces nothing.
    p.WriteRegister(TIPG, 0x00602008);
    EXPECT_EQ(p.ReadRegister(TIPG), 0x00602008u);
    p.WriteRegister(TDT1, 0);
    EXPECT_EQ(m.TraceCount(), 7u);
}

}  // namespace
}  // namespace hw::test
