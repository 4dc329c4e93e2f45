// A machine whose registry has no driver service: the boards have no
// driver, the tree is empty and the timestamping list says so.
#include "FlPanelDlg.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fl_test_machine.h>

namespace {

TEST(PanelWithoutDriver, ShowsNoBoardsAndNoTimestampingModes)
{
    FlUseTestMachine("panel_no_driver", "");
    // A hive that already holds the system's keys is not set up again at
    // boot: the driver's service is never installed in it.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    int questions = 0;
    CFlPanelDlg dialog;
    dialog.SetMessageBox([&](const std::string&, const std::string&, unsigned) {
        ++questions;
        return IDOK;
    });
    dialog.OnInitDialog();
    EXPECT_TRUE(dialog.Tree().empty());
    EXPECT_EQ(dialog.TimestampingMode(), CFlPanelDlg::NO_DRIVER);
    const auto& combo = dialog.Combo(IDC_COMBO_TIMESTAMPING);
    ASSERT_EQ(combo.Entries.size(), 1u);
    EXPECT_EQ(combo.Entries[0].Text, "<No Ferrolan driver installed>");
    EXPECT_EQ(combo.Selection, 0);

    // Its only entry is the current one: nothing to apply, nothing written.
    dialog.OnSelChangeTimestamping(0);
    EXPECT_FALSE(dialog.Control(IDC_BUTTON_APPLY).Enabled);
    dialog.OnClickedApply();
    EXPECT_EQ(questions, 0);
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\FL", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_TRUE(dialog.OnCancel());
}

} // namespace
