// The dialog on real widgets, offscreen: built from the machine, a speed
// box clicked and Apply pressed, a label edited in place with F2 and Enter,
// Enter in the tree applying without closing, Escape and OK closing.
#include "PanelTestSupport.h"

#include "FlPanelView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QPixmap>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdlib>

namespace {

using namespace paneltest;

// One application object for the program, made before the first test and
// destroyed after the last.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        application_ = new QApplication(argc_, argv_);
    }
    void TearDown() override
    {
        delete application_;
        application_ = nullptr;
    }

private:
    int argc_ = 1;
    char name_[16] = "flpanel_test";
    char* argv_[2] = {name_, nullptr};
    QApplication* application_ = nullptr;
};
[[maybe_unused]] ::testing::Environment* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

void Key(QWidget* target, int key)
{
    const QString text = key == Qt::Key_Return ? QStringLiteral("\r") : QString();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &release);
}

// Runs queued calls and deferred deletions (an editor's commit and close).
void Settle()
{
    for (int i = 0; i < 3; ++i) {
        QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

class PanelWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseMachine();
        g_watch = Watch{};
        AllModes(0xa0);
    }

    // The tree item and the dialog's item of the port ending in this byte.
    QTreeWidgetItem* PortItem(const CFlPanelDlg& dialog, const CFlPanelView& view, uint8_t last,
                              CFlPanelDlg::TREE_ITEM* item = nullptr)
    {
        for (size_t b = 0; b < dialog.Tree().size(); ++b) {
            for (size_t p = 0; p < dialog.Tree()[b].Ports.size(); ++p) {
                uint8_t mac[6];
                if (FlPortQueryMacAddress(dialog.Tree()[b].Ports[p].Port, mac) == FL_SUCCESS && mac[5] == last) {
                    if (item != nullptr) *item = {int(b), int(p)};
                    return view.TreeItem({int(b), int(p)});
                }
            }
        }
        ADD_FAILURE() << "no port ending in " << int(last);
        return nullptr;
    }

    MessageLog log;
};

