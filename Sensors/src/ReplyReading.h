#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Reading the replies of the Vkr25-family sensors. A reply is one line as the
// processor cut it, line end (CR LF) included. Every position here is counted from
// the start of the reply, and nothing ever reads past its end: a text taken at or
// beyond the end is empty, a character taken there is NUL.
namespace NorvEngineering::SensorLib::ReplyReading {

// Up to `count` characters from `pos`; fewer near the end, none beyond it.
std::string textAt(const std::string& reply, std::size_t pos, std::size_t count);
// The character at `pos`, or NUL beyond the end.
char charAt(const std::string& reply, std::size_t pos);

// The value of a parameter echo: the reply without the two-letter mnemonic in
// front and without the line end (its last two characters).
std::string valueText(const std::string& reply);

// One line of the parameter dump: a bracketed marker, a run of dots, the value.
struct SDumpValue {
    std::size_t start; // index of the first character after the last ".."
    std::string value; // from there up to the line end
};
// Empty when the line holds no "..".
std::optional<SDumpValue> findDumpValue(const std::string& line);

// Whether the first three characters of a reply are a known error code ("E15").
bool isErrorReply(const std::string& reply);

// Whole-text decimal readings. Each throws CBadConversion carrying the text when
// nothing can be read or when anything but white space follows the number.
// A signed 16-bit reading accepts -32768 to 65535 and keeps the low 16 bits, so
// that the sensors' unsigned values read back with the same bits.
int16_t readInt16(const std::string& text);
uint16_t readUInt16(const std::string& text);
double readDouble(const std::string& text);

// A distance in hexadecimal display format: leading white space skipped, hex digits
// read up to the first other character, the value taken as a 28-bit two's
// complement count of millimetres. A text without any hex digit, the empty one
// included, is not a reading and throws CBadConversion.
int32_t readHexMillimetres(const std::string& text);
double readHexDistance(const std::string& text);

} // namespace NorvEngineering::SensorLib::ReplyReading
