#include "Vkr25XtTestRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25XtTest::Rig;
using Writes = std::vector<std::string>;

// ---- dispatch and identification ----------------------------------------------------

TEST(Vkr25XtProcessor, EmptyQueueTracesTheReplyAsReceived) {
    Rig rig;
    rig.driver.setDistance(7.0);
    rig.feed("001.234\r\n");
    EXPECT_EQ(rig.sink.updates, (Writes{"001.234\r\n"}));
    EXPECT_EQ(rig.driver.getDistance(), 7.0);
    EXPECT_EQ(rig.sink.calls, (Writes{"update"}));
}

TEST(Vkr25XtProcessor, IdentificationIsStoredAndIdWaitsForThePrompt) {
    Rig rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed(Vkr25XtTest::kIdLine);
    EXPECT_EQ(rig.config().getIdentification(), Vkr25XtTest::kIdLine);
    EXPECT_EQ(rig.head(), CVkr25Xt::lmID);
    EXPECT_EQ(rig.sink.updates, (Writes{"[case CVkr25Xt::lmID/FOUND ID STRING] " + Vkr25XtTest::kIdLine}));

    rig.forget();
    rig.feed(Vkr25XtTest::kPromptLine);
    EXPECT_EQ(rig.iface.writes, (Writes{"PA", "\r"}));
    EXPECT_EQ(rig.head(), CVkr25Xt::lmPA);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmEscaped);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmPA);
    EXPECT_EQ(rig.sink.calls, (Writes{"mode", "mode", "update"}));
    EXPECT_EQ(rig.sink.updates,
              (Writes{"[case CVkr25Xt::lmID/FOUND PR STRING] " + Vkr25XtTest::kPromptLine}));
}

TEST(Vkr25XtProcessor, Vkr27ModelIsRecognisedFromItsIdentity) {
    Rig rig;
    rig.start();
    const auto* info = rig.config().getVersionInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getModel(), "VKR27");
    EXPECT_FALSE(info->isVersionBelow(7)); // the 7 m mode is offered
    EXPECT_EQ(info->getSerial(), "12345");

    Rig xt;
    xt.driver.initialize();
    xt.feed("VKR25XT,SN 777,V6.10\r\n");
    ASSERT_NE(xt.config().getVersionInfo(), nullptr);
    EXPECT_EQ(xt.config().getVersionInfo()->getModel(), "VKR25XT");
    EXPECT_TRUE(xt.config().getVersionInfo()->isVersionBelow(7));
}

TEST(Vkr25XtProcessor, IdentificationErrorsRetryOnlyOn61) {
    Rig rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed("E61\r\n");
    EXPECT_EQ(rig.iface.writes, (Writes{"ID", "\r"}));
    EXPECT_EQ(rig.sink.updates, (Writes{""}));
    rig.forget();
    rig.feed("E15\r\n");
    rig.feed("001.234\r\n");
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.sink.updates,
              (Writes{"[case CVkr25Xt::lmID] E15\r\n", "[case CVkr25Xt::lmID] 001.234\r\n"}));
    EXPECT_EQ(rig.head(), CVkr25Xt::lmID);
}

// ---- measuring ----------------------------------------------------------------------

TEST(Vkr25XtProcessor, RunningModeReadsEveryDecimalLineAndStays) {
    for (const auto mode : {CVkr25Xt::lmDT, CVkr25Xt::lmDS, CVkr25Xt::lmDW, CVkr25Xt::lmDX, CVkr25Xt::lmDF}) {
        Rig rig;
        rig.makeActive('d');
        rig.startWith(mode);
        rig.feed("001.234\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.234);
        EXPECT_EQ(rig.driver.getStrDistance(), "001.234");
        rig.feed("1.23X45\r\n"); // rejected; not an error code
        rig.feed("1.5 \r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.5);
        EXPECT_EQ(rig.sink.updates, (Writes{"", "1.23X45\r\n", ""}));
        EXPECT_TRUE(rig.sink.sensorErrors.empty());
        EXPECT_EQ(rig.head(), mode);
    }
}

TEST(Vkr25XtProcessor, RunningModeYieldsToTheNextCommandAndDropsThatLine) {
    Rig rig;
    rig.makeActive('d');
    rig.startWith(CVkr25Xt::lmDT);
    rig.feed("001.000\r\n");
    rig.driver.setMode(CVkr25Xt::lmSA);
    rig.feed("009.999\r\n");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.0);
    EXPECT_EQ(rig.iface.writes, (Writes{"SA", "\r"}));
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmSA);
    EXPECT_EQ(rig.head(), CVkr25Xt::lmSA);
}

