// Enumeration through the library's exports, as an application sees it, on
// a machine of two boards: the list against what SetupAPI and the driver
// say, boards, aggregating ports, descriptions kept in the registry, and
// ports whose devices go away.
#define INITGUID
#include "FlApi.h"
#include "PortTestSupport.h"

#include <fl_test_machine.h>

#include <cstring>
#include <set>
#include <string>

namespace {

using porttest::Interfaces;
using porttest::Mac;

constexpr char kMachine[] = "autonegotiation_delay_ms = 20\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:10\"\n"
                            "[[board.port]]\n"
                            "wire = \"generator\"\n"
                            "rate = 100\n"
                            "[[board.port]]\n"
                            "wire = \"none\"\n"
                            "[[board]]\n"
                            "mac = \"02:00:f1:0e:00:20\"\n";

constexpr char kDeviceDescription[] = "Ferrolan Gigabit Ethernet Port";

void UseMachine()
{
    FlUseTestMachine("ports_enumeration", kMachine);
}

// One FlQueryPortList, freed at the end.
class PortList {
public:
    PortList()
    {
        UseMachine();
        status = FlQueryPortList(&ports, &count);
    }
    ~PortList() { EXPECT_EQ(FlFreePortList(ports), FL_SUCCESS); }
    PortList(const PortList&) = delete;
    PortList& operator=(const PortList&) = delete;

    FL_PORT operator[](uint32_t i) const { return ports[i]; }
    std::string Name(uint32_t i) const { return FlPortGetName(ports[i]); }

    FL_STATUS status = FL_ERROR_UNKNOWN;
    FL_PORT* ports = nullptr;
    uint32_t count = 0;
};

Mac MacOf(FL_PORT port)
{
    Mac mac{};
    EXPECT_EQ(FlPortQueryMacAddress(port, mac.data()), FL_SUCCESS);
    return mac;
}

std::string BapName(const Mac& boardMac)
{
    char name[32];
    std::snprintf(name, sizeof name, "\\\\?\\FL_bap_%02x%02x%02x%02x%02x%02x", boardMac[0], boardMac[1],
                  boardMac[2], boardMac[3], boardMac[4], boardMac[5] & 0xFE);
    return name;
}

TEST(Enumeration, ListsEveryInterfaceInDiscoveryOrderThenTheAggregatingPorts)
{
    PortList list;
    ASSERT_EQ(list.status, FL_SUCCESS);
    Interfaces present(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_EQ(present.Paths().size(), 4u);
    ASSERT_EQ(list.count, 7u);

    std::set<Mac> macs;
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(FlPortGetType(list[i]), FL_PORT_TYPE_PHYSICAL);
        EXPECT_EQ(list.Name(i), present.Paths()[i]);  // the name opens the device
        EXPECT_STREQ(FlPortGetDescription(list[i]), kDeviceDescription);
        const Mac mac = MacOf(list[i]);
        EXPECT_EQ(mac, porttest::QueryMac(present.Paths()[i]));
        macs.insert(mac);
    }
    EXPECT_EQ(macs, (std::set<Mac>{{0x02, 0x00, 0xf1, 0x0e, 0x00, 0x10},
                                   {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x11},
                                   {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x20},
                                   {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x21}}));

    // The board found last comes first among the BapPorts.
    const Mac lastBoard = MacOf(list[3]);
    const Mac firstBoard = MacOf(list[0]);
    ASSERT_NE(lastBoard[5] & 0xFE, firstBoard[5] & 0xFE) << "discovery order of this machine";
    EXPECT_EQ(FlPortGetType(list[4]), FL_PORT_TYPE_BOARD_AGGREGATING);
    EXPECT_EQ(FlPortGetType(list[5]), FL_PORT_TYPE_BOARD_AGGREGATING);
    EXPECT_EQ(list.Name(4), BapName(lastBoard));
    EXPECT_EQ(list.Name(5), BapName(firstBoard));
    EXPECT_STREQ(FlPortGetDescription(list[4]), "Ferrolan Board Aggregating Port");
    EXPECT_EQ(FlPortGetType(list[6]), FL_PORT_TYPE_AGGREGATING);
    EXPECT_EQ(list.Name(6), "\\\\?\\FL_flan");
    EXPECT_STREQ(FlPortGetDescription(list[6]), "Ferrolan Aggregating Port");

    FL_PORT* members = nullptr;
    uint32_t memberCount = 0;
    ASSERT_EQ(FlPortQueryAggregatedPortList(list[6], &members, &memberCount), FL_SUCCESS);
    ASSERT_EQ(memberCount, 4u);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(members[i], list[i]);

    uint8_t mac[6];
    EXPECT_EQ(FlPortQueryMacAddress(list[4], mac), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortQueryMacAddress(list[6], mac), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlPortQueryAggregatedPortList(list[0], &members, &memberCount), FL_ERROR_INVALID_REQUEST);
}

TEST(Enumeration, BoardsHoldTheirTwoPortsAndTheirBoardPortMergesThem)
{
    PortList list;
    ASSERT_EQ(list.count, 7u);
    for (uint32_t i = 0; i < 4; ++i) {
        FL_BOARD board = nullptr;
        ASSERT_EQ(FlPortQueryBoard(list[i], &board), FL_SUCCESS);
        ASSERT_NE(board, nullptr);
        EXPECT_STREQ(FlBoardGetDescription(board), "Ferrolan Gigabit Ethernet Board");
        EXPECT_EQ(FlBoardGetType(board), FL_BOARD_TYPE_GIGABIT_ETHERNET);
        FL_PORT* ports = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(FlBoardQueryPortList(board, &ports, &count), FL_SUCCESS);
        ASSERT_EQ(count, 2u);
        EXPECT_TRUE(ports[0] == list[i] || ports[1] == list[i]) << i;
        // The two ports of a board differ in bit 0 of the last byte only.
        const Mac a = MacOf(ports[0]);
        const Mac b = MacOf(ports[1]);
        EXPECT_EQ(a[5] ^ b[5], 1);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), 5), 0);

        // The BapPort of this board names it and merges the same two ports.
        for (uint32_t bap : {4u, 5u}) {
            FL_BOARD bapBoard = nullptr;
            ASSERT_EQ(FlPortQueryBoard(list[bap], &bapBoard), FL_SUCCESS);
            if (bapBoard != board) continue;
            EXPECT_EQ(list.Name(bap), BapName(a));
            FL_PORT* merged = nullptr;
            uint32_t mergedCount = 0;
            ASSERT_EQ(FlPortQueryAggregatedPortList(list[bap], &merged, &mergedCount), FL_SUCCESS);
            EXPECT_EQ(merged, ports);
            EXPECT_EQ(mergedCount, 2u);
        }
    }
    FL_BOARD first = nullptr;
    FL_BOARD other = nullptr;
    FL_BOARD last = nullptr;
    ASSERT_EQ(FlPortQueryBoard(list[0], &first), FL_SUCCESS);
    ASSERT_EQ(FlPortQueryBoard(list[3], &last), FL_SUCCESS);
    ASSERT_EQ(FlPortQueryBoard(list[4], &other), FL_SUCCESS);
    EXPECT_TRUE(FlBoardIsEqual(last, other));
    EXPECT_FALSE(FlBoardIsEqual(first, last));
    FL_BOARD none = nullptr;
    EXPECT_EQ(FlPortQueryBoard(list[6], &none), FL_ERROR_INVALID_REQUEST);
}

