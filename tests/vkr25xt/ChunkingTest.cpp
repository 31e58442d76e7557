// The alarm 2 and 3 road must give the same results however the transport splits
// the bytes.

#include "../vkr25family/ChunkedFeeding.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

using NorvEngineering::SensorLib::CVkr25Xt;
using namespace Vkr25Family;
using Traits = Vkr25XtTraits;

namespace {

// A recorded start-up of a Vkr27 measuring in DT; then, after the owner asked for a
// second dump, the dump, the alarms and a stray line.
const std::string kStartUp =
    Traits::kIdLine + kPromptLine + Traits::kDump + "001.234\r\nE15\r\n1.2X\r\n001.250\r\n";
const std::string kSecondDump = "001.260\r\n" + Traits::kDump + "FA3.5\r\nE62\r\nlate\r\n";

std::string run(const Chunker& chunk) {
    Rig<Traits> rig;
    rig.driver.initialize();
    feedChunked(rig, kStartUp, chunk);
    rig.driver.setMode(CVkr25Xt::lmPA);
    feedChunked(rig, kSecondDump, chunk);
    std::ostringstream out;
    out << transcript(rig) << '|' << rig.config().getStrAlarm2() << '|' << rig.config().getStrAlarm3();
    return out.str();
}

} // namespace

TEST(Vkr25XtChunking, RandomChunkingsOfTheAlarmRoadGiveTheSameResult) {
    const std::string expected = run(whole());
    // Written, the distance, escape after FB (31, 30), an empty queue; alarm 2 only.
    EXPECT_NE(expected.find(
                  "<\x1B><\x1B><ID><\r><PA><\r><DT><\r><PA><\r><FA><\r><FB><\r>\n001.250 1.25  31 30 0 1 "),
              std::string::npos)
        << expected;
    EXPECT_TRUE(expected.ends_with("|3.5|")) << expected;
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::uniform_int_distribution<std::size_t> size(1, round % 2 == 0 ? 5 : 200);
        ASSERT_EQ(run([&](std::size_t) { return size(random); }), expected) << "round " << round;
    }
}