TEST(Vkr25XtProcessor, HexadecimalDistancesAre28BitTwosComplementMillimetres) {
    struct Case {
        const char* line;
        const char* text;
        double metres;
    };
    const Case cases[] = {
        {"x0001000\r\n", "0001000", 4.096},
        {"xFFFFFFF\r\n", "FFFFFFF", -0.001},
        {"x7FFFFFF\r\n", "7FFFFFF", 134217.727},
        {"x8000000\r\n", "8000000", -134217.728},
    };
    Rig rig;
    rig.makeActive('h');
    rig.startWith(CVkr25Xt::lmDX);
    for (const Case& c : cases) {
        rig.feed(c.line);
        EXPECT_EQ(rig.driver.getStrDistance(), c.text) << c.line;
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), c.metres) << c.line;
    }
    rig.feed("E15\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{15}));
    EXPECT_EQ(rig.driver.getStrDistance(), "8000000");
    EXPECT_EQ(rig.trace(), "E15\r\n");
    EXPECT_EQ(rig.head(), CVkr25Xt::lmDX);
}

TEST(Vkr25XtProcessor, SingleMeasurementEndsWithItsValueOrAnErrorCode) {
    Rig rig;
    rig.makeActive('h');
    rig.startWith(CVkr25Xt::lmDM);
    rig.driver.setMode(CVkr25Xt::lmTP);
    rig.feed("garbage\r\n"); // no answer: DM waits
    EXPECT_EQ(rig.head(), CVkr25Xt::lmDM);
    rig.feed("012.345\r\n"); // decimal whatever the format
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 12.345);
    EXPECT_EQ(rig.iface.writes, (Writes{"TP", "\r"}));
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmDM); // straight on, not through escape

    Rig failing;
    failing.makeActive('d');
    failing.startWith(CVkr25Xt::lmDM);
    failing.driver.setMode(CVkr25Xt::lmTP);
    failing.feed("E16\r\n");
    EXPECT_EQ(failing.sink.sensorErrors, (std::vector<int>{16}));
    EXPECT_EQ(failing.sink.calls, (Writes{"sensorError", "mode", "mode", "update"}));
    EXPECT_EQ(failing.driver.getPreviousMode(), CVkr25Xt::lmEscaped);
    EXPECT_EQ(failing.head(), CVkr25Xt::lmTP);
    EXPECT_EQ(failing.driver.getDistance(), 0.0);
    EXPECT_EQ(failing.sink.updates, (Writes{"E16\r\n"}));
}

TEST(Vkr25XtProcessor, TemperatureIsTwoCharactersFromIndexOne) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25Xt::lmTP);
    rig.driver.setMode(CVkr25Xt::lmFA);
    rig.feed("+23\r\n");
    EXPECT_EQ(rig.driver.getTemperature(), 23.0);
    EXPECT_EQ(rig.driver.getStrTemperature(), "23");
    EXPECT_EQ(rig.iface.writes, (Writes{"FA", "\r"}));
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmTP);
}

// ---- parameter replies ----------------------------------------------------------------

