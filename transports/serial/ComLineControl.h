#pragma once

#include "EnumSet.h"

#include <cstdint>
#include <functional>

namespace NorvEngineering::Serial {

// The modem input lines that are on.
enum TModemStatusValue : uint8_t { msCTS, msDSR, msRing, msRLSD };
using TModemStatus = TEnumSet<TModemStatusValue>;

// The modem-status set of the lines that TIOCMGET reports on (TIOCM_ bits).
TModemStatus ModemStatusFromLines(int lines);

// The system calls behind the port's direct line control and ModemStatus. Each
// returns 0, or -1 with errno set, as the system calls do. A port uses the system's
// own unless it is given others: a driver with requests of its own, or a check of
// what the port asks for on a device that has no modem lines.
struct TLineControlCalls {
    std::function<int(int fd, int& lines)> getModemLines;         // TIOCMGET
    std::function<int(int fd, int lines, bool on)> setModemLines; // TIOCMBIS / TIOCMBIC
    std::function<int(int fd, bool on)> setBreak;                 // TIOCSBRK / TIOCCBRK
    std::function<int(int fd, int action)> flow;                  // tcflow

    static TLineControlCalls System();
};

} // namespace NorvEngineering::Serial
