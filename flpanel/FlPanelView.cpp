// CFlPanelView: the main dialog on screen, in Qt widgets placed as the
// dialog template places its controls.
#include "FlPanelView.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QTreeWidget>

namespace {

constexpr int kBoardRole = Qt::UserRole;
constexpr int kPortRole = Qt::UserRole + 1;

// The tree of boards and ports. Label editing asks the dialog first, and
// Enter ends an open edit instead of reaching the dialog's buttons.
class CBoardTree : public QTreeWidget {
public:
    CBoardTree(CFlPanelDlg& Dialog, QWidget* Parent) : QTreeWidget(Parent), m_Dlg(Dialog) {}

protected:
    bool edit(const QModelIndex& Index, EditTrigger Trigger, QEvent* Event) override
    {
        const QModelIndex parent = Index.parent();
        if (!parent.isValid()) return false;  // a board
        if (!m_Dlg.OnTreeBeginLabelEdit({parent.row(), Index.row()})) return false;
        return QTreeWidget::edit(Index, Trigger, Event);
    }
    void keyPressEvent(QKeyEvent* Event) override
    {
        const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
        if (enter && state() == EditingState) {
            Event->accept();  // the editor commits on its own
            return;
        }
        if (enter) {
            Event->ignore();  // the dialog's Enter
            return;
        }
        QTreeWidget::keyPressEvent(Event);
    }

private:
    CFlPanelDlg& m_Dlg;
};

// The tree's branch lines: dotted lines from each item to its parent's and
// between siblings, at the root too, as the tree of the system's dialog
// draws them. The application's style draws only the expand arrows.
class CBranchLines : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement Element, const QStyleOption* Option, QPainter* Painter,
                       const QWidget* Widget) const override
    {
        if (Element != PE_IndicatorBranch) {
            QProxyStyle::drawPrimitive(Element, Option, Painter, Widget);
            return;
        }
        const QRect& r = Option->rect;
        const int x = r.left() + r.width() / 2;
        const int y = r.top() + r.height() / 2;
        // The arrow of an item with children keeps the middle free.
        const int gap = (Option->state & State_Children) ? 5 : 0;
        Painter->save();
        Painter->setPen(QPen(Option->palette.color(QPalette::Dark), 0, Qt::DotLine));
        if (Option->state & State_Item) {
            Painter->drawLine(x + gap, y, r.right(), y);  // to the item
            Painter->drawLine(x, r.top(), x, y - gap);    // from the parent or the sibling above
        }
        if (Option->state & State_Sibling) {
            // On to the next sibling below.
            Painter->drawLine(x, (Option->state & State_Item) ? y + gap : r.top(), x, r.bottom());
        }
        Painter->restore();
        if (Option->state & State_Children) QProxyStyle::drawPrimitive(Element, Option, Painter, Widget);
    }
};

// Resource 128: a board with two ports.
QIcon PanelIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x6f, 0x3f));
    painter.drawRoundedRect(2, 6, 28, 20, 3, 3);
    painter.setBrush(QColor(0xd8, 0xd8, 0xd8));
    painter.drawRect(6, 18, 8, 8);
    painter.drawRect(18, 18, 8, 8);
    painter.setBrush(QColor(0xff, 0xc0, 0x20));
    painter.drawEllipse(7, 10, 4, 4);
    painter.drawEllipse(19, 10, 4, 4);
    return QIcon(pixmap);
}

} // namespace

CFlPanelView::CFlPanelView(CFlPanelDlg& Dialog, QWidget* Parent) : QDialog(Parent), m_Dlg(Dialog)
{
    setWindowTitle("Ferrolan Control Panel");
    setWindowIcon(PanelIcon());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    CreateControls();

    m_Dlg.SetMessageBox([this](const std::string& Text, const std::string& Caption, unsigned Type) {
        return ShowMessageBox(Text, Caption, Type);
    });
    m_Dlg.SetBusyHandler([this](bool Busy) { SetBusy(Busy); });
    m_Dlg.OnInitDialog();
    PopulateTree();
    Sync();
}

