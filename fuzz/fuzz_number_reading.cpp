// The number reader against the rule it stands for: standard stream extraction in
// the classic locale, with the whole text taken. Every input is read as every
// number type the library reads, in every base a caller may pass; the first
// difference in success, value (bit for bit) or the untouched target aborts.
#include "NumberConversion.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>

namespace {

using Base = std::ios_base& (*)(std::ios_base&);

template <typename T>
bool streamExtraction(const std::string& text, T& target, Base base) {
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
void compare(const std::string& text, Base base, const char* type, const char* baseName) {
    // A target that no successful reading of a short text can produce, so that an
    // overwritten target shows.
    T expected{};
    std::memset(&expected, 0x5A, sizeof expected);
    T actual = expected;
    const bool expectedRead = streamExtraction(text, expected, base);
    const bool actualRead = NorvEngineering::Util::String::tryReadNumber(text, actual, base);
    if (expectedRead == actualRead && std::memcmp(&expected, &actual, sizeof(T)) == 0)
        return;
    std::fprintf(stderr, "difference reading \"%s\" (%zu bytes) as %s in %s: stream %s, reader %s\n",
                 text.c_str(), text.size(), type, baseName, expectedRead ? "read" : "failed",
                 actualRead ? "read" : "failed");
    std::abort();
}

template <typename T>
void compareAllBases(const std::string& text, const char* type) {
    compare<T>(text, std::dec, type, "dec");
    compare<T>(text, std::hex, type, "hex");
    compare<T>(text, std::oct, type, "oct");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    compareAllBases<short>(text, "short");
    compareAllBases<unsigned short>(text, "unsigned short");
    compareAllBases<int>(text, "int");
    compareAllBases<unsigned>(text, "unsigned");
    compareAllBases<long>(text, "long");
    compareAllBases<unsigned long>(text, "unsigned long");
    compareAllBases<long long>(text, "long long");
    compareAllBases<unsigned long long>(text, "unsigned long long");
    compareAllBases<float>(text, "float");
    compareAllBases<double>(text, "double");
    return 0;
}
