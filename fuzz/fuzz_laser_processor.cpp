// Feeds arbitrary bytes, cut into chunks of one size (up to twice the receive size),
// through the line processor and checks what the drivers rely on: the buffer never
// holds more than it may, every reply ends at a delimiter, and with the line feed the
// drivers use every complete reply of at most kMaxBuffered characters is parsed
// exactly once, in order, whatever the chunk size.
//
// Input: a mode byte (delimiter set; whether the parser also clears the buffer), two
// bytes of chunk size, then the stream. The byte 0xFE stands for 1000 'x' and 0xFD for
// 4093 'y', so that short inputs reach the limits.
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

std::string expand(const uint8_t* data, std::size_t size) {
    std::string stream;
    for (std::size_t i = 0; i < size && stream.size() < kMaxStream; ++i) {
        if (data[i] == 0xFE)
            stream.append(1000, 'x');
        else if (data[i] == 0xFD)
            stream.append(4093, 'y');
        else
            stream.push_back(static_cast<char>(data[i]));
    }
    return stream;
}

// What a line-feed processor must parse from `stream` fed in chunks of `chunk` bytes:
// each complete line that fits, and of a longer one at most its tail, which is read
// as a line when the line's end comes in a later chunk than the overflow.
std::vector<std::string> expectedLines(const std::string& stream, std::size_t chunk) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; (end = stream.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::size_t from = start;
        for (;;) {
            if (end - from + 1 <= kMaxBuffered) {
                lines.push_back(stream.substr(from, end - from + 1));
                break;
            }
            // The character that does not fit, and the end of the chunk it came in.
            const std::size_t overflow = from + kMaxBuffered;
            const std::size_t chunkEnd = (overflow / chunk + 1) * chunk;
            if (end < chunkEnd)
                break;
            from = chunkEnd;
        }
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
    const std::string stream = expand(data + 3, size - 3);

    CheckingProcessor processor(delimiters, clearing);
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::size_t n = std::min(chunk, stream.size() - at);
        processor.feed(stream.data() + at, static_cast<unsigned int>(n));
        if (processor.getBuffer().size() > kMaxBuffered)
            std::abort();
    }
    if (processor.updates != processor.replies.size() && !delimiters.empty())
        std::abort();
    if (delimiters == "\n" && !clearing && processor.replies != expectedLines(stream, chunk))
        std::abort();
    return 0;
}
