#include "Vkr25TestRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25Test::Rig;
using Writes = std::vector<std::string>;

TEST(Vkr25Driver, FreshDriverIsInactiveAndNamesItsType) {
    Rig rig;
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmNone);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmNone);
    EXPECT_EQ(rig.driver.getActive(), 0);
    EXPECT_EQ(rig.driver.getSensorType(), 0x1EF12U);
    EXPECT_NE(rig.driver.getProcessor(), nullptr);
    EXPECT_EQ(rig.iface.opens, 1);

    rig.driver.setMode(CVkr25::lmDT);
    rig.driver.setMode(CVkr25::lmLO);
    rig.driver.setMode(CVkr25::lmEscaped);
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.sink.modeChanges, 0);
}

TEST(Vkr25Driver, StartSequenceIsTwoEscapesThenIdentification) {
    Rig rig;
    rig.driver.initialize();
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "\x1B", "ID", "\r"}));
    ASSERT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getQueue().front().getId(), CVkr25::lmID);
    EXPECT_EQ((++rig.driver.getQueue().begin())->getId(), CVkr25::lmPA);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmID);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmEscaped);
    EXPECT_EQ(rig.driver.getActive(), 0);
}

TEST(Vkr25Driver, CommandTextAndCarriageReturnAreTwoWrites) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25::lmDT);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmDT);

    Rig sf;
    sf.makeActive();
    sf.driver.setMode(CVkr25::lmSF, "1,0936");
    EXPECT_EQ(sf.iface.writes, (Writes{"SF1.0936", "\r"}));
}

TEST(Vkr25Driver, OneCommandInFlightTheRestWaitInOrder) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25::lmDT);
    rig.driver.setMode(CVkr25::lmTP);
    rig.driver.setMode(CVkr25::lmSA, "5");
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 3U);

    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r", "TP", "\r"}));
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmTP);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmDT);
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.written(), "DT\rTP\rSA5\r");
    ASSERT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getQueue().front().getId(), CVkr25::lmSA);

    // The last one leaves: nothing more to write.
    rig.driver.sendNextQueuedMode();
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.iface.written(), "DT\rTP\rSA5\r");
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.written(), "DT\rTP\rSA5\r");
}

TEST(Vkr25Driver, LaserOnOffAndEscapeClearTheQueueAndGoOutAtOnce) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25::lmDT);
    rig.driver.setMode(CVkr25::lmTP);
    rig.forget();

    rig.driver.setMode(CVkr25::lmLO);
    EXPECT_EQ(rig.iface.writes, (Writes{"LO", "\r"}));
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmLO);

    rig.driver.setMode(CVkr25::lmDT);
    rig.driver.setMode(CVkr25::lmTP);
    rig.forget();
    rig.driver.setMode(CVkr25::lmEscaped, "ignored");
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B"}));
    EXPECT_TRUE(rig.driver.getQueue().empty());

    rig.driver.setMode(CVkr25::lmLF);
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "LF", "\r"}));
    // The next request finds an empty queue and goes out at once.
    rig.driver.setMode(CVkr25::lmDM);
    EXPECT_EQ(rig.iface.written(), "\x1BLF\rDM\r");
}

TEST(Vkr25Driver, NoneMakesTheDriverInactiveWithoutTouchingTheQueue) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25::lmDT);
    rig.driver.setMode(CVkr25::lmTP);
    rig.forget();

    rig.driver.setMode(CVkr25::lmNone);
    EXPECT_EQ(rig.driver.getActive(), 0);
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.sink.modeChanges, 0);

    rig.driver.setMode(CVkr25::lmPA);
    rig.driver.setMode(CVkr25::lmLO);
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
}

TEST(Vkr25Driver, RequestsWithoutTransportAreDropped) {
    TestSupport::RecordingSink sink;
    CVkr25 driver(&sink);
    driver.setActive(1);
    driver.setMode(CVkr25::lmDT);
    driver.setMode(CVkr25::lmLO);
    EXPECT_TRUE(driver.getQueue().empty());
    EXPECT_EQ(sink.modeChanges, 0);
    // Without a transport the start sequence writes nothing and does not crash.
    driver.initialize();
    EXPECT_EQ(driver.getQueue().size(), 2U);
}

TEST(Vkr25Driver, EveryModeChangeIsReportedOnce) {
    Rig rig;
    rig.driver.setCurrentMode(CVkr25::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 1);
    EXPECT_EQ(rig.sink.lastSensor, &rig.driver);
    rig.driver.setCurrentMode(CVkr25::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 1);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmNone);
    rig.driver.setCurrentMode(CVkr25::lmEscaped);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmDT);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmEscaped);

    // Writing the same command twice is one change.
    rig.makeActive();
    rig.driver.setMode(CVkr25::lmLO);
    rig.driver.setMode(CVkr25::lmLO);
    EXPECT_EQ(rig.sink.modeChanges, 1);
    EXPECT_EQ(rig.iface.written(), "LO\rLO\r");
}

TEST(Vkr25Driver, ModeBeyondTheTableIsQueuedAndSentAsABareCarriageReturn) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(static_cast<CVkr25::ELaserMode>(42));
    EXPECT_EQ(rig.iface.writes, (Writes{"\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
}

TEST(Vkr25Driver, ConfigIsTheDriversOwnObject) {
    Rig rig;
    EXPECT_EQ(&rig.driver.getConfig(), &rig.driver.getConfig());
    rig.driver.getConfig().setDisplayFormat('h');
    EXPECT_EQ(rig.driver.getConfig().getDisplayFormat(), 'h');
}

TEST(Vkr25Driver, TransportAndDriverForgetEachOtherWhicheverGoesFirst) {
    TestSupport::RecordingSink sink;
    auto* iface = new TestSupport::FakeInterface;
    auto* driver = new CVkr25(&sink);
    driver->setInterface(iface);
    delete iface;
    EXPECT_EQ(driver->getInterface(), nullptr);
    delete driver;

    TestSupport::FakeInterface second;
    auto* other = new CVkr25(&sink);
    other->setInterface(&second);
    delete other;
    EXPECT_EQ(second.getSensor(), nullptr);
}

TEST(Vkr25Driver, RepeatedStartSequenceStartsFromNothing) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine + Vkr25Test::kDump);
    ASSERT_EQ(rig.sink.sensorReady, 1);
    rig.driver.setMode(CVkr25::lmTP); // queued behind the auto-start DT

    rig.forget();
    rig.driver.initialize();
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "\x1B", "ID", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getActive(), 0);
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine + Vkr25Test::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.driver.getActive(), 1);
}
