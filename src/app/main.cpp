#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CInboxWardenApp.h"
#include "support/CAppEnvironment.h"

int main(int argc, char** argv) {
    // Without a display the platform plug-in would abort with a long text.
    if (!CInboxWardenApp::HasDisplay()) {
        fprintf(stderr,
                "inboxwarden: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                "inboxwarden-scan filters without a window.\n");
        return 2;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("InboxWarden"));
    QApplication::setDesktopFileName(QStringLiteral("inboxwarden"));
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    CAppEnvironment::SetInstance(&env);
    int result = 0;
    {
        CInboxWardenApp app(std::vector<std::string>(argv + 1, argv + argc));
        CInboxWardenApp::RunResult ran = app.Run();
        result = ran == CInboxWardenApp::RR_Conflict   ? 1
                 : ran == CInboxWardenApp::RR_NoEngine ? 2
                                                       : 0;
    }
    CAppEnvironment::SetInstance(nullptr);
    return result;
}