void CFlPanelView::CreateControls()
{
    // Dialog units: a quarter of the average character width across, an
    // eighth of the character height down.
    const QFontMetrics metrics(font());
    const double cx = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0;
    const double cy = metrics.height();
    auto place = [&](QWidget* widget, int x, int y, int w, int h) {
        widget->setGeometry(int(x * cx / 4), int(y * cy / 8), int(w * cx / 4), int(h * cy / 8));
    };
    // The right-hand column is 24 units wider than the template's: Qt's
    // drop-down boxes need more room around their text than the system's,
    // and at 69 units the passthru speeds were cut ("100Mbps Full Du").
    setFixedSize(int(460 * cx / 4), int(313 * cy / 8));

    enum KIND { BUTTON, COMBO, TREE, GROUP, TEXT, CHECK };
    struct TEMPLATE_ITEM {
        int Id;  // 0: a static control without an identifier
        KIND Kind;
        const char* Text;  // only for those; the dialog has the others'
        int X, Y, W, H;
    };
    // Group boxes first: what comes later lies on top of them.
    static const TEMPLATE_ITEM kTemplate[] = {
        {0, GROUP, "Driver Settings", 7, 7, 377, 35},
        {0, GROUP, "Available Boards", 7, 52, 188, 253},
        {IDC_GROUP_BOARD, GROUP, nullptr, 206, 52, 178, 67},
        {IDC_GROUP_PORT, GROUP, nullptr, 206, 129, 178, 176},
        {IDC_GROUP_SPEEDS, GROUP, nullptr, 220, 161, 152, 87},
        {IDOK, BUTTON, nullptr, 395, 253, 58, 16},
        {IDCANCEL, BUTTON, nullptr, 395, 271, 58, 16},
        {IDC_BUTTON_APPLY, BUTTON, nullptr, 395, 289, 58, 16},
        {0, TEXT, "Timestamping mode", 21, 22, 72, 8},
        {IDC_COMBO_TIMESTAMPING, COMBO, nullptr, 94, 19, 278, 14},
        {IDC_TREE_BOARDS, TREE, nullptr, 15, 63, 170, 233},
        {IDC_STATIC_BOARD_ID, TEXT, nullptr, 220, 66, 32, 8},
        {IDC_STATIC_BOARD_ID_VALUE, TEXT, nullptr, 272, 66, 100, 8},
        {IDC_CHECK_PASSTHRU, CHECK, nullptr, 220, 82, 80, 10},
        {IDC_STATIC_PASSTHRU_SPEED, TEXT, nullptr, 220, 100, 56, 8},
        {IDC_COMBO_PASSTHRU_SPEED, COMBO, nullptr, 279, 97, 93, 14},
        {IDC_STATIC_MAC, TEXT, nullptr, 220, 145, 50, 8},
        {IDC_STATIC_MAC_VALUE, TEXT, nullptr, 271, 145, 101, 8},
        {IDC_CHECK_10_HALF, CHECK, nullptr, 235, 177, 100, 10},
        {IDC_CHECK_10_FULL, CHECK, nullptr, 235, 190, 100, 10},
        {IDC_CHECK_100_HALF, CHECK, nullptr, 235, 205, 100, 10},
        {IDC_CHECK_100_FULL, CHECK, nullptr, 235, 219, 100, 10},
        {IDC_CHECK_1000_FULL, CHECK, nullptr, 235, 233, 100, 10},
        {IDC_STATIC_LINK_STATUS, TEXT, nullptr, 220, 257, 40, 8},
        {IDC_STATIC_LINK_STATUS_VALUE, TEXT, nullptr, 262, 257, 110, 8},
        {IDC_STATIC_LINK_SPEED, TEXT, nullptr, 220, 269, 40, 8},
        {IDC_STATIC_LINK_SPEED_VALUE, TEXT, nullptr, 262, 268, 110, 8},
        {IDC_BUTTON_IDENTIFY, BUTTON, nullptr, 220, 284, 50, 14},
        {IDC_STATIC_IDENTIFY_NOTE, TEXT, nullptr, 280, 277, 92, 27},
        {IDC_BUTTON_ADVANCED, BUTTON, nullptr, 403, 182, 50, 14},
    };

    for (const TEMPLATE_ITEM& item : kTemplate) {
        QWidget* widget = nullptr;
        const QString text = item.Text != nullptr ? QString::fromUtf8(item.Text) : QString();
        switch (item.Kind) {
        case BUTTON: {
            auto* button = new QPushButton(text, this);
            button->setAutoDefault(false);  // Enter is the dialog's (keyPressEvent)
            widget = button;
            break;
        }
        case COMBO:
            widget = new QComboBox(this);
            break;
        case TREE: {
            auto* tree = new CBoardTree(m_Dlg, this);
            tree->setHeaderHidden(true);
            tree->setColumnCount(1);
            tree->setRootIsDecorated(true);
            auto* lines = new CBranchLines;
            lines->setParent(tree);  // a widget does not own its style
            tree->setStyle(lines);
            tree->setDragEnabled(false);
            tree->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
            m_Tree = tree;
            widget = tree;
            break;
        }
        case GROUP:
            widget = new QGroupBox(text, this);
            break;
        case TEXT: {
            auto* label = new QLabel(text, this);
            label->setWordWrap(item.Id == IDC_STATIC_IDENTIFY_NOTE);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            widget = label;
            break;
        }
        case CHECK:
            widget = new QCheckBox(text, this);
            break;
        }
        place(widget, item.X, item.Y, item.W, item.H);
        if (item.Id != 0) m_Items[item.Id] = widget;
    }

    auto button = [this](int id) { return static_cast<QPushButton*>(m_Items.at(id)); };
    connect(button(IDOK), &QPushButton::clicked, this, [this] { OnOKCommand(true); });
    connect(button(IDCANCEL), &QPushButton::clicked, this, [this] {
        if (m_Dlg.OnCancel()) reject();
    });
    connect(button(IDC_BUTTON_APPLY), &QPushButton::clicked, this, [this] {
        m_Dlg.OnClickedApply();
        Sync();
    });
    connect(button(IDC_BUTTON_IDENTIFY), &QPushButton::clicked, this, [this] {
        m_Dlg.OnClickedIdentify();
        Sync();
    });
    for (int id : {IDC_CHECK_PASSTHRU, IDC_CHECK_10_HALF, IDC_CHECK_10_FULL, IDC_CHECK_100_HALF, IDC_CHECK_100_FULL,
                   IDC_CHECK_1000_FULL}) {
        connect(static_cast<QCheckBox*>(m_Items.at(id)), &QCheckBox::clicked, this, [this, id] {
            m_Dlg.OnClickedCheckBox(id);
            Sync();
        });
    }
    connect(static_cast<QComboBox*>(m_Items.at(IDC_COMBO_TIMESTAMPING)), &QComboBox::activated, this,
            [this](int index) {
                m_Dlg.OnSelChangeTimestamping(index);
                Sync();
            });
    connect(static_cast<QComboBox*>(m_Items.at(IDC_COMBO_PASSTHRU_SPEED)), &QComboBox::activated, this,
            [this](int index) {
                m_Dlg.OnSelChangePassthruSpeed(index);
                Sync();
            });
    connect(m_Tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
        if (m_Syncing) return;
        std::optional<CFlPanelDlg::TREE_ITEM> item;
        if (current != nullptr) {
            item = CFlPanelDlg::TREE_ITEM{current->data(0, kBoardRole).toInt(), current->data(0, kPortRole).toInt()};
        }
        m_Dlg.OnTreeSelChanged(item);
        Sync();
    });
    connect(m_Tree, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* changed, int) {
        if (m_Syncing) return;
        const QByteArray text = changed->text(0).toUtf8();
        m_Dlg.OnTreeEndLabelEdit({changed->data(0, kBoardRole).toInt(), changed->data(0, kPortRole).toInt()},
                                 text.constData());
        Sync();
    });
}

