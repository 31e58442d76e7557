// The queue discipline and wire form that every driver of the family shares.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <utility>

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
    EXPECT_EQ(rig.driver.getSensorType(), 0x1EF12U);
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

TYPED_TEST(Vkr25FamilyDriver, StartSequenceIsTwoEscapesThenIdentification) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.driver.initialize();
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "\x1B", "ID", "\r"}));
    ASSERT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getQueue().front().getId(), D::lmID);
    EXPECT_EQ((++rig.driver.getQueue().begin())->getId(), D::lmPA);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmID);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmEscaped);
    EXPECT_EQ(rig.driver.getActive(), 0);
}

TYPED_TEST(Vkr25FamilyDriver, WireFormIsTextThenCarriageReturnButEscapeAlone) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.driver.setMode(D::lmDT);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmDT);

    struct Case {
        int mode;
        const char* argument;
        Writes writes;
    };
    const Case cases[] = {
        {D::lmSF, "1,0936", {"SF1.0936", "\r"}},
        {D::lmSA, "5", {"SA5", "\r"}},
        {D::lmSA, "1,5", {"SA1,5", "\r"}},
        {D::lmAC, "", {"AC", "\r"}},
        {D::lmID, "x", {"ID", "\r"}},
        {TypeParam::kEscapeCode, "x", {"\x1B"}},
        {TypeParam::kNoneCode, "", {"\r"}},
        {77, "5", {"\r"}},
    };
    for (const Case& c : cases) {
        Rig<TypeParam> sent;
        sent.driver.sendQueuedMode(typename TypeParam::Record(modeOf<TypeParam>(c.mode), c.argument));
        EXPECT_EQ(sent.iface.writes, c.writes) << c.mode;
        EXPECT_EQ(sent.driver.getCurrentMode(), modeOf<TypeParam>(c.mode));
    }

    // Through the queue the argument goes out as it does when sent directly.
    Rig<TypeParam> sf;
    sf.makeActive();
    sf.driver.setMode(D::lmSF, "1,0936");
    EXPECT_EQ(sf.iface.writes, (Writes{"SF1.0936", "\r"}));
}

TYPED_TEST(Vkr25FamilyDriver, OneCommandInFlightTheRestWaitInOrder) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.driver.setMode(D::lmDT);
    rig.driver.setMode(D::lmTP);
    rig.driver.setMode(D::lmSA, "5");
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 3U);

    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r", "TP", "\r"}));
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmTP);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmDT);
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.written(), "DT\rTP\rSA5\r");
    ASSERT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getQueue().front().getId(), D::lmSA);

    // The last one leaves: nothing more to write.
    rig.driver.sendNextQueuedMode();
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.iface.written(), "DT\rTP\rSA5\r");
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.written(), "DT\rTP\rSA5\r");
}

TYPED_TEST(Vkr25FamilyDriver, LaserOnOffAndEscapeClearTheQueueAndGoOutAtOnce) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    for (const auto mode : {D::lmDT, D::lmTP, D::lmSA})
        rig.driver.setMode(mode);
    rig.forget();

    rig.driver.setMode(D::lmLO);
    EXPECT_EQ(rig.iface.writes, (Writes{"LO", "\r"}));
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmLO);

    rig.driver.setMode(D::lmDT);
    rig.driver.setMode(D::lmTP);
    rig.forget();
    rig.driver.setMode(modeOf<TypeParam>(TypeParam::kEscapeCode), "ignored");
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B"}));
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), TypeParam::kEscapeCode);

    rig.driver.setMode(D::lmLF);
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "LF", "\r"}));
    // The next request finds an empty queue and goes out at once.
    rig.driver.setMode(D::lmDM);
    EXPECT_EQ(rig.iface.written(), "\x1BLF\rDM\r");
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
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 0);

    rig.driver.setMode(D::lmPA);
    rig.driver.setMode(D::lmLO);
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
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
    // Writing the same command twice is one change.
    Rig<TypeParam> fresh;
    fresh.makeActive();
    fresh.driver.setMode(D::lmLO);
    fresh.driver.setMode(D::lmLO);
    EXPECT_EQ(fresh.iface.written(), "LO\rLO\r");
    EXPECT_EQ(fresh.sink.modeChanges, 1);
    fresh.driver.setCurrentMode(D::lmLO);
    EXPECT_EQ(fresh.sink.modeChanges, 1);
    EXPECT_EQ(fresh.driver.getPreviousMode(), D::lmNone);

    Rig<TypeParam> rig;
    rig.driver.setCurrentMode(D::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 1);
    EXPECT_EQ(rig.sink.lastSensor, &rig.driver);
    rig.driver.setCurrentMode(D::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 1);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmNone);
    rig.driver.setCurrentMode(D::lmEscaped);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmDT);
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmEscaped);
}

TYPED_TEST(Vkr25FamilyDriver, ModeBeyondTheTableIsQueuedAndSentAsABareCarriageReturn) {
    for (const auto& [value, argument] : {std::pair{42, ""}, std::pair{40, "9"}}) {
        Rig<TypeParam> rig;
        rig.makeActive();
        rig.driver.setMode(modeOf<TypeParam>(value), argument);
        EXPECT_EQ(rig.iface.writes, (Writes{"\r"})) << value;
        EXPECT_EQ(rig.driver.getQueue().size(), 1U) << value;
    }
}

TYPED_TEST(Vkr25FamilyDriver, ConfigIsTheDriversOwnObject) {
    Rig<TypeParam> rig;
    const typename TypeParam::Driver& constant = rig.driver;
    EXPECT_EQ(&TypeParam::config(rig.driver), &TypeParam::config(rig.driver));
    EXPECT_EQ(&TypeParam::config(constant), &TypeParam::config(rig.driver));
    TypeParam::config(rig.driver).setDisplayFormat('h');
    EXPECT_EQ(TypeParam::config(constant).getDisplayFormat(), 'h');
}

TYPED_TEST(Vkr25FamilyDriver, TransportAndDriverForgetEachOtherWhicheverGoesFirst) {
    using D = typename TypeParam::Driver;
    TestSupport::RecordingSink sink;
    auto* iface = new TestSupport::FakeInterface;
    auto* driver = new D(&sink);
    driver->setInterface(iface);
    delete iface;
    EXPECT_EQ(driver->getInterface(), nullptr);
    delete driver;

    TestSupport::FakeInterface second;
    auto* other = new D(&sink);
    other->setInterface(&second);
    delete other;
    EXPECT_EQ(second.getSensor(), nullptr);
}

TYPED_TEST(Vkr25FamilyDriver, RepeatedStartSequenceStartsFromNothing) {
    Rig<TypeParam> rig;
    rig.driver.initialize();
    rig.feed(TypeParam::kIdLine + kPromptLine + TypeParam::kDump);
    ASSERT_EQ(rig.sink.sensorReady, 1);
    rig.driver.setMode(TypeParam::Driver::lmTP); // queued behind the auto-start DT

    rig.forget();
    rig.driver.initialize();
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "\x1B", "ID", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getActive(), 0);
    rig.feed(TypeParam::kIdLine + kPromptLine + TypeParam::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.driver.getActive(), 1);
}
