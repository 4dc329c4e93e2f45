// The main dialog's behaviour against a machine of two boards: what the
// tree lists, what selecting a board or a port loads, what Apply sends to
// the library and the registry (read back through the library and the
// registry, not through the dialog), identification, the pending-changes
// question, and the failures the dialog reports.
#include "PanelTestSupport.h"

#include <algorithm>
#include <memory>

namespace {

using namespace paneltest;
using ITEM = CFlPanelDlg::TREE_ITEM;

class PanelDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseMachine();
        g_watch = Watch{};
    }

    std::unique_ptr<CFlPanelDlg> Open()
    {
        auto dialog = std::make_unique<CFlPanelDlg>(WatchedImports());
        dialog->SetMessageBox(log.Box());
        dialog->OnInitDialog();
        return dialog;
    }

    // The tree item of the port whose address ends in this byte.
    static ITEM PortItem(const CFlPanelDlg& dialog, uint8_t last)
    {
        for (size_t b = 0; b < dialog.Tree().size(); ++b) {
            for (size_t p = 0; p < dialog.Tree()[b].Ports.size(); ++p) {
                uint8_t mac[6];
                if (FlPortQueryMacAddress(dialog.Tree()[b].Ports[p].Port, mac) == FL_SUCCESS && mac[5] == last) {
                    return ITEM{int(b), int(p)};
                }
            }
        }
        ADD_FAILURE() << "no port item ending in " << int(last);
        return ITEM{};
    }
    static ITEM BoardItem(const CFlPanelDlg& dialog, uint8_t last)
    {
        return ITEM{PortItem(dialog, last).Board, -1};
    }

    MessageLog log;
};