TEST(Vkr25XtProcessor, ParameterEchoesAreStoredAndFinishTheirCommand) {
    Rig rig;
    rig.makeActive();
    struct Case {
        CVkr25Xt::ELaserMode mode;
        const char* reply;
    };
    const Case cases[] = {
        {CVkr25Xt::lmSA, "SA7\r\n"},      {CVkr25Xt::lmSD, "SDh\r\n"},       {CVkr25Xt::lmST, "ST260\r\n"},
        {CVkr25Xt::lmSF, "SF1.0936\r\n"}, {CVkr25Xt::lmSE, "SE1\r\n"},       {CVkr25Xt::lmAC, "AC2.5\r\n"},
        {CVkr25Xt::lmAH, "AH0.1\r\n"},    {CVkr25Xt::lmAW, "AW1.5\r\n"},     {CVkr25Xt::lmRB, "RB0.25\r\n"},
        {CVkr25Xt::lmRE, "RE10\r\n"},     {CVkr25Xt::lmRM, "RM2 0.5 3\r\n"}, {CVkr25Xt::lmTD, "TD10 1\r\n"},
        {CVkr25Xt::lmTM, "TM1 0\r\n"},    {CVkr25Xt::lmBR, "BR115200\r\n"},  {CVkr25Xt::lmAS, "ASfbxyz\r\n"},
        {CVkr25Xt::lmOF, "OF-0.5\r\n"},   {CVkr25Xt::lmFA, "FA3.25\r\n"},    {CVkr25Xt::lmFB, "FB-1\r\n"},
        {CVkr25Xt::lmSO, "SO-1.234\r\n"},
    };
    for (const Case& c : cases) {
        rig.driver.setMode(c.mode);
        rig.driver.setMode(CVkr25Xt::lmDM);
        rig.forget();
        rig.feed(c.reply);
        EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmDM) << c.reply;
        EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmEscaped) << c.reply;
        EXPECT_EQ(rig.iface.writes, (Writes{"DM", "\r"})) << c.reply;
        // Only the echo of SO is traced.
        EXPECT_EQ(rig.trace(), c.mode == CVkr25Xt::lmSO ? c.reply : "") << c.reply;
        rig.driver.sendNextQueuedMode(); // DM done
    }
    const auto& config = rig.config();
    EXPECT_EQ(config.getAverage(), 7);
    EXPECT_EQ(config.getDisplayFormat(), 'h');
    EXPECT_EQ(config.getMeasureTime(), 4); // the low eight bits of 260
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 1.0936);
    EXPECT_EQ(config.getErrorMode(), 1);
    EXPECT_FLOAT_EQ(config.getAlarmCenter(), 2.5F);
    EXPECT_FLOAT_EQ(config.getAlarmHysteresis(), 0.1F);
    EXPECT_FLOAT_EQ(config.getAlarmWidth(), 1.5F);
    EXPECT_FLOAT_EQ(config.getRangeBegin(), 0.25F);
    EXPECT_FLOAT_EQ(config.getRangeEnd(), 10.0F);
    EXPECT_EQ(config.getRemoveMeasurement(), "2 0.5 3");
    EXPECT_EQ(config.getTriggerDelay(), "10 1");
    EXPECT_EQ(config.getTriggerMode(), "1 0");
    EXPECT_EQ(config.getBaudRate(), 0); // the echo of BR changes nothing
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmFB);
    EXPECT_DOUBLE_EQ(config.getOffset(), -0.5);
    EXPECT_FLOAT_EQ(config.getAlarm2(), 3.25F);
    EXPECT_EQ(config.getStrAlarm2(), "3.25");
    EXPECT_FLOAT_EQ(config.getAlarm3(), -1.0F);
}

TEST(Vkr25XtProcessor, UnreadableAlarmValueIsTracedAndTheCommandWaits) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25Xt::lmFA);
    rig.feed("FA1,5\r\n");
    EXPECT_EQ(rig.head(), CVkr25Xt::lmFA);
    EXPECT_EQ(rig.config().getStrAlarm2(), "1,5");
    EXPECT_EQ(rig.config().getAlarm2(), 0.0F);
    EXPECT_EQ(rig.sink.updates, (Writes{"FA1,5\r\n"}));
    rig.feed("FA1.5\r\n");
    EXPECT_FLOAT_EQ(rig.config().getAlarm2(), 1.5F);
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

// ---- parameter dump ---------------------------------------------------------------------

TEST(Vkr25XtProcessor, DumpStoresEveryMarkerAndTracesTheAlarmLinesAsTheyAre) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25XtTest::kIdLine + Vkr25XtTest::kPromptLine);
    rig.forget();
    rig.feed(Vkr25XtTest::kDump);

    const auto& config = rig.config();
    EXPECT_EQ(config.getAverage(), 5);
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 1.0936);
    EXPECT_EQ(config.getBaudRate(), 19200);
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmDT);
    EXPECT_DOUBLE_EQ(config.getOffset(), -0.25);
    // Alarms 2 and 3 are not taken from the dump.
    EXPECT_TRUE(config.getStrAlarm2().empty());
    EXPECT_TRUE(config.getStrAlarm3().empty());

    ASSERT_EQ(rig.sink.updates.size(), 18U);
    EXPECT_EQ(rig.sink.updates[0], "Found SA => [SA] Average value............5\r\n");
    EXPECT_EQ(rig.sink.updates[14], "Found AS => [AS] Autostart................dt\r\n");
    EXPECT_EQ(rig.sink.updates[15], Vkr25XtTest::kFaLine);
    EXPECT_EQ(rig.sink.updates[16], Vkr25XtTest::kFbLine);
    EXPECT_EQ(rig.sink.updates[17], "Found OF => " + Vkr25XtTest::kOfLine);
}

