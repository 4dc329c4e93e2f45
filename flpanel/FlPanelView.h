// CFlPanelView: the window of FlPanel's main dialog. It lays out the
// template's controls, shows the state CFlPanelDlg keeps and hands the
// user's actions to it; it decides nothing itself.
#pragma once

#include "FlPanelDlg.h"

#include <QDialog>

#include <map>

class QTreeWidget;
class QTreeWidgetItem;

class CFlPanelView : public QDialog {
public:
    explicit CFlPanelView(CFlPanelDlg& Dialog, QWidget* Parent = nullptr);
    ~CFlPanelView() override;

    // The control with this identifier, as GetDlgItem finds it.
    QWidget* DlgItem(int Id) const;
    // The tree item of a board (Port < 0) or of one of its ports.
    QTreeWidgetItem* TreeItem(CFlPanelDlg::TREE_ITEM Item) const;

    // Shows the dialog's state again.
    void Sync();

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void reject() override;

private:
    void CreateControls();
    void PopulateTree();
    void OnOKCommand(bool OkHasFocus);
    int ShowMessageBox(const std::string& Text, const std::string& Caption, unsigned Type);
    void SetBusy(bool Busy);

    CFlPanelDlg& m_Dlg;
    std::map<int, QWidget*> m_Items;
    QTreeWidget* m_Tree = nullptr;
    bool m_Syncing = false;
};