TEST_F(PanelDialog, TreeListsEveryBoardWithItsPortsUnderTheLibrarysDescriptions)
{
    auto dialog = Open();
    const auto& tree = dialog->Tree();
    ASSERT_EQ(tree.size(), 2u);

    FL_PORT* ports = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(FlQueryPortList(&ports, &count), FL_SUCCESS);
    // Boards in the order of their first physical port in the library's list.
    std::vector<std::vector<std::string>> expected;
    std::vector<std::string> seenBoards;
    for (uint32_t i = 0; i < count; ++i) {
        if (FlPortGetType(ports[i]) != FL_PORT_TYPE_PHYSICAL) continue;
        FL_BOARD board = nullptr;
        ASSERT_EQ(FlPortQueryBoard(ports[i], &board), FL_SUCCESS);
        FL_PORT* boardPorts = nullptr;
        uint32_t boardCount = 0;
        ASSERT_EQ(FlBoardQueryPortList(board, &boardPorts, &boardCount), FL_SUCCESS);
        const std::string first = MacOf(boardPorts[0]);
        if (std::find(seenBoards.begin(), seenBoards.end(), first) != seenBoards.end()) continue;
        seenBoards.push_back(first);
        std::vector<std::string> macs;
        for (uint32_t p = 0; p < boardCount; ++p) macs.push_back(MacOf(boardPorts[p]));
        expected.push_back(macs);
    }
    FlFreePortList(ports);
    ASSERT_EQ(expected.size(), 2u);

    for (size_t b = 0; b < tree.size(); ++b) {
        EXPECT_EQ(tree[b].Label, FlBoardGetDescription(tree[b].Board));
        EXPECT_EQ(tree[b].Label, "Ferrolan Gigabit Ethernet Board");
        ASSERT_EQ(tree[b].Ports.size(), expected[b].size());
        for (size_t p = 0; p < tree[b].Ports.size(); ++p) {
            EXPECT_EQ(MacOf(tree[b].Ports[p].Port), expected[b][p]);
            EXPECT_EQ(tree[b].Ports[p].Label, FlPortGetDescription(tree[b].Ports[p].Port));
            EXPECT_FALSE(tree[b].Ports[p].Label.empty());
        }
    }

    // Nothing selected: neither group usable, nothing to apply.
    EXPECT_FALSE(dialog->Selection());
    EXPECT_FALSE(dialog->Control(IDC_CHECK_PASSTHRU).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_CHECK_1000_FULL).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_IDENTIFY).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_ADVANCED).Visible);
    EXPECT_FALSE(dialog->Control(IDC_STATIC_IDENTIFY_NOTE).Visible);
    EXPECT_EQ(dialog->Control(IDC_STATIC_BOARD_ID_VALUE).Text, "00:00:00:00:00:00");
    const auto& speeds = dialog->Combo(IDC_COMBO_PASSTHRU_SPEED).Entries;
    ASSERT_EQ(speeds.size(), 3u);
    EXPECT_EQ(speeds[0], (CFlPanelDlg::COMBO_ENTRY{"10Mbps Full Duplex", 1}));
    EXPECT_EQ(speeds[1], (CFlPanelDlg::COMBO_ENTRY{"100Mbps Full Duplex", 4}));
    EXPECT_EQ(speeds[2], (CFlPanelDlg::COMBO_ENTRY{"1Gbps Full Duplex", 16}));
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(PanelDialog, BoardSelectionShowsTheBoardIdWithItsLowestBitCleared)
{
    auto dialog = Open();
    dialog->OnTreeSelChanged(BoardItem(*dialog, 0xa0));
    EXPECT_TRUE(dialog->Control(IDC_CHECK_PASSTHRU).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_CHECK_10_FULL).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_IDENTIFY).Enabled);
    EXPECT_EQ(dialog->Control(IDC_STATIC_MAC_VALUE).Text, "");
    EXPECT_EQ(dialog->Control(IDC_STATIC_BOARD_ID_VALUE).Text, "02:00:f1:0e:00:a0");
    EXPECT_EQ(dialog->Control(IDC_CHECK_PASSTHRU).Check, BST_UNCHECKED);
    EXPECT_FALSE(dialog->Control(IDC_COMBO_PASSTHRU_SPEED).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_STATIC_PASSTHRU_SPEED).Enabled);

    // The second board's first port has an odd address: the board's is one less.
    const ITEM second = BoardItem(*dialog, 0xb1);
    ASSERT_EQ(MacOf(dialog->Tree().at(second.Board).Ports.at(0).Port), "b1");
    dialog->OnTreeSelChanged(second);
    EXPECT_EQ(dialog->Control(IDC_STATIC_BOARD_ID_VALUE).Text, "02:00:f1:0e:00:b0");

    // A port: the board controls go, the Board ID returns to nothing.
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xb0));
    EXPECT_FALSE(dialog->Control(IDC_CHECK_PASSTHRU).Enabled);
    EXPECT_EQ(dialog->Control(IDC_STATIC_BOARD_ID_VALUE).Text, "00:00:00:00:00:00");
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(PanelDialog, PortSelectionShowsAddressLinkAndAdvertisedSpeeds)
{
    ReadBack list;
    FL_LINK_STATUS link{};
    ASSERT_TRUE(WaitFor([&] {
        return FlPortQueryLinkStatus(list.ByMac(0xa1), &link) == FL_SUCCESS && link.LinkUp != 0;
    }));

    auto dialog = Open();
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xa1));
    EXPECT_EQ(dialog->Control(IDC_STATIC_MAC_VALUE).Text, "02:00:f1:0e:00:a1");
    EXPECT_EQ(dialog->Control(IDC_STATIC_LINK_STATUS_VALUE).Text, "UP");
    EXPECT_EQ(dialog->Control(IDC_STATIC_LINK_SPEED_VALUE).Text, "1Gbps Full Duplex");
    for (int id : {IDC_CHECK_10_HALF, IDC_CHECK_10_FULL, IDC_CHECK_100_HALF, IDC_CHECK_100_FULL, IDC_CHECK_1000_FULL}) {
        EXPECT_EQ(dialog->Control(id).Check, BST_CHECKED) << id;
        EXPECT_TRUE(dialog->Control(id).Enabled) << id;
    }
    EXPECT_TRUE(dialog->Control(IDC_BUTTON_IDENTIFY).Enabled);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_ADVANCED).Visible);

    // Nothing on the wire of board 1.
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xb0));
    EXPECT_EQ(dialog->Control(IDC_STATIC_MAC_VALUE).Text, "02:00:f1:0e:00:b0");
    EXPECT_EQ(dialog->Control(IDC_STATIC_LINK_STATUS_VALUE).Text, "DOWN");
    EXPECT_EQ(dialog->Control(IDC_STATIC_LINK_SPEED_VALUE).Text, "");
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(PanelDialog, EditedPortLabelIsStoredAsTheDescriptionByApply)
{
    auto dialog = Open();
    const ITEM port = PortItem(*dialog, 0xb0);
    dialog->OnTreeSelChanged(port);

    // Boards and cancelled edits change nothing.
    EXPECT_FALSE(dialog->OnTreeBeginLabelEdit(BoardItem(*dialog, 0xb0)));
    EXPECT_FALSE(dialog->OnTreeBeginLabelEdit(PortItem(*dialog, 0xa0)));  // not the selected one
    EXPECT_TRUE(dialog->OnTreeBeginLabelEdit(port));
    dialog->OnTreeEndLabelEdit(port, nullptr);
    dialog->OnTreeEndLabelEdit(port, "");
    EXPECT_FALSE(dialog->SettingsChanged());
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);

    dialog->OnTreeEndLabelEdit(port, "Rack 4, tap on the core uplink");
    EXPECT_TRUE(dialog->DescriptionChanged());
    EXPECT_TRUE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    dialog->OnClickedApply();
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    EXPECT_FALSE(dialog->DescriptionChanged());
    EXPECT_TRUE(log.messages.empty());  // a port apply never asks for a reboot
    // Only the description was touched: the speeds were not sent.
    EXPECT_EQ(g_watch.calls, std::vector<std::string>{"description b0"});

    ReadBack list;
    EXPECT_STREQ(FlPortGetDescription(list.ByMac(0xb0)), "Rack 4, tap on the core uplink");
    // A new dialog shows it.
    auto again = Open();
    EXPECT_EQ(again->Tree().at(port.Board).Ports.at(port.Port).Label, "Rack 4, tap on the core uplink");
}

