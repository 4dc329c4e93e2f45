// The port list built from ports whose addresses are known: grouping into
// boards, the aggregating ports and their order, the block and what each
// kind of port answers. No device is opened here.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Enumeration.h"
#include "Ports.h"

namespace FlApi {
namespace {

using Mac = std::array<uint8_t, 6>;

std::unique_ptr<PhysicalPort> MakePort(const std::string& name, const Mac& mac)
{
    return std::make_unique<PhysicalPort>(name, "described " + name, mac.data());
}

// A list built from ports named after their index, freed at the end.
class List {
public:
    explicit List(const std::vector<Mac>& macs)
    {
        std::vector<std::unique_ptr<PhysicalPort>> ports;
        for (size_t i = 0; i < macs.size(); ++i) {
            ports.push_back(MakePort("\\\\?\\port" + std::to_string(i), macs[i]));
        }
        status = BuildPortList(std::move(ports), &ports_, &count);
        boardCount = GetListBoards(ports_, &boards);
    }
    ~List() { FreePortList(ports_); }

    Port* operator[](uint32_t i) const { return FromHandle(ports_[i]); }
    Board* BoardAt(uint32_t i) const { return FromHandle(boards[i]); }
    std::string Name(uint32_t i) const { return (*this)[i]->GetName(); }

    FL_STATUS status = FL_ERROR_UNKNOWN;
    uint32_t count = 0;
    FL_BOARD* boards = nullptr;
    uint32_t boardCount = 0;

private:
    FL_PORT* ports_ = nullptr;
};

Mac BoardMac(const Board* board)
{
    Mac mac;
    std::memcpy(mac.data(), board->MacAddress, 6);
    return mac;
}

constexpr Mac kA0 = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x0c};
constexpr Mac kA1 = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x0d};
constexpr Mac kB0 = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x0e};
constexpr Mac kB1 = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x0f};

TEST(PortList, OneBoardIsItsTwoPortsThenItsAggregatingPort)
{
    List list({kA1, kA0});  // function 1 found first
    ASSERT_EQ(list.status, FL_SUCCESS);
    ASSERT_EQ(list.count, 3u);
    EXPECT_EQ(list[0]->GetType(), FL_PORT_TYPE_PHYSICAL);
    EXPECT_EQ(list.Name(0), "\\\\?\\port0");
    EXPECT_STREQ(list[0]->GetDescription(), "described \\\\?\\port0");
    EXPECT_EQ(list.Name(1), "\\\\?\\port1");
    EXPECT_EQ(list[2]->GetType(), FL_PORT_TYPE_BOARD_AGGREGATING);
    // The board's address has bit 0 cleared, whichever port came first.
    EXPECT_EQ(list.Name(2), "\\\\?\\FL_bap_001b210a0b0c");
    EXPECT_STREQ(list[2]->GetDescription(), "Ferrolan Board Aggregating Port");

    ASSERT_EQ(list.boardCount, 1u);
    Board* board = list.BoardAt(0);
    EXPECT_STREQ(board->Description, "Ferrolan Gigabit Ethernet Board");
    EXPECT_EQ(BoardMac(board), kA0);
    ASSERT_EQ(board->PortCount, 2u);
    EXPECT_EQ(FromHandle(board->Ports[0]), list[0]);
    EXPECT_EQ(FromHandle(board->Ports[1]), list[1]);
    for (uint32_t i = 0; i < 3; ++i) {
        Board* found = nullptr;
        EXPECT_EQ(list[i]->QueryBoard(&found), FL_SUCCESS);
        EXPECT_EQ(found, board) << i;
    }

    FL_PORT* members = nullptr;
    uint32_t memberCount = 0;
    ASSERT_EQ(list[2]->QueryAggregatedPortList(&members, &memberCount), FL_SUCCESS);
    ASSERT_EQ(memberCount, 2u);
    EXPECT_EQ(FromHandle(members[0]), list[0]);
    EXPECT_EQ(FromHandle(members[1]), list[1]);
}

