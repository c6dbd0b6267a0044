#include <QApplication>

#include "support/CAppEnvironment.h"
#include "ui/CInboxWardenDlg.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    CAppEnvironment::SetInstance(&env);
    CInboxWardenDlg dialog;
    dialog.exec();
    CAppEnvironment::SetInstance(nullptr);
    return 0;
}