TEST_F(PanelDialog, LongDescriptionIsCutWithoutSplittingACharacter)
{
    auto dialog = Open();
    const ITEM port = PortItem(*dialog, 0xb1);
    dialog->OnTreeSelChanged(port);
    // 258 bytes, then a two-byte character across the 259-byte limit.
    const std::string label = std::string(258, 'x') + "\xc3\xa9" + "tail";
    dialog->OnTreeEndLabelEdit(port, label.c_str());
    dialog->OnClickedApply();
    EXPECT_TRUE(log.messages.empty());

    ReadBack list;
    EXPECT_EQ(std::string(FlPortGetDescription(list.ByMac(0xb1))), std::string(258, 'x'));
    EXPECT_EQ(dialog->Tree().at(port.Board).Ports.at(port.Port).Label, std::string(258, 'x'));
}

TEST_F(PanelDialog, AppliedSpeedsReachTheDriverAndAreReloaded)
{
    AllModes(0xb0);
    auto dialog = Open();
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xb0));
    dialog->OnClickedCheckBox(IDC_CHECK_10_HALF);
    dialog->OnClickedCheckBox(IDC_CHECK_10_FULL);
    dialog->OnClickedCheckBox(IDC_CHECK_100_HALF);
    EXPECT_TRUE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    dialog->OnClickedApply();
    EXPECT_TRUE(log.messages.empty());
    EXPECT_EQ(g_watch.calls, std::vector<std::string>{"autoneg b0 20,20,1"});
    {
        ReadBack list;
        EXPECT_EQ(list.Modes(0xb0), FL_SPEED_100_FULL | FL_SPEED_1000_FULL);
    }
    EXPECT_EQ(dialog->Control(IDC_CHECK_100_FULL).Check, BST_CHECKED);
    EXPECT_EQ(dialog->Control(IDC_CHECK_10_FULL).Check, BST_UNCHECKED);

    // Boxes clicked back to what the port already advertises: nothing is sent.
    g_watch.calls.clear();
    dialog->OnClickedCheckBox(IDC_CHECK_1000_FULL);
    dialog->OnClickedCheckBox(IDC_CHECK_1000_FULL);
    dialog->OnClickedApply();
    EXPECT_TRUE(g_watch.calls.empty());

    // No box left: refused before the driver would take it.
    dialog->OnClickedCheckBox(IDC_CHECK_1000_FULL);
    dialog->OnClickedCheckBox(IDC_CHECK_100_FULL);
    dialog->OnClickedApply();
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Caption, "Error");
    EXPECT_EQ(log.messages[0].Type, MB_OK | MB_ICONSTOP);
    EXPECT_EQ(log.messages[0].Text, std::string("Cannot set the new autonegotiation parameters, ") +
                                        FlStatusGetString(FL_ERROR_INVALID_PARAMETER) + " (2000000b)");
    EXPECT_TRUE(g_watch.calls.empty());
    {
        ReadBack list;
        EXPECT_EQ(list.Modes(0xb0), FL_SPEED_100_FULL | FL_SPEED_1000_FULL);
    }
    AllModes(0xb0);
}

TEST_F(PanelDialog, SpeedsThatCannotBeReadAreIndeterminateAndNotSentUntouched)
{
    FLPANEL_IMPORTS imports = *WatchedImports();
    imports.PortQueryAutonegotiationParameters = [](FL_PORT, FL_AUTONEGOTIATION_PARAMETERS*) -> FL_STATUS {
        return FL_ERROR_IO;
    };
    CFlPanelDlg dialog(&imports);
    dialog.SetMessageBox(log.Box());
    dialog.OnInitDialog();
    const ITEM port = PortItem(dialog, 0xb1);
    dialog.OnTreeSelChanged(port);
    EXPECT_EQ(dialog.Control(IDC_CHECK_1000_FULL).Check, BST_INDETERMINATE);
    EXPECT_TRUE(log.messages.empty());  // no message while loading a port

    // A new label alone does not send the unknown speeds as "none".
    dialog.OnTreeEndLabelEdit(port, "edge port");
    dialog.OnClickedApply();
    EXPECT_EQ(g_watch.calls, std::vector<std::string>{"description b1"});
    EXPECT_TRUE(log.messages.empty());

    // A box clicked: Apply has to read the current speeds and says it cannot.
    dialog.OnClickedCheckBox(IDC_CHECK_100_FULL);
    EXPECT_EQ(dialog.Control(IDC_CHECK_100_FULL).Check, BST_CHECKED);
    dialog.OnClickedApply();
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text, std::string("Cannot query the current autonegotiation parameters, ") +
                                        FlStatusGetString(FL_ERROR_IO) + " (2000000d)");
}