TEST(Vkr25XtProcessor, FirstDumpEndIgnoresFaAndFbAndStartsTheAutostartMode) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25XtTest::kIdLine + Vkr25XtTest::kPromptLine);
    rig.forget();
    rig.feed(Vkr25XtTest::kDump);
    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    ASSERT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.head(), CVkr25Xt::lmDT);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmDT);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmEscaped);
    const Writes tail(rig.sink.calls.end() - 5, rig.sink.calls.end());
    EXPECT_EQ(tail, (Writes{"update", "sensorReady", "mode", "mode", "update"}));
}

TEST(Vkr25XtProcessor, LaterDumpsAskForFaThenFbAndStoreTheirReplies) {
    Rig rig;
    rig.start();
    rig.driver.setMode(CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmPR);
    rig.forget();
    rig.feed(Vkr25XtTest::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 0);
    EXPECT_EQ(rig.iface.writes, (Writes{"FA", "\r"}));
    ASSERT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.head(), CVkr25Xt::lmFA);
    EXPECT_EQ((++rig.driver.getQueue().begin())->getId(), CVkr25Xt::lmFB);

    rig.feed("FA3.5\r\n");
    EXPECT_EQ(rig.iface.writes, (Writes{"FA", "\r", "FB", "\r"}));
    rig.feed("FB4.5\r\n");
    EXPECT_FLOAT_EQ(rig.config().getAlarm2(), 3.5F);
    EXPECT_FLOAT_EQ(rig.config().getAlarm3(), 4.5F);
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmEscaped);
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
}

TEST(Vkr25XtProcessor, RequestsWaitingBehindTheDumpGoFirst) {
    Rig rig;
    rig.start();
    rig.driver.setMode(CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmPA);
    rig.driver.setMode(CVkr25Xt::lmTP);
    rig.forget();
    rig.feed(Vkr25XtTest::kDump + "+21\r\nFA1\r\nFB2\r\n");
    EXPECT_EQ(rig.iface.written(), "TP\rFA\rFB\r");
    EXPECT_EQ(rig.driver.getTemperature(), 21.0);
    EXPECT_FLOAT_EQ(rig.config().getAlarm3(), 2.0F);
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TEST(Vkr25XtProcessor, SaMarkerMeansTheDumpHasBegunEvenAfterReset) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25Xt::lmPR);
    rig.driver.setCurrentMode(CVkr25Xt::lmEscaped);
    rig.feed("[ST] see [SA]....3\r\n");
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmPA);
    EXPECT_EQ(rig.config().getAverage(), 3); // "[SA]" comes first in the table
    EXPECT_EQ(rig.config().getMeasureTime(), 0);
    EXPECT_EQ(rig.head(), CVkr25Xt::lmPR);
    rig.feed("Parameter list\r\n");
    rig.feed("[XX] Unknown.....7\r\n");
    EXPECT_EQ(rig.sink.updates.back(), "[XX] Unknown.....7\r\n");
    EXPECT_EQ(rig.head(), CVkr25Xt::lmPR);
}

TEST(Vkr25XtProcessor, ProcessorWithoutSinkKeepsItsTraceAndStillStarts) {
    TestSupport::FakeInterface iface;
    CVkr25Xt driver(nullptr);
    driver.setInterface(&iface);
    iface.deliver("stray\r\n");
    auto* processor = dynamic_cast<CVkr25XtProcessor*>(driver.getProcessor());
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(processor->getTrace(), "stray\r\n");
    driver.initialize();
    iface.deliver(Vkr25XtTest::kIdLine + Vkr25XtTest::kPromptLine + Vkr25XtTest::kDump + "E15\r\n");
    EXPECT_EQ(driver.getActive(), 1);
}
