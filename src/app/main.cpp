#include <unistd.h>

#include <QApplication>
#include <cstring>

#include "support/CAppEnvironment.h"
#include "ui/CInboxWardenDlg.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    CAppEnvironment::SetInstance(&env);
    // Challenge files are looked up by their names in the program folder.
    if (chdir(env.GetProgramFolder().c_str()) != 0) {
        env.GetMainLog().Write("Could not enter the program folder %s",
                               env.GetProgramFolder().c_str());
    }
    env.GetMainLog().Open("", CLogFile::LF_Enabled, 10);
    IW_LOG_AT(env.GetMainLog(), "After log initialize");
    bool readOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (strstr(argv[i], "readonly")) {
            readOnly = true;
        }
    }
    int result = 0;
    {
        CInboxWardenDlg dialog;
        if (dialog.StartEngine(readOnly)) {
            dialog.ShowAtStart();
            dialog.exec();
        } else {
            result = 2;
        }
    }
    CAppEnvironment::SetInstance(nullptr);
    return result;
}
