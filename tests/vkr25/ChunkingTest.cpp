// The parser must give the same results however the transport splits the bytes.

#include "Vkr25TestRig.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>
#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25Test::Rig;

namespace {

// A recorded exchange with a sensor whose auto-start mode is DT. Between its two
// parts the owner asked for a single measurement and the temperature.
const std::string kBeforeRequests = Vkr25Test::kIdLine + Vkr25Test::kPromptLine + Vkr25Test::kDump +
                                    "001.234\r\n001.240\r\nE15\r\n1.2X\r\nstray\r\n001.250\r\n";
const std::string kAfterRequests = "007.500\r\n" // still DT's: dropped, DM goes out
                                   "003.333\r\n" // DM's answer
                                   "+27\r\n"     // TP's answer
                                   "late\r\n";   // nothing in flight: trace

// Everything the driver did that anyone could see.
std::string transcript(const Rig& rig) {
    std::ostringstream out;
    for (const auto& call : rig.sink.calls)
        out << call << ';';
    out << '\n';
    for (const auto& update : rig.sink.updates)
        out << '[' << update << ']';
    out << '\n';
    for (const int code : rig.sink.sensorErrors)
        out << code << ',';
    out << '\n';
    for (const auto& write : rig.iface.writes)
        out << '<' << write << '>';
    const CVkr25::CVkr25Config& config = rig.driver.getConfig();
    out << '\n'
        << rig.driver.getStrDistance() << ' ' << rig.driver.getDistance() << ' '
        << rig.driver.getStrTemperature() << ' ' << int(rig.driver.getCurrentMode()) << ' '
        << int(rig.driver.getPreviousMode()) << ' ' << rig.driver.getQueue().size() << ' '
        << int(rig.driver.getActive()) << ' ' << config.getAverage() << ' ' << config.getStrScaleFactor()
        << ' ' << config.getStrOffset() << ' ' << config.getIdentification();
    return out.str();
}

using Chunker = std::function<std::size_t(std::size_t remaining)>;

void feedChunked(Rig& rig, const std::string& bytes, const Chunker& chunk) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t n = std::clamp<std::size_t>(chunk(bytes.size() - pos), 1, bytes.size() - pos);
        rig.feed(bytes.substr(pos, n));
        pos += n;
    }
}

std::string run(const Chunker& before, const Chunker& after) {
    Rig rig;
    rig.driver.initialize();
    feedChunked(rig, kBeforeRequests, before);
    rig.driver.setMode(CVkr25::lmDM);
    rig.driver.setMode(CVkr25::lmTP);
    feedChunked(rig, kAfterRequests, after);
    return transcript(rig);
}

Chunker whole() {
    return [](std::size_t remaining) { return remaining; };
}
Chunker fixed(std::size_t size) {
    return [size](std::size_t) { return size; };
}
Chunker splitAt(std::size_t first) {
    auto done = std::make_shared<bool>(false);
    return [first, done](std::size_t remaining) {
        if (*done)
            return remaining;
        *done = true;
        return first;
    };
}

} // namespace

TEST(Vkr25Chunking, RecordedExchangeRunsToTheEnd) {
    const std::string result = run(whole(), whole());
    EXPECT_NE(result.find("<\x1B><\x1B><ID><\r><PA><\r><DT><\r><DM><\r><TP><\r>\n"), std::string::npos)
        << result;
    EXPECT_NE(result.find("\n003.333 3.333 27 7 6 0 1 5 1.0936 -0.25 VKR25,SN 12345,V 1.23\r\n"),
              std::string::npos)
        << result;
    EXPECT_NE(result.find("sensorReady"), std::string::npos);
    EXPECT_NE(result.find("\n15,\n"), std::string::npos);
    EXPECT_NE(result.find("[late\r\n]"), std::string::npos);
}

TEST(Vkr25Chunking, EveryFixedChunkSizeGivesTheSameResult) {
    const std::string expected = run(whole(), whole());
    for (std::size_t size = 1; size <= 80; ++size)
        ASSERT_EQ(run(fixed(size), fixed(size)), expected) << "chunk size " << size;
}

TEST(Vkr25Chunking, EverySplitPointGivesTheSameResult) {
    const std::string expected = run(whole(), whole());
    for (std::size_t split = 1; split < kBeforeRequests.size(); ++split)
        ASSERT_EQ(run(splitAt(split), whole()), expected) << "split at " << split;
    for (std::size_t split = 1; split < kAfterRequests.size(); ++split)
        ASSERT_EQ(run(whole(), splitAt(split)), expected) << "split after the requests at " << split;
}

TEST(Vkr25Chunking, RandomChunkingsGiveTheSameResult) {
    const std::string expected = run(whole(), whole());
    std::mt19937 random(20240611);
    for (int round = 0; round < 300; ++round) {
        std::uniform_int_distribution<std::size_t> size(1, round % 2 == 0 ? 8 : 300);
        const Chunker chunker = [&](std::size_t) { return size(random); };
        ASSERT_EQ(run(chunker, chunker), expected) << "round " << round;
    }
}
