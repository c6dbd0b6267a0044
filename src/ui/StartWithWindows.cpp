#include "ui/StartWithWindows.h"

#include <QCoreApplication>
#include <QCryptographicHash>
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

// The profile this copy runs with, as the autostart must give it again.
QString ProfileFolder() {
    QString folder = qEnvironmentVariable("INBOXWARDEN_HOME");
    return folder.isEmpty() ? folder : QFileInfo(folder).absoluteFilePath();
}

// One argument of Exec: quoted; inside the quotes ", `, $ and \ are escaped
// and % is doubled, as a field code would otherwise start.
QString QuoteArgument(const QString& argument) {
    QString quoted;
    for (QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += u'\\';
        } else if (c == u'%') {
            quoted += u'%';
        }
        quoted += c;
    }
    return QStringLiteral("\"") + quoted + QStringLiteral("\"");
}

}  // namespace

QString StartupEntryPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    // One entry per profile, so that each starts with its own folder.
    QString profile = ProfileFolder();
    QString suffix;
    if (!profile.isEmpty()) {
        QByteArray digest =
            QCryptographicHash::hash(profile.toUtf8(), QCryptographicHash::Sha256).toHex();
        suffix = QStringLiteral("-") + QString::fromLatin1(digest.left(12));
    }
    return config + QStringLiteral("/autostart/") + AppName() + suffix + QStringLiteral(".desktop");
}

QString StartupEntryText(const QString& appName, const QString& executable,
                         const QString& profile) {
    // The whole value is escaped once more as a desktop-entry string.
    QString exec = QuoteArgument(executable);
    QString name = appName;
    if (!profile.isEmpty()) {
        exec = QStringLiteral("env ") +
               QuoteArgument(QStringLiteral("INBOXWARDEN_HOME=") + profile) + QStringLiteral(" ") +
               exec;
        name += QStringLiteral(" (") + profile + QStringLiteral(")");
    }
    exec.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
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
    QString profile = ProfileFolder();
    // A line break cannot stand in a desktop entry's value.
    if (executable.isEmpty() || executable.contains(u'\n') || executable.contains(u'\r') ||
        profile.contains(u'\n') || profile.contains(u'\r')) {
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(
        StartupEntryText(AppName(), QFileInfo(executable).absoluteFilePath(), profile).toUtf8());
    return file.commit();
}

bool IsStartWithWindows(QWidget* /*owner*/) {
    return QFileInfo::exists(StartupEntryPath());
}