void CFlPanelView::PopulateTree()
{
    m_Syncing = true;
    m_Tree->clear();
    const auto& boards = m_Dlg.Tree();
    for (size_t b = 0; b < boards.size(); ++b) {
        auto* board = new QTreeWidgetItem(m_Tree, QStringList(QString::fromUtf8(boards[b].Label)));
        board->setData(0, kBoardRole, int(b));
        board->setData(0, kPortRole, -1);
        for (size_t p = 0; p < boards[b].Ports.size(); ++p) {
            auto* port = new QTreeWidgetItem(board, QStringList(QString::fromUtf8(boards[b].Ports[p].Label)));
            port->setData(0, kBoardRole, int(b));
            port->setData(0, kPortRole, int(p));
            port->setFlags(port->flags() | Qt::ItemIsEditable);
        }
        board->setExpanded(true);
    }
    m_Syncing = false;
}

CFlPanelView::~CFlPanelView()
{
    // The dialog may outlive its window (it stops an identification when it
    // goes): it must not call back into a window that is gone.
    m_Dlg.SetMessageBox(nullptr);
    m_Dlg.SetBusyHandler(nullptr);
}

QWidget* CFlPanelView::DlgItem(int Id) const
{
    auto found = m_Items.find(Id);
    return found != m_Items.end() ? found->second : nullptr;
}

