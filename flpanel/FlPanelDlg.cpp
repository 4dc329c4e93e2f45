// CFlPanelDlg: what the main dialog loads, marks, applies and asks.
#include "FlPanelDlg.h"
#include "FlPanelImports.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\FL";
const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\FL\\Parameters";
const char kTimestampingMode[] = "TimestampingMode";

// What the driver runs with when "TimestampingMode" is missing or out of
// range. The dialog shows that mode, not another, so that what it shows is
// what runs and every other mode can be chosen.
constexpr int kDriverDefaultTimestampingMode = 2;

const char kNoMac[] = "00:00:00:00:00:00";
const char kPendingQuestion[] =
    "The new settings have not been applied, yet.\n\n"
    "Press Yes if you want to apply them now, or No to discard them.";
const char kRebootNotice[] = "A reboot is required for some of the changes to be effective";

// The five speed boxes and their bits in the speed mask.
struct SPEED_BOX {
    int Id;
    uint32_t Bit;
};
constexpr SPEED_BOX kSpeedBoxes[] = {
    {IDC_CHECK_10_FULL, FL_SPEED_10_FULL},   {IDC_CHECK_10_HALF, FL_SPEED_10_HALF},
    {IDC_CHECK_100_FULL, FL_SPEED_100_FULL}, {IDC_CHECK_100_HALF, FL_SPEED_100_HALF},
    {IDC_CHECK_1000_FULL, FL_SPEED_1000_FULL},
};

const std::vector<int> kBoardControls = {IDC_CHECK_PASSTHRU, IDC_COMBO_PASSTHRU_SPEED, IDC_STATIC_PASSTHRU_SPEED,
                                         IDC_STATIC_BOARD_ID, IDC_STATIC_BOARD_ID_VALUE};
