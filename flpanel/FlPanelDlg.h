// CFlPanelDlg: FlPanel's main dialog, its state and its behaviour.
//
// The dialog is kept here as data: the state of every control that has an
// identifier (text, enabled, shown, check state), the two drop-down lists
// and the tree of boards and ports. The window that shows it (CFlPanelView)
// draws that state and turns the user's actions into the On... calls below;
// nothing of what is loaded, applied or asked lives in the window. So the
// whole dialog runs, and is tested, without a display.
#pragma once

#include "FlApi.h"
#include "resource.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct FLPANEL_IMPORTS;

// The dialog manager's values for check boxes, list selections and message
// boxes.
#ifndef BST_UNCHECKED
#define BST_UNCHECKED       0
#define BST_CHECKED         1
#define BST_INDETERMINATE   2
#endif
#ifndef CB_ERR
#define CB_ERR              (-1)
#endif
#ifndef MB_OK
#define MB_OK               0x00000000u
#define MB_YESNO            0x00000004u
#define MB_ICONSTOP         0x00000010u
#define MB_ICONEXCLAMATION  0x00000030u
#endif
#ifndef IDYES
#define IDYES               6
#define IDNO                7
#endif

class CFlPanelDlg {
public:
    struct CONTROL {
        std::string Text;
        bool Enabled = true;
        bool Visible = true;
        int Check = BST_UNCHECKED;
    };
    struct COMBO_ENTRY {
        std::string Text;
        int Value;
        bool operator==(const COMBO_ENTRY&) const = default;
    };
    struct COMBO {
        std::vector<COMBO_ENTRY> Entries;
        int Selection = CB_ERR;
    };
    struct TREE_PORT {
        std::string Label;
        FL_PORT Port;
    };
    struct TREE_BOARD {
        std::string Label;
        FL_BOARD Board;
        std::vector<TREE_PORT> Ports;
    };
    // A tree item: a board (Port < 0, no parent) or one of its ports.
    struct TREE_ITEM {
        int Board = -1;
        int Port = -1;
        bool IsPort() const { return Port >= 0; }
        bool operator==(const TREE_ITEM&) const = default;
    };

    // Shows a message box and returns the button pressed (IDOK, IDYES, IDNO).
    using MESSAGE_BOX = std::function<int(const std::string& Text, const std::string& Caption, unsigned Type)>;
    // Called with true before Apply talks to the system and with false after:
    // the window disables itself and shows the wait cursor meanwhile.
    using BUSY_HANDLER = std::function<void(bool Busy)>;

    // Imports: the library's and the registry's functions the dialog calls;
    // null for the real ones.
    explicit CFlPanelDlg(const FLPANEL_IMPORTS* Imports = nullptr);
    ~CFlPanelDlg();
    CFlPanelDlg(const CFlPanelDlg&) = delete;
    CFlPanelDlg& operator=(const CFlPanelDlg&) = delete;

    // Without one, questions are answered No and notices dropped.
    void SetMessageBox(MESSAGE_BOX MessageBox);
    void SetBusyHandler(BUSY_HANDLER Busy) { m_Busy = std::move(Busy); }

    // The user's actions.
    void OnInitDialog();
    void OnTreeSelChanged(std::optional<TREE_ITEM> Item);
    bool OnTreeBeginLabelEdit(TREE_ITEM Item) const;
    void OnTreeEndLabelEdit(TREE_ITEM Item, const char* Text);  // Text null: cancelled
    void OnClickedCheckBox(int Id);
    void OnSelChangePassthruSpeed(int Index);
    void OnSelChangeTimestamping(int Index);
    void OnClickedApply();
    void OnClickedIdentify();
    bool OnOK(bool OkHasFocus);  // true: close the dialog
    bool OnCancel();             // true: close the dialog
    void OnClose();              // the dialog goes away, however it was closed

    // What the window shows.
    const CONTROL& Control(int Id) const { return m_Controls.at(Id); }
    const COMBO& Combo(int Id) const { return m_Combos.at(Id); }
    const std::vector<TREE_BOARD>& Tree() const { return m_Tree; }
    std::optional<TREE_ITEM> Selection() const { return m_Selected; }

    int TimestampingMode() const { return m_TimestampingMode; }
    bool SettingsChanged() const { return m_SettingsChanged; }
    bool DescriptionChanged() const { return m_DescriptionChanged; }
    bool TimestampingChanged() const { return m_TimestampingChanged; }
    bool Identifying() const { return m_Identifying; }

    // The mode shown when the driver's service key does not exist.
    static constexpr int NO_DRIVER = -2;
    // The longest port description the library takes, in bytes.
    static constexpr size_t MAX_DESCRIPTION = 259;

private:
    void BuildTree();
    void ReadTimestampingMode();
    void FillTimestampingList();
    void LoadBoardProperties(FL_BOARD Board);
    void LoadPortProperties(FL_PORT Port);
    void SetBoardId(FL_PORT FirstPort);
    void SetPassthruControls(int Check, bool ListEnabled);
    void ReloadSelection();
    void Apply(std::optional<TREE_ITEM> Item);
    bool ApplyBoard(const TREE_BOARD& Board);
    void ApplyPort(TREE_PORT& Port);
    void DiscardChanges(std::optional<TREE_ITEM> Item);
    void StopIdentifying();
    void MarkChanged();
    void EnableControls(const std::vector<int>& Ids, bool Enable);
    void EnableSpeedBoxes(bool Enable);
    std::string PortDescription(FL_PORT Port) const;
    int ComboIndexOf(int Id, int Value) const;
    void ShowError(const std::string& Text);
    void ShowStatusError(const char* Format, FL_STATUS Status);

    const FLPANEL_IMPORTS& m_Imports;
    MESSAGE_BOX m_MessageBox;
    BUSY_HANDLER m_Busy;

    std::map<int, CONTROL> m_Controls;
    std::map<int, COMBO> m_Combos;
    std::vector<TREE_BOARD> m_Tree;
    std::optional<TREE_ITEM> m_Selected;

    FL_PORT* m_PortList = nullptr;
    uint32_t m_PortCount = 0;
    int m_TimestampingMode = NO_DRIVER;
    bool m_SettingsChanged = false;
    bool m_DescriptionChanged = false;
    bool m_TimestampingChanged = false;
    bool m_Identifying = false;
    FL_PORT m_IdentifiedPort = nullptr;
    // Finer than the settings-changed flag: whether the board's passthru
    // controls or the port's speed boxes were touched since they were
    // loaded. Apply sends only what the user changed, so that a new
    // timestamping mode or description never restarts a board's ports or
    // renegotiates a link.
    bool m_BoardChanged = false;
    bool m_SpeedsChanged = false;
    // The loaded port's board runs passthru: its speed boxes stay disabled.
    bool m_PortInPassthru = false;
};
