// Behaviour that differs from a literal reading of the protocol notes because the
// literal reading loses data or leaves the driver unusable.

#include "Vkr25TestRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25Test::Rig;
using Writes = std::vector<std::string>;

namespace {
std::string dumpWithout(const std::string& marker) {
    std::string dump;
    std::size_t start = 0;
    while (start < Vkr25Test::kDump.size()) {
        const std::size_t end = Vkr25Test::kDump.find('\n', start) + 1;
        const std::string line = Vkr25Test::kDump.substr(start, end - start);
        if (line.find(marker) == std::string::npos)
            dump += line;
        start = end;
    }
    return dump;
}
} // namespace

TEST(Vkr25MendedFaults, DumpWithoutAutostartLeavesAReadyDriverUsable) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine);
    rig.forget();
    rig.feed(dumpWithout("[AS]"));
    EXPECT_EQ(rig.driver.getConfig().getAutostartMode(), CVkr25::lmNone);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmEscaped);

    rig.driver.setMode(CVkr25::lmDT);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
}

TEST(Vkr25MendedFaults, ErrorRepliesToTemperatureAndParametersAreErrorsNotValues) {
    for (int head = CVkr25::lmTP; head <= CVkr25::lmOF; ++head) {
        const auto mode = static_cast<CVkr25::ELaserMode>(head);
        Rig rig;
        rig.makeActive();
        CVkr25::CVkr25Config& config = rig.driver.getConfig();
        config.setAverage(2);
        config.setDisplayFormat('h');
        config.setMeasureTime(9);
        config.setScaleFactor("1.5");
        config.setStrOffset("0.5");
        config.setAutostartMode("dw");
        config.setRemoveMeasurement("1 2 3");
        config.setStrAlarmCenter("4");
        const CVkr25::CVkr25Config before = config;
        rig.driver.setTemperature(-3.0);

        rig.startWith(mode);
        rig.driver.setMode(CVkr25::lmDM);
        rig.feed("E15\r\n");

        EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{15})) << head;
        EXPECT_EQ(rig.sink.calls, (Writes{"sensorError", "mode", "mode", "update"})) << head;
        EXPECT_EQ(rig.sink.updates, (Writes{"E15\r\n"})) << head;
        EXPECT_EQ(rig.iface.writes, (Writes{"DM", "\r"})) << head;
        EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmEscaped) << head;
        EXPECT_EQ(rig.head(), CVkr25::lmDM) << head;

        EXPECT_EQ(rig.driver.getTemperature(), -3.0) << head;
        EXPECT_TRUE(rig.driver.getStrTemperature().empty()) << head;
        EXPECT_EQ(config.getAverage(), before.getAverage()) << head;
        EXPECT_EQ(config.getDisplayFormat(), 'h') << head;
        EXPECT_EQ(config.getMeasureTime(), before.getMeasureTime()) << head;
        EXPECT_EQ(config.getStrScaleFactor(), before.getStrScaleFactor()) << head;
        EXPECT_EQ(config.getStrOffset(), before.getStrOffset()) << head;
        EXPECT_EQ(config.getAutostartMode(), CVkr25::lmDW) << head;
        EXPECT_EQ(config.getRemoveMeasurement(), before.getRemoveMeasurement()) << head;
        EXPECT_EQ(config.getStrAlarmCenter(), before.getStrAlarmCenter()) << head;
    }
}

TEST(Vkr25MendedFaults, ErrorReplyToSetOffsetIsReported) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmSO);
    rig.feed("E31\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{31}));
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TEST(Vkr25MendedFaults, UnknownErrorTextIsStillReadAsAValue) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmSA);
    rig.feed("E19\r\n"); // not a code of the sensor: value text "9"
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 9);
}

