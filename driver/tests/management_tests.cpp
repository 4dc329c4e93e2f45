// Passthru pairing and negotiation against the board model on a manual
// clock: which ports pair, which mode a pair's negotiation settles on, and
// that a waiting command cuts a negotiation short. Each port's wire is a
// generator whose end advertises the modes a test gives it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <hw/machine.hpp>

#include "board_shim.h"
#include "config.h"
#include "hw/controller.h"
#include "passthru.h"

namespace {

NTSTATUS NoValue(PVOID, PCUNICODE_STRING, PULONG) { return STATUS_OBJECT_NAME_NOT_FOUND; }

class Negotiation : public ::testing::Test {
protected:
    Negotiation() : machine_(hw::MachineOptions{hw::ClockMode::Manual, std::chrono::milliseconds(20), {}, {}})
    {
        board_ = &machine_.AddBoard();
        for (std::uint32_t f = 0; f < 2; f++) {
            FDO_DATA& fdo = fdos_[f];
            ConfigReadPortValues(&fdo, &NoValue, nullptr);
            fdo.PassthruEnabled = 1;
            fdo.CountersLock = shim::NewSpinLock();
            fdo.Registers = shim::MapRegisters(machine_, board_->GetPort(f));
            fdo.IsFirstFunction = f == 0;
        }
    }

    ~Negotiation() override
    {
        for (auto& fdo : fdos_) {
            shim::UnmapRegisters(fdo.Registers);
            shim::DeleteSpinLock(fdo.CountersLock);
        }
    }

    // Both ports started as passthru ports are: advertising nothing, so
    // that their links stay down until the pair is negotiated.
    void Start(std::uint32_t partner0, std::uint32_t partner1)
    {
        const std::uint32_t partners[2] = {partner0, partner1};
        for (std::uint32_t f = 0; f < 2; f++) {
            hw::GeneratorOptions generator;
            generator.framesPerSecond = 0.001;  // the link matters here, not traffic
            generator.partnerModes = partners[f];
            machine_.AttachGenerator(board_->GetPort(f), generator);
            ASSERT_EQ(HardwareStart(A(f)), STATUS_SUCCESS);
            machine_.Advance(std::chrono::milliseconds(50));
            ASSERT_FALSE(board_->GetPort(f).LinkUp());
        }
    }

    PFDO_DATA A(std::uint32_t f = 0) { return &fdos_[f]; }
    PFDO_DATA B() { return &fdos_[1]; }
    std::uint32_t Mode(std::uint32_t f) { return board_->GetPort(f).LinkMode(); }

