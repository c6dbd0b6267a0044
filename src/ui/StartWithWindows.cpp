#include "ui/StartWithWindows.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "support/CAppEnvironment.h"

namespace {

QString AppName() {
    CAppEnvironment* env = CAppEnvironment::Instance();
    return env ? QString::fromStdString(env->GetAppName()) : QStringLiteral("InboxWarden");
}

}  // namespace

QString StartupEntryPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/autostart/") + AppName() + QStringLiteral(".desktop");
}

QString StartupEntryText(const QString& appName, const QString& executable) {
    // Exec takes the path as one quoted argument; inside the quotes ", `, $
    // and \ are escaped, % is doubled as a field code would otherwise start,
    // and the whole value is then escaped once more as a desktop-entry string.
    QString quoted;
    for (QChar c : executable) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += u'\\';
        } else if (c == u'%') {
            quoted += u'%';
        }
        quoted += c;
    }
    QString exec = QStringLiteral("\"") + quoted + QStringLiteral("\"");
    exec.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    QString name = appName;
    name.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    return QStringLiteral("[Desktop Entry]\nType=Application\nName=") + name +
           QStringLiteral("\nComment=") + name + QStringLiteral("\nExec=") + exec +
           QStringLiteral("\nTerminal=false\nX-GNOME-Autostart-enabled=true\n");
}

bool SetStartWithWindows(QWidget* /*owner*/, bool on) {
    QString path = StartupEntryPath();
    if (!on) {
        return !QFileInfo::exists(path) || QFile::remove(path);
    }
    QString executable = QCoreApplication::applicationFilePath();
    // A line break cannot stand in a desktop entry's value.
    if (executable.isEmpty() || executable.contains(u'\n') || executable.contains(u'\r')) {
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(StartupEntryText(AppName(), QFileInfo(executable).absoluteFilePath()).toUtf8());
    return file.commit();
}

bool IsStartWithWindows(QWidget* /*owner*/) {
    return QFileInfo::exists(StartupEntryPath());
}
