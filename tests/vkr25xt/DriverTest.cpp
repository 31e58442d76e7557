#include "Vkr25XtTestRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25XtTest::Rig;
using Writes = std::vector<std::string>;

TEST(Vkr25XtDriver, FreshDriverIsInactiveOnNoneAndNamesTheFamilyType) {
    Rig rig;
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmNone);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmNone);
    EXPECT_EQ(rig.driver.getActive(), 0);
    EXPECT_EQ(rig.driver.getSensorType(), makeSensorType(1, 239, 18));
    EXPECT_NE(dynamic_cast<CVkr25XtProcessor*>(rig.driver.getProcessor()), nullptr);

    // Nothing goes out before the first dump has ended.
    for (const auto mode : {CVkr25Xt::lmDT, CVkr25Xt::lmLO, CVkr25Xt::lmEscaped, CVkr25Xt::lmFA})
        rig.driver.setMode(mode);
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.sink.modeChanges, 0);
}

TEST(Vkr25XtDriver, StartSequenceIsTwoEscapesThenIdentification) {
    Rig rig;
    rig.driver.initialize();
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "\x1B", "ID", "\r"}));
    ASSERT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getQueue().front().getId(), CVkr25Xt::lmID);
    EXPECT_EQ((++rig.driver.getQueue().begin())->getId(), CVkr25Xt::lmPA);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmID);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmEscaped);
    EXPECT_EQ(rig.sink.modeChanges, 2);
}

TEST(Vkr25XtDriver, OneCommandInFlightTheRestWaitInOrder) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25Xt::lmDT);
    rig.driver.setMode(CVkr25Xt::lmFA, "1,5");
    rig.driver.setMode(CVkr25Xt::lmTP);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 3U);

    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r", "FA1.5", "\r"}));
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmFA);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmDT);
    rig.driver.sendNextQueuedMode();
    rig.driver.sendNextQueuedMode();
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.written(), "DT\rFA1.5\rTP\r");
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TEST(Vkr25XtDriver, LaserOnOffAndEscapeThirtyOneClearTheQueueAndGoOutAtOnce) {
    Rig rig;
    rig.makeActive();
    for (const auto mode : {CVkr25Xt::lmDT, CVkr25Xt::lmTP, CVkr25Xt::lmSA})
        rig.driver.setMode(mode);
    rig.forget();
    rig.driver.setMode(CVkr25Xt::lmLO);
    EXPECT_EQ(rig.iface.writes, (Writes{"LO", "\r"}));
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmLO);

    rig.driver.setMode(CVkr25Xt::lmDT);
    rig.driver.setMode(CVkr25Xt::lmFB);
    rig.forget();
    rig.driver.setMode(static_cast<CVkr25Xt::ELaserMode>(31), "x");
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B"}));
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), 31);

    rig.driver.setMode(CVkr25Xt::lmLF);
    rig.driver.setMode(CVkr25Xt::lmDM);
    EXPECT_EQ(rig.iface.written(), "\x1BLF\rDM\r");
}

TEST(Vkr25XtDriver, NoneThirtyTwoMakesTheDriverInactiveAndTouchesNothingElse) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25Xt::lmDT);
    rig.driver.setMode(CVkr25Xt::lmTP);
    rig.forget();

    rig.driver.setMode(static_cast<CVkr25Xt::ELaserMode>(32));
    EXPECT_EQ(rig.driver.getActive(), 0);
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 0);
    rig.driver.setMode(CVkr25Xt::lmDT);
    rig.driver.setMode(CVkr25Xt::lmLO);
    EXPECT_TRUE(rig.iface.writes.empty());
}

TEST(Vkr25XtDriver, SameModeAgainIsWrittenButNotReported) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25Xt::lmLO);
    rig.driver.setMode(CVkr25Xt::lmLO);
    EXPECT_EQ(rig.iface.written(), "LO\rLO\r");
    EXPECT_EQ(rig.sink.modeChanges, 1);
    rig.driver.setCurrentMode(CVkr25Xt::lmLO);
    EXPECT_EQ(rig.sink.modeChanges, 1);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmNone);
}

TEST(Vkr25XtDriver, ModeBeyondTheTableIsQueuedAndSentAsABareCarriageReturn) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(static_cast<CVkr25Xt::ELaserMode>(40), "9");
    EXPECT_EQ(rig.iface.writes, (Writes{"\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
}

TEST(Vkr25XtDriver, RequestsWithoutTransportAreDroppedAndStartWritesNothing) {
    TestSupport::RecordingSink sink;
    CVkr25Xt driver(&sink);
    driver.setActive(1);
    driver.setMode(CVkr25Xt::lmDT);
    EXPECT_TRUE(driver.getQueue().empty());
    driver.initialize();
    EXPECT_EQ(driver.getQueue().size(), 2U);
}

TEST(Vkr25XtDriver, TransportAndDriverForgetEachOtherWhicheverGoesFirst) {
    TestSupport::RecordingSink sink;
    auto* iface = new TestSupport::FakeInterface;
    auto* driver = new CVkr25Xt(&sink);
    driver->setInterface(iface);
    delete iface;
    EXPECT_EQ(driver->getInterface(), nullptr);
    delete driver;

    TestSupport::FakeInterface second;
    auto* other = new CVkr25Xt(&sink);
    other->setInterface(&second);
    delete other;
    EXPECT_EQ(second.getSensor(), nullptr);
}

TEST(Vkr25XtDriver, RepeatedStartSequenceStartsFromNothing) {
    Rig rig;
    rig.start();
    rig.driver.setMode(CVkr25Xt::lmTP); // behind the auto-start DT
    rig.driver.initialize();
    EXPECT_EQ(rig.iface.writes, (Writes{"\x1B", "\x1B", "ID", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.driver.getActive(), 0);
    rig.feed(Vkr25XtTest::kIdLine + Vkr25XtTest::kPromptLine + Vkr25XtTest::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 1);
}