TEST(Enumeration, ListsAreIndependentAndComparePortsByAddress)
{
    PortList first;
    ASSERT_EQ(first.count, 7u);
    FL_BOARD firstBoard = nullptr;
    ASSERT_EQ(FlPortQueryBoard(first[0], &firstBoard), FL_SUCCESS);
    {
        PortList second;
        ASSERT_EQ(second.count, 7u);
        for (uint32_t i = 0; i < 7; ++i) {
            EXPECT_NE(first[i], second[i]);
            EXPECT_TRUE(FlPortIsEqual(first[i], second[i])) << i;
        }
        EXPECT_FALSE(FlPortIsEqual(first[0], second[1]));
        EXPECT_FALSE(FlPortIsEqual(first[0], second[4]));  // physical against BapPort
        EXPECT_FALSE(FlPortIsEqual(first[4], second[5]));
        EXPECT_TRUE(FlPortIsEqual(first[6], second[6]));
        FL_BOARD secondBoard = nullptr;
        ASSERT_EQ(FlPortQueryBoard(second[0], &secondBoard), FL_SUCCESS);
        EXPECT_NE(firstBoard, secondBoard);
        EXPECT_TRUE(FlBoardIsEqual(firstBoard, secondBoard));
    }
    // The second list is gone; the first is whole.
    EXPECT_EQ(MacOf(first[0]), porttest::QueryMac(first.Name(0)));
    EXPECT_STREQ(FlBoardGetDescription(firstBoard), "Ferrolan Gigabit Ethernet Board");
}

