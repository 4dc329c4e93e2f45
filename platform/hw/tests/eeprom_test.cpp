// The board's EEPROM: word reads through EERD, SPI bit-banging with
// request and grant, the checksum, and a silent part.
#include "hw_test_util.hpp"

namespace hw::test {
namespace {

using namespace reg;

MachineOptions Manual() {
    MachineOptions o;
    o.clock = ClockMode::Manual;
    return o;
}

std::uint16_t Sum(Port& p, std::uint32_t words) {
    std::uint16_t sum = 0;
    for (std::uint32_t i = 0; i < words; ++i) sum = static_cast<std::uint16_t>(sum + EerdRead(p, i).value());
    return sum;
}

TEST(Eeprom, EerdReadsMacAndChecksummedImage) {
    Machine m(Manual());
    BoardOptions bo;
    bo.mac = MacAddress{0x00, 0x1B, 0x21, 0xAA, 0xBB, 0xC0};
    Board& b = m.AddBoard(bo);
    for (std::uint32_t f = 0; f < 2; ++f) {
        Port& p = b.GetPort(f);
        // Both functions read the same part: the board's address, low byte first.
        EXPECT_EQ(EerdRead(p, 0), 0x1B00);
        EXPECT_EQ(EerdRead(p, 1), 0xAA21);
        EXPECT_EQ(EerdRead(p, 2), 0xC0BB);
        EXPECT_EQ(Sum(p, 64), 0xBABA);
    }
    EXPECT_EQ(b.GetPort(1).Mac()[5], 0xC1);
    // The EERD value carries the address back with the data.
    Port& p = b.GetPort(0);
    p.WriteRegister(EERD, (5u << 2) | EERD_START);
    EXPECT_EQ(p.ReadRegister(EERD) & 0xFFFF, (5u << 2) | EERD_DONE);
}

TEST(Eeprom, DefaultMacsDifferPerBoard) {
    Machine m(Manual());
    Port& a = m.AddBoard().GetPort(0);
    Port& b = m.AddBoard().GetPort(0);
    EXPECT_NE(a.Mac(), b.Mac());
    EXPECT_EQ(a.Mac()[5] & 1, 0);
}

TEST(Eeprom, SpiWriteNeedsWriteEnableAndChecksumCanBeRepaired) {
    Machine m(Manual());
    Board& b = m.AddBoard();
    Port& p = b.GetPort(0);
    Spi spi(p);

    // Without write enable the part ignores the write.
    ASSERT_TRUE(spi.WriteWord(10, 0x1234));
    EXPECT_EQ(EerdRead(p, 10), 0x0000);

    ASSERT_TRUE(spi.Command(0x06));  // write enable
    ASSERT_TRUE(spi.WriteWord(10, 0x1234));
    EXPECT_EQ(EerdRead(p, 10), 0x1234);
    EXPECT_EQ(b.EepromImage()[10], 0x1234);
    // The latch resets after a write: a second write needs enabling again.
    ASSERT_TRUE(spi.WriteWord(11, 0x5678));
    EXPECT_EQ(EerdRead(p, 11), 0x0000);

    // The checksum is now off by 0x1234; repair word 63 as a driver does.
    std::uint16_t sum = 0;
    for (std::uint32_t i = 0; i < 63; ++i) sum = static_cast<std::uint16_t>(sum + EerdRead(p, i).value());
    EXPECT_NE(static_cast<std::uint16_t>(sum + EerdRead(p, 63).value()), 0xBABA);
    ASSERT_TRUE(spi.Command(0x06));
    ASSERT_TRUE(spi.WriteWord(63, static_cast<std::uint16_t>(0xBABA - sum)));
    ASSERT_TRUE(spi.Command(0x04));
    EXPECT_EQ(Sum(p, 64), 0xBABA);
    // The other function sees the same part.
    EXPECT_EQ(EerdRead(b.GetPort(1), 10), 0x1234);

    // Reading back over SPI gives the same words as EERD.
    EXPECT_EQ(spi.ReadWord(10), 0x1234);
    EXPECT_EQ(spi.ReadWord(0), EerdRead(p, 0));
}

TEST(Eeprom, GrantIsExclusiveAndHoldsOffEerd) {
    Machine m(Manual());
    Board& b = m.AddBoard();
    Port& f0 = b.GetPort(0);
    Port& f1 = b.GetPort(1);
    f0.WriteRegister(EECD, EECD_REQ | EECD_CS);
    EXPECT_TRUE(f0.ReadRegister(EECD) & EECD_GNT);
    f1.WriteRegister(EECD, EECD_REQ | EECD_CS);
    EXPECT_FALSE(f1.ReadRegister(EECD) & EECD_GNT);

    // A word read waits while software owns the part...
    f1.WriteRegister(EERD, (1u << 2) | EERD_START);
    EXPECT_FALSE(f1.ReadRegister(EERD) & EERD_DONE);
    // ...and completes once the grant is given up.
    f0.WriteRegister(EECD, EECD_CS);
    EXPECT_FALSE(f0.ReadRegister(EECD) & EECD_GNT);
    const std::uint32_t v = f1.ReadRegister(EERD);
    EXPECT_TRUE(v & EERD_DONE);
    EXPECT_EQ(v >> 16, b.EepromImage()[1]);
    // Function 1 may now take the grant.
    f1.WriteRegister(EECD, EECD_REQ | EECD_CS);
    EXPECT_TRUE(f1.ReadRegister(EECD) & EECD_GNT);
    // A device reset releases the grant its function held.
    f1.WriteRegister(CTRL, CTRL_RST);
    EXPECT_FALSE(f1.ReadRegister(EECD) & EECD_GNT);
    f0.WriteRegister(EECD, EECD_REQ);
    EXPECT_TRUE(f0.ReadRegister(EECD) & EECD_GNT);
}

TEST(Eeprom, SizeFieldMatchesTheImage) {
    Machine m(Manual());
    BoardOptions bo;
    bo.eepromWords = 1024;
    Board& b = m.AddBoard(bo);
    const std::uint32_t field = (b.GetPort(0).ReadRegister(EECD) >> 11) & 0xF;
    EXPECT_EQ(1u << (field + 6), 1024u);
    EXPECT_EQ(b.EepromImage().size(), 1024u);
}

TEST(Eeprom, SilentPartNeverAnswers) {
    Machine m(Manual());
    Board& b = m.AddBoard();
    b.SetFaults({.eepromSilent = true, .semaphoreStuck = false});
    Port& p = b.GetPort(0);
    EXPECT_FALSE(p.ReadRegister(EECD) & EECD_AUTO_RD);
    EXPECT_EQ(EerdRead(p, 0), std::nullopt);
    EXPECT_FALSE(p.ReadRegister(EEMNGCTL) & EEMNGCTL_CFG_DONE0);
    Spi spi(p);
    EXPECT_EQ(spi.ReadWord(0), 0xFFFF);  // data out floats high
    ASSERT_TRUE(spi.Command(0x06));
    ASSERT_TRUE(spi.WriteWord(10, 0x1234));
    b.SetFaults({});
    EXPECT_EQ(EerdRead(p, 10), 0x0000);  // the write was lost
}

}  // namespace
}  // namespace hw::test
