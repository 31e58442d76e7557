// Typed and text transfers: all of them go through Read and Write, so the open
// check, the before and after events, the completion of the previous transfer and
// the line-error check apply to them as to any block transfer.
#include "ComPort.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace NorvEngineering::Serial {

namespace {

template <typename T>
T readValue(TCustomComPort& port) {
    unsigned char bytes[sizeof(T)] = {};
    port.Read(bytes, static_cast<int32_t>(sizeof bytes), true);
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

char TCustomComPort::ReadChar() {
    return readValue<char>(*this);
}

uint8_t TCustomComPort::ReadByte() {
    return readValue<uint8_t>(*this);
}

uint16_t TCustomComPort::ReadWord() {
    return readValue<uint16_t>(*this);
}

uint32_t TCustomComPort::ReadDWord() {
    return readValue<uint32_t>(*this);
}

// Write copies the bytes before it returns, so a value on the stack may go at once.
void TCustomComPort::WriteChar(char value) {
    Write(&value, 1, false);
}

void TCustomComPort::WriteByte(uint8_t value) {
    Write(&value, 1, false);
}

void TCustomComPort::WriteWord(uint16_t value) {
    Write(&value, sizeof value, false);
}

void TCustomComPort::WriteDWord(uint32_t value) {
    Write(&value, sizeof value, false);
}

std::string TCustomComPort::ReadUntil(char last) {
    std::string text;
    do
        text.push_back(ReadChar());
    while (text.back() != last);
    return text;
}

std::string TCustomComPort::ReadLine() {
    return ReadUntil('\r');
}

std::string TCustomComPort::ReadString() {
    WaitForReadCompletion();
    std::string text(static_cast<std::size_t>(std::max(InputCount(), 0)), '\0');
    Read(text.data(), static_cast<int32_t>(text.size()), true);
    return text;
}

void TCustomComPort::WriteString(const std::string& text) {
    // A count is 32 bits wide; a longer text goes in pieces, each write finishing
    // the one before it.
    constexpr std::size_t kMaxPiece = std::numeric_limits<int32_t>::max();
    std::size_t offset = 0;
    do {
        const std::size_t piece = std::min(text.size() - offset, kMaxPiece);
        Write(text.data() + offset, static_cast<int32_t>(piece), false);
        offset += piece;
    } while (offset < text.size());
}

} // namespace NorvEngineering::Serial
