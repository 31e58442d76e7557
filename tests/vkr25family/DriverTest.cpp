// The queue discipline and wire form that every driver of the family shares.

#include "FamilyRig.h"

#include <gtest/gtest.h>

using namespace Vkr25Family;
using NorvEngineering::SensorLib::makeSensorType;

template <class Traits>
class Vkr25FamilyDriver : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyDriver, FamilyDrivers, FamilyDriverNames);

// Before the first dump requests go nowhere; without a transport they are dropped even
// when active, and the start sequence writes nothing and does not crash.
TYPED_TEST(Vkr25FamilyDriver, FreshDriverNamesItsTypeAndDropsRequestsBeforeTheFirstDumpOrWithoutTransport) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    EXPECT_EQ(rig.driver.getSensorType(), makeSensorType(1, 239, 18));
    EXPECT_NE(dynamic_cast<typename TypeParam::Processor*>(rig.driver.getProcessor()), nullptr);
    for (int value = 0; value <= D::lmNone; ++value)
        rig.driver.setMode(modeOf<TypeParam>(value), "1");
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.sink.modeChanges, 0);

    D unwired(&rig.sink);
    unwired.setActive(1);
    unwired.setMode(D::lmDT);
    unwired.setMode(D::lmLO);
    EXPECT_TRUE(unwired.getQueue().empty());
    EXPECT_EQ(rig.sink.modeChanges, 0);
    unwired.initialize();
    EXPECT_EQ(unwired.getQueue().size(), 2U);
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
        {D::lmID, "x", {"ID", "\r"}},
        {D::lmEscaped, "x", {"\x1B"}},
        {D::lmNone, "", {"\r"}},
        {77, "5", {"\r"}},
    };
    for (const auto& [mode, argument, writes] : cases) {
        Rig<TypeParam> sent;
        sent.driver.sendQueuedMode(typename TypeParam::Record(modeOf<TypeParam>(mode), argument));
        EXPECT_EQ(sent.iface.writes, writes) << mode;
        EXPECT_EQ(sent.driver.getCurrentMode(), modeOf<TypeParam>(mode));
    }

    // Through the queue one beyond the table is queued and sent as a bare carriage return.
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.driver.setMode(modeOf<TypeParam>(40), "9");
    EXPECT_EQ(rig.state(), "40 after none, queue 40, wrote <\r>");
}

TYPED_TEST(Vkr25FamilyDriver, OneCommandInFlightLaserAndEscapeClearTheQueueNoneOnlyDeactivates) {
    const std::pair<const char*, const char*> cases[] = {
        {"dt tp sa:5", "DT after none, queue DT TP SA, wrote <DT><\r>"},
        {"sf:1,0936 dt", "SF after none, queue SF DT, wrote <SF1.0936><\r>"},
        {"dt tp sa:5 >", "TP after DT, queue TP SA, wrote <DT><\r><TP><\r>"},
        {"dt tp sa:5 > > > >", "SA after TP, queue, wrote <DT><\r><TP><\r><SA5><\r>"},
        {"dt tp sa lo", "LO after DT, queue, wrote <DT><\r><LO><\r>"},
        {"dt tp esc:ignored", "ESC after DT, queue, wrote <DT><\r><\x1B>"},
        // After them the next request finds an empty queue and goes out at once.
        {"dt tp esc lf dm", "DM after LF, queue DM, wrote <DT><\r><\x1B><LF><\r><DM><\r>"},
        {"dt tp none pa lo", "DT after none, queue DT TP, wrote <DT><\r>"},
    };
    for (const auto& [script, expected] : cases) {
        Rig<TypeParam> rig;
        rig.makeActive();
        rig.request(script);
        EXPECT_EQ(rig.state(), expected) << script;
        EXPECT_EQ(rig.driver.getActive(), std::string(script).find("none") == std::string::npos) << script;
    }
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
