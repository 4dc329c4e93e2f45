// Copies of ports, as instances make them: each copy opens its device again,
// brings its own board when asked, and outlives the list it came from.
#include <gtest/gtest.h>

#include "Enumeration.h"
#include "Ports.h"
#include "PortTestSupport.h"

#include <fl_test_machine.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>

namespace FlApi {
namespace {

constexpr char kMachine[] = "autonegotiation_delay_ms = 20\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:30\"\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:40\"\n";

struct ListDeleter {
    void operator()(FL_PORT* list) const { FreePortList(list); }
};
using ListPtr = std::unique_ptr<FL_PORT, ListDeleter>;

ListPtr Enumerate(uint32_t* count)
{
    FlUseTestMachine("ports_copy", kMachine);
    FL_PORT* list = nullptr;
    EXPECT_EQ(QueryPortList(&list, count), FL_SUCCESS);
    return ListPtr(list);
}

porttest::Mac MacOf(Port* port)
{
    porttest::Mac mac{};
    EXPECT_EQ(port->QueryMacAddress(mac.data()), FL_SUCCESS);
    return mac;
}

TEST(PortCopy, APhysicalPortWithItsBoardOutlivesTheList)
{
    uint32_t count = 0;
    ListPtr list = Enumerate(&count);
    ASSERT_EQ(count, 7u);
    Port* original = FromHandle(list.get()[1]);
    ASSERT_EQ(original->SetDescription("copied along"), FL_SUCCESS);
    const std::string name = original->GetName();
    const porttest::Mac mac = MacOf(original);
    Board* originalBoard = nullptr;
    ASSERT_EQ(original->QueryBoard(&originalBoard), FL_SUCCESS);

    std::unique_ptr<Port> copy(original->Clone(true));
    ASSERT_NE(copy, nullptr);
    list.reset();

    EXPECT_EQ(copy->GetType(), FL_PORT_TYPE_PHYSICAL);
    EXPECT_EQ(copy->GetName(), name);
    EXPECT_STREQ(copy->GetDescription(), "copied along");
    EXPECT_EQ(MacOf(copy.get()), mac);
    Board* board = nullptr;
    ASSERT_EQ(copy->QueryBoard(&board), FL_SUCCESS);
    ASSERT_NE(board, nullptr);
    EXPECT_NE(board, originalBoard);
    EXPECT_STREQ(board->Description, "Ferrolan Gigabit Ethernet Board");
    ASSERT_EQ(board->PortCount, 2u);
    // The copy sits in its board beside a copy of its partner, which names
    // and opens the partner's device.
    Port* partner = FromHandle(board->Ports[0]) == copy.get() ? FromHandle(board->Ports[1]) : FromHandle(board->Ports[0]);
    EXPECT_TRUE(FromHandle(board->Ports[0]) == copy.get() || FromHandle(board->Ports[1]) == copy.get());
    const porttest::Mac partnerMac = MacOf(partner);
    EXPECT_EQ(partnerMac[5] ^ mac[5], 1);
    EXPECT_EQ(partnerMac, porttest::QueryMac(partner->GetName()));
    Board* partnerBoard = nullptr;
    ASSERT_EQ(partner->QueryBoard(&partnerBoard), FL_SUCCESS);
    EXPECT_EQ(partnerBoard, board);

    // A copy of the copy is as good.
    std::unique_ptr<Port> again(copy->Clone(true));
    ASSERT_NE(again, nullptr);
    copy.reset();
    EXPECT_EQ(MacOf(again.get()), mac);
    ASSERT_EQ(again->QueryBoard(&board), FL_SUCCESS);
    EXPECT_EQ(board->PortCount, 2u);
}

TEST(PortCopy, APhysicalPortWithoutItsBoardHasNone)
{
    uint32_t count = 0;
    ListPtr list = Enumerate(&count);
    ASSERT_EQ(count, 7u);
    std::unique_ptr<Port> copy(FromHandle(list.get()[2])->Clone(false));
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->IsEqual(FromHandle(list.get()[2])));
    list.reset();
    Board* board = reinterpret_cast<Board*>(&count);
    EXPECT_EQ(copy->QueryBoard(&board), FL_SUCCESS);
    EXPECT_EQ(board, nullptr);
}

TEST(PortCopy, AggregatingPortsCopyTheirMembersWithTheirBoards)
{
    uint32_t count = 0;
    ListPtr list = Enumerate(&count);
    ASSERT_EQ(count, 7u);
    std::unique_ptr<Port> bap(FromHandle(list.get()[4])->Clone(false));
    std::unique_ptr<Port> flap(FromHandle(list.get()[6])->Clone(true));
    ASSERT_NE(bap, nullptr);
    ASSERT_NE(flap, nullptr);
    const std::string bapName = FromHandle(list.get()[4])->GetName();
    std::vector<porttest::Mac> macs;
    for (uint32_t i = 0; i < 4; ++i) macs.push_back(MacOf(FromHandle(list.get()[i])));
    list.reset();

    EXPECT_EQ(bap->GetName(), bapName);
    EXPECT_EQ(bap->GetType(), FL_PORT_TYPE_BOARD_AGGREGATING);
    FL_PORT* members = nullptr;
    uint32_t memberCount = 0;
    ASSERT_EQ(bap->QueryAggregatedPortList(&members, &memberCount), FL_SUCCESS);
    ASSERT_EQ(memberCount, 2u);
    Board* board = nullptr;
    ASSERT_EQ(bap->QueryBoard(&board), FL_SUCCESS);
    for (uint32_t i = 0; i < 2; ++i) {
        Board* memberBoard = nullptr;
        ASSERT_EQ(FromHandle(members[i])->QueryBoard(&memberBoard), FL_SUCCESS);
        EXPECT_EQ(memberBoard, board);
        EXPECT_EQ(MacOf(FromHandle(members[i])), porttest::QueryMac(FromHandle(members[i])->GetName()));
    }

    EXPECT_STREQ(flap->GetName(), "\\\\?\\FL_flan");
    ASSERT_EQ(flap->QueryAggregatedPortList(&members, &memberCount), FL_SUCCESS);
    ASSERT_EQ(memberCount, 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        Port* member = FromHandle(members[i]);
        EXPECT_EQ(MacOf(member), macs[i]) << i;
        ASSERT_EQ(member->QueryBoard(&board), FL_SUCCESS);
        ASSERT_NE(board, nullptr);
        EXPECT_EQ(board->PortCount, 2u);
    }
    std::unique_ptr<Port> flapAgain(flap->Clone(false));
    ASSERT_NE(flapAgain, nullptr);
    EXPECT_TRUE(flapAgain->IsEqual(flap.get()));
}

TEST(PortCopy, APortWhoseDeviceIsGoneCannotBeCopied)
{
    uint32_t count = 0;
    ListPtr list = Enumerate(&count);
    ASSERT_EQ(count, 7u);
    const std::string gone = FromHandle(list.get()[3])->GetName();
    porttest::Interfaces interfaces;
    ASSERT_TRUE(interfaces.Change(gone, DICS_DISABLE));

    EXPECT_EQ(FromHandle(list.get()[3])->Clone(false), nullptr);
    EXPECT_EQ(FromHandle(list.get()[3])->Clone(true), nullptr);
    // Its partner alone still copies, but not with the board that needs both.
    Board* board = nullptr;
    ASSERT_EQ(FromHandle(list.get()[3])->QueryBoard(&board), FL_SUCCESS);
    Port* partner = FromHandle(board->Ports[0])->GetName() == gone ? FromHandle(board->Ports[1]) : FromHandle(board->Ports[0]);
    std::unique_ptr<Port> alone(partner->Clone(false));
    EXPECT_NE(alone, nullptr);
    EXPECT_EQ(partner->Clone(true), nullptr);
    for (uint32_t bap : {4u, 5u}) {
        Board* bapBoard = nullptr;
        ASSERT_EQ(FromHandle(list.get()[bap])->QueryBoard(&bapBoard), FL_SUCCESS);
        if (bapBoard == board) {
            EXPECT_EQ(FromHandle(list.get()[bap])->Clone(true), nullptr);
        }
    }
    EXPECT_EQ(FromHandle(list.get()[6])->Clone(true), nullptr);

    ASSERT_TRUE(interfaces.Change(gone, DICS_ENABLE));
    std::unique_ptr<Port> back(FromHandle(list.get()[3])->Clone(true));
    EXPECT_NE(back, nullptr);
}

} // namespace
} // namespace FlApi

namespace FlApi {
namespace {

TEST(PortLookup, FindsTheDeviceByItsWholePathWhateverTheCase)
{
    uint32_t count = 0;
    ListPtr list = Enumerate(&count);
    ASSERT_EQ(count, 7u);
    std::string path = FromHandle(list.get()[0])->GetName();
    std::string upper = path;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_NE(upper, path);
    {
        DeviceInfo info;
        EXPECT_EQ(FindDeviceInfo(upper.c_str(), &info), FL_SUCCESS);
        EXPECT_NE(info.Set, INVALID_HANDLE_VALUE);
    }
    for (const std::string& wrong : {path.substr(0, path.size() - 1), path + "x", std::string("\\\\?\\FL_flan")}) {
        DeviceInfo info;
        EXPECT_EQ(FindDeviceInfo(wrong.c_str(), &info), FL_ERROR_REGISTRY) << wrong;
        EXPECT_EQ(info.Set, INVALID_HANDLE_VALUE);
    }
}

} // namespace
} // namespace FlApi
