#include "SimulatedParameters.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <sstream>

namespace SensorSim {

namespace {

enum class EKind : uint8_t {
    integer,   // whole number within [min, max]
    choice,    // one of the texts in `choices`
    number,    // one decimal number ("." as decimal point)
    numbers,   // `count` decimal numbers separated by blanks
    baudRate,  // one of the serial speeds the sensor supports
    autostart, // a lower-case command name that can run at power-up
};

struct SEntry {
    const char* mnemonic;
    const char* label;
    EKind kind;
    const char* factoryValue;
    long min;
    long max;
    unsigned count;
    bool largerModelsOnly;
};

// In dump order. OF must stay last: its line closes the dump.
const std::array<SEntry, 18> kEntries = {{
    {"SA", "Average value", EKind::integer, "1", 1, 20, 0, false},
    {"SD", "Display format", EKind::choice, "d", 0, 0, 0, false},
    {"ST", "Measure time", EKind::integer, "0", 0, 25, 0, false},
    {"SF", "Scale factor", EKind::number, "1", 0, 0, 0, false},
    {"SE", "Error mode", EKind::integer, "0", 0, 2, 0, false},
    {"AC", "Alarm centre", EKind::number, "0", 0, 0, 0, false},
    {"AH", "Alarm hysteresis", EKind::number, "0.1", 0, 0, 0, false},
    {"AW", "Alarm width", EKind::number, "1", 0, 0, 0, false},
    {"RB", "Range begin (4 mA)", EKind::number, "0", 0, 0, 0, false},
    {"RE", "Range end (20 mA)", EKind::number, "10", 0, 0, 0, false},
    {"RM", "Remove measurement", EKind::numbers, "0 0 0", 0, 0, 3, false},
    {"TD", "Trigger delay", EKind::numbers, "0 0", 0, 0, 2, false},
    {"TM", "Trigger mode", EKind::numbers, "0 0", 0, 0, 2, false},
    {"BR", "Baud rate", EKind::baudRate, "9600", 0, 0, 0, false},
    {"AS", "Autostart", EKind::autostart, "id", 0, 0, 0, false},
    {"FA", "Alarm 2", EKind::number, "0", 0, 0, 0, true},
    {"FB", "Alarm 3", EKind::number, "0", 0, 0, 0, true},
    {"OF", "Offset", EKind::number, "0", 0, 0, 0, false},
}};

constexpr std::size_t kDumpValueColumn = 30;

bool parseNumber(const std::string& text, double& value) {
    if (text.empty())
        return false;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (*first == '+')
        ++first;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
    return error == std::errc() && end == last && std::isfinite(value);
}

bool parseInteger(const std::string& text, long& value) {
    if (text.empty())
        return false;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    return error == std::errc() && end == last;
}

bool isAcceptable(const SEntry& entry, const std::string& value, EModel model) {
    switch (entry.kind) {
    case EKind::integer: {
        long number = 0;
        return parseInteger(value, number) && number >= entry.min && number <= entry.max;
    }
    case EKind::choice:
        return value == "d" || value == "h";
    case EKind::number: {
        double number = 0.0;
        return parseNumber(value, number);
    }
    case EKind::numbers: {
        std::istringstream stream(value);
        std::string part;
        unsigned parts = 0;
        double number = 0.0;
        while (stream >> part) {
            if (!parseNumber(part, number))
                return false;
            ++parts;
        }
        return parts == entry.count && value.find_first_not_of("0123456789.+- ") == std::string::npos;
    }
    case EKind::baudRate: {
        static constexpr std::array<long, 7> kRates = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
        long rate = 0;
        return parseInteger(value, rate) && std::find(kRates.begin(), kRates.end(), rate) != kRates.end();
    }
    case EKind::autostart: {
        static const std::array<std::string, 7> kNames = {"id", "dt", "ds", "dw", "dx", "df", "dm"};
        // A mode the model does not run cannot start at power-up either.
        if (value == "dx" && model == EModel::Vkr25Xt)
            return false;
        return std::find(kNames.begin(), kNames.end(), value) != kNames.end();
    }
    }
    return false;
}

} // namespace

CSimulatedParameters::CSimulatedParameters(EModel model) : m_model_(model) {
    reset();
}

std::optional<std::size_t> CSimulatedParameters::indexOf_(const std::string& mnemonic) const {
    for (std::size_t index = 0; index < kEntries.size(); ++index) {
        const SEntry& entry = kEntries[index];
        if (mnemonic == entry.mnemonic) {
            if (entry.largerModelsOnly && !hasAlarms2And3())
                return std::nullopt;
            return index;
        }
    }
    return std::nullopt;
}

bool CSimulatedParameters::has(const std::string& mnemonic) const {
    return indexOf_(mnemonic).has_value();
}

std::string CSimulatedParameters::get(const std::string& mnemonic) const {
    const std::optional<std::size_t> index = indexOf_(mnemonic);
    return index ? m_values_[*index] : std::string();
}

bool CSimulatedParameters::set(const std::string& mnemonic, const std::string& value) {
    const std::optional<std::size_t> index = indexOf_(mnemonic);
    if (!index || !isAcceptable(kEntries[*index], value, m_model_))
        return false;
    m_values_[*index] = value;
    return true;
}

void CSimulatedParameters::reset() {
    m_values_.clear();
    for (const SEntry& entry : kEntries)
        m_values_.emplace_back(entry.factoryValue);
}

std::vector<std::string> CSimulatedParameters::getDumpOrder() const {
    std::vector<std::string> order;
    for (const SEntry& entry : kEntries) {
        if (has(entry.mnemonic))
            order.emplace_back(entry.mnemonic);
    }
    return order;
}

std::string CSimulatedParameters::formatDumpLine(const std::string& mnemonic) const {
    const std::optional<std::size_t> index = indexOf_(mnemonic);
    if (!index)
        return {};
    const SEntry& entry = kEntries[*index];
    std::string line = std::string("[") + entry.mnemonic + "] " + entry.label;
    line.append(std::max<std::size_t>(2, kDumpValueColumn - std::min(line.size(), kDumpValueColumn)), '.');
    return line + get(mnemonic);
}

double CSimulatedParameters::getScaleFactor() const {
    double value = 1.0;
    parseNumber(get("SF"), value);
    return value;
}

double CSimulatedParameters::getOffset() const {
    double value = 0.0;
    parseNumber(get("OF"), value);
    return value;
}

} // namespace SensorSim