TEST_F(PanelDialog, TimestampingModeIsReadFromAndWrittenToTheServiceKey)
{
    const DWORD polling = 0;
    ASSERT_TRUE(SetParameter("TimestampingMode", REG_DWORD, &polling, 4));
    auto dialog = Open();
    EXPECT_EQ(dialog->TimestampingMode(), 0);
    const auto& combo = dialog->Combo(IDC_COMBO_TIMESTAMPING);
    ASSERT_EQ(combo.Entries.size(), 3u);
    EXPECT_EQ(combo.Entries[0], (CFlPanelDlg::COMBO_ENTRY{"No Timestamps", 0}));
    EXPECT_EQ(combo.Entries[1], (CFlPanelDlg::COMBO_ENTRY{"Polling mode", 1}));
    EXPECT_EQ(combo.Entries[2], (CFlPanelDlg::COMBO_ENTRY{"Timer mode", 2}));
    EXPECT_EQ(combo.Selection, 0);

    // The current entry again: nothing to apply.
    dialog->OnSelChangeTimestamping(0);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    EXPECT_FALSE(dialog->TimestampingChanged());

    // Another mode, applied with nothing selected in the tree.
    dialog->OnSelChangeTimestamping(1);
    EXPECT_TRUE(dialog->TimestampingChanged());
    EXPECT_TRUE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    dialog->OnClickedApply();
    EXPECT_EQ(StoredTimestampingMode(), 1);
    EXPECT_EQ(dialog->TimestampingMode(), 1);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text, "A reboot is required for some of the changes to be effective");
    EXPECT_EQ(log.messages[0].Caption, "Warning");
    EXPECT_EQ(log.messages[0].Type, MB_OK | MB_ICONEXCLAMATION);

    // Chosen and chosen back before Apply: nothing written, no notice.
    dialog->OnSelChangeTimestamping(2);
    dialog->OnSelChangeTimestamping(1);
    g_watch.calls.clear();
    dialog->OnClickedApply();
    EXPECT_TRUE(g_watch.calls.empty());
    EXPECT_EQ(log.messages.size(), 1u);

    // A write the registry refuses is reported, and the list goes back.
    g_watch.setValueError = ERROR_ACCESS_DENIED;
    dialog->OnSelChangeTimestamping(0);
    dialog->OnClickedApply();
    ASSERT_EQ(log.messages.size(), 2u);
    EXPECT_EQ(log.messages[1].Caption, "Error");
    EXPECT_EQ(log.messages[1].Text, "Cannot store the timestamping mode in the registry (00000005)");
    EXPECT_EQ(dialog->TimestampingMode(), 1);
    EXPECT_EQ(dialog->Combo(IDC_COMBO_TIMESTAMPING).Selection, 1);
    EXPECT_EQ(StoredTimestampingMode(), 1);
}

TEST_F(PanelDialog, MissingOrBadTimestampingModeShowsTheModeTheDriverRuns)
{
    const DWORD three = 3;
    const char text[] = "1";
    struct CASE {
        const char* what;
        std::function<void()> prepare;
    } cases[] = {
        {"missing", [] { DeleteParameter("TimestampingMode"); }},
        {"3", [&] { ASSERT_TRUE(SetParameter("TimestampingMode", REG_DWORD, &three, 4)); }},
        {"a string", [&] { ASSERT_TRUE(SetParameter("TimestampingMode", REG_SZ, text, sizeof text)); }},
        {"two bytes", [&] { ASSERT_TRUE(SetParameter("TimestampingMode", REG_BINARY, &three, 2)); }},
        {"no Parameters key", [] {
             DeleteParameter("TimestampingMode");
             EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParameters), ERROR_SUCCESS);
         }},
    };
    for (const CASE& c : cases) {
        c.prepare();
        auto dialog = Open();
        EXPECT_EQ(dialog->TimestampingMode(), 2) << c.what;
        const auto& combo = dialog->Combo(IDC_COMBO_TIMESTAMPING);
        ASSERT_EQ(combo.Entries.size(), 3u) << c.what;
        EXPECT_EQ(combo.Entries.at(combo.Selection).Text, "Timer mode") << c.what;
    }
    // Apply creates the Parameters key again.
    auto dialog = Open();
    dialog->OnSelChangeTimestamping(1);
    dialog->OnClickedApply();
    EXPECT_EQ(StoredTimestampingMode(), 1);
    EXPECT_EQ(log.messages.size(), 1u);
}