QTreeWidgetItem* CFlPanelView::TreeItem(CFlPanelDlg::TREE_ITEM Item) const
{
    QTreeWidgetItem* board = m_Tree->topLevelItem(Item.Board);
    if (board == nullptr || !Item.IsPort()) return board;
    return board->child(Item.Port);
}

void CFlPanelView::Sync()
{
    m_Syncing = true;
    for (const auto& [id, widget] : m_Items) {
        const CFlPanelDlg::CONTROL& control = m_Dlg.Control(id);
        widget->setEnabled(control.Enabled);
        widget->setVisible(control.Visible);
        const QString text = QString::fromUtf8(control.Text);
        if (auto* check = qobject_cast<QCheckBox*>(widget)) {
            check->setText(text);
            check->setTristate(control.Check == BST_INDETERMINATE);
            check->setCheckState(control.Check == BST_CHECKED         ? Qt::Checked
                                 : control.Check == BST_INDETERMINATE ? Qt::PartiallyChecked
                                                                      : Qt::Unchecked);
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            button->setText(text);
        } else if (auto* label = qobject_cast<QLabel*>(widget)) {
            label->setText(text);
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            group->setTitle(text);
        } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            const CFlPanelDlg::COMBO& entries = m_Dlg.Combo(id);
            bool same = combo->count() == int(entries.Entries.size());
            for (int i = 0; same && i < combo->count(); ++i) {
                same = combo->itemText(i) == QString::fromUtf8(entries.Entries[i].Text);
            }
            if (!same) {
                combo->clear();
                for (const auto& entry : entries.Entries) {
                    combo->addItem(QString::fromUtf8(entry.Text), entry.Value);
                }
            }
            combo->setCurrentIndex(entries.Selection);
        }
    }
    const auto& boards = m_Dlg.Tree();
    for (size_t b = 0; b < boards.size(); ++b) {
        for (size_t p = 0; p < boards[b].Ports.size(); ++p) {
            QTreeWidgetItem* item = TreeItem({int(b), int(p)});
            const QString label = QString::fromUtf8(boards[b].Ports[p].Label);
            if (item != nullptr && item->text(0) != label) item->setText(0, label);
        }
    }
    m_Syncing = false;
}

void CFlPanelView::keyPressEvent(QKeyEvent* Event)
{
    switch (Event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        // Enter on another push button presses that button; anywhere else it
        // is the OK command, which closes only when OK has the focus.
        QWidget* focus = focusWidget();
        auto* button = qobject_cast<QPushButton*>(focus);
        if (button != nullptr && button != m_Items.at(IDOK)) {
            if (button->isEnabled()) button->click();
        } else if (m_Items.at(IDOK)->isEnabled()) {
            OnOKCommand(focus == m_Items.at(IDOK));
        }
        Event->accept();
        return;
    }
    case Qt::Key_Escape:
        if (m_Items.at(IDCANCEL)->isEnabled() && m_Dlg.OnCancel()) reject();
        Event->accept();
        return;
    default:
        QDialog::keyPressEvent(Event);
    }
}

void CFlPanelView::reject()
{
    m_Dlg.OnClose();
    QDialog::reject();
}

void CFlPanelView::OnOKCommand(bool OkHasFocus)
{
    if (m_Dlg.OnOK(OkHasFocus)) {
        m_Dlg.OnClose();
        accept();
        return;
    }
    Sync();
}

int CFlPanelView::ShowMessageBox(const std::string& Text, const std::string& Caption, unsigned Type)
{
    const bool question = (Type & MB_YESNO) != 0;
    QMessageBox box((Type & MB_ICONEXCLAMATION) == MB_ICONEXCLAMATION ? QMessageBox::Warning : QMessageBox::Critical,
                    QString::fromUtf8(Caption), QString::fromUtf8(Text),
                    question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, this);
    // Apply may be under way: the wait cursor is not the box's.
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy) QApplication::restoreOverrideCursor();
    const int answer = box.exec();
    if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!question) return IDOK;
    return answer == QMessageBox::Yes ? IDYES : IDNO;
}

void CFlPanelView::SetBusy(bool Busy)
{
    setEnabled(!Busy);
    if (Busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}
