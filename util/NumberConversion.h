#pragma once

#include "BadConversion.h"

#include <ios>
#include <limits>
#include <string>
#include <type_traits>

namespace NorvEngineering::Util::String {

namespace NumberReading {

// The white space that stream extraction skips in the classic locale.
constexpr bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr const char* skipBlanks(const char* at, const char* end) {
    while (at != end && isBlank(*at))
        ++at;
    return at;
}

constexpr int digitValue(char c, int base) {
    if (c >= '0' && c <= '9')
        return c - '0' < base ? c - '0' : -1;
    if (base != 16)
        return -1;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads an integer of type Wide where stream extraction would, without the blanks
// in front: an optional sign (a minus on an unsigned type wraps, as it does there),
// in base 16 an optional "0x" that must be followed by a digit, then digits up to
// the first other character. Overflow and the absence of any digit fail. Returns
// where reading stopped, or nullptr on failure.
template <typename Wide>
const char* readInteger(const char* at, const char* end, int base, Wide& value) {
    using Unsigned = std::make_unsigned_t<Wide>;
    bool negative = false;
    if (at != end && (*at == '-' || *at == '+')) {
        negative = *at == '-';
        ++at;
    }
    // Leading zeros, and the "0x" of base 16: a zero counts as a digit read, but
    // the zero of a prefix does not once its "x" has been seen.
    bool foundZero = false;
    bool foundDigit = false;
    while (at != end) {
        const char c = *at;
        if (c == '0' && (!foundZero || base == 10)) {
            foundZero = true;
            foundDigit = base != 8;
        } else if (foundZero && (c == 'x' || c == 'X') && base == 16) {
            foundZero = false;
            foundDigit = false;
        } else {
            break;
        }
        ++at;
        if (!foundZero)
            break;
    }
    const Unsigned max =
        negative && std::is_signed_v<Wide>
            ? static_cast<Unsigned>(Unsigned{0} - static_cast<Unsigned>(std::numeric_limits<Wide>::min()))
            : static_cast<Unsigned>(std::numeric_limits<Wide>::max());
    const auto unsignedBase = static_cast<Unsigned>(base);
    const Unsigned beforeLastDigit = max / unsignedBase;
    Unsigned result = 0;
    bool overflow = false;
    for (; at != end; ++at) {
        const int digit = digitValue(*at, base);
        if (digit < 0)
            break;
        foundDigit = true;
        if (result > beforeLastDigit) {
            overflow = true;
            continue;
        }
        result = static_cast<Unsigned>(result * unsignedBase);
        overflow |= result > max - static_cast<Unsigned>(digit);
        result = static_cast<Unsigned>(result + static_cast<Unsigned>(digit));
    }
    if ((!foundDigit && !foundZero) || overflow)
        return nullptr;
    value = static_cast<Wide>(negative ? static_cast<Unsigned>(Unsigned{0} - result) : result);
    return at;
}

// Reads a floating-point number where stream extraction would, without the blanks
// in front: an optional sign, digits with at most one decimal point, then an
// optional exponent ("e" or "E", an optional sign, digits). Stream extraction takes
// in all of that and fails unless it holds a digit before the exponent and, when
// there is an exponent, a digit in it; a value beyond the type's range fails, one
// too small for it reads as the C library rounds it. Returns where reading
// stopped, or nullptr on failure.
const char* readFloating(const char* at, const char* end, float& value);
const char* readFloating(const char* at, const char* end, double& value);

// What stream extraction reads a T as: short and int are read as long and then
// checked against their range.
template <typename T>
using Extracted = std::conditional_t<std::is_same_v<T, short> || std::is_same_v<T, int>, long, T>;

inline int baseOf(std::ios_base& (*base)(std::ios_base&)) {
    if (base == std::hex)
        return 16;
    if (base == std::oct)
        return 8;
    return 10;
}

// The types a stream reads as numbers (characters and bool it reads otherwise).
template <typename T>
constexpr bool isReadable =
    std::is_same_v<T, short> || std::is_same_v<T, unsigned short> || std::is_same_v<T, int> ||
    std::is_same_v<T, unsigned> || std::is_same_v<T, long> || std::is_same_v<T, unsigned long> ||
    std::is_same_v<T, long long> || std::is_same_v<T, unsigned long long> || std::is_same_v<T, float> ||
    std::is_same_v<T, double>;

} // namespace NumberReading

// Reads a number the way every sensor value is read: as standard stream extraction
// in the classic locale reads it ("." as decimal point, leading white space
// skipped, an optional sign, an exponent for floating point), with the whole text
// taken: it fails when nothing could be read or when a further non-blank character
// follows the number. On failure the target is left untouched. `base` is std::dec,
// std::hex or std::oct and matters to integers only, as it does to a stream.
template <typename T>
bool tryReadNumber(const std::string& text, T& target, std::ios_base& (*base)(std::ios_base&) = std::dec) {
    namespace NR = NumberReading;
    static_assert(NR::isReadable<T>, "a number type that stream extraction reads as a number");
    const char* const end = text.data() + text.size();
    const char* at = NR::skipBlanks(text.data(), end);
    T value{};
    if constexpr (std::is_floating_point_v<T>) {
        at = NR::readFloating(at, end, value);
    } else {
        NR::Extracted<T> wide{};
        at = NR::readInteger(at, end, NR::baseOf(base), wide);
        if constexpr (!std::is_same_v<NR::Extracted<T>, T>) {
            if (wide < std::numeric_limits<T>::min() || wide > std::numeric_limits<T>::max())
                return false;
        }
        value = static_cast<T>(wide);
    }
    if (at == nullptr || NR::skipBlanks(at, end) != end)
        return false;
    target = value;
    return true;
}

// The same, throwing CBadConversion carrying the text when the text is no number.
template <typename T>
T readNumber(const std::string& text, std::ios_base& (*base)(std::ios_base&) = std::dec) {
    T value{};
    if (!tryReadNumber(text, value, base))
        throw CBadConversion(text);
    return value;
}

} // namespace NorvEngineering::Util::String
