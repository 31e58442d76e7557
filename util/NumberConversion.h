#pragma once

#include "BadConversion.h"

#include <ios>
#include <sstream>
#include <string>

namespace NorvEngineering::Util::String {

// Reads a number the way every sensor value is read: standard stream extraction
// ("." as decimal point, leading white space skipped). Fails when nothing could be
// read or when a further non-blank character follows the number; on failure the
// target is left untouched and CBadConversion carries the text.
template <typename T>
bool tryReadNumber(const std::string& text, T& target, std::ios_base& (*base)(std::ios_base&) = std::dec) {
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    T value{};
    if (!(stream >> base >> value))
        return false;
    char rest = 0;
    if (stream >> rest)
        return false;
    target = value;
    return true;
}

template <typename T>
T readNumber(const std::string& text, std::ios_base& (*base)(std::ios_base&) = std::dec) {
    T value{};
    if (!tryReadNumber(text, value, base))
        throw CBadConversion(text);
    return value;
}

} // namespace NorvEngineering::Util::String
