// Controller access against the board model: semaphore, PHY, EEPROM, LEDs,
// reset and start, link tracking, counters and the interrupt routine. The
// model runs on a manual clock that the driver's own delays move forward.
#include <gtest/gtest.h>

#include <hw/machine.hpp>

#include "board_shim.h"
#include "config.h"
#include "hw/controller.h"

namespace {

NTSTATUS NoValue(PVOID, PCUNICODE_STRING, PULONG)
{
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

class Controller : public ::testing::Test {
protected:
    Controller() : machine_(hw::MachineOptions{hw::ClockMode::Manual, std::chrono::milliseconds(20), {}, {}})
    {
        board_ = &machine_.AddBoard();
        Attach(0);
    }

    ~Controller() override
    {
        for (auto& fdo : fdos_) {
            if (fdo.Registers != nullptr) shim::UnmapRegisters(fdo.Registers);
            shim::DeleteSpinLock(fdo.CountersLock);
        }
    }

    // Prepares function `function` the way device add and prepare hardware
    // do: default configuration, mapped registers, LAN function from STATUS.
    PFDO_DATA Attach(std::uint32_t function)
    {
        FDO_DATA& fdo = fdos_[function];
        fdo = FDO_DATA{};
        ConfigReadPortValues(&fdo, &NoValue, nullptr);
        fdo.CountersLock = shim::NewSpinLock();
        fdo.Registers = shim::MapRegisters(machine_, Port(function));
        fdo.IsFirstFunction = (RegRead(&fdo, E1000_STATUS) & E1000_STATUS_FUNC_MASK) == 0;
        return &fdo;
    }

    hw::Port& Port(std::uint32_t function) { return board_->GetPort(function); }
    PFDO_DATA Fdo(std::uint32_t function = 0) { return &fdos_[function]; }

    USHORT Phy(ULONG reg, PFDO_DATA fdo = nullptr)
    {
        USHORT value = 0;
        EXPECT_EQ(PhyRead(fdo ? fdo : Fdo(), reg, &value), STATUS_SUCCESS) << "register " << reg;
        return value;
    }

    void StartWithGenerator(std::uint32_t partnerModes = hw::kModesAll)
    {
        hw::GeneratorOptions generator;
        generator.framesPerSecond = 0.001;  // the link matters here, not traffic
        generator.partnerModes = partnerModes;
        machine_.AttachGenerator(Port(0), generator);
        ASSERT_EQ(HardwareStart(Fdo()), STATUS_SUCCESS);
    }

    hw::Machine machine_;
    hw::Board* board_;
    FDO_DATA fdos_[2]{};
};

TEST_F(Controller, PhyReadAndWriteThroughTheSemaphore)
{
    ASSERT_EQ(PhyWrite(Fdo(), PHY_AUTONEG_ADV, 0x0DE1), STATUS_SUCCESS);
    EXPECT_EQ(Phy(PHY_AUTONEG_ADV), 0x0DE1);
    // The semaphore is free again after each access.
    EXPECT_EQ(RegRead(Fdo(), E1000_SWSM) & E1000_SWSM_SWESMBI, 0u);
    // Registers beyond 15 go through the page select.
    ASSERT_EQ(PhyModify(Fdo(), PHY_PORT_CONFIG, 0, 0x0080), STATUS_SUCCESS);
    EXPECT_EQ(Phy(PHY_PORT_CONFIG) & 0x0080, 0x0080);
    ASSERT_EQ(PhyModify(Fdo(), PHY_PORT_CONFIG, 0x0080, 0), STATUS_SUCCESS);
    EXPECT_EQ(Phy(PHY_PORT_CONFIG) & 0x0080, 0);
    EXPECT_EQ(MdicWrite(Fdo(), 32, 0), STATUS_UNSUCCESSFUL);
}

TEST_F(Controller, PhyThatNeverAnswersFailsWithinItsBound)
{
    Port(0).SetFaults(hw::PortFaults{true});
    std::int64_t before = shim::DelayedNanoseconds();
    USHORT value;
    EXPECT_EQ(PhyRead(Fdo(), PHY_STATUS, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PhyRead(Fdo(), PHY_PORT_CONFIG, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PhyWrite(Fdo(), PHY_CONTROL, 0), STATUS_UNSUCCESSFUL);
    // 64 x 50 us for a read, 640 x 5 us for a write: well under a second.
    EXPECT_LT(shim::DelayedNanoseconds() - before, 20'000'000);
    EXPECT_EQ(RegRead(Fdo(), E1000_SWSM) & E1000_SWSM_SWESMBI, 0u);
    EXPECT_EQ(HardwareStart(Fdo()), STATUS_UNSUCCESSFUL);
}

TEST_F(Controller, StuckSemaphoreIsGivenUpAfterSeventeenTries)
{
    board_->SetFaults(hw::BoardFaults{false, true});
    std::int64_t before = shim::DelayedNanoseconds();
    EXPECT_EQ(SemaphoreAcquire(Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(shim::DelayedNanoseconds() - before, 17 * 50'000);
    USHORT value;
    EXPECT_EQ(PhyRead(Fdo(), PHY_STATUS, &value), STATUS_UNSUCCESSFUL);
}

TEST_F(Controller, SecondFunctionWaitsForTheSemaphoreTheFirstHolds)
{
    PFDO_DATA second = Attach(1);
    ASSERT_EQ(SemaphoreAcquire(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(SemaphoreAcquire(second), STATUS_UNSUCCESSFUL);
    SemaphoreRelease(Fdo());
    EXPECT_EQ(SemaphoreAcquire(second), STATUS_SUCCESS);
    SemaphoreRelease(second);
}

TEST_F(Controller, AdvertiseAllModes)
{
    ASSERT_EQ(Advertise(Fdo(), 0x1F), STATUS_SUCCESS);
    EXPECT_EQ(Phy(PHY_AUTONEG_ADV) & 0x0FE0, 0x0DE0);
    EXPECT_EQ(Phy(PHY_1000T_CTRL) & 0x0300, 0x0200);
    EXPECT_EQ(Phy(PHY_CONTROL) & MII_CR_AUTO_NEG_EN, MII_CR_AUTO_NEG_EN);
}

TEST_F(Controller, AdvertiseWaitsForNegotiationOnlyWhenItOffersSomething)
{
    machine_.AttachGenerator(Port(0), hw::GeneratorOptions{0.001, 64, 64, 0, 0, hw::kModesAll, {}, {}});
    std::int64_t before = shim::DelayedNanoseconds();
    ASSERT_EQ(Advertise(Fdo(), FL_MODE_100_FULL | FL_MODE_10_FULL), STATUS_SUCCESS);
    // The model negotiates in 20 ms; the poll sleeps until then.
    EXPECT_GE(shim::DelayedNanoseconds() - before, 20'000'000);
    Phy(PHY_STATUS);
    EXPECT_NE(Phy(PHY_STATUS) & MII_SR_AUTONEG_COMPLETE, 0);
    EXPECT_EQ(Phy(PHY_AUTONEG_ADV) & 0x0FE0, 0x0C00 | NWAY_AR_100TX_FD_CAPS | NWAY_AR_10T_FD_CAPS);
    EXPECT_EQ(Phy(PHY_1000T_CTRL) & 0x0300, 0);

    before = shim::DelayedNanoseconds();
    ASSERT_EQ(Advertise(Fdo(), 0), STATUS_SUCCESS);
    EXPECT_LT(shim::DelayedNanoseconds() - before, 1'000'000);
    EXPECT_EQ(Phy(PHY_AUTONEG_ADV) & 0x0FE0, 0x0C00);
    EXPECT_EQ(Phy(PHY_1000T_CTRL) & 0x0300, 0);
}

TEST_F(Controller, AdvertiseNoneClearsEveryMode)
{
    ASSERT_EQ(Advertise(Fdo(), 0x1F), STATUS_SUCCESS);
    ASSERT_EQ(PhyAdvertiseNone(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(Phy(PHY_AUTONEG_ADV) & 0x01E0, 0);
    EXPECT_EQ(Phy(PHY_AUTONEG_ADV) & 0x0C00, 0x0C00);  // pause bits untouched
    EXPECT_EQ(Phy(PHY_1000T_CTRL) & 0x0200, 0);
}

TEST_F(Controller, LedCodesRoundTrip)
{
    for (ULONG led : {0u, 2u, 3u}) {
        for (ULONG code : {0u, 1u, 2u, 3u}) {
            ASSERT_EQ(SetLed(Fdo(), led, code), STATUS_SUCCESS);
            EXPECT_EQ(QueryLed(Fdo(), led), (LONG)code) << "LED " << led << " code " << code;
        }
    }
    ASSERT_EQ(SetLed(Fdo(), 0, FL_LED_CODE_BLINK), STATUS_SUCCESS);
    ASSERT_EQ(SetLed(Fdo(), 2, FL_LED_CODE_OFF), STATUS_SUCCESS);
    ASSERT_EQ(SetLed(Fdo(), 3, FL_LED_CODE_ON), STATUS_SUCCESS);
    EXPECT_TRUE(Port(0).LedState(0).blinking);
    EXPECT_FALSE(Port(0).LedState(2).on);
    EXPECT_TRUE(Port(0).LedState(3).on);
    EXPECT_FALSE(Port(0).LedState(3).blinking);
    // Setting one LED keeps the others.
    EXPECT_EQ(QueryLed(Fdo(), 0), FL_LED_CODE_BLINK);
    EXPECT_EQ(QueryLed(Fdo(), 2), FL_LED_CODE_OFF);

    EXPECT_EQ(SetLed(Fdo(), 1, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLed(Fdo(), 0, 4), STATUS_INVALID_PARAMETER);
}

TEST_F(Controller, ForeignLedModeReadsAsUnknown)
{
    RegWrite(Fdo(), E1000_LEDCTL, (RegRead(Fdo(), E1000_LEDCTL) & ~0xFFu) | 0x05u);
    EXPECT_EQ(QueryLed(Fdo(), 0), -1);
    // Blink with a lit mode other than "on" is not one of ours either.
    RegWrite(Fdo(), E1000_LEDCTL, (RegRead(Fdo(), E1000_LEDCTL) & ~0xFFu) | 0x8Fu);
    EXPECT_EQ(QueryLed(Fdo(), 0), FL_LED_CODE_OFF);
}

TEST_F(Controller, EepromReadsMatchTheImage)
{
    auto image = board_->EepromImage();
    for (ULONG word : {0u, 1u, 2u, 10u, 63u}) {
        USHORT value;
        ASSERT_EQ(EepromReadWord(Fdo(), word, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, image[word]) << word;
    }
    USHORT sum = 0;
    for (ULONG word = 0; word <= 63; word++) sum = (USHORT)(sum + image[word]);
    EXPECT_EQ(sum, 0xBABA);
}

TEST_F(Controller, EepromWriteRepairsTheChecksum)
{
    // Arrange words 0..62 to sum to 0x1000 once word 10 holds 0x1234, by
    // adjusting word 11.
    auto image = board_->EepromImage();
    USHORT others = 0;
    for (ULONG word = 0; word < 63; word++) {
        if (word != 10 && word != 11) others = (USHORT)(others + image[word]);
    }
    USHORT word11 = (USHORT)(0x1000 - 0x1234 - others);
    ASSERT_EQ(EepromWriteEnable(Fdo()), STATUS_SUCCESS);
    ASSERT_EQ(EepromWriteWord(Fdo(), 11, word11), STATUS_SUCCESS);
    ASSERT_EQ(EepromWriteDisable(Fdo()), STATUS_SUCCESS);
    ASSERT_EQ(board_->EepromImage()[11], word11);

    ASSERT_EQ(EepromWriteWordAndRepair(Fdo(), 10, 0x1234), STATUS_SUCCESS);
    image = board_->EepromImage();
    EXPECT_EQ(image[10], 0x1234);
    EXPECT_EQ(image[63], 0xAABA);

    // Writing the checksum word itself, or a word outside the checksummed
    // range, repairs nothing.
    ASSERT_EQ(EepromWriteWordAndRepair(Fdo(), 63, 0x0101), STATUS_SUCCESS);
    EXPECT_EQ(board_->EepromImage()[63], 0x0101);
    ASSERT_EQ(EepromWriteWordAndRepair(Fdo(), 64, 0x5555), STATUS_SUCCESS);
    image = board_->EepromImage();
    EXPECT_EQ(image[64], 0x5555);
    EXPECT_EQ(image[63], 0x0101);
}

TEST_F(Controller, SilentEepromFailsReadsAndResetWithoutHanging)
{
    board_->SetFaults(hw::BoardFaults{true, false});
    std::int64_t before = shim::DelayedNanoseconds();
    USHORT value;
    EXPECT_EQ(EepromReadWord(Fdo(), 0, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EepromWriteWordAndRepair(Fdo(), 10, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ControllerReset(Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_LT(shim::DelayedNanoseconds() - before, 1'000'000'000);
}

TEST_F(Controller, HardwareStartBringsTheLinkUpAtGigabit)
{
    Fdo()->MacAddress[0] = 0x02;
    Fdo()->MacAddress[5] = 0x7E;
    StartWithGenerator();
    const LONG64 state = LinkStateRead(Fdo());
    EXPECT_EQ(LinkStateUp(state), 1);
    EXPECT_EQ(LinkStateUpCount(state), 1u);
    EXPECT_EQ(Fdo()->LinkSpeed, 1000u);
    EXPECT_EQ(Fdo()->LinkDuplex, (ULONG)FL_LINK_DUPLEX_FULL);
    EXPECT_TRUE(Port(0).LinkUp());
    EXPECT_EQ(Port(0).LinkMode(), (std::uint32_t)hw::kMode1000Full);

    ULONG rctl = RegRead(Fdo(), E1000_RCTL);
    EXPECT_EQ(rctl & E1000_RCTL_EN, 0u);  // off until the ring is handed over
    EXPECT_EQ(rctl & (E1000_RCTL_UPE | E1000_RCTL_MPE | E1000_RCTL_BAM | E1000_RCTL_SBP | E1000_RCTL_LPE),
              E1000_RCTL_UPE | E1000_RCTL_MPE | E1000_RCTL_BAM | E1000_RCTL_SBP | E1000_RCTL_LPE);
    EXPECT_EQ(rctl & (E1000_RCTL_BSEX | E1000_RCTL_SZ_256), E1000_RCTL_SZ_256);
    EXPECT_EQ(RegRead(Fdo(), E1000_TCTL) & E1000_TCTL_EN, 0u);
    EXPECT_EQ(RegRead(Fdo(), E1000_RDLEN), 16u * 4096);
    EXPECT_EQ(RegRead(Fdo(), E1000_TDLEN), 16u * 4096);
    EXPECT_EQ(RegRead(Fdo(), E1000_RAL(0)), 0x00000002u);
    EXPECT_EQ(RegRead(Fdo(), E1000_RAH(0)), 0x7E00u);
    EXPECT_EQ(QueryLed(Fdo(), 0), FL_LED_CODE_NORMAL);
    EXPECT_EQ(QueryLed(Fdo(), 2), FL_LED_CODE_NORMAL);
    EXPECT_EQ(QueryLed(Fdo(), 3), FL_LED_CODE_NORMAL);
}

TEST_F(Controller, PassthruPortAdvertisesNothingAtStart)
{
    Fdo()->PassthruEnabled = 1;
    StartWithGenerator();
    EXPECT_EQ(Phy(PHY_AUTONEG_ADV) & 0x01E0, 0);
    EXPECT_EQ(Phy(PHY_1000T_CTRL) & 0x0200, 0);
}

TEST_F(Controller, ReceiveBufferSizes)
{
    const std::pair<ULONG, ULONG> sizes[] = {{256, 0x30000},    {512, 0x20000},    {1024, 0x10000},
                                             {2048, 0},         {4096, 0x2030000}, {8192, 0x2020000},
                                             {16384, 0x2010000}};
    for (auto [size, bits] : sizes) {
        Fdo()->RxSlotSize = size;
        RxSetup(Fdo());
        EXPECT_EQ(RegRead(Fdo(), E1000_RCTL) & 0x2030000u, bits) << size;
    }
}

TEST_F(Controller, RingRegistersPointAtTheRings)
{
    Fdo()->TxRingLogical = 0x0000'0001'2345'6000ull;
    Fdo()->RxRingLogical = 0x0000'0002'0000'1000ull;
    Fdo()->TxDescriptors = 64;
    Fdo()->RxDescriptors = 128;
    TxSetup(Fdo(), TRUE);
    EXPECT_EQ(RegRead(Fdo(), E1000_TDBAL), 0x23456000u);
    EXPECT_EQ(RegRead(Fdo(), E1000_TDBAH), 0x1u);
    EXPECT_EQ(RegRead(Fdo(), E1000_TDLEN), 64u * 16);
    EXPECT_EQ(RegRead(Fdo(), E1000_TIPG), 0x00602008u);
    EXPECT_NE(RegRead(Fdo(), E1000_TARC0) & E1000_TARC0_SPEED_MODE, 0u);
    ULONG tctl = RegRead(Fdo(), E1000_TCTL);
    EXPECT_EQ(tctl & (E1000_TCTL_EN | E1000_TCTL_PSP | E1000_TCTL_MULR),
              E1000_TCTL_EN | E1000_TCTL_PSP | E1000_TCTL_MULR);
    TxSetup(Fdo(), FALSE);
    EXPECT_EQ(RegRead(Fdo(), E1000_TCTL) & E1000_TCTL_EN, 0u);

    // A receiver left enabled before stays off until the ring is handed over.
    RegWrite(Fdo(), E1000_RCTL, E1000_RCTL_EN | E1000_RCTL_SZ_1024);
    RxSetup(Fdo());
    EXPECT_EQ(RegRead(Fdo(), E1000_RDBAL), 0x00001000u);
    EXPECT_EQ(RegRead(Fdo(), E1000_RDBAH), 0x2u);
    EXPECT_EQ(RegRead(Fdo(), E1000_RDLEN), 128u * 16);
    EXPECT_EQ(RegRead(Fdo(), E1000_RCTL) & (E1000_RCTL_EN | 0x2030000u), E1000_RCTL_SZ_256);
}

// Each change of the link is published as one word, state and count
// together: a reader of one snapshot never meets a new state with the count
// of the change before.
TEST_F(Controller, LinkDownAfterUpKeepsTheCountAndSpeed)
{
    StartWithGenerator();
    const LONG64 first = LinkStateRead(Fdo());
    ASSERT_EQ(LinkStateUpCount(first), 1u);
    InterruptsOn(Fdo());

    machine_.Disconnect(Port(0));
    ASSERT_TRUE(Port(0).InterruptAsserted());
    EXPECT_TRUE(IsrService(Fdo()));
    const LONG64 down = LinkStateRead(Fdo());
    EXPECT_EQ(LinkStateUp(down), 0);
    EXPECT_EQ(LinkStateUpCount(down), 1u);
    EXPECT_EQ(Fdo()->LinkDuplex, (ULONG)FL_LINK_DUPLEX_DOWN);
    EXPECT_EQ(Fdo()->LinkSpeed, 1000u);
    // The read cleared the cause: the line is free again and a second call
    // is not ours.
    EXPECT_FALSE(Port(0).InterruptAsserted());
    EXPECT_FALSE(IsrService(Fdo()));

    machine_.AttachGenerator(Port(0), hw::GeneratorOptions{0.001, 64, 64, 0, 0, hw::kMode100Half, {}, {}});
    machine_.Advance(std::chrono::milliseconds(50));
    ASSERT_TRUE(Port(0).InterruptAsserted());
    EXPECT_TRUE(IsrService(Fdo()));
    const LONG64 up = LinkStateRead(Fdo());
    EXPECT_EQ(LinkStateUp(up), 1);
    EXPECT_EQ(LinkStateUpCount(up), 2u);
    // Every snapshot of the three differs from the one before: each change
    // is reported once, and a report never repeats an earlier one.
    EXPECT_NE(first, down);
    EXPECT_NE(down, up);
    EXPECT_NE(first, up);
    EXPECT_EQ(Fdo()->LinkSpeed, 100u);
    EXPECT_EQ(Fdo()->LinkDuplex, (ULONG)FL_LINK_DUPLEX_HALF);
    // Below gigabit the transmit arbitration's speed bit goes.
    EXPECT_EQ(RegRead(Fdo(), E1000_TARC0) & E1000_TARC0_SPEED_MODE, 0u);

    InterruptsOff(Fdo());
    machine_.Disconnect(Port(0));
    EXPECT_FALSE(Port(0).InterruptAsserted());
}

TEST_F(Controller, PartnerAbilitiesFromThePartnersPage)
{
    FL_IOCTL_AUTONEGOTIATION result{};
    // No partner yet: register 5 carries no selector.
    EXPECT_EQ(PartnerAbilities(Fdo(), &result), STATUS_INVALID_DEVICE_REQUEST);

    StartWithGenerator(FL_MODE_1000_FULL | FL_MODE_100_HALF | FL_MODE_10_FULL);
    ASSERT_EQ(PartnerAbilities(Fdo(), &result), STATUS_SUCCESS);
    EXPECT_EQ(result.Modes, (ULONG)(FL_MODE_1000_FULL | FL_MODE_100_HALF | FL_MODE_10_FULL));
    EXPECT_EQ(result.SupportedModes, 31u);
    EXPECT_EQ(result.Enabled, 1);
}

TEST_F(Controller, CountersAccumulateAcrossReads)
{
    StartWithGenerator();
    // Receiver on without descriptors: frames are counted and missed.
    RegWrite(Fdo(), E1000_RCTL, RegRead(Fdo(), E1000_RCTL) | E1000_RCTL_EN);
    std::vector<std::uint8_t> frame(60, 0xFF);
    hw::AppendFcs(frame);
    for (int i = 0; i < 3; i++) Port(0).InjectFrame(frame);

    ULONGLONG first[FL_PORT_STAT_COUNT];
    CountersAccumulate(Fdo(), first);
    EXPECT_EQ(first[FL_PORT_STAT_PACKETS_RECEIVED], 3u);
    EXPECT_EQ(first[FL_PORT_STAT_OCTETS_RECEIVED], 3u * 64);
    EXPECT_EQ(first[FL_PORT_STAT_RESERVED], 0u);

    for (int i = 0; i < 2; i++) Port(0).InjectFrame(frame);
    ULONGLONG second[FL_PORT_STAT_COUNT];
    CountersAccumulate(Fdo(), second);
    EXPECT_EQ(second[FL_PORT_STAT_PACKETS_RECEIVED], 5u);
    EXPECT_EQ(second[FL_PORT_STAT_OCTETS_RECEIVED], 5u * 64);
    // Clear-on-read registers were emptied by the accumulation.
    EXPECT_EQ(RegRead(Fdo(), E1000_TPR), 0u);
}

TEST(PciChecks, IdentityAndLinkWidth)
{
    EXPECT_TRUE(PciIdentityAccepted(0xF10E, 0x0001));
    EXPECT_TRUE(PciIdentityAccepted(0xF10E, 0x0002));
    EXPECT_FALSE(PciIdentityAccepted(0x8086, 0x105E));  // the controller maker's own identity
    EXPECT_FALSE(PciIdentityAccepted(0xF10E, 0x0003));
    EXPECT_EQ(PcieLinkWidth(0x1011), 1u);
    EXPECT_EQ(PcieLinkWidth(0x0021), 2u);
    EXPECT_EQ(PcieLinkWidth(0x0041), 4u);
    EXPECT_EQ(PcieLinkWidth(0x0081), 0u);
    EXPECT_EQ(PcieLinkWidth(0x0030), 0u);
}

}  // namespace
