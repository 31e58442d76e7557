#pragma once

#include <cstdint>

namespace NorvEngineering::Serial {

// The serial line settings of the port. Each begins with a default value that leaves
// the device's current setting alone; the settings store keeps their ordinals, so
// the order never changes.

enum TBaudRate : uint8_t {
    brDefault,
    br50,
    br75,
    br110,
    br150,
    br300,
    br600,
    br1200,
    br1800,
    br2000,
    br2400,
    br3600,
    br4800,
    br7200,
    br9600,
    br10400,
    br14400,
    br15625,
    br19200,
    br28800,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom
};

enum TDataBits : uint8_t { dbDefault, db4, db5, db6, db7, db8 };

enum TStopBits : uint8_t { sbDefault, sb1, sb1_5, sb2 };

enum TParity : uint8_t { paDefault, paNone, paOdd, paEven, paMark, paSpace };

// The number of bits per second that a named rate stands for; 0 for brDefault and
// brCustom, which carry no number of their own.
constexpr int32_t baudRateValue(TBaudRate rate) {
    constexpr int32_t kRates[] = {0,     50,    75,    110,   150,   300,    600,    1200,   1800,
                                  2000,  2400,  3600,  4800,  7200,  9600,   10400,  14400,  15625,
                                  19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000, 0};
    return rate <= brCustom ? kRates[rate] : 0;
}

} // namespace NorvEngineering::Serial
