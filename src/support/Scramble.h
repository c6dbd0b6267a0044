#pragma once

#include <cstdint>
#include <string>

// A number fixed for this installation: the first 8 hex digits of
// /etc/machine-id stand for the volume serial (0 when unreadable), XOR 0xFFFF,
// then the absolute value of that as a signed 32-bit number.
uint32_t GetMachineNumber();
// The same from a given serial, so tests and other tools can compute it.
uint32_t MachineNumberFromSerial(uint32_t serial);
// Reads the serial from a machine-id file; 0 when missing or malformed.
uint32_t ReadVolumeSerial(const std::string& machineIdPath = "/etc/machine-id");

// Reversible shift of digits and letters, keyed by the machine number.
// Scramble(Scramble(t, true, m), false, m) == t for every text.
std::string Scramble(const std::string& text, bool scramble, uint32_t machineNumber);
inline std::string Scramble(const std::string& text, bool scramble) {
    return Scramble(text, scramble, GetMachineNumber());
}
