#include "NumberConversion.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <stdlib.h>

namespace NorvEngineering::Util::String::NumberReading {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The "C" locale for the C library's conversions, whatever the program has set as
// its own: sensors always send a decimal point.
locale_t classicLocale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

template <typename Floating, typename Convert>
bool convertWith(const char* first, const char* last, Floating& value, Convert convert) {
    // Rare: only numbers beyond the type's range come here, so a copy is fine.
    const std::string text(first, last);
    char* stop = nullptr;
    const Floating read = convert(text.c_str(), &stop, classicLocale());
    if (stop != text.c_str() + text.size() || std::isinf(read))
        return false;
    value = read;
    return true;
}

} // namespace

const char* floatingEnd(const char* at, const char* end) {
    if (at != end && (*at == '+' || *at == '-'))
        ++at;
    bool mantissaDigit = false;
    bool exponentDigit = false;
    bool decimalPoint = false;
    bool exponent = false;
    while (at != end) {
        const char c = *at;
        if (isDigit(c)) {
            (exponent ? exponentDigit : mantissaDigit) = true;
        } else if (c == '.' && !decimalPoint && !exponent) {
            decimalPoint = true;
        } else if ((c == 'e' || c == 'E') && !exponent && mantissaDigit) {
            exponent = true;
            // A sign right after the "e" belongs to the exponent; anything else is
            // looked at again as what follows it.
            if (++at == end)
                break;
            if (*at != '+' && *at != '-')
                continue;
        } else {
            break;
        }
        ++at;
    }
    if (!mantissaDigit || (exponent && !exponentDigit))
        return nullptr;
    return at;
}

bool convertFloating(const char* first, const char* last, float& value) {
    return convertWith(first, last, value, ::strtof_l);
}

bool convertFloating(const char* first, const char* last, double& value) {
    return convertWith(first, last, value, ::strtod_l);
}

} // namespace NorvEngineering::Util::String::NumberReading
