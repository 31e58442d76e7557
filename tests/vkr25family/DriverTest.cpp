// The queue discipline and wire form that every driver of the family shares.

#include "FamilyRig.h"

#include <gtest/gtest.h>

using namespace Vkr25Family;
using NorvEngineering::SensorLib::makeSensorType;

template <class Traits>
class Vkr25FamilyDriver : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyDriver, FamilyDrivers, FamilyDriverNames);

TYPED_TEST(Vkr25FamilyDriver, FreshDriverIsInactiveAndNamesTheFamilyType) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmNone);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmNone);
    EXPECT_EQ(rig.driver.getActive(), 0);
    EXPECT_EQ(rig.driver.getSensorType(), makeSensorType(1, 239, 18));
    EXPECT_NE(dynamic_cast<typename TypeParam::Processor*>(rig.driver.getProcessor()), nullptr);
    EXPECT_EQ(rig.iface.opens, 1);

    // Nothing goes out before the first dump has ended, whatever is asked for.
    for (int value = 0; value <= TypeParam::kNoneCode; ++value)
        rig.driver.setMode(modeOf<TypeParam>(value), "1");
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.sink.modeChanges, 0);
}

TYPED_TEST(Vkr25FamilyDriver, StartSequenceIsTwoEscapesThenIdentificationBehindWhatIsStillQueued) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.driver.initialize();
    EXPECT_EQ(rig.state(), "ID after ESC, queue ID PA, wrote <\x1B><\x1B><ID><\r>");
    EXPECT_EQ(rig.driver.getActive(), 0);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    rig.feed(TypeParam::kIdLine + kPromptLine + TypeParam::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    rig.driver.setMode(D::lmTP); // queued behind the auto-start DT
    rig.forget();

    // Started again while DT runs with TP behind it: the old head is written again
    // and the identification waits its turn; the driver stays ready throughout.
    rig.driver.initialize();
    EXPECT_EQ(rig.state(), "DT after ESC, queue DT TP ID PA, wrote <\x1B><\x1B><DT><\r>");
    EXPECT_EQ(rig.driver.getActive(), 1);
    rig.feed("001.000\r\n+21\r\n" + TypeParam::kIdLine + kPromptLine + TypeParam::kDump);
    EXPECT_EQ(rig.iface.written(),
              std::string("\x1B\x1B") + "DT\rTP\rID\rPA\r" + (TypeParam::kHasAlarms2And3 ? "FA\r" : ""));
    EXPECT_EQ(rig.driver.getTemperature(), 21.0);
    EXPECT_EQ(rig.config().getIdentification(), TypeParam::kIdLine);
    EXPECT_EQ(rig.sink.sensorReady, 0);
    EXPECT_EQ(rig.driver.getActive(), 1);
}

TYPED_TEST(Vkr25FamilyDriver, WireFormIsTextThenCarriageReturnButEscapeAlone) {
    using D = typename TypeParam::Driver;
    const std::tuple<int, const char*, Writes> cases[] = {
        {D::lmSF, "1,0936", {"SF1.0936", "\r"}},
        {D::lmSA, "5", {"SA5", "\r"}},
        {D::lmSA, "1,5", {"SA1,5", "\r"}},
        {D::lmAC, "", {"AC", "\r"}},
        {D::lmID, "x", {"ID", "\r"}},
        {TypeParam::kEscapeCode, "x", {"\x1B"}},
        {TypeParam::kNoneCode, "", {"\r"}},
        {77, "5", {"\r"}},
    };
    for (const auto& [mode, argument, writes] : cases) {
        Rig<TypeParam> sent;
        sent.driver.sendQueuedMode(typename TypeParam::Record(modeOf<TypeParam>(mode), argument));
        EXPECT_EQ(sent.iface.writes, writes) << mode;
        EXPECT_EQ(sent.driver.getCurrentMode(), modeOf<TypeParam>(mode));
    }

    // Through the queue a command goes out as it does when sent directly, and one
    // beyond the table is queued and sent as a bare carriage return.
    for (const auto& [mode, argument, writes] :
         {std::tuple{D::lmSF, "1,0936", Writes{"SF1.0936", "\r"}},
          std::tuple{D::lmDT, "", Writes{"DT", "\r"}}, std::tuple{modeOf<TypeParam>(40), "9", Writes{"\r"}},
          std::tuple{modeOf<TypeParam>(42), "", Writes{"\r"}}}) {
        Rig<TypeParam> rig;
        rig.makeActive();
        rig.driver.setMode(mode, argument);
        EXPECT_EQ(rig.iface.writes, writes) << int(mode);
        EXPECT_EQ(rig.driver.getQueue().size(), 1U) << int(mode);
        EXPECT_EQ(rig.driver.getCurrentMode(), mode);
    }
}