const std::vector<int> kPortControls = {
    IDC_STATIC_MAC,         IDC_STATIC_MAC_VALUE,         IDC_GROUP_SPEEDS,          IDC_CHECK_10_HALF,
    IDC_CHECK_10_FULL,      IDC_CHECK_100_HALF,           IDC_CHECK_100_FULL,        IDC_CHECK_1000_FULL,
    IDC_STATIC_LINK_STATUS_VALUE, IDC_STATIC_LINK_SPEED_VALUE, IDC_STATIC_LINK_STATUS, IDC_STATIC_LINK_SPEED,
    IDC_BUTTON_IDENTIFY,    IDC_BUTTON_ADVANCED};

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string MacText(const uint8_t mac[6])
{
    return Format("%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

// At most MAX_DESCRIPTION bytes, never ending inside a character: the
// library would turn half a character into a replacement mark.
std::string CutDescription(const std::string& text)
{
    if (text.size() <= CFlPanelDlg::MAX_DESCRIPTION) return text;
    size_t end = CFlPanelDlg::MAX_DESCRIPTION;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// Closes a registry key when it goes out of scope.
class KEY_HOLDER {
public:
    explicit KEY_HOLDER(const FLPANEL_IMPORTS& Imports) : m_Imports(Imports) {}
    ~KEY_HOLDER()
    {
        if (m_Key != nullptr) m_Imports.CloseKey(m_Key);
    }
    KEY_HOLDER(const KEY_HOLDER&) = delete;
    KEY_HOLDER& operator=(const KEY_HOLDER&) = delete;
    PHKEY operator&() { return &m_Key; }
    HKEY Get() const { return m_Key; }

private:
    const FLPANEL_IMPORTS& m_Imports;
    HKEY m_Key = nullptr;
};

} // namespace

const FLPANEL_IMPORTS& FlPanelSystemImports()
{
    static const FLPANEL_IMPORTS imports = {
        FlQueryPortList,
        FlFreePortList,
        FlPortGetType,
        FlPortQueryBoard,
        FlBoardIsEqual,
        FlBoardQueryPortList,
        FlBoardGetDescription,
        FlPortGetDescription,
        FlPortSetDescription,
        FlPortQueryMacAddress,
        FlPortQueryLinkStatus,
        FlPortQueryAutonegotiationParameters,
        FlPortSetAutonegotiationParameters,
        FlBoardQueryFeature,
        FlBoardSetFeature,
        FlPortSetFeature,
        FlStatusGetString,
        RegOpenKeyExA,
        RegCreateKeyExA,
        RegQueryValueExA,
        RegSetValueExA,
        RegCloseKey,
    };
    return imports;
}

CFlPanelDlg::CFlPanelDlg(const FLPANEL_IMPORTS* Imports)
    : m_Imports(Imports != nullptr ? *Imports : FlPanelSystemImports())
{
    // The template's controls with their initial texts and states.
    struct TEMPLATE_CONTROL {
        int Id;
        const char* Text;
        bool Enabled;
        bool Visible;
    };
    static const TEMPLATE_CONTROL kTemplate[] = {
        {IDOK, "OK", true, true},
        {IDCANCEL, "Cancel", true, true},
        {IDC_BUTTON_APPLY, "Apply", false, true},
        {IDC_COMBO_TIMESTAMPING, "", true, true},
        {IDC_TREE_BOARDS, "", true, true},
        {IDC_GROUP_BOARD, "Board Properties", true, true},
        {IDC_STATIC_BOARD_ID, "Board ID:", true, true},
        {IDC_STATIC_BOARD_ID_VALUE, kNoMac, true, true},
        {IDC_CHECK_PASSTHRU, "Enable Passthru", true, true},
        {IDC_STATIC_PASSTHRU_SPEED, "Passthru Speed", true, true},
        {IDC_COMBO_PASSTHRU_SPEED, "", true, true},
        {IDC_GROUP_PORT, "Physical Port Properties", true, true},
        {IDC_STATIC_MAC, "MAC Address:", true, true},
        {IDC_STATIC_MAC_VALUE, kNoMac, true, true},
        {IDC_GROUP_SPEEDS, "Negotiated Speeds", true, true},
        {IDC_CHECK_10_HALF, "10Mbps Half Duplex", true, true},
        {IDC_CHECK_10_FULL, "10Mbps Full Duplex", true, true},
        {IDC_CHECK_100_HALF, "100Mbps Half Duplex", true, true},
        {IDC_CHECK_100_FULL, "100Mbps Full Duplex", true, true},
        {IDC_CHECK_1000_FULL, "1Gbps Full Duplex", true, true},
        {IDC_STATIC_LINK_STATUS, "Link Status:", true, true},
        {IDC_STATIC_LINK_STATUS_VALUE, "", true, true},
        {IDC_STATIC_LINK_SPEED, "Link Speed:", true, true},
        {IDC_STATIC_LINK_SPEED_VALUE, "", true, true},
        {IDC_BUTTON_IDENTIFY, "Identify Port", true, true},
        {IDC_STATIC_IDENTIFY_NOTE, "One of the LEDs for the port should be blinking now.", true, false},
        // Nothing ever shows it: the settings it would offer are the driver's
        // own, read at start, and have no place in this dialog.
        {IDC_BUTTON_ADVANCED, "Advanced", true, false},
    };
    for (const TEMPLATE_CONTROL& control : kTemplate) {
        m_Controls[control.Id] = CONTROL{control.Text, control.Enabled, control.Visible, BST_UNCHECKED};
    }
    m_Combos[IDC_COMBO_TIMESTAMPING] = COMBO{};
    m_Combos[IDC_COMBO_PASSTHRU_SPEED] = COMBO{};
    SetMessageBox(nullptr);
}

void CFlPanelDlg::SetMessageBox(MESSAGE_BOX MessageBox)
{
    if (!MessageBox) {
        MessageBox = [](const std::string&, const std::string&, unsigned Type) {
            return (Type & MB_YESNO) != 0 ? IDNO : IDOK;
        };
    }
    m_MessageBox = std::move(MessageBox);
}

CFlPanelDlg::~CFlPanelDlg()
{
    OnClose();
    if (m_PortList != nullptr) m_Imports.FreePortList(m_PortList);
}

void CFlPanelDlg::OnInitDialog()
{
    BuildTree();

    EnableControls(kPortControls, false);
    EnableControls(kBoardControls, false);
    m_Controls[IDC_STATIC_BOARD_ID_VALUE].Text = kNoMac;

    m_Combos[IDC_COMBO_PASSTHRU_SPEED].Entries = {
        {"10Mbps Full Duplex", static_cast<int>(FL_SPEED_10_FULL)},
        {"100Mbps Full Duplex", static_cast<int>(FL_SPEED_100_FULL)},
        {"1Gbps Full Duplex", static_cast<int>(FL_SPEED_1000_FULL)},
    };

    ReadTimestampingMode();
    FillTimestampingList();
}

void CFlPanelDlg::BuildTree()
{
    m_Tree.clear();
    m_Selected.reset();
    if (m_PortList != nullptr) {
        m_Imports.FreePortList(m_PortList);
        m_PortList = nullptr;
        m_PortCount = 0;
    }
    if (m_Imports.QueryPortList(&m_PortList, &m_PortCount) != FL_SUCCESS) {
        m_PortList = nullptr;
        m_PortCount = 0;
        return;
    }

    // Boards in the order of their first physical port.
    std::vector<FL_BOARD> boards;
    for (uint32_t i = 0; i < m_PortCount; ++i) {
        if (m_Imports.PortGetType(m_PortList[i]) != FL_PORT_TYPE_PHYSICAL) continue;
        FL_BOARD board = nullptr;
        if (m_Imports.PortQueryBoard(m_PortList[i], &board) != FL_SUCCESS || board == nullptr) continue;
        bool known = false;
        for (FL_BOARD kept : boards) {
            if (m_Imports.BoardIsEqual(kept, board)) {
                known = true;
                break;
            }
        }
        if (!known) boards.push_back(board);
    }

    for (FL_BOARD board : boards) {
        FL_PORT* ports = nullptr;
        uint32_t count = 0;
        if (m_Imports.BoardQueryPortList(board, &ports, &count) != FL_SUCCESS) continue;
        const char* description = m_Imports.BoardGetDescription(board);
        TREE_BOARD item{description != nullptr ? description : "", board, {}};
        for (uint32_t i = 0; i < count; ++i) {
            item.Ports.push_back(TREE_PORT{PortDescription(ports[i]), ports[i]});
        }
        m_Tree.push_back(std::move(item));
    }
}

std::string CFlPanelDlg::PortDescription(FL_PORT Port) const
{
    const char* description = m_Imports.PortGetDescription(Port);
    return description != nullptr ? description : "";
}

void CFlPanelDlg::ReadTimestampingMode()
{
    KEY_HOLDER service(m_Imports);
    if (m_Imports.OpenKey(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &service) != ERROR_SUCCESS) {
        m_TimestampingMode = NO_DRIVER;
        return;
    }
    m_TimestampingMode = kDriverDefaultTimestampingMode;
    KEY_HOLDER parameters(m_Imports);
    if (m_Imports.OpenKey(service.Get(), "Parameters", 0, KEY_READ, &parameters) != ERROR_SUCCESS) return;
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (m_Imports.QueryValue(parameters.Get(), kTimestampingMode, nullptr, &type, reinterpret_cast<LPBYTE>(&value),
                             &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value && value <= 2) {
        m_TimestampingMode = static_cast<int>(value);
    }
}

void CFlPanelDlg::FillTimestampingList()
{
    COMBO& combo = m_Combos[IDC_COMBO_TIMESTAMPING];
    if (m_TimestampingMode == NO_DRIVER) {
        combo.Entries = {{"<No Ferrolan driver installed>", NO_DRIVER}};
    } else {
        combo.Entries = {{"No Timestamps", 0}, {"Polling mode", 1}, {"Timer mode", 2}};
    }
    combo.Selection = ComboIndexOf(IDC_COMBO_TIMESTAMPING, m_TimestampingMode);
}

int CFlPanelDlg::ComboIndexOf(int Id, int Value) const
{
    const COMBO& combo = m_Combos.at(Id);
    for (size_t i = 0; i < combo.Entries.size(); ++i) {
        if (combo.Entries[i].Value == Value) return static_cast<int>(i);
    }
    return CB_ERR;
}

void CFlPanelDlg::EnableControls(const std::vector<int>& Ids, bool Enable)
{
    for (int id : Ids) m_Controls[id].Enabled = Enable;
}

void CFlPanelDlg::EnableSpeedBoxes(bool Enable)
{
    for (const SPEED_BOX& box : kSpeedBoxes) m_Controls[box.Id].Enabled = Enable;
}

void CFlPanelDlg::OnTreeSelChanged(std::optional<TREE_ITEM> Item)
{
    if (m_Identifying) return;  // the tree is disabled meanwhile
    if (m_SettingsChanged) {
        if (m_MessageBox(kPendingQuestion, "Warning", MB_YESNO | MB_ICONEXCLAMATION) == IDYES) {
            Apply(m_Selected);
        } else {
            DiscardChanges(m_Selected);
        }
        m_SettingsChanged = false;
        m_Controls[IDC_BUTTON_APPLY].Enabled = false;
    }
    m_Selected = Item;
    m_BoardChanged = false;
    m_SpeedsChanged = false;
    m_PortInPassthru = false;
    if (!Item) {
        EnableControls(kPortControls, false);
        EnableControls(kBoardControls, false);
        m_Controls[IDC_STATIC_BOARD_ID_VALUE].Text = kNoMac;
        return;
    }
    if (Item->IsPort()) {
        EnableControls(kBoardControls, false);
        m_Controls[IDC_STATIC_BOARD_ID_VALUE].Text = kNoMac;
        EnableControls(kPortControls, true);
        LoadPortProperties(m_Tree.at(Item->Board).Ports.at(Item->Port).Port);
    } else {
        EnableControls(kBoardControls, true);
        EnableControls(kPortControls, false);
        m_Controls[IDC_STATIC_MAC_VALUE].Text.clear();
        LoadBoardProperties(m_Tree.at(Item->Board).Board);
    }
}

// "No" to the pending-changes question drops them: an edited label goes back
// to the stored description and the timestamping list to the current mode,
// so that nothing shown differs from what is stored and no later Apply
// writes what the user discarded.
void CFlPanelDlg::DiscardChanges(std::optional<TREE_ITEM> Item)
{
    if (m_DescriptionChanged && Item && Item->IsPort()) {
        TREE_PORT& port = m_Tree.at(Item->Board).Ports.at(Item->Port);
        port.Label = PortDescription(port.Port);
    }
    m_DescriptionChanged = false;
    if (m_TimestampingChanged) {
        m_Combos[IDC_COMBO_TIMESTAMPING].Selection = ComboIndexOf(IDC_COMBO_TIMESTAMPING, m_TimestampingMode);
        m_TimestampingChanged = false;
    }
}

void CFlPanelDlg::SetPassthruControls(int Check, bool ListEnabled)
{
    m_Controls[IDC_CHECK_PASSTHRU].Check = Check;
    m_Controls[IDC_COMBO_PASSTHRU_SPEED].Enabled = ListEnabled;
    m_Controls[IDC_STATIC_PASSTHRU_SPEED].Enabled = ListEnabled;
}

void CFlPanelDlg::SetBoardId(FL_PORT FirstPort)
{
    uint8_t mac[6];
    if (FirstPort == nullptr || m_Imports.PortQueryMacAddress(FirstPort, mac) != FL_SUCCESS) {
        m_Controls[IDC_STATIC_BOARD_ID_VALUE].Text = "<Unknown>";
        return;
    }
    mac[5] &= 0xFE;  // the board's own address: that of its port 0
    m_Controls[IDC_STATIC_BOARD_ID_VALUE].Text = MacText(mac);
}

void CFlPanelDlg::LoadBoardProperties(FL_BOARD Board)
{
    static const char kCannotQuery[] = "Cannot query the board properties. %s (%08x)";
    FL_PORT* ports = nullptr;
    uint32_t count = 0;
    FL_STATUS status = m_Imports.BoardQueryPortList(Board, &ports, &count);
    if (status != FL_SUCCESS) {
        ShowStatusError(kCannotQuery, status);
        ports = nullptr;
        count = 0;
    }
    COMBO& speeds = m_Combos[IDC_COMBO_PASSTHRU_SPEED];
    speeds.Selection = CB_ERR;  // never another board's speed

    uint32_t passthru = 0;
    status = m_Imports.BoardQueryFeature(Board, FL_BOARD_FT_PASSTHRU, &passthru);
    if (status != FL_SUCCESS) {
        ShowStatusError(kCannotQuery, status);
        SetPassthruControls(BST_INDETERMINATE, false);
        // The Board ID still changes: it must never show the board selected before.
        SetBoardId(count != 0 ? ports[0] : nullptr);
        return;
    }
    if (passthru != 1) {
        SetPassthruControls(BST_UNCHECKED, false);
    } else if (count < 2) {
        SetPassthruControls(BST_INDETERMINATE, false);
    } else {
        FL_AUTONEGOTIATION_PARAMETERS parameters{};
        status = m_Imports.PortQueryAutonegotiationParameters(ports[0], &parameters);
        if (status != FL_SUCCESS) {
            ShowStatusError(kCannotQuery, status);
            SetPassthruControls(BST_INDETERMINATE, false);
        } else if (int index = ComboIndexOf(IDC_COMBO_PASSTHRU_SPEED, static_cast<int>(parameters.Modes));
                   index != CB_ERR) {
            speeds.Selection = index;
            SetPassthruControls(BST_CHECKED, true);
        } else {
            ShowError(Format("Inconsistent link speed %08x", parameters.Modes));
            SetPassthruControls(BST_INDETERMINATE, false);
        }
    }
    SetBoardId(count != 0 ? ports[0] : nullptr);
}

void CFlPanelDlg::LoadPortProperties(FL_PORT Port)
{
    FL_BOARD board = nullptr;
    uint32_t passthru = 0;
    m_PortInPassthru = m_Imports.PortQueryBoard(Port, &board) == FL_SUCCESS && board != nullptr &&
                       m_Imports.BoardQueryFeature(board, FL_BOARD_FT_PASSTHRU, &passthru) == FL_SUCCESS &&
                       passthru == 1;

    uint8_t mac[6];
    m_Controls[IDC_STATIC_MAC_VALUE].Text =
        m_Imports.PortQueryMacAddress(Port, mac) == FL_SUCCESS ? MacText(mac) : std::string();

    std::string& linkStatus = m_Controls[IDC_STATIC_LINK_STATUS_VALUE].Text;
    std::string& linkSpeed = m_Controls[IDC_STATIC_LINK_SPEED_VALUE].Text;
    FL_LINK_STATUS link{};
    linkStatus.clear();
    linkSpeed.clear();
    if (m_Imports.PortQueryLinkStatus(Port, &link) == FL_SUCCESS) {
        if (link.LinkUp == 0) {
            linkStatus = "DOWN";
        } else {
            linkStatus = "UP";
            const char* duplex = link.Duplex == FL_DUPLEX_FULL ? "Full Duplex" : "Half Duplex";
            if (link.Speed == 10) linkSpeed = std::string("10Mbps ") + duplex;
            if (link.Speed == 100) linkSpeed = std::string("100Mbps ") + duplex;
            if (link.Speed == 1000) linkSpeed = std::string("1Gbps ") + duplex;
        }
    }

    FL_AUTONEGOTIATION_PARAMETERS parameters{};
    const bool known = m_Imports.PortQueryAutonegotiationParameters(Port, &parameters) == FL_SUCCESS;
    for (const SPEED_BOX& box : kSpeedBoxes) {
        m_Controls[box.Id].Check = !known ? BST_INDETERMINATE
                                 : (parameters.Modes & box.Bit) != 0 ? BST_CHECKED
                                                                     : BST_UNCHECKED;
    }
    if (m_PortInPassthru) EnableSpeedBoxes(false);
}

void CFlPanelDlg::MarkChanged()
{
    m_SettingsChanged = true;
    if (!m_Identifying) m_Controls[IDC_BUTTON_APPLY].Enabled = true;
}

bool CFlPanelDlg::OnTreeBeginLabelEdit(TREE_ITEM Item) const
{
    // Boards have no description of their own to store; only the selected
    // port is edited, since Apply stores the selected port's label.
    return Item.IsPort() && !m_Identifying && m_Selected == Item;
}

void CFlPanelDlg::OnTreeEndLabelEdit(TREE_ITEM Item, const char* Text)
{
    // A cancelled edit, or one that leaves nothing, keeps the label: an
    // empty description cannot be stored as a port's own.
    if (Text == nullptr || *Text == '\0' || !OnTreeBeginLabelEdit(Item)) return;
    m_Tree.at(Item.Board).Ports.at(Item.Port).Label = Text;
    m_DescriptionChanged = true;
    MarkChanged();
}

void CFlPanelDlg::OnClickedCheckBox(int Id)
{
    CONTROL& box = m_Controls.at(Id);
    if (!box.Enabled) return;
    // An automatic check box: a click checks it unless it was checked.
    box.Check = box.Check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    if (Id == IDC_CHECK_PASSTHRU) {
        const bool on = box.Check == BST_CHECKED;
        SetPassthruControls(box.Check, on);
        if (on) m_Combos[IDC_COMBO_PASSTHRU_SPEED].Selection =
                    ComboIndexOf(IDC_COMBO_PASSTHRU_SPEED, static_cast<int>(FL_SPEED_1000_FULL));
        m_BoardChanged = true;
    } else {
        m_SpeedsChanged = true;
    }
    MarkChanged();
}

void CFlPanelDlg::OnSelChangePassthruSpeed(int Index)
{
    COMBO& combo = m_Combos[IDC_COMBO_PASSTHRU_SPEED];
    if (!m_Controls[IDC_COMBO_PASSTHRU_SPEED].Enabled) return;
    if (Index < 0 || static_cast<size_t>(Index) >= combo.Entries.size()) return;
    combo.Selection = Index;
    m_BoardChanged = true;
    MarkChanged();
}

void CFlPanelDlg::OnSelChangeTimestamping(int Index)
{
    COMBO& combo = m_Combos[IDC_COMBO_TIMESTAMPING];
    if (Index < 0 || static_cast<size_t>(Index) >= combo.Entries.size()) return;
    combo.Selection = Index;
    if (combo.Entries[Index].Value != m_TimestampingMode) {
        m_TimestampingChanged = true;
        MarkChanged();
    } else {
        // Back to the mode in force: nothing to write.
        m_TimestampingChanged = false;
    }
}

void CFlPanelDlg::OnClickedApply()
{
    if (m_Identifying) return;
    Apply(m_Selected);
    ReloadSelection();
}

bool CFlPanelDlg::OnOK(bool OkHasFocus)
{
    if (m_Identifying) return false;
    Apply(m_Selected);
    if (OkHasFocus) return true;
    ReloadSelection();
    return false;
}

bool CFlPanelDlg::OnCancel()
{
    return !m_Identifying;
}

void CFlPanelDlg::OnClose()
{
    // The LED must not go on blinking after the panel is gone.
    if (m_Identifying) StopIdentifying();
}

// After Apply the controls show what the system now runs with, not what was
// asked: a refused change does not linger as if it had been made.
void CFlPanelDlg::ReloadSelection()
{
    if (!m_Selected) return;
    if (m_Selected->IsPort()) {
        LoadPortProperties(m_Tree.at(m_Selected->Board).Ports.at(m_Selected->Port).Port);
    } else {
        LoadBoardProperties(m_Tree.at(m_Selected->Board).Board);
    }
}

void CFlPanelDlg::Apply(std::optional<TREE_ITEM> Item)
{
    if (m_Busy) m_Busy(true);
    bool reboot = false;
    if (Item) {
        if (Item->IsPort()) {
            ApplyPort(m_Tree.at(Item->Board).Ports.at(Item->Port));
        } else {
            reboot = ApplyBoard(m_Tree.at(Item->Board));
        }
    }

    COMBO& modes = m_Combos[IDC_COMBO_TIMESTAMPING];
    if (m_TimestampingChanged && modes.Selection != CB_ERR) {
        const DWORD value = static_cast<DWORD>(modes.Entries[modes.Selection].Value);
        KEY_HOLDER parameters(m_Imports);
        LSTATUS error = m_Imports.CreateKey(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                            &parameters, nullptr);
        if (error == ERROR_SUCCESS) {
            error = m_Imports.SetValue(parameters.Get(), kTimestampingMode, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof value);
        }
        if (error == ERROR_SUCCESS) {
            m_TimestampingMode = static_cast<int>(value);
            reboot = true;
        } else {
            // Not stored: the list goes back to the mode in force, and the
            // user hears of it instead of being told to reboot for nothing.
            modes.Selection = ComboIndexOf(IDC_COMBO_TIMESTAMPING, m_TimestampingMode);
            ShowError(Format("Cannot store the timestamping mode in the registry (%08x)",
                             static_cast<unsigned>(error)));
        }
        m_TimestampingChanged = false;
    }

    if (reboot) m_MessageBox(kRebootNotice, "Warning", MB_OK | MB_ICONEXCLAMATION);

    m_SettingsChanged = false;
    m_DescriptionChanged = false;
    m_BoardChanged = false;
    m_SpeedsChanged = false;
    m_Controls[IDC_BUTTON_APPLY].Enabled = false;
    if (m_Busy) m_Busy(false);
}

void CFlPanelDlg::ApplyPort(TREE_PORT& Port)
{
    if (m_DescriptionChanged) {
        const std::string text = CutDescription(Port.Label);
        const FL_STATUS status = m_Imports.PortSetDescription(Port.Port, text.c_str());
        if (status != FL_SUCCESS) {
            ShowStatusError("Cannot set the new port description, %s (%08x)", status);
            Port.Label = PortDescription(Port.Port);
        } else {
            Port.Label = text;
        }
    }

    if (!m_SpeedsChanged) return;
    uint32_t mask = 0;
    for (const SPEED_BOX& box : kSpeedBoxes) {
        if (m_Controls[box.Id].Check == BST_CHECKED) mask |= box.Bit;
    }
    // The driver would take an empty mask and the port would advertise
    // nothing: its link would never come up again.
    if (mask == 0) {
        ShowStatusError("Cannot set the new autonegotiation parameters, %s (%08x)", FL_ERROR_INVALID_PARAMETER);
        return;
    }
    FL_AUTONEGOTIATION_PARAMETERS current{};
    FL_STATUS status = m_Imports.PortQueryAutonegotiationParameters(Port.Port, &current);
    if (status != FL_SUCCESS) {
        ShowStatusError("Cannot query the current autonegotiation parameters, %s (%08x)", status);
        return;
    }
    // The second word of a query is the set of modes the port supports, not
    // an echo of the advertised ones: only the advertised modes and the
    // enabled byte say whether the port already runs as asked.
    if (current.Modes == mask && current.Enabled == 1) return;
    const FL_AUTONEGOTIATION_PARAMETERS wanted = {mask, mask, 1, {}};
    status = m_Imports.PortSetAutonegotiationParameters(Port.Port, &wanted);
    if (status != FL_SUCCESS) {
        ShowStatusError("Cannot set the new autonegotiation parameters, %s (%08x)", status);
    }
}

bool CFlPanelDlg::ApplyBoard(const TREE_BOARD& Board)
{
    // Passthru is set only when the user changed it: each set restarts both
    // port devices and ends every capture on them.
    if (!m_BoardChanged) return false;

    FL_STATUS status;
    if (m_Controls[IDC_CHECK_PASSTHRU].Check == BST_CHECKED) {
        const COMBO& speeds = m_Combos[IDC_COMBO_PASSTHRU_SPEED];
        if (speeds.Selection == CB_ERR) return false;
        const uint32_t mask = static_cast<uint32_t>(speeds.Entries[speeds.Selection].Value);
        FL_PORT* ports = nullptr;
        uint32_t count = 0;
        if (m_Imports.BoardQueryPortList(Board.Board, &ports, &count) != FL_SUCCESS) return false;
        const FL_AUTONEGOTIATION_PARAMETERS wanted = {mask, mask, 1, {}};
        for (uint32_t i = 0; i < count; ++i) {
            status = m_Imports.PortSetAutonegotiationParameters(ports[i], &wanted);
            if (status != FL_SUCCESS) {
                ShowStatusError("Cannot set the link speed on a port: %s (%08x)", status);
                return false;
            }
        }
        status = m_Imports.BoardSetFeature(Board.Board, FL_BOARD_FT_PASSTHRU, 1);
        if (status == FL_SUCCESS || status == FL_SUCCESS_REBOOT_REQUIRED) {
            return status == FL_SUCCESS_REBOOT_REQUIRED;
        }
        ShowStatusError("Cannot enable passthru on the board. %s (%08x)", status);
        return false;
    }
    status = m_Imports.BoardSetFeature(Board.Board, FL_BOARD_FT_PASSTHRU, 0);
    if (status == FL_SUCCESS || status == FL_SUCCESS_REBOOT_REQUIRED) {
        return status == FL_SUCCESS_REBOOT_REQUIRED;
    }
    ShowStatusError("Cannot disable passthru on a board. %s (%08x)", status);
    return false;
}

void CFlPanelDlg::OnClickedIdentify()
{
    if (m_Identifying) {
        StopIdentifying();
        return;
    }
    if (!m_Selected || !m_Selected->IsPort()) return;
    FL_PORT port = m_Tree.at(m_Selected->Board).Ports.at(m_Selected->Port).Port;
    if (m_Imports.PortSetFeature(port, FL_PORT_FT_LED0, FL_LED_BLINK) != FL_SUCCESS) return;
    m_IdentifiedPort = port;
    EnableControls(kPortControls, false);
    m_Controls[IDC_BUTTON_IDENTIFY].Enabled = true;
    m_Controls[IDC_TREE_BOARDS].Enabled = false;
    m_Controls[IDC_STATIC_IDENTIFY_NOTE].Visible = true;
    m_Identifying = true;
    m_Controls[IDC_BUTTON_IDENTIFY].Text = "Stop";
    EnableControls({IDOK, IDCANCEL, IDC_BUTTON_APPLY}, false);
}

void CFlPanelDlg::StopIdentifying()
{
    m_Controls[IDC_TREE_BOARDS].Enabled = true;
    EnableControls(kPortControls, true);
    if (m_PortInPassthru) EnableSpeedBoxes(false);
    m_Identifying = false;
    m_Controls[IDC_STATIC_IDENTIFY_NOTE].Visible = false;
    m_Controls[IDC_BUTTON_IDENTIFY].Text = "Identify Port";
    m_Imports.PortSetFeature(m_IdentifiedPort, FL_PORT_FT_LED0, FL_LED_NORMAL);
    m_IdentifiedPort = nullptr;
    EnableControls({IDOK, IDCANCEL}, true);
    m_Controls[IDC_BUTTON_APPLY].Enabled = m_SettingsChanged;
}

void CFlPanelDlg::ShowError(const std::string& Text)
{
    m_MessageBox(Text, "Error", MB_OK | MB_ICONSTOP);
}

void CFlPanelDlg::ShowStatusError(const char* Format_, FL_STATUS Status)
{
    const char* text = m_Imports.StatusGetString(Status);
    ShowError(Format(Format_, text != nullptr ? text : "", static_cast<unsigned>(Status)));
}