TEST(Enumeration, DescriptionsAreKeptInTheRegistryAsUtf16)
{
    const std::string text = "Uplink \xe2\x80\x93 caf\xc3\xa9 \xf0\x9f\x93\xa1";  // en dash, é, a satellite dish
    const std::u16string wide = u"Uplink \u2013 caf\u00e9 \xd83d\xdce1";
    std::string path;
    {
        PortList list;
        ASSERT_EQ(list.count, 7u);
        path = list.Name(1);
        ASSERT_EQ(FlPortSetDescription(list[1], text.c_str()), FL_SUCCESS);
        EXPECT_EQ(FlPortGetDescription(list[1]), text);
        EXPECT_STREQ(FlPortGetDescription(list[0]), kDeviceDescription);

        PortList newer;
        EXPECT_EQ(FlPortGetDescription(newer[1]), text);
        EXPECT_STREQ(FlPortGetDescription(newer[0]), kDeviceDescription);
        // Aggregating ports have no description of their own to set.
        EXPECT_EQ(FlPortSetDescription(newer[4], "x"), FL_ERROR_INVALID_REQUEST);
        EXPECT_EQ(FlPortSetDescription(newer[6], "x"), FL_ERROR_INVALID_REQUEST);
        EXPECT_STREQ(FlPortGetDescription(newer[4]), "Ferrolan Board Aggregating Port");
    }
    Interfaces interfaces;
    DWORD type = REG_NONE;
    std::vector<uint8_t> stored;
    ASSERT_TRUE(interfaces.QueryWide(path, u"CustomDescription", &type, &stored));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    ASSERT_EQ(stored.size(), (wide.size() + 1) * 2);  // with its terminator
    std::u16string readBack(wide.size() + 1, u'\0');
    std::memcpy(readBack.data(), stored.data(), stored.size());
    EXPECT_EQ(readBack, wide + u'\0');

    // A later setting replaces it; an old list keeps what it read.
    PortList before;
    {
        PortList list;
        ASSERT_EQ(FlPortSetDescription(list[1], "mirror port"), FL_SUCCESS);
    }
    EXPECT_EQ(FlPortGetDescription(before[1]), text);
    PortList after;
    EXPECT_STREQ(FlPortGetDescription(after[1]), "mirror port");
}

TEST(Enumeration, AnEmptyOrMistypedCustomDescriptionFallsBackToTheDeviceDescription)
{
    UseMachine();
    std::string path;
    {
        PortList list;
        ASSERT_EQ(list.count, 7u);
        path = list.Name(2);
    }
    Interfaces interfaces;
    const char16_t empty[] = u"";
    ASSERT_TRUE(interfaces.SetWide(path, u"CustomDescription", REG_SZ, empty, sizeof empty));  // 2 bytes
    {
        PortList list;
        EXPECT_STREQ(FlPortGetDescription(list[2]), kDeviceDescription);
    }
    ASSERT_TRUE(interfaces.SetDword(path, "CustomDescription", 0x41414141));
    {
        PortList list;
        EXPECT_STREQ(FlPortGetDescription(list[2]), kDeviceDescription);
    }
    // One character is enough; a value stored without its terminator is
    // read up to its end and no further.
    const char16_t unterminated[] = {u'Q', u'7'};
    ASSERT_TRUE(interfaces.SetWide(path, u"CustomDescription", REG_SZ, unterminated, sizeof unterminated));
    {
        PortList list;
        EXPECT_STREQ(FlPortGetDescription(list[2]), "Q7");
    }
    ASSERT_TRUE(interfaces.DeleteValue(path, "CustomDescription"));
    {
        PortList list;
        EXPECT_STREQ(FlPortGetDescription(list[2]), kDeviceDescription);
    }
}

TEST(Enumeration, APortWhoseDeviceIsGoneIsLeftOutAndCannotBeDescribed)
{
    PortList before;
    ASSERT_EQ(before.count, 7u);
    const std::string gone = before.Name(0);
    const Mac goneMac = MacOf(before[0]);
    Interfaces interfaces;
    ASSERT_TRUE(interfaces.Change(gone, DICS_DISABLE));
    {
        PortList after;
        ASSERT_EQ(after.status, FL_SUCCESS);
        // Three physical ports; only the whole board has its BapPort; two
        // boards still make the FlApPort, over the three.
        ASSERT_EQ(after.count, 5u);
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_NE(after.Name(i), gone);
            EXPECT_NE(MacOf(after[i]), goneMac);
        }
        EXPECT_EQ(FlPortGetType(after[3]), FL_PORT_TYPE_BOARD_AGGREGATING);
        EXPECT_EQ(after.Name(3), BapName(MacOf(before[3])));
        FL_PORT* members = nullptr;
        uint32_t memberCount = 0;
        ASSERT_EQ(FlPortQueryAggregatedPortList(after[4], &members, &memberCount), FL_SUCCESS);
        EXPECT_EQ(memberCount, 3u);
        // The lone port's board holds it alone.
        for (uint32_t i = 0; i < 3; ++i) {
            FL_BOARD board = nullptr;
            ASSERT_EQ(FlPortQueryBoard(after[i], &board), FL_SUCCESS);
            FL_PORT* ports = nullptr;
            uint32_t count = 0;
            ASSERT_EQ(FlBoardQueryPortList(board, &ports, &count), FL_SUCCESS);
            const Mac mac = MacOf(after[i]);
            EXPECT_EQ(count, (mac[5] & 0xFE) == (goneMac[5] & 0xFE) ? 1u : 2u);
        }
    }
    // The old list still names the port, but its device is not found.
    EXPECT_EQ(FlPortSetDescription(before[0], "nowhere"), FL_ERROR_REGISTRY);
    EXPECT_STREQ(FlPortGetDescription(before[0]), kDeviceDescription);

    ASSERT_TRUE(interfaces.Change(gone, DICS_ENABLE));
    PortList again;
    EXPECT_EQ(again.count, 7u);
}

} // namespace