TYPED_TEST(Vkr25FamilyDriver, OneCommandInFlightTheRestWaitInOrder) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.driver.setMode(D::lmDT);
    rig.driver.setMode(D::lmTP);
    rig.driver.setMode(D::lmSA, "5");
    EXPECT_EQ(rig.state(), "DT after none, queue DT TP SA, wrote <DT><\r>");
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.state(), "TP after DT, queue TP SA, wrote <DT><\r><TP><\r>");
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.state(), "SA after TP, queue SA, wrote <DT><\r><TP><\r><SA5><\r>");
    // The last one leaves: nothing more to write.
    rig.driver.sendNextQueuedMode();
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.state(), "SA after TP, queue, wrote <DT><\r><TP><\r><SA5><\r>");
}

TYPED_TEST(Vkr25FamilyDriver, LaserOnOffAndEscapeClearTheQueueAndGoOutAtOnce) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    for (const auto mode : {D::lmDT, D::lmTP, D::lmSA})
        rig.driver.setMode(mode);
    rig.forget();
    rig.driver.setMode(D::lmLO);
    EXPECT_EQ(rig.state(), "LO after DT, queue, wrote <LO><\r>");
    rig.driver.setMode(D::lmDT);
    rig.driver.setMode(D::lmTP);
    rig.forget();
    rig.driver.setMode(modeOf<TypeParam>(TypeParam::kEscapeCode), "ignored");
    EXPECT_EQ(rig.state(), "ESC after DT, queue, wrote <\x1B>");
    rig.driver.setMode(D::lmLF);
    // The next request finds an empty queue and goes out at once.
    rig.driver.setMode(D::lmDM);
    EXPECT_EQ(rig.state(), "DM after LF, queue DM, wrote <\x1B><LF><\r><DM><\r>");
}

TYPED_TEST(Vkr25FamilyDriver, NoneMakesTheDriverInactiveWithoutTouchingTheQueue) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.driver.setMode(D::lmDT);
    rig.driver.setMode(D::lmTP);
    rig.forget();
    rig.driver.setMode(modeOf<TypeParam>(TypeParam::kNoneCode));
    EXPECT_EQ(rig.driver.getActive(), 0);
    rig.driver.setMode(D::lmPA);
    rig.driver.setMode(D::lmLO);
    EXPECT_EQ(rig.state(), "DT after none, queue DT TP, wrote ");
    EXPECT_EQ(rig.sink.modeChanges, 0);
}

TYPED_TEST(Vkr25FamilyDriver, RequestsWithoutTransportAreDropped) {
    using D = typename TypeParam::Driver;
    TestSupport::RecordingSink sink;
    D driver(&sink);
    driver.setActive(1);
    driver.setMode(D::lmDT);
    driver.setMode(D::lmLO);
    EXPECT_TRUE(driver.getQueue().empty());
    EXPECT_EQ(sink.modeChanges, 0);
    // Without a transport the start sequence writes nothing and does not crash.
    driver.initialize();
    EXPECT_EQ(driver.getQueue().size(), 2U);
}

TYPED_TEST(Vkr25FamilyDriver, EveryModeChangeIsReportedOnce) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.driver.setMode(D::lmLO);
    rig.driver.setMode(D::lmLO); // the same command twice is one change
    EXPECT_EQ(rig.iface.written(), "LO\rLO\r");
    rig.driver.setCurrentMode(D::lmLO);
    EXPECT_EQ(rig.sink.modeChanges, 1);
    EXPECT_EQ(rig.sink.lastSensor, &rig.driver);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmNone);
    rig.driver.setCurrentMode(D::lmEscaped);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmLO);
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmEscaped);
}
