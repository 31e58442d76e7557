#include "ReplyReading.h"

#include "NumberConversion.h"
#include "SensorLibError.h"

#include <array>

namespace NorvEngineering::SensorLib::ReplyReading {

using Util::String::CBadConversion;

namespace {
// The line end every reply carries and no value includes.
constexpr std::size_t kLineEnd = 2;
constexpr std::size_t kMnemonic = 2;

// The value of each hexadecimal digit, -1 for any other character: one look-up a
// character on the measuring path of the hexadecimal display format.
constexpr std::array<int8_t, 256> kHexDigits = [] {
    std::array<int8_t, 256> digits{};
    digits.fill(-1);
    for (std::size_t c = 0; c < 10; ++c)
        digits['0' + c] = static_cast<int8_t>(c);
    for (std::size_t c = 0; c < 6; ++c) {
        digits['a' + c] = static_cast<int8_t>(10 + c);
        digits['A' + c] = static_cast<int8_t>(10 + c);
    }
    return digits;
}();

int hexDigitValue(char c) {
    return kHexDigits[static_cast<unsigned char>(c)];
}
} // namespace

std::string textAt(const std::string& reply, std::size_t pos, std::size_t count) {
    if (pos >= reply.size())
        return {};
    return reply.substr(pos, count);
}

char charAt(const std::string& reply, std::size_t pos) {
    return pos < reply.size() ? reply[pos] : '\0';
}

std::string valueText(const std::string& reply) {
    if (reply.size() < kMnemonic + kLineEnd)
        return textAt(reply, kMnemonic, std::string::npos);
    return reply.substr(kMnemonic, reply.size() - kMnemonic - kLineEnd);
}

std::optional<SDumpValue> findDumpValue(const std::string& line) {
    const std::size_t dots = line.rfind("..");
    if (dots == std::string::npos)
        return std::nullopt;
    const std::size_t start = dots + 2;
    if (line.size() < start + kLineEnd)
        return SDumpValue{start, textAt(line, start, std::string::npos)};
    return SDumpValue{start, line.substr(start, line.size() - start - kLineEnd)};
}

bool isErrorReply(const std::string& reply) {
    return CVkr25Error::isErrorReply(reply);
}

int16_t readInt16(const std::string& text) {
    long value = 0;
    if (!Util::String::tryReadNumber(text, value) || value < -32768 || value > 65535)
        throw CBadConversion(text);
    return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF));
}

uint16_t readUInt16(const std::string& text) {
    return Util::String::readNumber<uint16_t>(text);
}

double readDouble(const std::string& text) {
    return Util::String::readNumber<double>(text);
}

int32_t readHexMillimetres(const std::string& text) {
    std::size_t pos = 0;
    // The blanks of stream extraction in the classic locale, whatever locale the
    // program runs in.
    while (pos < text.size() && Util::String::NumberReading::isBlank(text[pos]))
        ++pos;
    uint32_t value = 0;
    std::size_t digits = 0;
    for (; pos < text.size(); ++pos, ++digits) {
        const int digit = hexDigitValue(text[pos]);
        if (digit < 0)
            break;
        if (digits == 8) // more than 32 bits: no distance the sensor can send
            throw CBadConversion(text);
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    if (digits == 0)
        throw CBadConversion(text);
    // Bit 27 is the sign of the sensor's 28-bit two's complement.
    if ((value & 0x08000000U) != 0)
        value |= 0xF0000000U;
    return static_cast<int32_t>(value);
}

double readHexDistance(const std::string& text) {
    // The product is formed in extended precision, so that the stored double is the
    // one nearest to the exact number of metres.
    return static_cast<double>(static_cast<long double>(readHexMillimetres(text)) * 0.001L);
}

} // namespace NorvEngineering::SensorLib::ReplyReading
