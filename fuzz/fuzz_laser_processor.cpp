// Feeds arbitrary bytes, cut into arbitrary chunks, through the line processor with
// each delimiter set the drivers use, and checks the invariants the drivers rely on.
#include "SensorLib.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace NorvEngineering::SensorLib;

namespace {

class CheckingProcessor : public CLaserProcessor {
public:
    using CLaserProcessor::CLaserProcessor;

    void parseReply(std::string& reply) override {
        if (!getDelimiters().empty() && reply.find_first_of(getDelimiters()) == std::string::npos)
            std::abort();
        parsed += reply.size();
        appendTrace(reply.substr(0, reply.size() % 7));
        if (reply.size() % 5 == 0)
            clearBuffer();
    }
    void notifyDataUpdate() override {
        if (getTrace().size() > kTraceLimit && getTrace().size() >= kReceiveBufferSize)
            std::abort();
        takeTrace();
    }
    std::size_t parsed = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    static const std::string kSets[] = {"\n", "\r\n", std::string("\n\x15", 2), ""};
    CheckingProcessor processor(kSets[data[0] % 4]);
    const std::size_t chunk = 1 + data[1];
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    for (std::size_t at = 0; at + 2 < size; at += chunk) {
        const std::size_t n = std::min(chunk, size - 2 - at);
        processor.feed(bytes + at, static_cast<unsigned int>(n));
        if (processor.getBuffer().size() >= kReceiveBufferSize)
            std::abort();
    }
    return 0;
}
