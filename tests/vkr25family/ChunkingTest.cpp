// The parser must give the same results however the transport splits the bytes.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace Vkr25Family;

namespace {

// A recorded exchange with a sensor whose auto-start mode is DT. Between its two
// parts the owner asked for a single measurement, the temperature and a second dump.
template <class Traits>
std::string beforeRequests() {
    return Traits::kIdLine + kPromptLine + Traits::kDump +
           "001.234\r\n001.240\r\nE15\r\n1.2X\r\nstray\r\n001.250\r\n";
}
template <class Traits>
std::string afterRequests() {
    return "007.500\r\n" // still DT's: dropped, DM goes out
           "003.333\r\n" // DM's answer
           "+27\r\n" +   // TP's answer
           Traits::kDump +
           "FA3.5\r\nE62\r\nlate\r\n"; // the larger models then ask for FA and FB
}

// How a part is cut: a first piece of `first` bytes, then pieces of `size`.
struct Cuts {
    std::size_t first, size;
};
constexpr std::size_t kRest = std::string::npos;
constexpr Cuts kWhole{kRest, kRest};

template <class Traits>
void feedCut(Rig<Traits>& rig, const std::string& bytes, Cuts cuts) {
    for (std::size_t pos = 0, n = cuts.first; pos < bytes.size(); pos += n, n = cuts.size) {
        n = std::min(n, bytes.size() - pos);
        rig.feed(bytes.substr(pos, n));
    }
}

template <class Traits>
std::string run(Cuts before, Cuts after) {
    Rig<Traits> rig;
    rig.driver.initialize();
    feedCut(rig, beforeRequests<Traits>(), before);
    for (const auto mode : {Traits::Driver::lmDM, Traits::Driver::lmTP, Traits::Driver::lmPA})
        rig.driver.setMode(mode);
    feedCut(rig, afterRequests<Traits>(), after);
    return rig.transcript();
}

} // namespace

template <class Traits>
class Vkr25FamilyChunking : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyChunking, FamilyDrivers, FamilyDriverNames);

// The exchange whole runs to the end; every fixed chunk size and every split point
// gives the same transcript.
TYPED_TEST(Vkr25FamilyChunking, RecordedExchangeGivesTheSameResultHoweverItIsSplit) {
    const std::string result = run<TypeParam>(kWhole, kWhole);
    const bool larger = TypeParam::kHasAlarms2And3;
    const std::string alarms = larger ? "<FA><\r><FB><\r>" : "";
    EXPECT_NE(result.find("ESC after " + std::string(larger ? "FB" : "PA") +
                          ", queue, wrote <\x1B><\x1B><ID><\r><PA><\r><DT><\r><DM><\r><TP><\r><PA><\r>" +
                          alarms + " | distance 003.333 3.333 | temperature 27 27 | errors 15 | changed "),
              std::string::npos)
        << result;
    EXPECT_NE(result.find("E62\r\nlate\r\n\nactive 1\n" + kDumpValues +
                          (larger ? " FA 3.5 '3.5' FB 0 ''" : "") + "\n" + TypeParam::kIdLine),
              std::string::npos)
        << result;
    EXPECT_NE(result.find("sensorReady"), std::string::npos);
    for (std::size_t size = 1; size <= 80; ++size)
        ASSERT_EQ(run<TypeParam>({size, size}, {size, size}), result) << "chunk size " << size;
    for (std::size_t split = 1; split < beforeRequests<TypeParam>().size(); ++split)
        ASSERT_EQ(run<TypeParam>({split, kRest}, kWhole), result) << "split at " << split;
    for (std::size_t split = 1; split < afterRequests<TypeParam>().size(); ++split)
        ASSERT_EQ(run<TypeParam>(kWhole, {split, kRest}), result) << "split after the requests at " << split;
}
