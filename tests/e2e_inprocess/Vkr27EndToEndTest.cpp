#include "EndToEndRig.h"

#include <gtest/gtest.h>

#include <vector>

using EndToEnd::Vkr25XtRig;
using EndToEnd::Vkr27Rig;
using NorvEngineering::SensorLib::CVkr25Xt;
using Strings = std::vector<std::string>;

namespace {

// A Vkr27 measuring since power-up: start-up, the model check, the auto-start mode,
// setting alarm 2, a second dump that reads alarms 2 and 3, the hexadecimal format
// at 50 lines a second and the escape. Returns what the owner saw.
std::string runTheVkr27Road(unsigned seed, std::size_t maxChunk) {
    Vkr27Rig rig(seed, maxChunk);
    rig.sensor.setIdentity({"VKR27", "SN 4711", "V7.03"});
    rig.sensor.getParameters().set("FA", "2.5");
    rig.sensor.getParameters().set("FB", "-1.25");
    rig.connectMeasuringSensor(1);
    const auto* identity = rig.driver.getConfig()->getVersionInfo();
    EXPECT_NE(identity, nullptr);
    if (identity != nullptr) {
        EXPECT_EQ(identity->getModel(), "VKR27");  // the 50-per-second mode is offered
        EXPECT_FALSE(identity->isVersionBelow(7)); // and the 7 m one
        EXPECT_EQ(identity->getSerial(), "4711");
    }
    EXPECT_EQ(rig.driver.getConfig()->getAutostartMode(), CVkr25Xt::lmDT);
    // The first dump does not ask for the alarms; their dump lines are traced.
    EXPECT_TRUE(rig.driver.getConfig()->getStrAlarm2().empty());
    EXPECT_NE(rig.sink.trace().find("[FA] Alarm 2"), std::string::npos);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(rig.measure());
    EXPECT_EQ(rig.driver.getStrDistance(), "001.003");

    // Alarm 2 with a decimal comma: the sensor receives a point.
    rig.driver.setMode(CVkr25Xt::lmFA, "3,75");
    EXPECT_TRUE(rig.measure());
    EXPECT_EQ(rig.sensor.getParameters().get("FA"), "3.75");
    EXPECT_FLOAT_EQ(rig.driver.getConfig()->getAlarm2(), 3.75F);
    EXPECT_TRUE(rig.driver.getQueue().empty());

    // A second dump, then alarms 2 and 3 in their turn.
    rig.driver.setMode(CVkr25Xt::lmPA);
    rig.pump();
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_FLOAT_EQ(rig.driver.getConfig()->getAlarm2(), 3.75F);
    EXPECT_FLOAT_EQ(rig.driver.getConfig()->getAlarm3(), -1.25F);
    EXPECT_EQ(rig.driver.getConfig()->getStrAlarm3(), "-1.25");
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmSD, "h");
    rig.driver.setMode(CVkr25Xt::lmDX);
    rig.pump();
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(rig.measure());
    EXPECT_EQ(rig.driver.getStrDistance(), "00003EE"); // 1.006 m
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.006);
    return rig.escapeAndFinish(
        {"\x1B", "\x1B", "ID", "PA", "DT", "FA3.75", "PA", "FA", "FB", "SDh", "DX", "\x1B"});
}

} // namespace

TEST(Vkr27EndToEnd, WholeRoadInRandomChunksGivesTheSameResultEveryTime) {
    EndToEnd::expectTheSameResultHoweverChunked(runTheVkr27Road, 30);
}

TEST(Vkr27EndToEnd, SensorWithoutAlarmsTwoAndThreeDoesNotHoldUpTheQueue) {
    Vkr25XtRig rig;
    rig.sensor.getParameters().setAlarms2And3(false);
    rig.connect();
    rig.pump();
    ASSERT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.sink.trace().find("[FA]"), std::string::npos);

    // Every later dump asks for both and is refused both times.
    for (int dump = 0; dump < 2; ++dump) {
        rig.driver.setMode(CVkr25Xt::lmPA);
        rig.driver.setMode(CVkr25Xt::lmTP);
        rig.pump();
        EXPECT_TRUE(rig.driver.getQueue().empty());
    }
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.driver.getTemperature(), 23.0);
    const Strings& received = rig.sensor.getCommandsReceived();
    EXPECT_EQ(Strings(received.end() - 4, received.end()), (Strings{"PA", "TP", "FA", "FB"}));
    EXPECT_NE(rig.sink.trace().find("E62\r\n"), std::string::npos);
    rig.driver.setMode(CVkr25Xt::lmDM);
    rig.pump();
    EXPECT_EQ(rig.driver.getStrDistance(), "001.000");
}

TEST(Vkr27EndToEnd, RefusedAlarmValueIsNotAnErrorAndAParameterErrorIs) {
    Vkr27Rig rig;
    rig.connect();
    rig.pump();
    rig.driver.setMode(CVkr25Xt::lmFA, "abc"); // the sensor answers E15
    rig.driver.setMode(CVkr25Xt::lmSA, "99");  // E15 as well
    rig.driver.setMode(CVkr25Xt::lmFB);
    rig.pump();
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{15}));
    EXPECT_TRUE(rig.driver.getConfig()->getStrAlarm2().empty());
    EXPECT_EQ(rig.driver.getConfig()->getStrAlarm3(), "0");
    EXPECT_TRUE(rig.driver.getQueue().empty());
}