    hw::Machine machine_;
    hw::Board* board_;
    FDO_DATA fdos_[2]{};
};

TEST_F(Negotiation, UnionOfFiveSettlesOnHundredFullWithoutTryingGigabit)
{
    Start(hw::kModesAll, hw::kModesAll);
    EXPECT_EQ(PairNegotiateFirst(A(), B(), FL_MODE_10_FULL | FL_MODE_100_FULL, nullptr), FL_MODE_100_FULL);
    EXPECT_EQ(Mode(0), (std::uint32_t)hw::kMode100Full);
    EXPECT_EQ(Mode(1), (std::uint32_t)hw::kMode100Full);
    // Gigabit was never advertised.
    USHORT gigabit = 0xFFFF;
    ASSERT_EQ(PhyRead(A(), PHY_1000T_CTRL, &gigabit), STATUS_SUCCESS);
    EXPECT_EQ(gigabit & CR_1000T_FD_CAPS, 0);
}

TEST_F(Negotiation, ModeOneWireLacksFailsAndTheNextIsTried)
{
    // The second port's partner has no gigabit: 1000 full fails on it,
    // 100 full is common to both wires.
    Start(hw::kModesAll, hw::kMode10Full | hw::kMode10Half | hw::kMode100Full | hw::kMode100Half);
    EXPECT_EQ(PairNegotiateFirst(A(), B(), 0x1F, nullptr), FL_MODE_100_FULL);
    EXPECT_EQ(Mode(0), (std::uint32_t)hw::kMode100Full);
    EXPECT_EQ(Mode(1), (std::uint32_t)hw::kMode100Full);
}

TEST_F(Negotiation, HalfDuplexComesAfterFullAtEachSpeed)
{
    Start(hw::kModesAll, hw::kMode10Half | hw::kMode100Half);
    EXPECT_EQ(PairNegotiateFirst(A(), B(), 0x1F, nullptr), FL_MODE_100_HALF);
    EXPECT_EQ(Mode(0), (std::uint32_t)hw::kMode100Half);
    EXPECT_EQ(Mode(1), (std::uint32_t)hw::kMode100Half);

    Start(hw::kMode10Half, hw::kModesAll);
    EXPECT_EQ(PairNegotiateFirst(A(), B(), 0x1F, nullptr), FL_MODE_10_HALF);
    EXPECT_EQ(Mode(0), (std::uint32_t)hw::kMode10Half);
}

TEST_F(Negotiation, ModesOutsideTheUnionAreNeverTried)
{
    Start(hw::kModesAll, hw::kModesAll);
    // Only 10 half is asked for: the fastest common mode is not taken.
    EXPECT_EQ(PairNegotiateFirst(A(), B(), FL_MODE_10_HALF, nullptr), FL_MODE_10_HALF);
    EXPECT_EQ(Mode(1), (std::uint32_t)hw::kMode10Half);
    EXPECT_EQ(PairNegotiateFirst(A(), B(), 0, nullptr), 0u);
}

TEST_F(Negotiation, NoCommonModeFailsEveryAttempt)
{
    Start(hw::kMode10Full, hw::kMode100Full);
    EXPECT_EQ(PairNegotiateFirst(A(), B(), 0x1F, nullptr), 0u);
    EXPECT_FALSE(board_->GetPort(0).LinkUp() && board_->GetPort(1).LinkUp());
}

TEST_F(Negotiation, AWireWithoutPartnerGivesUpAfterThreeSeconds)
{
    Start(hw::kModesAll, hw::kModesAll);
    machine_.Disconnect(board_->GetPort(1));
    const std::int64_t before = shim::DelayedNanoseconds();
    EXPECT_EQ(PairNegotiate(A(), B(), FL_MODE_100_FULL, nullptr), STATUS_UNSUCCESSFUL);
    const std::int64_t waited = shim::DelayedNanoseconds() - before;
    EXPECT_GE(waited, 2'990'000'000);
    EXPECT_LT(waited, 3'500'000'000);
}

TEST_F(Negotiation, AWaitingCommandCutsTheNegotiationShort)
{
    Start(hw::kModesAll, hw::kModesAll);
    machine_.Disconnect(board_->GetPort(1));
    COMMAND_RING ring{};
    ring.Producer = 1;  // one command posted, not yet taken
    const std::int64_t before = shim::DelayedNanoseconds();
    EXPECT_EQ(PairNegotiate(A(), B(), FL_MODE_100_FULL, &ring), STATUS_CANCELLED);
    // Further modes are not tried either.
    EXPECT_EQ(PairNegotiateFirst(A(), B(), 0x1F, &ring), 0u);
    EXPECT_LT(shim::DelayedNanoseconds() - before, 100'000'000);
    // An empty ring lets it run to its end.
    ring.Producer = 0;
    EXPECT_EQ(PairNegotiate(A(), B(), FL_MODE_100_FULL, &ring), STATUS_UNSUCCESSFUL);
}

TEST_F(Negotiation, PhyThatNeverAnswersEndsTheAttemptWithItsFailure)
{
    Start(hw::kModesAll, hw::kModesAll);
    board_->GetPort(1).SetFaults(hw::PortFaults{true, false});
    EXPECT_EQ(PairNegotiate(A(), B(), FL_MODE_100_FULL, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PairNegotiateFirst(A(), B(), 0x1F, nullptr), 0u);
}

// ------------------------------------------------------------------------

TEST(PassthruPartners, TheTwoFunctionsOfOneControllerInPassthru)
{
    FDO_DATA a{};
    FDO_DATA b{};
    const UCHAR mac[6] = {0x02, 0x00, 0xF1, 0x0E, 0x00, 0x10};
    std::memcpy(a.MacAddress, mac, 6);
    std::memcpy(b.MacAddress, mac, 6);
    b.MacAddress[5] ^= 0x01;
    a.PassthruEnabled = 1;
    b.PassthruEnabled = 1;
    EXPECT_TRUE(PassthruPartners(&a, &b));
    EXPECT_TRUE(PassthruPartners(&b, &a));  // whichever comes first
    EXPECT_FALSE(PassthruPartners(&a, &a));

    b.PassthruEnabled = 0;
    EXPECT_FALSE(PassthruPartners(&a, &b));
    EXPECT_FALSE(PassthruPartners(&b, &a));
    b.PassthruEnabled = 1;

    // Any other difference is another controller.
    b.MacAddress[5] ^= 0x02;
    EXPECT_FALSE(PassthruPartners(&a, &b));
    b.MacAddress[5] ^= 0x02;
    b.MacAddress[0] ^= 0x01;
    EXPECT_FALSE(PassthruPartners(&a, &b));
    b.MacAddress[0] ^= 0x01;
    b.MacAddress[5] ^= 0x01;  // the same address
    EXPECT_FALSE(PassthruPartners(&a, &b));
}

}  // namespace