TEST_F(PanelDialog, CancelAppliesNothing)
{
    AllModes(0xa0);
    const DWORD timer = 2;
    ASSERT_TRUE(SetParameter("TimestampingMode", REG_DWORD, &timer, 4));
    std::string before;
    {
        ReadBack list;
        before = FlPortGetDescription(list.ByMac(0xa0));
    }
    auto dialog = Open();
    const ITEM port = PortItem(*dialog, 0xa0);
    dialog->OnTreeSelChanged(port);
    dialog->OnTreeEndLabelEdit(port, "never stored");
    dialog->OnClickedCheckBox(IDC_CHECK_10_HALF);
    dialog->OnSelChangeTimestamping(0);
    EXPECT_TRUE(dialog->OnCancel());
    dialog->OnClose();
    dialog.reset();

    EXPECT_TRUE(g_watch.calls.empty());
    EXPECT_TRUE(log.messages.empty());
    ReadBack list;
    EXPECT_EQ(FlPortGetDescription(list.ByMac(0xa0)), before);
    EXPECT_EQ(list.Modes(0xa0), FL_SPEED_ALL);
    EXPECT_EQ(StoredTimestampingMode(), 2);
}

TEST_F(PanelDialog, OkAppliesAndClosesOnlyWhenItHasTheFocus)
{
    AllModes(0xa1);
    auto dialog = Open();
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xa1));
    dialog->OnClickedCheckBox(IDC_CHECK_10_HALF);
    // Enter elsewhere: applied, the dialog stays.
    EXPECT_FALSE(dialog->OnOK(false));
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    {
        ReadBack list;
        EXPECT_EQ(list.Modes(0xa1), FL_SPEED_ALL & ~FL_SPEED_10_HALF);
    }
    dialog->OnClickedCheckBox(IDC_CHECK_10_HALF);
    EXPECT_TRUE(dialog->OnOK(true));
    ReadBack list;
    EXPECT_EQ(list.Modes(0xa1), FL_SPEED_ALL);
}

TEST_F(PanelDialog, PendingChangesAreAppliedOnYesAndDiscardedOnNo)
{
    AllModes(0xa0);
    AllModes(0xa1);
    const DWORD timer = 2;
    ASSERT_TRUE(SetParameter("TimestampingMode", REG_DWORD, &timer, 4));
    auto dialog = Open();
    const ITEM first = PortItem(*dialog, 0xa0);
    const ITEM second = PortItem(*dialog, 0xa1);

    // Yes: the change goes to the port selected before.
    dialog->OnTreeSelChanged(first);
    dialog->OnClickedCheckBox(IDC_CHECK_10_HALF);
    log.answers.push_back(IDYES);
    dialog->OnTreeSelChanged(second);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text,
              "The new settings have not been applied, yet.\n\n"
              "Press Yes if you want to apply them now, or No to discard them.");
    EXPECT_EQ(log.messages[0].Caption, "Warning");
    EXPECT_EQ(log.messages[0].Type, MB_YESNO | MB_ICONEXCLAMATION);
    EXPECT_EQ(g_watch.calls, std::vector<std::string>{"autoneg a0 29,29,1"});
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    EXPECT_EQ(dialog->Selection(), second);

    // No: nothing is sent; the edited label and the chosen mode go back.
    g_watch.calls.clear();
    const std::string label = dialog->Tree().at(second.Board).Ports.at(second.Port).Label;
    dialog->OnTreeEndLabelEdit(second, "discarded");
    dialog->OnClickedCheckBox(IDC_CHECK_1000_FULL);
    dialog->OnSelChangeTimestamping(0);
    log.answers.push_back(IDNO);
    dialog->OnTreeSelChanged(first);
    EXPECT_EQ(log.messages.size(), 2u);
    EXPECT_TRUE(g_watch.calls.empty());
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
    EXPECT_FALSE(dialog->SettingsChanged());
    EXPECT_FALSE(dialog->DescriptionChanged());
    EXPECT_FALSE(dialog->TimestampingChanged());
    EXPECT_EQ(dialog->Tree().at(second.Board).Ports.at(second.Port).Label, label);
    EXPECT_EQ(dialog->Combo(IDC_COMBO_TIMESTAMPING).Selection, 2);
    // A later Apply on the other port writes none of it.
    dialog->OnClickedCheckBox(IDC_CHECK_10_HALF);
    dialog->OnClickedApply();
    EXPECT_EQ(g_watch.calls, std::vector<std::string>{"autoneg a0 31,31,1"});
    EXPECT_EQ(StoredTimestampingMode(), 2);
    ReadBack list;
    EXPECT_EQ(list.Modes(0xa1), FL_SPEED_ALL);
    EXPECT_NE(std::string(FlPortGetDescription(list.ByMac(0xa1))), "discarded");
}

