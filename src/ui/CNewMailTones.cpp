#include "ui/CNewMailTones.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QtEndian>
#include <cmath>

namespace {

void Put32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

void Put16(QByteArray& out, quint16 value) {
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

}  // namespace

CNewMailTones::CNewMailTones() = default;
CNewMailTones::~CNewMailTones() = default;

QByteArray CNewMailTones::MakeWave(const std::vector<int>& frequencies, int milliseconds,
                                   int sampleRate) {
    if (sampleRate <= 0 || sampleRate > 192000 || milliseconds < 0 || milliseconds > 10000) {
        return {};
    }
    const quint32 perTone =
        static_cast<quint32>(sampleRate) * static_cast<quint32>(milliseconds) / 1000;
    const quint32 samples = perTone * static_cast<quint32>(frequencies.size());
    const quint32 dataBytes = samples * 2;
    QByteArray out;
    out.reserve(static_cast<qsizetype>(44 + dataBytes));
    out.append("RIFF", 4);
    Put32(out, 36 + dataBytes);
    out.append("WAVEfmt ", 8);
    Put32(out, 16);
    Put16(out, 1);  // PCM
    Put16(out, 1);  // mono
    Put32(out, static_cast<quint32>(sampleRate));
    Put32(out, static_cast<quint32>(sampleRate) * 2);
    Put16(out, 2);
    Put16(out, 16);
    out.append("data", 4);
    Put32(out, dataBytes);
    for (int frequency : frequencies) {
        for (quint32 i = 0; i < perTone; ++i) {
            // A short fade at both ends keeps the tones from clicking.
            double edge = std::min(1.0, std::min(i, perTone - 1 - i) / (sampleRate * 0.005));
            double value = std::sin(2.0 * M_PI * frequency * i / sampleRate) * 0.5 * edge;
            Put16(out, static_cast<quint16>(static_cast<qint16>(value * 32767)));
        }
    }
    return out;
}

QString CNewMailTones::FindPlayer() {
    for (const char* name : {"pw-play", "paplay", "aplay"}) {
        QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!path.isEmpty()) {
            return path;
        }
    }
    return {};
}

bool CNewMailTones::Play() {
    QString player = FindPlayer();
    if (!player.isEmpty() && !m_file) {
        auto file = std::make_unique<QTemporaryFile>(
            QStringLiteral("%1/inboxwarden-XXXXXX.wav").arg(QDir::tempPath()));
        if (file->open() && file->write(MakeWave({800, 1100, 1400}, 100)) > 0 && file->flush()) {
            m_file = std::move(file);
        }
    }
    if (player.isEmpty() || !m_file || !QProcess::startDetached(player, {m_file->fileName()})) {
        QApplication::beep();
        return false;
    }
    return true;
}