TEST(PortList, TwoBoardsAddBothBoardPortsNewestFirstThenTheAggregatingPort)
{
    // Discovery interleaves the boards: grouping goes by address, not order.
    List list({kA0, kB0, kA1, kB1});
    ASSERT_EQ(list.status, FL_SUCCESS);
    ASSERT_EQ(list.count, 7u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(list[i]->GetType(), FL_PORT_TYPE_PHYSICAL) << i;
        EXPECT_EQ(list.Name(i), "\\\\?\\port" + std::to_string(i));
    }
    EXPECT_EQ(list.Name(4), "\\\\?\\FL_bap_001b210a0b0e");  // board B was made last
    EXPECT_EQ(list.Name(5), "\\\\?\\FL_bap_001b210a0b0c");
    EXPECT_EQ(list[6]->GetType(), FL_PORT_TYPE_AGGREGATING);
    EXPECT_STREQ(list[6]->GetName(), "\\\\?\\FL_flan");
    EXPECT_STREQ(list[6]->GetDescription(), "Ferrolan Aggregating Port");

    ASSERT_EQ(list.boardCount, 2u);
    EXPECT_EQ(BoardMac(list.BoardAt(0)), kB0);
    EXPECT_EQ(BoardMac(list.BoardAt(1)), kA0);
    ASSERT_EQ(list.BoardAt(1)->PortCount, 2u);
    EXPECT_EQ(FromHandle(list.BoardAt(1)->Ports[0]), list[0]);
    EXPECT_EQ(FromHandle(list.BoardAt(1)->Ports[1]), list[2]);

    FL_PORT* members = nullptr;
    uint32_t memberCount = 0;
    ASSERT_EQ(list[6]->QueryAggregatedPortList(&members, &memberCount), FL_SUCCESS);
    ASSERT_EQ(memberCount, 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(FromHandle(members[i]), list[i]);
    }
    Board* board = nullptr;
    EXPECT_EQ(list[6]->QueryBoard(&board), FL_ERROR_INVALID_REQUEST);
}

TEST(PortList, BoardsWithOnePortGetNoAggregatingPortOfTheirOwn)
{
    List one({kA1});
    ASSERT_EQ(one.status, FL_SUCCESS);
    ASSERT_EQ(one.count, 1u);
    ASSERT_EQ(one.boardCount, 1u);
    EXPECT_EQ(BoardMac(one.BoardAt(0)), kA0);

    // Two boards, one of them whole: its BapPort, and the FlApPort over all three.
    List three({kA0, kB1, kA1});
    ASSERT_EQ(three.count, 5u);
    EXPECT_EQ(three.Name(3), "\\\\?\\FL_bap_001b210a0b0c");
    EXPECT_EQ(three[4]->GetType(), FL_PORT_TYPE_AGGREGATING);
    FL_PORT* members = nullptr;
    uint32_t memberCount = 0;
    ASSERT_EQ(three[4]->QueryAggregatedPortList(&members, &memberCount), FL_SUCCESS);
    EXPECT_EQ(memberCount, 3u);
}

TEST(PortList, AThirdPortOfAFullBoardStartsABoardOfItsOwn)
{
    const Mac stray = kA1;
    List list({kA0, kA1, stray});
    ASSERT_EQ(list.status, FL_SUCCESS);
    ASSERT_EQ(list.boardCount, 2u);
    EXPECT_EQ(list.BoardAt(1)->PortCount, 2u);
    EXPECT_EQ(list.BoardAt(0)->PortCount, 1u);
    EXPECT_EQ(FromHandle(list.BoardAt(0)->Ports[0]), list[2]);
    ASSERT_EQ(list.count, 5u);  // 3 physical, one BapPort, the FlApPort
}

TEST(PortList, NoPortsIsSuccessWithNoList)
{
    List list({});
    EXPECT_EQ(list.status, FL_SUCCESS);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.boardCount, 0u);
    FreePortList(nullptr);
}