TEST_F(PanelDialog, IdentifyBlinksTheLedAndLocksTheDialogUntilStopped)
{
    auto dialog = Open();
    const ITEM port = PortItem(*dialog, 0xa1);
    dialog->OnTreeSelChanged(port);
    dialog->OnClickedIdentify();
    ASSERT_TRUE(dialog->Identifying());
    {
        ReadBack list;
        EXPECT_EQ(list.Led(0xa1), FL_LED_BLINK);
    }
    EXPECT_EQ(dialog->Control(IDC_BUTTON_IDENTIFY).Text, "Stop");
    EXPECT_TRUE(dialog->Control(IDC_BUTTON_IDENTIFY).Enabled);
    EXPECT_TRUE(dialog->Control(IDC_STATIC_IDENTIFY_NOTE).Visible);
    for (int id : {IDOK, IDCANCEL, IDC_BUTTON_APPLY, IDC_TREE_BOARDS, IDC_CHECK_1000_FULL, IDC_STATIC_MAC_VALUE}) {
        EXPECT_FALSE(dialog->Control(id).Enabled) << id;
    }
    EXPECT_TRUE(dialog->Control(IDC_COMBO_TIMESTAMPING).Enabled);
    // Neither closing nor another item while the LED blinks.
    EXPECT_FALSE(dialog->OnCancel());
    EXPECT_FALSE(dialog->OnOK(true));
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xa0));
    EXPECT_EQ(dialog->Selection(), port);
    // A change meanwhile leaves Apply off until the LED stops.
    dialog->OnSelChangeTimestamping(dialog->Combo(IDC_COMBO_TIMESTAMPING).Selection == 0 ? 1 : 0);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);

    dialog->OnClickedIdentify();
    EXPECT_FALSE(dialog->Identifying());
    {
        ReadBack list;
        EXPECT_EQ(list.Led(0xa1), FL_LED_NORMAL);
    }
    EXPECT_EQ(dialog->Control(IDC_BUTTON_IDENTIFY).Text, "Identify Port");
    EXPECT_FALSE(dialog->Control(IDC_STATIC_IDENTIFY_NOTE).Visible);
    for (int id : {IDOK, IDCANCEL, IDC_BUTTON_APPLY, IDC_TREE_BOARDS, IDC_CHECK_1000_FULL}) {
        EXPECT_TRUE(dialog->Control(id).Enabled) << id;
    }

    // A panel closed while a LED blinks puts it back.
    dialog->OnClickedIdentify();
    {
        ReadBack list;
        EXPECT_EQ(list.Led(0xa1), FL_LED_BLINK);
    }
    dialog.reset();
    ReadBack list;
    EXPECT_EQ(list.Led(0xa1), FL_LED_NORMAL);
}

TEST_F(PanelDialog, IdentifyThatCannotStartChangesNothing)
{
    auto dialog = Open();
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xa0));
    g_watch.failPortSetFeature = true;
    dialog->OnClickedIdentify();
    EXPECT_FALSE(dialog->Identifying());
    EXPECT_EQ(dialog->Control(IDC_BUTTON_IDENTIFY).Text, "Identify Port");
    EXPECT_TRUE(dialog->Control(IDC_TREE_BOARDS).Enabled);
    EXPECT_TRUE(dialog->Control(IDOK).Enabled);
    EXPECT_TRUE(log.messages.empty());
    // Boards cannot be identified.
    g_watch.failPortSetFeature = false;
    g_watch.calls.clear();
    dialog->OnTreeSelChanged(BoardItem(*dialog, 0xa0));
    dialog->OnClickedIdentify();
    EXPECT_TRUE(g_watch.calls.empty());
}

TEST_F(PanelDialog, NewTimestampingModeWithABoardSelectedLeavesTheBoardAlone)
{
    auto dialog = Open();
    dialog->OnTreeSelChanged(BoardItem(*dialog, 0xa0));
    dialog->OnSelChangeTimestamping(dialog->Combo(IDC_COMBO_TIMESTAMPING).Selection == 0 ? 1 : 0);
    dialog->OnClickedApply();
    EXPECT_EQ(g_watch.calls, std::vector<std::string>{"registry TimestampingMode"});
}

