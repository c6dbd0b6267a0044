#include <sys/resource.h>
#include <QApplication>
#include <QDialog>

#include <cstdio>
#include <string>
#include <vector>

#include "app/CInboxWardenApp.h"
#include "secrets/CSecretServiceStore.h"
#include "support/CAppEnvironment.h"
#include "ui/CInboxWardenDlg.h"
#include "ui/CSettingsDlg.h"
#include "ui/CUpdateDlg.h"

int main(int argc, char** argv) {
    // A core dump would hold the passwords read from the keyring.
    const struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    // Without a display the platform plug-in would abort with a long text.
    if (!CInboxWardenApp::HasDisplay()) {
        fprintf(stderr,
                "inboxwarden: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                "inboxwarden-scan filters without a window.\n");
        return 2;
    }
    CAppEnvironment::KeepNewFilesPrivate();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("InboxWarden"));
    QApplication::setDesktopFileName(QStringLiteral("inboxwarden"));
    CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
    CAppEnvironment::SetInstance(&env);
    CSecretStore::SetCurrent(std::make_shared<CSecretServiceStore>());
    int result = 0;
    {
        CInboxWardenApp app(std::vector<std::string>(argv + 1, argv + argc));
        app.SetFirstRunHook([](QWidget* parent) { return CSettingsDlg::RunFirstTime(parent); });
        app.SetWindowRunner([](CInboxWardenDlg& window) {
            window.SetSettingsHandler([&window](QWidget* parent) {
                CSettingsDlg settings(window.Engine(), parent);
                return settings.exec() == QDialog::Accepted;
            });
            // A downloaded installer ends the About box too: the user goes to install it.
            window.SetCheckForUpdatesHandler([](QWidget* parent) {
                auto* about = qobject_cast<QDialog*>(parent);
                if (CUpdateDlg::Run(parent) && about) {
                    about->done(4);
                }
            });
            window.ShowAtStart();
            window.exec();
        });
        CInboxWardenApp::RunResult ran = app.Run();
        result = ran == CInboxWardenApp::RR_Conflict   ? 1
                 : ran == CInboxWardenApp::RR_NoEngine ? 2
                                                       : 0;
    }
    CAppEnvironment::SetInstance(nullptr);
    return result;
}
