// Behaviour that differs from a literal reading of the protocol notes because the
// literal reading loses data, reports something false or leaves the driver stuck.

#include "Vkr25XtTestRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25XtTest::Rig;
using Writes = std::vector<std::string>;

TEST(Vkr25XtMendedFaults, DumpWithoutAutostartLeavesAReadyDriverUsable) {
    Rig rig;
    std::string dump = Vkr25XtTest::kDump;
    dump.erase(dump.find("[AS]"), dump.find("[FA]") - dump.find("[AS]"));
    rig.start(dump);
    EXPECT_EQ(rig.config().getAutostartMode(), CVkr25Xt::lmNone);
    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmDT);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
}

TEST(Vkr25XtMendedFaults, ErrorRepliesToTemperatureAndParametersAreErrorsNotValues) {
    const CVkr25Xt::ELaserMode heads[] = {
        CVkr25Xt::lmTP, CVkr25Xt::lmSA, CVkr25Xt::lmSD, CVkr25Xt::lmST, CVkr25Xt::lmSF, CVkr25Xt::lmSE,
        CVkr25Xt::lmAC, CVkr25Xt::lmAH, CVkr25Xt::lmAW, CVkr25Xt::lmRB, CVkr25Xt::lmRE, CVkr25Xt::lmRM,
        CVkr25Xt::lmTD, CVkr25Xt::lmTM, CVkr25Xt::lmBR, CVkr25Xt::lmAS, CVkr25Xt::lmOF, CVkr25Xt::lmSO};
    for (const auto head : heads) {
        Rig rig;
        rig.makeActive('h');
        auto& config = rig.config();
        config.setAverage(2);
        config.setMeasureTime(9);
        config.setStrOffset("0.5");
        config.setAutostartMode("dw");
        config.setRemoveMeasurement("1 2 3");
        rig.driver.setTemperature(-3.0);
        const CVkr25Xt::CVkr25XtConfig before = config;

        rig.startWith(head);
        rig.driver.setMode(CVkr25Xt::lmDM);
        rig.feed("E15\r\n");

        EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{15})) << int(head);
        EXPECT_EQ(rig.sink.calls, (Writes{"sensorError", "mode", "mode", "update"})) << int(head);
        EXPECT_EQ(rig.sink.updates, (Writes{"E15\r\n"})) << int(head);
        EXPECT_EQ(rig.iface.writes, (Writes{"DM", "\r"})) << int(head);
        EXPECT_EQ(rig.head(), CVkr25Xt::lmDM) << int(head);
        EXPECT_EQ(rig.driver.getTemperature(), -3.0) << int(head);
        EXPECT_EQ(config.getAverage(), before.getAverage()) << int(head);
        EXPECT_EQ(config.getDisplayFormat(), 'h') << int(head);
        EXPECT_EQ(config.getMeasureTime(), before.getMeasureTime()) << int(head);
        EXPECT_EQ(config.getStrOffset(), before.getStrOffset()) << int(head);
        EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmDW) << int(head);
        EXPECT_EQ(config.getRemoveMeasurement(), before.getRemoveMeasurement()) << int(head);
    }
}

TEST(Vkr25XtMendedFaults, HexadecimalLineWithoutDigitsIsAFailedReadingNotZero) {
    Rig rig;
    rig.makeActive('h');
    rig.startWith(CVkr25Xt::lmDT);
    rig.feed("x0001000\r\n");
    for (const char* line : {"\n", "\r\n", "x\r\n", "x      \r\n", "xZZZZZZZ\r\n"}) {
        rig.forget();
        rig.feed(line);
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 4.096) << line;
        EXPECT_EQ(rig.driver.getStrDistance(), "0001000") << line;
        EXPECT_EQ(rig.sink.updates, (Writes{line}));
        EXPECT_EQ(rig.head(), CVkr25Xt::lmDT);
    }
}

TEST(Vkr25XtMendedFaults, ErrorCodeToFaOrFbEndsTheCommandQuietly) {
    // A sensor without alarms 2 and 3 refuses both after every dump.
    Rig rig;
    rig.start();
    rig.driver.setMode(CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmPA);
    rig.feed(Vkr25XtTest::kDump);
    rig.config().setStrAlarm2("1");
    rig.forget();

    rig.feed("E62\r\n");
    EXPECT_EQ(rig.iface.writes, (Writes{"FB", "\r"}));
    EXPECT_EQ(rig.head(), CVkr25Xt::lmFB);
    rig.feed("E15\r\n");
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.sink.updates, (Writes{"E62\r\n", "E15\r\n"}));
    EXPECT_EQ(rig.sink.calls, (Writes{"mode", "mode", "update", "mode", "update"}));
    EXPECT_EQ(rig.config().getStrAlarm2(), "1");
    EXPECT_TRUE(rig.config().getStrAlarm3().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmEscaped);

    // Later requests are not stuck behind them.
    rig.driver.setMode(CVkr25Xt::lmTP);
    rig.feed("+20\r\n");
    EXPECT_EQ(rig.driver.getTemperature(), 20.0);
}