TEST_F(PanelDialog, PassthruAt1GbpsSetsEveryPortThenTheBoard)
{
    auto dialog = Open();
    const ITEM board = BoardItem(*dialog, 0xa0);
    dialog->OnTreeSelChanged(board);
    dialog->OnClickedCheckBox(IDC_CHECK_PASSTHRU);
    EXPECT_EQ(dialog->Control(IDC_CHECK_PASSTHRU).Check, BST_CHECKED);
    EXPECT_TRUE(dialog->Control(IDC_COMBO_PASSTHRU_SPEED).Enabled);
    EXPECT_TRUE(dialog->Control(IDC_STATIC_PASSTHRU_SPEED).Enabled);
    const auto& speeds = dialog->Combo(IDC_COMBO_PASSTHRU_SPEED);
    EXPECT_EQ(speeds.Entries.at(speeds.Selection).Text, "1Gbps Full Duplex");
    EXPECT_TRUE(dialog->Control(IDC_BUTTON_APPLY).Enabled);

    dialog->OnClickedApply();
    EXPECT_EQ(g_watch.calls,
              (std::vector<std::string>{"autoneg a0 16,16,1", "autoneg a1 16,16,1", "board 1=1"}));
    EXPECT_TRUE(log.messages.empty());  // this machine restarts the ports at once
    {
        ReadBack list;
        EXPECT_EQ(list.Passthru(0xa0), 1u);
        EXPECT_EQ(list.Modes(0xa1), FL_SPEED_1000_FULL);
    }
    // Reloaded from the board.
    EXPECT_EQ(dialog->Control(IDC_CHECK_PASSTHRU).Check, BST_CHECKED);
    EXPECT_EQ(speeds.Entries.at(speeds.Selection).Value, 16);

    // Its ports' speeds cannot be changed while it forwards.
    dialog->OnTreeSelChanged(PortItem(*dialog, 0xa1));
    EXPECT_EQ(dialog->Control(IDC_CHECK_1000_FULL).Check, BST_CHECKED);
    EXPECT_EQ(dialog->Control(IDC_CHECK_100_FULL).Check, BST_UNCHECKED);
    EXPECT_FALSE(dialog->Control(IDC_CHECK_1000_FULL).Enabled);
    EXPECT_TRUE(dialog->Control(IDC_BUTTON_IDENTIFY).Enabled);
    dialog->OnClickedIdentify();
    dialog->OnClickedIdentify();
    EXPECT_FALSE(dialog->Control(IDC_CHECK_1000_FULL).Enabled);

    // A slower speed on a board already in passthru.
    g_watch.calls.clear();
    dialog->OnTreeSelChanged(board);
    dialog->OnSelChangePassthruSpeed(1);
    dialog->OnClickedApply();
    EXPECT_EQ(g_watch.calls, (std::vector<std::string>{"autoneg a0 4,4,1", "autoneg a1 4,4,1", "board 1=1"}));

    // Off again.
    g_watch.calls.clear();
    dialog->OnClickedCheckBox(IDC_CHECK_PASSTHRU);
    EXPECT_FALSE(dialog->Control(IDC_COMBO_PASSTHRU_SPEED).Enabled);
    dialog->OnClickedApply();
    EXPECT_EQ(g_watch.calls, std::vector<std::string>{"board 1=0"});
    {
        ReadBack list;
        EXPECT_EQ(list.Passthru(0xa0), 0u);
    }
    EXPECT_TRUE(log.messages.empty());
    AllModes(0xa0);
    AllModes(0xa1);
}

TEST_F(PanelDialog, PassthruThatNeedsARebootSaysSo)
{
    auto dialog = Open();
    dialog->OnTreeSelChanged(BoardItem(*dialog, 0xb0));
    g_watch.forceBoardSetFeature = true;
    g_watch.boardSetFeature = FL_SUCCESS_REBOOT_REQUIRED;
    dialog->OnClickedCheckBox(IDC_CHECK_PASSTHRU);
    dialog->OnClickedApply();
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text, "A reboot is required for some of the changes to be effective");
    EXPECT_EQ(log.messages[0].Caption, "Warning");

    g_watch.forceBoardSetFeature = false;
    AllModes(0xb0);
    AllModes(0xb1);
}

