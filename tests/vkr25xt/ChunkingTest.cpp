// The parser must give the same results however the transport splits the bytes.

#include "Vkr25XtTestRig.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

using namespace NorvEngineering::SensorLib;
using Vkr25XtTest::Rig;

namespace {

// A recorded start-up of a Vkr27 measuring in DT; then, after the owner asked for a
// second dump, the dump, the alarms and a stray line.
const std::string kStartUp = Vkr25XtTest::kIdLine + Vkr25XtTest::kPromptLine + Vkr25XtTest::kDump +
                             "001.234\r\nE15\r\n1.2X\r\n001.250\r\n";
const std::string kSecondDump = "001.260\r\n" + Vkr25XtTest::kDump + "FA3.5\r\nE62\r\nlate\r\n";

std::string run(std::mt19937* random, std::size_t largest) {
    Rig rig;
    const auto feed = [&](const std::string& bytes) {
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            std::size_t n = bytes.size() - pos;
            if (random != nullptr)
                n = std::min(n, std::uniform_int_distribution<std::size_t>(1, largest)(*random));
            rig.feed(bytes.substr(pos, n));
            pos += n;
        }
    };
    rig.driver.initialize();
    feed(kStartUp);
    rig.driver.setMode(CVkr25Xt::lmPA);
    feed(kSecondDump);

    std::ostringstream out;
    for (const auto& call : rig.sink.calls)
        out << call << ';';
    for (const auto& update : rig.sink.updates)
        out << '[' << update << ']';
    out << rig.iface.written() << '|' << rig.driver.getStrDistance() << '|' << rig.config().getStrAlarm2()
        << '|' << rig.config().getStrAlarm3() << '|' << rig.driver.getQueue().size();
    return out.str();
}

} // namespace

TEST(Vkr25XtChunking, RandomChunkingsGiveTheSameResult) {
    const std::string expected = run(nullptr, 0);
    EXPECT_NE(expected.find("\x1B\x1BID\rPA\rDT\rPA\rFA\rFB\r|001.250|3.5||0"), std::string::npos)
        << expected;
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round)
        ASSERT_EQ(run(&random, round % 2 == 0 ? 5 : 200), expected) << "round " << round;
}
