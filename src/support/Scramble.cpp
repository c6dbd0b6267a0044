#include "support/Scramble.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

uint32_t ReadVolumeSerial(const std::string& machineIdPath) {
    std::ifstream in(machineIdPath, std::ios::binary);
    char digits[8];
    if (!in.read(digits, sizeof digits)) {
        return 0;
    }
    uint32_t serial = 0;
    for (char c : digits) {
        uint32_t v;
        if (c >= '0' && c <= '9') {
            v = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            v = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return 0;
        }
        serial = (serial << 4) | v;
    }
    return serial;
}

uint32_t MachineNumberFromSerial(uint32_t serial) {
    auto value = static_cast<int32_t>(serial ^ 0xFFFFu);
    // The absolute value of INT32_MIN does not exist; it stays as it is, as
    // the unsigned reading of the original arithmetic gives.
    if (value == INT32_MIN) {
        return static_cast<uint32_t>(value);
    }
    return static_cast<uint32_t>(value < 0 ? -value : value);
}

uint32_t GetMachineNumber() {
    static const uint32_t number = MachineNumberFromSerial(ReadVolumeSerial());
    return number;
}

std::string Scramble(const std::string& text, bool scramble, uint32_t m) {
    auto n = static_cast<uint32_t>(text.size());
    uint32_t dOdd = (m + n) % 10;
    uint32_t dEven = (m - n) % 10;
    if (n % 10 == 0) {
        dOdd = dEven = 6;
    }
    uint32_t aOdd = (m + n) % 26;
    uint32_t aEven = (m - n) % 26;

    std::string work = text;
    if (!scramble) {
        work.assign(text.rbegin(), text.rend());
    }
    for (size_t i = 0; i < work.size(); ++i) {
        bool odd = (i % 2) == 1;
        int digitShift = static_cast<int>(odd ? dOdd : dEven);
        int letterShift = static_cast<int>(odd ? aOdd : aEven);
        if (!scramble) {
            digitShift = -digitShift;
            letterShift = -letterShift;
        }
        char c = work[i];
        auto shift = [](char ch, char first, int span, int by) {
            int v = (ch - first) + by;
            if (v >= span) {
                v -= span;
            } else if (v < 0) {
                v += span;
            }
            return static_cast<char>(first + v);
        };
        if (c >= '0' && c <= '9') {
            work[i] = shift(c, '0', 10, digitShift);
        } else if (c >= 'A' && c <= 'Z') {
            work[i] = shift(c, 'A', 26, letterShift);
        } else if (c >= 'a' && c <= 'z') {
            work[i] = shift(c, 'a', 26, letterShift);
        }
    }
    if (scramble) {
        return std::string(work.rbegin(), work.rend());
    }
    return work;
}
