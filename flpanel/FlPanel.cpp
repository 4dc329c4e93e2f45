// FlPanel: the Ferrolan control panel. One modal dialog; nothing is kept
// between runs.
#include "FlPanelDlg.h"
#include "FlPanelView.h"

#include <QApplication>

class CFlPanelApp {
public:
    int Run(int argc, char** argv)
    {
        QApplication application(argc, argv);
        CFlPanelDlg dialog;
        CFlPanelView view(dialog);
        view.exec();
        return 0;
    }
};

int main(int argc, char** argv)
{
    CFlPanelApp theApp;
    return theApp.Run(argc, argv);
}