TEST_F(PanelWindow, ClickedSpeedBoxReachesTheDriverThroughApply)
{
    CFlPanelDlg dialog;
    CFlPanelView view(dialog);
    dialog.SetMessageBox(log.Box());
    view.show();
    EXPECT_EQ(view.windowTitle(), "Ferrolan Control Panel");
    EXPECT_FALSE(view.windowIcon().isNull());

    auto* tree = static_cast<QTreeWidget*>(view.DlgItem(IDC_TREE_BOARDS));
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), "Ferrolan Gigabit Ethernet Board");
    EXPECT_EQ(tree->topLevelItem(0)->childCount(), 2);
    EXPECT_TRUE(tree->topLevelItem(0)->isExpanded());
    auto* timestamping = static_cast<QComboBox*>(view.DlgItem(IDC_COMBO_TIMESTAMPING));
    EXPECT_EQ(timestamping->count(), 3);
    auto* gigabit = static_cast<QCheckBox*>(view.DlgItem(IDC_CHECK_1000_FULL));
    auto* apply = static_cast<QPushButton*>(view.DlgItem(IDC_BUTTON_APPLY));
    EXPECT_FALSE(gigabit->isEnabled());
    EXPECT_FALSE(view.DlgItem(IDC_STATIC_IDENTIFY_NOTE)->isVisible());
    EXPECT_FALSE(view.DlgItem(IDC_BUTTON_ADVANCED)->isVisible());

    QTreeWidgetItem* port = PortItem(dialog, view, 0xa0);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->text(0).toStdString(), FlPortGetDescription(dialog.Tree()[0].Ports[0].Port));
    tree->setCurrentItem(port);
    EXPECT_TRUE(gigabit->isEnabled());
    EXPECT_EQ(gigabit->checkState(), Qt::Checked);
    EXPECT_EQ(static_cast<QLabel*>(view.DlgItem(IDC_STATIC_MAC_VALUE))->text(), "02:00:f1:0e:00:a0");
    EXPECT_FALSE(apply->isEnabled());

    gigabit->click();
    EXPECT_EQ(gigabit->checkState(), Qt::Unchecked);
    EXPECT_TRUE(apply->isEnabled());
    apply->click();
    EXPECT_FALSE(apply->isEnabled());
    EXPECT_TRUE(view.isVisible());
    {
        ReadBack list;
        EXPECT_EQ(list.Modes(0xa0), FL_SPEED_ALL & ~FL_SPEED_1000_FULL);
    }

    // Identify from the window: the dialog locks until Stop.
    auto* identify = static_cast<QPushButton*>(view.DlgItem(IDC_BUTTON_IDENTIFY));
    identify->click();
    EXPECT_EQ(identify->text(), "Stop");
    EXPECT_TRUE(view.DlgItem(IDC_STATIC_IDENTIFY_NOTE)->isVisible());
    EXPECT_FALSE(tree->isEnabled());
    EXPECT_FALSE(view.DlgItem(IDOK)->isEnabled());
    Key(tree, Qt::Key_Escape);  // Cancel is off: Escape does not close
    EXPECT_TRUE(view.isVisible());
    identify->click();
    EXPECT_EQ(identify->text(), "Identify Port");
    EXPECT_TRUE(tree->isEnabled());

    // OK pressed: the dialog closes.
    gigabit->click();
    static_cast<QPushButton*>(view.DlgItem(IDOK))->click();
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(view.result(), QDialog::Accepted);
    ReadBack list;
    EXPECT_EQ(list.Modes(0xa0), FL_SPEED_ALL);
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(PanelWindow, LabelEditedInPlaceAndEnterInTheTreeAppliesWithoutClosing)
{
    CFlPanelDlg dialog;
    CFlPanelView view(dialog);
    dialog.SetMessageBox(log.Box());
    view.show();
    auto* tree = static_cast<QTreeWidget*>(view.DlgItem(IDC_TREE_BOARDS));
    auto* apply = static_cast<QPushButton*>(view.DlgItem(IDC_BUTTON_APPLY));
    tree->setFocus();

    // F2 on a board opens nothing.
    tree->setCurrentItem(tree->topLevelItem(1));
    Key(tree, Qt::Key_F2);
    Settle();
    EXPECT_EQ(tree->findChild<QLineEdit*>(), nullptr);

    CFlPanelDlg::TREE_ITEM item;
    QTreeWidgetItem* port = PortItem(dialog, view, 0xb1, &item);
    ASSERT_NE(port, nullptr);
    tree->setCurrentItem(port);
    Key(tree, Qt::Key_F2);
    auto* editor = tree->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText("Edited in place");
    // Enter ends the edit; it does not reach the dialog's OK.
    Key(editor, Qt::Key_Return);
    Settle();
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(port->text(0), "Edited in place");
    EXPECT_TRUE(dialog.DescriptionChanged());
    EXPECT_TRUE(apply->isEnabled());
    {
        ReadBack list;
        EXPECT_STRNE(FlPortGetDescription(list.ByMac(0xb1)), "Edited in place");
    }

    // Enter in the tree: the OK command without the focus on OK.
    Key(tree, Qt::Key_Return);
    EXPECT_TRUE(view.isVisible());
    EXPECT_FALSE(apply->isEnabled());
    {
        ReadBack list;
        EXPECT_STREQ(FlPortGetDescription(list.ByMac(0xb1)), "Edited in place");
    }

    // Escape in the edit box cancels the edit, not the dialog.
    Key(tree, Qt::Key_F2);
    editor = tree->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText("Cancelled");
    Key(editor, Qt::Key_Escape);
    Settle();
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(port->text(0), "Edited in place");
    EXPECT_FALSE(apply->isEnabled());

    // Escape: closed, nothing more applied.
    port = PortItem(dialog, view, 0xb1);
    tree->setCurrentItem(port);
    Key(tree, Qt::Key_F2);
    editor = tree->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText("Dropped");
    Key(editor, Qt::Key_Return);
    Settle();
    Key(tree, Qt::Key_Escape);
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(view.result(), QDialog::Rejected);
    ReadBack list;
    EXPECT_STREQ(FlPortGetDescription(list.ByMac(0xb1)), "Edited in place");
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(PanelWindow, WindowClosedWhileALedBlinksPutsTheLedBack)
{
    CFlPanelDlg dialog;
    {
        CFlPanelView view(dialog);
        dialog.SetMessageBox(log.Box());
        view.show();
        auto* tree = static_cast<QTreeWidget*>(view.DlgItem(IDC_TREE_BOARDS));
        tree->setCurrentItem(PortItem(dialog, view, 0xb0));
        static_cast<QPushButton*>(view.DlgItem(IDC_BUTTON_IDENTIFY))->click();
        ASSERT_TRUE(dialog.Identifying());
        {
            ReadBack list;
            EXPECT_EQ(list.Led(0xb0), FL_LED_BLINK);
        }
        view.close();  // the title bar's close button
        EXPECT_FALSE(view.isVisible());
    }
    EXPECT_FALSE(dialog.Identifying());
    ReadBack list;
    EXPECT_EQ(list.Led(0xb0), FL_LED_NORMAL);
    EXPECT_TRUE(log.messages.empty());
}

} // namespace

