// The rules of board configuration that need no device: which advertised
// modes allow passthru, and how the restarts of a board's two ports combine.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "PortConfiguration.h"
#include "Ports.h"

namespace FlApi {
namespace {

TEST(PassthruModes, BothPortsFixedToOneAndTheSameMode)
{
    EXPECT_TRUE(PassthruModesAgree(FL_SPEED_1000_FULL, FL_SPEED_1000_FULL));
    EXPECT_TRUE(PassthruModesAgree(FL_SPEED_10_HALF, FL_SPEED_10_HALF));
    EXPECT_FALSE(PassthruModesAgree(FL_SPEED_1000_FULL, FL_SPEED_100_FULL));
    EXPECT_FALSE(PassthruModesAgree(20, 20));  // two modes
    EXPECT_FALSE(PassthruModesAgree(FL_SPEED_ALL, FL_SPEED_ALL));  // the driver's default
    EXPECT_FALSE(PassthruModesAgree(0, 0));
    EXPECT_TRUE(PassthruModesAgree(0x80000000u, 0x80000000u));  // counted over all 32 bits
}

TEST(RestartResult, AFailedEnableWinsThenAnyRebootRequest)
{
    EXPECT_EQ(RestartResult(FL_SUCCESS, FL_SUCCESS), FL_SUCCESS);
    EXPECT_EQ(RestartResult(FL_SUCCESS_REBOOT_REQUIRED, FL_SUCCESS), FL_SUCCESS_REBOOT_REQUIRED);
    EXPECT_EQ(RestartResult(FL_SUCCESS, FL_SUCCESS_REBOOT_REQUIRED), FL_SUCCESS_REBOOT_REQUIRED);
    EXPECT_EQ(RestartResult(FL_SUCCESS_REBOOT_REQUIRED, FL_ERROR_INVALID_REQUEST), FL_ERROR_INVALID_REQUEST);
}

// A board of two ports known by address only, and restarts that answer
// from a table while recording which ports they were asked for.
class BoardRestart : public ::testing::Test {
protected:
    BoardRestart()
    {
        const uint8_t mac0[6] = {0x02, 0, 0xf1, 0x0e, 0, 0x50};
        const uint8_t mac1[6] = {0x02, 0, 0xf1, 0x0e, 0, 0x51};
        port0_ = std::make_unique<PhysicalPort>("\\\\?\\p0", "p0", mac0);
        port1_ = std::make_unique<PhysicalPort>("\\\\?\\p1", "p1", mac1);
        board_ = NewBoard(mac0);
        AttachPort(*board_, port0_.get());
        AttachPort(*board_, port1_.get());
    }

    FL_STATUS Restart(FL_STATUS first, FL_STATUS second)
    {
        asked_.clear();
        std::map<Port*, FL_STATUS> answers{{port0_.get(), first}, {port1_.get(), second}};
        return RestartBoard(*board_, [&](Port* port) {
            asked_.push_back(port);
            return answers.at(port);
        });
    }

    std::unique_ptr<PhysicalPort> port0_;
    std::unique_ptr<PhysicalPort> port1_;
    std::unique_ptr<Board> board_;
    std::vector<Port*> asked_;
};

TEST_F(BoardRestart, BothPortsInOrderWhenTheFirstGoesWell)
{
    EXPECT_EQ(Restart(FL_SUCCESS, FL_SUCCESS), FL_SUCCESS);
    EXPECT_EQ(asked_, (std::vector<Port*>{port0_.get(), port1_.get()}));
    EXPECT_EQ(Restart(FL_SUCCESS_REBOOT_REQUIRED, FL_SUCCESS), FL_SUCCESS_REBOOT_REQUIRED);
    EXPECT_EQ(asked_.size(), 2u);
    EXPECT_EQ(Restart(FL_SUCCESS, FL_SUCCESS_REBOOT_REQUIRED), FL_SUCCESS_REBOOT_REQUIRED);
    EXPECT_EQ(Restart(FL_SUCCESS_REBOOT_REQUIRED, FL_ERROR_REGISTRY), FL_ERROR_REGISTRY);
    EXPECT_EQ(Restart(FL_SUCCESS, FL_ERROR_INVALID_REQUEST), FL_ERROR_INVALID_REQUEST);
}

TEST_F(BoardRestart, AFailedFirstPortLeavesTheSecondAlone)
{
    EXPECT_EQ(Restart(FL_ERROR_INVALID_REQUEST, FL_SUCCESS), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(asked_, std::vector<Port*>{port0_.get()});
    EXPECT_EQ(Restart(FL_ERROR_REGISTRY, FL_SUCCESS_REBOOT_REQUIRED), FL_ERROR_REGISTRY);
    EXPECT_EQ(asked_.size(), 1u);
}

TEST(BoardFeatures, OnlyPassthruWithZeroOrOne)
{
    // Refused before any port or the registry is reached.
    const uint8_t mac[6] = {0x02, 0, 0xf1, 0x0e, 0, 0x60};
    std::unique_ptr<Board> board = NewBoard(mac);
    uint32_t value = 7;
    EXPECT_EQ(SetBoardFeature(*board, FL_BOARD_FT_PASSTHRU, 2), FL_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetBoardFeature(*board, 2, 1), FL_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(QueryBoardFeature(*board, 2, &value), FL_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(value, 7u);
    // A board without two ports has no passthru to change, and has it off.
    EXPECT_EQ(SetBoardFeature(*board, FL_BOARD_FT_PASSTHRU, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(SetBoardFeature(*board, FL_BOARD_FT_PASSTHRU, 0), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(QueryBoardFeature(*board, FL_BOARD_FT_PASSTHRU, &value), FL_SUCCESS);
    EXPECT_EQ(value, 0u);
}

} // namespace
} // namespace FlApi
