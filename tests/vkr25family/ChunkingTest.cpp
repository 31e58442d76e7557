// The parser must give the same results however the transport splits the bytes.

#include "ChunkedFeeding.h"

#include <gtest/gtest.h>

#include <random>

using namespace Vkr25Family;

namespace {

// A recorded exchange with a sensor whose auto-start mode is DT. Between its two
// parts the owner asked for a single measurement and the temperature.
template <class Traits>
std::string beforeRequests() {
    return Traits::kIdLine + kPromptLine + Traits::kDump +
           "001.234\r\n001.240\r\nE15\r\n1.2X\r\nstray\r\n001.250\r\n";
}
const std::string kAfterRequests = "007.500\r\n" // still DT's: dropped, DM goes out
                                   "003.333\r\n" // DM's answer
                                   "+27\r\n"     // TP's answer
                                   "late\r\n";   // nothing in flight: trace

template <class Traits>
std::string run(const Chunker& before, const Chunker& after) {
    Rig<Traits> rig;
    rig.driver.initialize();
    feedChunked(rig, beforeRequests<Traits>(), before);
    rig.driver.setMode(Traits::Driver::lmDM);
    rig.driver.setMode(Traits::Driver::lmTP);
    feedChunked(rig, kAfterRequests, after);
    return transcript(rig);
}

} // namespace

template <class Traits>
class Vkr25FamilyChunking : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyChunking, FamilyDrivers, FamilyDriverNames);

TYPED_TEST(Vkr25FamilyChunking, RecordedExchangeRunsToTheEnd) {
    const std::string result = run<TypeParam>(whole(), whole());
    EXPECT_NE(result.find("<\x1B><\x1B><ID><\r><PA><\r><DT><\r><DM><\r><TP><\r>\n"), std::string::npos)
        << result;
    EXPECT_NE(result.find("\n003.333 3.333 27 7 6 0 1 5 1.0936 -0.25 " + TypeParam::kIdLine),
              std::string::npos)
        << result;
    EXPECT_NE(result.find("sensorReady"), std::string::npos);
    EXPECT_NE(result.find("\n15,\n"), std::string::npos);
    EXPECT_NE(result.find("[late\r\n]"), std::string::npos);
}

TYPED_TEST(Vkr25FamilyChunking, EveryFixedChunkSizeGivesTheSameResult) {
    const std::string expected = run<TypeParam>(whole(), whole());
    for (std::size_t size = 1; size <= 80; ++size)
        ASSERT_EQ(run<TypeParam>(fixed(size), fixed(size)), expected) << "chunk size " << size;
}

TYPED_TEST(Vkr25FamilyChunking, EverySplitPointGivesTheSameResult) {
    const std::string expected = run<TypeParam>(whole(), whole());
    const std::string before = beforeRequests<TypeParam>();
    for (std::size_t split = 1; split < before.size(); ++split)
        ASSERT_EQ(run<TypeParam>(splitAt(split), whole()), expected) << "split at " << split;
    for (std::size_t split = 1; split < kAfterRequests.size(); ++split)
        ASSERT_EQ(run<TypeParam>(whole(), splitAt(split)), expected)
            << "split after the requests at " << split;
}

TYPED_TEST(Vkr25FamilyChunking, RandomChunkingsGiveTheSameResult) {
    const std::string expected = run<TypeParam>(whole(), whole());
    std::mt19937 random(20240611);
    for (int round = 0; round < 300; ++round) {
        std::uniform_int_distribution<std::size_t> size(1, round % 2 == 0 ? 8 : 300);
        const Chunker chunker = [&](std::size_t) { return size(random); };
        ASSERT_EQ(run<TypeParam>(chunker, chunker), expected) << "round " << round;
    }
}
