// Feeds arbitrary bytes, cut into chunks, through the line processor and checks what
// the drivers rely on: the buffer never holds more than it may, every reply ends at a
// delimiter, and with the line feed the drivers use every complete reply of at most
// kMaxBuffered characters is parsed exactly once, in order, and nothing else is: no
// reply is ever made of a part of a longer one, wherever the chunks cut it.
//
// Input: a mode byte (delimiter set; whether the parser also clears the buffer), two
// bytes of chunk size (up to twice the receive size), then the stream. A chunk ends
// where it reaches that size and at every byte 0xFC, which is not part of the stream
// (two in a row feed an empty chunk), so that the fuzzer chooses where long lines are
// cut. The byte 0xFE stands for 1000 'x' and 0xFD for 4093 'y', so that short inputs
// reach the limits.
#include "SensorLib.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;

namespace {

class CheckingProcessor : public CLaserProcessor {
public:
    CheckingProcessor(const std::string& delimiters, bool clearing)
        : CLaserProcessor(delimiters), m_clearing_(clearing) {}

    void parseReply(std::string& reply) override {
        if (!getDelimiters().empty() &&
            (reply.find_first_of(getDelimiters()) == std::string::npos || reply.size() > kMaxBuffered))
            std::abort();
        replies.push_back(reply);
        appendTrace(reply.substr(0, reply.size() % 7));
        if (m_clearing_ && reply.size() % 5 == 0)
            clearBuffer();
    }
    void notifyDataUpdate() override {
        if (getTrace().size() > kTraceLimit && getTrace().size() >= kReceiveBufferSize)
            std::abort();
        takeTrace();
        ++updates;
    }
    std::vector<std::string> replies;
    std::size_t updates = 0;

private:
    bool m_clearing_;
};

// Long enough for several overlong lines and full chunks, short enough to stay fast.
constexpr std::size_t kMaxStream = 8 * kReceiveBufferSize;

constexpr uint8_t kChunkEnd = 0xFC;

struct Input {
    std::string stream;
    std::vector<std::size_t> chunkEnds; // where a marker ended a chunk, in order
};

Input expand(const uint8_t* data, std::size_t size) {
    Input input;
    for (std::size_t i = 0; i < size && input.stream.size() < kMaxStream; ++i) {
        if (data[i] == kChunkEnd)
            input.chunkEnds.push_back(input.stream.size());
        else if (data[i] == 0xFE)
            input.stream.append(1000, 'x');
        else if (data[i] == 0xFD)
            input.stream.append(4093, 'y');
        else
            input.stream.push_back(static_cast<char>(data[i]));
    }
    return input;
}

// What a line-feed processor must parse from `stream`, however it is cut into chunks:
// each complete line that fits, and nothing of a longer one.
std::vector<std::string> expectedLines(const std::string& stream) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; (end = stream.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (end - start + 1 <= kMaxBuffered)
            lines.push_back(stream.substr(start, end - start + 1));
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    static const std::string kSets[] = {"\n", "\r\n", std::string("\n\x15", 2), ""};
    const std::string& delimiters = kSets[data[0] % 4];
    const bool clearing = (data[0] & 0x10) != 0;
    const std::size_t chunk =
        1 + (static_cast<std::size_t>(data[1]) << 8 | data[2]) % (2 * kReceiveBufferSize);
    const Input input = expand(data + 3, size - 3);
    const std::string& stream = input.stream;

    CheckingProcessor processor(delimiters, clearing);
    const auto feed = [&](std::size_t at, std::size_t n) {
        processor.feed(stream.data() + at, static_cast<unsigned int>(n));
        if (processor.getBuffer().size() > kMaxBuffered)
            std::abort();
    };
    std::size_t at = 0;
    for (const std::size_t end : input.chunkEnds) {
        for (; end - at > chunk; at += chunk)
            feed(at, chunk);
        feed(at, end - at);
        at = end;
    }
    for (; at < stream.size(); at += chunk)
        feed(at, std::min(chunk, stream.size() - at));
    if (processor.updates != processor.replies.size() && !delimiters.empty())
        std::abort();
    if (delimiters == "\n" && !clearing && processor.replies != expectedLines(stream))
        std::abort();
    return 0;
}
