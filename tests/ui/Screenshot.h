#pragma once

#include <QDir>
#include <QString>
#include <QWidget>

// Screenshots of the widget tests, kept in build/artifacts/ for review
// (IW_ARTIFACTS_DIR, set by tests/CMakeLists.txt for every widget test).

// The path of the file `fileName` there; the folder is made if missing.
inline QString ArtifactPath(const QString& fileName) {
    QDir().mkpath(QStringLiteral(IW_ARTIFACTS_DIR));
    return QStringLiteral(IW_ARTIFACTS_DIR "/") + fileName;
}

// Saves the widget's picture as <name>.png there; false when it cannot be
// written.
inline bool SaveShot(QWidget& widget, const QString& name) {
    return widget.grab().save(ArtifactPath(name + QStringLiteral(".png")));
}
