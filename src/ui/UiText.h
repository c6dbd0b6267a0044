#pragma once

#include <QString>
#include <string>

// The program's texts are single-byte in the local code page; these cross
// between them and Qt's strings.
inline QString FromStd(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToStd(const QString& text) {
    return text.toLocal8Bit().toStdString();
}
