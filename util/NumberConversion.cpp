#include "NumberConversion.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <locale.h> // newlocale
#include <stdlib.h> // strtod_l, strtof_l

namespace NorvEngineering::Util::String::NumberReading {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A number as stream extraction takes it in, and, when it is small enough, its
// value as digits and a power of ten.
struct SDecimal {
    const char* end = nullptr; // nullptr: stream extraction fails
    bool negative = false;
    bool exact = true; // mantissa and exponent hold the number
    std::uint64_t mantissa = 0;
    std::int64_t exponent = 0;
};

// What stream extraction takes in, in its order: an optional sign, digits, a
// decimal point and more digits, then, after at least one digit, an "e" or "E" with
// an optional sign and digits.
SDecimal scanDecimal(const char* at, const char* end) {
    constexpr std::uint64_t kMantissaRoom = (UINT64_MAX - 9) / 10;
    constexpr std::int64_t kExponentRoom = 1'000'000;
    // Locals rather than the result's fields: the compiler may keep them in
    // registers, as the characters read cannot alias them.
    bool negative = false;
    bool exact = true;
    std::uint64_t mantissa = 0;
    std::int64_t exponent = 0;
    if (at != end && (*at == '+' || *at == '-')) {
        negative = *at == '-';
        ++at;
    }
    const auto takeDigit = [&](char c, std::int64_t exponentStep) {
        if (mantissa <= kMantissaRoom) {
            mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
            exponent += exponentStep;
        } else {
            exact = false;
        }
    };
    const char* const mantissaStart = at;
    for (; at != end && isDigit(*at); ++at)
        takeDigit(*at, 0);
    bool mantissaDigit = at != mantissaStart;
    if (at != end && *at == '.') {
        const char* const fractionStart = ++at;
        for (; at != end && isDigit(*at); ++at)
            takeDigit(*at, -1);
        mantissaDigit = mantissaDigit || at != fractionStart;
    }
    if (!mantissaDigit)
        return {};
    if (at != end && (*at == 'e' || *at == 'E')) {
        ++at;
        bool negativeExponent = false;
        if (at != end && (*at == '+' || *at == '-')) {
            negativeExponent = *at == '-';
            ++at;
        }
        const char* const exponentStart = at;
        std::int64_t written = 0;
        for (; at != end && isDigit(*at); ++at) {
            if (written < kExponentRoom)
                written = written * 10 + (*at - '0');
        }
        // Taken in but not a number: "1e", "1e+".
        if (at == exponentStart)
            return {};
        exponent += negativeExponent ? -written : written;
        exact = exact && written < kExponentRoom;
    }
    return {at, negative, exact, mantissa, exponent};
}

// The "C" locale for the C library's conversions, whatever the program has set as
// its own: sensors always send a decimal point.
locale_t classicLocale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

// How stream extraction converts what it has taken in: the C library in the "C"
// locale, an infinite result failing. Only numbers beyond the type's range come
// here, so a copy is fine.
template <typename Floating, typename Convert>
bool convertWithCLibrary(const char* first, const char* last, Floating& value, Convert convert) {
    const std::string text(first, last);
    char* stop = nullptr;
    const Floating read = convert(text.c_str(), &stop, classicLocale());
    if (stop != text.c_str() + text.size() || std::isinf(read))
        return false;
    value = read;
    return true;
}

bool convertWithCLibrary(const char* first, const char* last, float& value) {
    return convertWithCLibrary(first, last, value, ::strtof_l);
}
bool convertWithCLibrary(const char* first, const char* last, double& value) {
    return convertWithCLibrary(first, last, value, ::strtod_l);
}

// Digits and powers of ten that the type holds exactly: then one multiplication or
// division, rounded once, gives the nearest value, as the C library's conversion
// does (the digits of a sensor's value always fit).
// Each operation must round once, to its own type: no wider evaluation.
static_assert(FLT_EVAL_METHOD == 0, "float and double arithmetic evaluated in their own types");
template <typename Floating>
struct SExactRange;
template <>
struct SExactRange<double> {
    static constexpr std::uint64_t kMantissa = std::uint64_t{1} << 53;
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
};
template <>
struct SExactRange<float> {
    static constexpr std::uint64_t kMantissa = std::uint64_t{1} << 24;
    static constexpr float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
};

template <typename Floating>
const char* readFloatingAs(const char* at, const char* end, Floating& value) {
    using Exact = SExactRange<Floating>;
    constexpr auto kLargestPower = static_cast<std::int64_t>(std::size(Exact::kPowers)) - 1;
    const SDecimal number = scanDecimal(at, end);
    if (number.end == nullptr)
        return nullptr;
    if (number.exact && number.mantissa <= Exact::kMantissa && number.exponent >= -kLargestPower &&
        number.exponent <= kLargestPower) {
        const auto mantissa = static_cast<Floating>(number.mantissa);
        const Floating power = Exact::kPowers[number.exponent < 0 ? -number.exponent : number.exponent];
        const Floating magnitude = number.exponent < 0 ? mantissa / power : mantissa * power;
        value = number.negative ? -magnitude : magnitude;
        return number.end;
    }
    // Many digits or a large exponent: still correctly rounded, but slower. from_chars
    // takes no '+'.
    const char* first = *at == '+' ? at + 1 : at;
    Floating read{};
    const auto [stop, error] = std::from_chars(first, number.end, read, std::chars_format::general);
    if ((error != std::errc{} || stop != number.end) && !convertWithCLibrary(at, number.end, read))
        return nullptr;
    value = read;
    return number.end;
}

} // namespace

const char* readFloating(const char* at, const char* end, float& value) {
    return readFloatingAs(at, end, value);
}

const char* readFloating(const char* at, const char* end, double& value) {
    return readFloatingAs(at, end, value);
}

} // namespace NorvEngineering::Util::String::NumberReading
