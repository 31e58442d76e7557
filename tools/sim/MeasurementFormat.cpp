#include "MeasurementFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace SensorSim {

namespace {
constexpr int kDecimalWidth = 7;
constexpr long long kMaxMillimetres = 0x07FFFFFF;
constexpr long long kMinMillimetres = -0x08000000;

std::string printFixed(double value, int decimals) {
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, "%0*.*f", kDecimalWidth, decimals, value);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(std::min(length, 63))) : std::string();
}
} // namespace

std::string formatDecimalDistance(double metres) {
    if (!std::isfinite(metres))
        metres = 0.0;
    for (int decimals = 3; decimals >= 0; --decimals) {
        std::string text = printFixed(metres, decimals);
        if (text.size() == kDecimalWidth)
            return text;
    }
    return metres < 0 ? "-999999" : "9999999";
}

std::string formatHexDistance(double metres) {
    if (!std::isfinite(metres))
        metres = 0.0;
    const long long millimetres = std::clamp(std::llround(std::clamp(metres, -1.0e6, 1.0e6) * 1000.0),
                                             kMinMillimetres, kMaxMillimetres);
    const auto bits = static_cast<uint32_t>(millimetres) & 0x0FFFFFFFU;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "x%07X", static_cast<unsigned>(bits));
    return buffer;
}

std::string formatTemperature(int celsius) {
    const int clamped = std::clamp(celsius, -99, 99);
    const int magnitude = std::abs(clamped);
    return {clamped < 0 ? '-' : '+', static_cast<char>('0' + magnitude / 10),
            static_cast<char>('0' + magnitude % 10)};
}

} // namespace SensorSim
