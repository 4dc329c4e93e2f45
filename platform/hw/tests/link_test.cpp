// The PHY behind MDIC and autonegotiation with the link partner.
#include "hw_test_util.hpp"

namespace hw::test {
namespace {

using namespace reg;
using namespace std::chrono_literals;

MachineOptions Manual() {
    MachineOptions o;
    o.clock = ClockMode::Manual;
    o.autonegotiationDelay = 20ms;
    return o;
}

// Advertises `modes` (the system's mask) and restarts autonegotiation.
void Advertise(Port& p, std::uint32_t modes) {
    std::uint16_t adv = static_cast<std::uint16_t>((PhyRead(p, phy::AUTONEG_ADV).value() & 0xFE1F) | 0x0C00);
    if (modes & kMode10Half) adv |= phy::AD_10_HALF;
    if (modes & kMode10Full) adv |= phy::AD_10_FULL;
    if (modes & kMode100Half) adv |= phy::AD_100_HALF;
    if (modes & kMode100Full) adv |= phy::AD_100_FULL;
    ASSERT_TRUE(PhyWrite(p, phy::AUTONEG_ADV, adv));
    std::uint16_t gb = (modes & kMode1000Full) ? (PhyRead(p, phy::GB_CONTROL).value() & 0xFCFF) | 0x0200 : 0;
    ASSERT_TRUE(PhyWrite(p, phy::GB_CONTROL, gb));
    ASSERT_TRUE(PhyWrite(p, phy::CONTROL, PhyRead(p, phy::CONTROL).value() | 0x1200));
}

bool PhyLink(Port& p) {
    PhyRead(p, phy::STATUS);  // the first read clears a latched drop
    return PhyRead(p, phy::STATUS).value() & phy::SR_LINK;
}

class Link : public ::testing::Test {
protected:
    Link() : m(Manual()), b(m.AddBoard()), a(b.GetPort(0)), c(b.GetPort(1)) {
        a.WriteRegister(CTRL, CTRL_SLU | CTRL_FD);
        c.WriteRegister(CTRL, CTRL_SLU | CTRL_FD);
    }
    Machine m;
    Board& b;
    Port& a;
    Port& c;
};

TEST_F(Link, MdicReadsAndWritesThePhy) {
    EXPECT_EQ(PhyRead(a, phy::ID1), 0x02A8);
    EXPECT_EQ(PhyRead(a, phy::CONTROL).value() & phy::CR_AN_ENABLE, phy::CR_AN_ENABLE);
    ASSERT_TRUE(PhyWrite(a, phy::AUTONEG_ADV, 0x0DE1));
    EXPECT_EQ(PhyRead(a, phy::AUTONEG_ADV), 0x0DE1);
    // The two functions have a PHY each.
    EXPECT_NE(PhyRead(c, phy::AUTONEG_ADV), 0x0DE1);

    // Vendor registers 16 and above sit behind the page select, which is
    // written with the full register number.
    ASSERT_TRUE(PhyWrite(a, phy::PAGE_SELECT, 25));
    const std::uint16_t v = PhyRead(a, 25).value();
    ASSERT_TRUE(PhyWrite(a, 25, v & ~1));
    EXPECT_EQ(PhyRead(a, 25), v & ~1);
    EXPECT_EQ(m.TraceCount(), 0u);
    PhyRead(a, 23);  // not modelled: traced
    EXPECT_EQ(m.TraceCount(), 1u);

    // Only address 1 answers.
    a.WriteRegister(MDIC, (phy::STATUS << 16) | (2u << 21) | MDIC_OP_READ);
    EXPECT_EQ(a.ReadRegister(MDIC) & (MDIC_READY | MDIC_ERROR), MDIC_READY | MDIC_ERROR);
}

TEST_F(Link, PhyThatNeverGetsReady) {
    a.SetFaults({.phyNeverReady = true});
    EXPECT_EQ(PhyRead(a, phy::STATUS), std::nullopt);
    EXPECT_FALSE(a.ReadRegister(MDIC) & MDIC_READY);
    a.SetFaults({});
    EXPECT_TRUE(PhyRead(a, phy::STATUS).has_value());
}

TEST_F(Link, CableNegotiatesBestCommonModeAfterTheDelay) {
    std::vector<bool> edges;
    a.SetInterruptHandler([&](bool level) { edges.push_back(level); });
    a.WriteRegister(IMS, ICR_LSC);
    m.Connect(a, c);
    m.Advance(19ms);
    EXPECT_FALSE(a.LinkUp());
    EXPECT_FALSE(a.ReadRegister(STATUS) & STATUS_LU);
    m.Advance(1ms);
    ASSERT_TRUE(a.LinkUp());
    const std::uint32_t status = a.ReadRegister(STATUS);
    EXPECT_EQ(status & (STATUS_LU | STATUS_FD | STATUS_SPEED_1000 | STATUS_SPEED_100),
              STATUS_LU | STATUS_FD | STATUS_SPEED_1000);
    EXPECT_EQ(edges, std::vector<bool>{true});
    EXPECT_EQ(a.ReadRegister(ICR), ICR_LSC | ICR_ASSERTED);
    EXPECT_EQ(a.LinkMode(), kMode1000Full);

    // Partner ability: the partner's page with the selector in bits 0-4.
    const std::uint16_t lp = PhyRead(a, phy::LP_ABILITY).value();
    EXPECT_EQ(lp & 0x1F, 1);
    EXPECT_TRUE(PhyRead(a, phy::GB_STATUS).value() & phy::GB_LP_1000_FULL);
    EXPECT_TRUE(PhyRead(a, phy::STATUS).value() & phy::SR_AN_COMPLETE);

    // 100 full and 10 half on one side, everything on the other: 100 full.
    Advertise(a, kMode100Full | kMode10Half);
    EXPECT_FALSE(a.LinkUp());
    EXPECT_FALSE(c.LinkUp());  // the partner saw the link go
    m.Advance(20ms);
    EXPECT_EQ(a.LinkMode(), kMode100Full);
    EXPECT_EQ(c.LinkMode(), kMode100Full);
    EXPECT_EQ(a.ReadRegister(STATUS) & (STATUS_SPEED_1000 | STATUS_SPEED_100 | STATUS_FD),
              STATUS_SPEED_100 | STATUS_FD);
    Advertise(c, kMode10Half | kMode10Full);
    m.Advance(20ms);
    EXPECT_EQ(a.LinkMode(), kMode10Half);
    EXPECT_FALSE(a.ReadRegister(STATUS) & STATUS_FD);
    a.SetInterruptHandler(nullptr);
}

TEST_F(Link, AdvertisingNothingCompletesWithoutLink) {
    m.Connect(a, c);
    m.Advance(20ms);
    ASSERT_TRUE(a.LinkUp());
    Advertise(a, 0);
    m.Advance(50ms);
    EXPECT_FALSE(a.LinkUp());
    EXPECT_FALSE(c.LinkUp());
    const std::uint16_t status = PhyRead(a, phy::STATUS).value();
    EXPECT_TRUE(status & phy::SR_AN_COMPLETE);  // pages were exchanged
    EXPECT_FALSE(status & phy::SR_LINK);
    EXPECT_FALSE(a.ReadRegister(STATUS) & STATUS_LU);
}

TEST_F(Link, LinkStatusBitLatchesLow) {
    m.Connect(a, c);
    m.Advance(20ms);
    EXPECT_TRUE(PhyLink(a));
    // Drop and come back before the driver looks: the first read still
    // reports the drop, the second the present state.
    ASSERT_TRUE(PhyWrite(c, phy::CONTROL, PhyRead(c, phy::CONTROL).value() | phy::CR_RESTART_AN));
    m.Advance(20ms);
    EXPECT_TRUE(a.LinkUp());
    EXPECT_FALSE(PhyRead(a, phy::STATUS).value() & phy::SR_LINK);
    EXPECT_TRUE(PhyRead(a, phy::STATUS).value() & phy::SR_LINK);
}

TEST_F(Link, MacLinkNeedsSetLinkUp) {
    a.WriteRegister(CTRL, CTRL_FD);
    m.Connect(a, c);
    m.Advance(20ms);
    EXPECT_TRUE(a.LinkUp());
    EXPECT_FALSE(a.ReadRegister(STATUS) & STATUS_LU);
    a.WriteRegister(CTRL, CTRL_FD | CTRL_SLU);
    EXPECT_TRUE(a.ReadRegister(STATUS) & STATUS_LU);
    EXPECT_TRUE(a.ReadRegister(ICR) & ICR_LSC);
}

TEST_F(Link, PhyResetDropsTheLinkUntilReleased) {
    m.Connect(a, c);
    m.Advance(20ms);
    a.WriteRegister(CTRL, a.ReadRegister(CTRL) | CTRL_PHY_RST);
    EXPECT_FALSE(a.LinkUp());
    EXPECT_EQ(PhyRead(a, phy::STATUS), std::nullopt);  // no answer while in reset
    m.Advance(50ms);
    EXPECT_FALSE(c.LinkUp());
    a.WriteRegister(CTRL, a.ReadRegister(CTRL) & ~CTRL_PHY_RST);
    m.Advance(20ms);
    EXPECT_TRUE(a.LinkUp());
    EXPECT_TRUE(c.LinkUp());
    EXPECT_EQ(PhyRead(a, phy::AUTONEG_ADV).value() & 0x1E0, 0x1E0);  // back to defaults
}

TEST_F(Link, ForcedSpeedAgainstNegotiatingPartner) {
    m.Connect(a, c);
    // Autonegotiation off, 100 Mb/s full forced on a: the partner detects
    // 100 Mb/s and runs it at half duplex.
    ASSERT_TRUE(PhyWrite(a, phy::CONTROL, phy::CR_SPEED_100 | phy::CR_FULL_DUPLEX));
    m.Advance(20ms);
    EXPECT_EQ(a.LinkMode(), kMode100Full);
    EXPECT_EQ(c.LinkMode(), kMode100Half);
}

TEST_F(Link, NoWireNoLinkAndDisconnectDropsIt) {
    m.Advance(1s);
    EXPECT_FALSE(a.LinkUp());
    m.Connect(a, c);
    m.Advance(20ms);
    EXPECT_TRUE(c.LinkUp());
    m.Disconnect(a);
    EXPECT_FALSE(a.LinkUp());
    EXPECT_FALSE(c.LinkUp());
    m.Advance(1s);
    EXPECT_FALSE(c.LinkUp());
}

TEST_F(Link, GeneratorPartnerAdvertisesItsModes) {
    GeneratorOptions g;
    g.partnerModes = kMode100Full | kMode100Half;
    g.framesPerSecond = 0;  // link only
    m.AttachGenerator(a, g);
    m.Advance(20ms);
    EXPECT_EQ(a.LinkMode(), kMode100Full);
    const std::uint16_t lp = PhyRead(a, phy::LP_ABILITY).value();
    EXPECT_EQ(lp & (phy::AD_100_FULL | phy::AD_100_HALF | phy::AD_10_FULL), phy::AD_100_FULL | phy::AD_100_HALF);
    EXPECT_FALSE(PhyRead(a, phy::GB_STATUS).value() & phy::GB_LP_1000_FULL);
}

}  // namespace
}  // namespace hw::test
