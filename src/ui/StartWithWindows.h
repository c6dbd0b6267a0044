#pragma once

#include <QString>

class QWidget;

// The program's autostart entry: the desktop entry
// $XDG_CONFIG_HOME/autostart/<application name>.desktop (~/.config when the
// variable is unset or not absolute), started by the desktop at log-on.

QString StartupEntryPath();
// The entry's text for an executable (quoted and escaped for Exec), with
// "env INBOXWARDEN_HOME=<profile>" before it when a profile is given.
QString StartupEntryText(const QString& appName, const QString& executable,
                         const QString& profile = QString());
// Creates (replacing) or removes the entry. Removing a missing entry is
// silent. False when the entry could not be written or removed.
bool SetStartWithWindows(QWidget* owner, bool on);
// True exactly when the entry exists.
bool IsStartWithWindows(QWidget* owner);
