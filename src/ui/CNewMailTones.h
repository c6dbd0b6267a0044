#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

class QTemporaryFile;

// The new-mail announcement's three rising tones, played through the
// desktop's sound player when one is installed, else as the plain beep.
class CNewMailTones {
public:
    CNewMailTones();
    ~CNewMailTones();

    // A 16-bit mono PCM WAV file of the tones, one after another.
    static QByteArray MakeWave(const std::vector<int>& frequencies, int milliseconds,
                               int sampleRate = 22050);
    // The first of the known players found on the search path, or empty.
    static QString FindPlayer();
    // True when a player was started; false means the beep was used.
    bool Play();

private:
    std::unique_ptr<QTemporaryFile> m_file;
};