// What the user reads is drawn in full: every passthru speed, in the box
// and in its list, and the tree's lines to the boards and their ports.
TEST_F(PanelWindow, SpeedsReadInFullAndTheTreeHasItsLines)
{
    CFlPanelDlg dialog;
    CFlPanelView view(dialog);
    dialog.SetMessageBox(log.Box());
    view.show();
    auto* tree = static_cast<QTreeWidget*>(view.DlgItem(IDC_TREE_BOARDS));
    tree->setCurrentItem(tree->topLevelItem(0));
    auto* speed = static_cast<QComboBox*>(view.DlgItem(IDC_COMBO_PASSTHRU_SPEED));
    static_cast<QCheckBox*>(view.DlgItem(IDC_CHECK_PASSTHRU))->click();
    ASSERT_TRUE(speed->isEnabled());
    ASSERT_GE(speed->count(), 3);
    Settle();
    // FL_PANEL_PICTURE=file.png keeps the picture to look at.
    if (const char* file = std::getenv("FL_PANEL_PICTURE")) view.grab().save(QString::fromLocal8Bit(file));
    const int width = speed->width();
    EXPECT_GE(width, speed->view()->sizeHintForColumn(0));
    speed->setSizeAdjustPolicy(QComboBox::AdjustToContents);  // its hint now fits every entry
    EXPECT_GE(width, speed->sizeHint().width());

    // A line is drawn where any pixel of a stretch differs from the tree's
    // background; dotted lines leave every other one.
    const QImage lines = tree->viewport()->grab().toImage();
    const QRgb background = lines.pixel(lines.width() - 2, lines.height() - 2);
    auto drawn = [&](int x, int top, int bottom) {
        for (int y = top; y <= bottom; ++y) {
            if (lines.pixel(x, y) != background) return true;
        }
        return false;
    };
    const int step = tree->indentation();
    const QRect board0 = tree->visualItemRect(tree->topLevelItem(0));
    const QRect board1 = tree->visualItemRect(tree->topLevelItem(1));
    const QRect port0 = tree->visualItemRect(tree->topLevelItem(0)->child(0));
    const QRect port1 = tree->visualItemRect(tree->topLevelItem(0)->child(1));
    // At the root: from the first board down to the second, beside its ports.
    EXPECT_TRUE(drawn(step / 2, port0.top(), port1.bottom()));
    // To the ports: down their column and across to each.
    EXPECT_TRUE(drawn(step + step / 2, port0.top(), port0.center().y() - 1));
    int across = 0;
    for (int x = step + step / 2 + 1; x < 2 * step; ++x) {
        for (int y = port1.center().y() - 1; y <= port1.center().y() + 1; ++y) across += lines.pixel(x, y) != background;
    }
    EXPECT_GT(across, 0);
    EXPECT_LT(board0.bottom(), board1.top());
}