TEST_F(PanelDialog, PassthruFailuresAreReportedAndStopThere)
{
    auto dialog = Open();
    dialog->OnTreeSelChanged(BoardItem(*dialog, 0xb0));

    // The second port refuses its speed: the board is not switched.
    g_watch.failSetAutonegotiationAt = 1;
    dialog->OnClickedCheckBox(IDC_CHECK_PASSTHRU);
    dialog->OnClickedApply();
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text, std::string("Cannot set the link speed on a port: ") +
                                        FlStatusGetString(FL_ERROR_IO) + " (2000000d)");
    EXPECT_EQ(log.messages[0].Caption, "Error");
    EXPECT_EQ(g_watch.calls.size(), 2u);
    // The board is shown as it is: not in passthru.
    EXPECT_EQ(dialog->Control(IDC_CHECK_PASSTHRU).Check, BST_UNCHECKED);

    // The board refuses.
    g_watch = Watch{};
    g_watch.forceBoardSetFeature = true;
    g_watch.boardSetFeature = FL_ERROR_INVALID_REQUEST;
    dialog->OnClickedCheckBox(IDC_CHECK_PASSTHRU);
    dialog->OnClickedApply();
    ASSERT_EQ(log.messages.size(), 2u);
    EXPECT_EQ(log.messages[1].Text, std::string("Cannot enable passthru on the board. ") +
                                        FlStatusGetString(FL_ERROR_INVALID_REQUEST) + " (20000004)");

    g_watch.forcePassthruOn = true;
    dialog->OnTreeSelChanged(BoardItem(*dialog, 0xa0));
    dialog->OnTreeSelChanged(BoardItem(*dialog, 0xb0));
    log.messages.clear();
    dialog->OnClickedCheckBox(IDC_CHECK_PASSTHRU);  // indeterminate or checked: now unchecked
    if (dialog->Control(IDC_CHECK_PASSTHRU).Check != BST_UNCHECKED) dialog->OnClickedCheckBox(IDC_CHECK_PASSTHRU);
    dialog->OnClickedApply();
    ASSERT_FALSE(log.messages.empty());
    EXPECT_EQ(log.messages[0].Text, std::string("Cannot disable passthru on a board. ") +
                                        FlStatusGetString(FL_ERROR_INVALID_REQUEST) + " (20000004)");
    g_watch = Watch{};
    AllModes(0xb0);
    AllModes(0xb1);
}

TEST_F(PanelDialog, BoardPropertiesThatCannotBeReadAreReported)
{
    AllModes(0xb0);
    auto dialog = Open();
    const ITEM other = BoardItem(*dialog, 0xa0);
    const ITEM board = BoardItem(*dialog, 0xb0);
    dialog->OnTreeSelChanged(other);

    g_watch.failBoardQueryFeature = true;
    dialog->OnTreeSelChanged(board);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text, std::string("Cannot query the board properties. ") +
                                        FlStatusGetString(FL_ERROR_REGISTRY) + " (20000010)");
    EXPECT_EQ(dialog->Control(IDC_CHECK_PASSTHRU).Check, BST_INDETERMINATE);
    EXPECT_FALSE(dialog->Control(IDC_COMBO_PASSTHRU_SPEED).Enabled);
    // Never the board selected before.
    EXPECT_EQ(dialog->Control(IDC_STATIC_BOARD_ID_VALUE).Text, "02:00:f1:0e:00:b0");
    // Applying without touching it does not switch passthru off.
    g_watch.calls.clear();
    dialog->OnClickedApply();
    EXPECT_TRUE(g_watch.calls.empty());

    // Passthru said on while the first port advertises every mode.
    g_watch.failBoardQueryFeature = false;
    g_watch.forcePassthruOn = true;
    log.messages.clear();
    dialog->OnTreeSelChanged(other);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text, "Inconsistent link speed 0000001f");
    EXPECT_EQ(dialog->Control(IDC_CHECK_PASSTHRU).Check, BST_INDETERMINATE);
    EXPECT_FALSE(dialog->Control(IDC_COMBO_PASSTHRU_SPEED).Enabled);
    EXPECT_EQ(dialog->Control(IDC_STATIC_BOARD_ID_VALUE).Text, "02:00:f1:0e:00:a0");
    g_watch = Watch{};
}

TEST_F(PanelDialog, RefusedDescriptionIsReportedAndTheLabelPutBack)
{
    auto dialog = Open();
    const ITEM port = PortItem(*dialog, 0xa0);
    dialog->OnTreeSelChanged(port);
    const std::string label = dialog->Tree().at(port.Board).Ports.at(port.Port).Label;
    g_watch.failPortSetDescription = true;
    dialog->OnTreeEndLabelEdit(port, "refused");
    dialog->OnClickedApply();
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0].Text, std::string("Cannot set the new port description, ") +
                                        FlStatusGetString(FL_ERROR_REGISTRY) + " (20000010)");
    EXPECT_EQ(dialog->Tree().at(port.Board).Ports.at(port.Port).Label, label);
    EXPECT_FALSE(dialog->Control(IDC_BUTTON_APPLY).Enabled);
}

} // namespace