TEST(Vkr25MendedFaults, HexadecimalLineWithoutDigitsIsAFailedReadingNotZero) {
    Rig rig;
    rig.makeActive('h');
    rig.startWith(CVkr25::lmDT);
    rig.feed("x0001000\r\n");
    ASSERT_DOUBLE_EQ(rig.driver.getDistance(), 4.096);

    for (const char* line : {"\n", "\r\n", "x\r\n", "x      \r\n", "xZZZZZZZ\r\n"}) {
        rig.forget();
        rig.feed(line);
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 4.096) << line;
        EXPECT_EQ(rig.driver.getStrDistance(), "0001000") << line;
        EXPECT_EQ(rig.sink.updates, (Writes{line}));
        EXPECT_TRUE(rig.sink.sensorErrors.empty());
        EXPECT_EQ(rig.head(), CVkr25::lmDT);
    }
}

TEST(Vkr25MendedFaults, RejectedIdentificationIsTracedAndLaterLinesGoOn) {
    for (const char* bad : {"VKR25 without fields\r\n", "VKR25,SN,V 1.23\r\n", "VKR25,123,V 1\r\n",
                            "VKR25,123,V x.1\r\n", "VKR25,1,2,3\r\n"}) {
        Rig rig;
        rig.driver.initialize();
        rig.driver.getConfig().setIdentification("VKR25,1,1.1");
        rig.forget();
        rig.feed(std::string(bad) + Vkr25Test::kPromptLine + Vkr25Test::kDump);

        ASSERT_GE(rig.sink.updates.size(), 2U);
        EXPECT_EQ(rig.sink.updates[0], std::string("[case CVkr25::lmID/BAD ID STRING] ") + bad);
        EXPECT_EQ(rig.sink.updates[1], "[case CVkr25::lmID/FOUND PR STRING] " + Vkr25Test::kPromptLine);
        EXPECT_EQ(rig.sink.dataUpdates, 18) << bad;
        EXPECT_EQ(rig.sink.sensorReady, 1) << bad;
        EXPECT_EQ(rig.driver.getConfig().getVersionInfo(), nullptr) << bad;
        EXPECT_EQ(rig.driver.getConfig().getIdentification(), "VKR25,1,1.1") << bad;
    }
}

TEST(Vkr25MendedFaults, UnreadableOffsetStillEndsTheDump) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine);
    rig.forget();
    rig.feed(dumpWithout("[OF]") + "[OF] Offset.......0,25\r\n");
    EXPECT_EQ(rig.sink.updates.back(), "[OF] Offset.......0,25\r\n");
    EXPECT_EQ(rig.driver.getConfig().getStrOffset(), "0,25");
    EXPECT_EQ(rig.driver.getConfig().getOffset(), 0.0);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
}

TEST(Vkr25MendedFaults, SinkThatEmptiesTheQueueOnReadyDoesNotLoseTheNextCommand) {
    // An owner that stops the auto-start mode and asks for something else as soon as
    // the sensor is ready: the end of the dump must not drop that new command.
    struct StoppingSink : TestSupport::RecordingSink {
        CVkr25* driver = nullptr;
        void onSensorReady(CSensor* sensor) override {
            RecordingSink::onSensorReady(sensor);
            driver->setMode(CVkr25::lmEscaped);
            driver->setMode(CVkr25::lmTP);
        }
    };
    StoppingSink sink;
    TestSupport::FakeInterface iface;
    CVkr25 driver(&sink);
    sink.driver = &driver;
    driver.setInterface(&iface);
    driver.initialize();
    iface.deliver(Vkr25Test::kIdLine + Vkr25Test::kPromptLine);
    iface.writes.clear();
    iface.deliver(Vkr25Test::kDump);
    EXPECT_EQ(iface.writes, (Writes{"\x1B", "TP", "\r"}));
    ASSERT_EQ(driver.getQueue().size(), 1U);
    EXPECT_EQ(driver.getQueue().front().getId(), CVkr25::lmTP);
    iface.deliver("+21\r\n");
    EXPECT_EQ(driver.getTemperature(), 21.0);
}