TEST(PortList, EqualityFollowsKindAndAddress)
{
    List first({kA0, kA1, kB0, kB1});
    List second({kB1, kA0, kB0, kA1});
    ASSERT_EQ(first.count, 7u);
    ASSERT_EQ(second.count, 7u);
    // Physical: the same address in another list, whatever its place.
    EXPECT_TRUE(first[0]->IsEqual(second[1]));
    EXPECT_TRUE(first[3]->IsEqual(second[0]));
    EXPECT_FALSE(first[0]->IsEqual(first[1]));
    EXPECT_FALSE(first[0]->IsEqual(first[4]));  // a BapPort is not a physical port
    EXPECT_FALSE(first[4]->IsEqual(first[0]));
    // BapPorts: the same board.
    EXPECT_EQ(first.Name(4), second.Name(5));
    EXPECT_TRUE(first[4]->IsEqual(second[5]));
    EXPECT_FALSE(first[4]->IsEqual(first[5]));
    // Any two FlApPorts.
    EXPECT_TRUE(first[6]->IsEqual(second[6]));
    EXPECT_FALSE(first[6]->IsEqual(first[4]));
}

TEST(PortList, AggregatingPortsRefuseWhatOnlyPhysicalPortsDo)
{
    List list({kA0, kA1, kB0, kB1});
    ASSERT_EQ(list.count, 7u);
    uint8_t mac[6] = {};
    EXPECT_EQ(list[0]->QueryMacAddress(mac), FL_SUCCESS);
    EXPECT_EQ(0, std::memcmp(mac, kA0.data(), 6));
    FL_PORT* members = nullptr;
    uint32_t memberCount = 0;
    EXPECT_EQ(list[0]->QueryAggregatedPortList(&members, &memberCount), FL_ERROR_INVALID_REQUEST);
    for (uint32_t i : {4u, 6u}) {
        EXPECT_EQ(list[i]->QueryMacAddress(mac), FL_ERROR_INVALID_REQUEST) << i;
        EXPECT_EQ(list[i]->SetDescription("x"), FL_ERROR_INVALID_REQUEST) << i;
        Statistics* statistics = nullptr;
        EXPECT_EQ(list[i]->QueryStatistics(&statistics), FL_ERROR_NOT_IMPLEMENTED) << i;
        EXPECT_EQ(statistics, nullptr);
        FL_LINK_STATUS link{};
        EXPECT_EQ(list[i]->QueryLinkStatus(&link), FL_ERROR_INVALID_REQUEST) << i;
        uint32_t value = 0;
        EXPECT_EQ(list[i]->QueryFeature(FL_PORT_FT_LED0, &value), FL_ERROR_INVALID_REQUEST) << i;
        EXPECT_EQ(list[i]->SetFeature(FL_PORT_FT_LED0, FL_LED_BLINK), FL_ERROR_INVALID_REQUEST) << i;
        FL_AUTONEGOTIATION_PARAMETERS parameters{};
        EXPECT_EQ(list[i]->QueryAutonegotiationParameters(&parameters), FL_ERROR_INVALID_REQUEST) << i;
        EXPECT_EQ(list[i]->SetAutonegotiationParameters(&parameters), FL_ERROR_INVALID_REQUEST) << i;
    }
}

TEST(PortList, ADescriptionMustBeText)
{
    // Refused before the port's device is looked for.
    PhysicalPort port("\\\\?\\nowhere", "kept", kA0.data());
    EXPECT_EQ(port.SetDescription(nullptr), FL_ERROR_INVALID_PARAMETER);
    EXPECT_STREQ(port.GetDescription(), "kept");
}

TEST(PortList, BoardMembershipNeedsTheSameFirstFiveBytes)
{
    Board board = *NewBoard(kA0.data());
    EXPECT_TRUE(BoardTakes(board, kA0.data()));
    EXPECT_TRUE(BoardTakes(board, kA1.data()));
    EXPECT_FALSE(BoardTakes(board, kB0.data()));  // differs in bit 1 of byte 5
    Mac other = kA1;
    other[4] ^= 0x01;
    EXPECT_FALSE(BoardTakes(board, other.data()));
    other = kA1;
    other[0] ^= 0x80;
    EXPECT_FALSE(BoardTakes(board, other.data()));
    board.PortCount = 2;
    EXPECT_FALSE(BoardTakes(board, kA1.data()));
}

} // namespace
} // namespace FlApi