TEST(Vkr25XtMendedFaults, RepliesTooShortForTheirPositionsAreUnexpectedLines) {
    struct Case {
        CVkr25Xt::ELaserMode head;
        const char* reply;
    };
    const Case cases[] = {
        {CVkr25Xt::lmSA, "\n"},  {CVkr25Xt::lmSA, "SA\n"}, {CVkr25Xt::lmSD, "S\n"}, {CVkr25Xt::lmSD, "\n"},
        {CVkr25Xt::lmRM, "R\n"}, {CVkr25Xt::lmTD, "TD\n"}, {CVkr25Xt::lmTM, "\n"},  {CVkr25Xt::lmAS, "AS\n"},
        {CVkr25Xt::lmSF, "\n"},  {CVkr25Xt::lmOF, "O\n"},  {CVkr25Xt::lmFA, "\n"},  {CVkr25Xt::lmFB, "FB\n"},
        {CVkr25Xt::lmTP, "+\n"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.makeActive('h');
        rig.config().setRemoveMeasurement("1 2 3");
        rig.config().setTriggerDelay("5 1");
        rig.config().setTriggerMode("1 1");
        rig.config().setAutostartMode("dw");
        rig.startWith(c.head);
        rig.feed(c.reply);
        EXPECT_EQ(rig.sink.updates, (Writes{c.reply})) << int(c.head);
        EXPECT_EQ(rig.head(), c.head) << int(c.head);
        EXPECT_TRUE(rig.iface.writes.empty()) << int(c.head);
        EXPECT_EQ(rig.config().getDisplayFormat(), 'h') << int(c.head);
        EXPECT_EQ(rig.config().getRemoveMeasurement(), "1 2 3") << int(c.head);
        EXPECT_EQ(rig.config().getTriggerDelay(), "5 1") << int(c.head);
        EXPECT_EQ(rig.config().getTriggerMode(), "1 1") << int(c.head);
        EXPECT_EQ(rig.config().getAutostartMode(), CVkr25Xt::lmDW) << int(c.head);
        EXPECT_TRUE(rig.config().getStrAlarm2().empty()) << int(c.head);
    }

    // An echo with an empty value is complete: RM, TD and TM keep it.
    Rig rig;
    rig.makeActive();
    rig.config().setRemoveMeasurement("1 2 3");
    rig.startWith(CVkr25Xt::lmRM);
    rig.feed("RM\r\n");
    EXPECT_EQ(rig.config().getRemoveMeasurement(), "");
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TEST(Vkr25XtMendedFaults, RejectedIdentificationIsTracedAndLaterLinesGoOn) {
    for (const char* bad : {"VKR27 without fields\r\n", "VKR27,SN,V7.03\r\n", "VKR27,123,V7\r\n",
                            "VKR27,123,Vx.1\r\n", "VKR27,1,2,3\r\n"}) {
        Rig rig;
        rig.driver.initialize();
        rig.config().setIdentification("VKR27,1,V1.1");
        rig.forget();
        rig.feed(std::string(bad) + Vkr25XtTest::kPromptLine + Vkr25XtTest::kDump);

        ASSERT_GE(rig.sink.updates.size(), 2U);
        EXPECT_EQ(rig.sink.updates[0], std::string("[case CVkr25Xt::lmID/BAD ID STRING] ") + bad);
        EXPECT_EQ(rig.sink.updates[1], "[case CVkr25Xt::lmID/FOUND PR STRING] " + Vkr25XtTest::kPromptLine);
        EXPECT_EQ(rig.sink.dataUpdates, 20) << bad;
        EXPECT_EQ(rig.sink.sensorReady, 1) << bad;
        EXPECT_EQ(rig.config().getVersionInfo(), nullptr) << bad;
        EXPECT_EQ(rig.config().getIdentification(), "VKR27,1,V1.1") << bad;
    }
}

TEST(Vkr25XtMendedFaults, UnreadableOffsetStillEndsTheDump) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25XtTest::kIdLine + Vkr25XtTest::kPromptLine);
    rig.forget();
    rig.feed(Vkr25XtTest::kDumpHead + "[OF] Offset.......0,25\r\n");
    EXPECT_EQ(rig.sink.updates.back(), "[OF] Offset.......0,25\r\n");
    EXPECT_EQ(rig.config().getStrOffset(), "0,25");
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
}
