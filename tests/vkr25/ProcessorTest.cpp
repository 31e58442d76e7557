#include "Vkr25TestRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25Test::Rig;
using Writes = std::vector<std::string>;

// ---- dispatch and identification ----------------------------------------------------

TEST(Vkr25Processor, EmptyQueueTracesTheReplyAsReceived) {
    Rig rig;
    rig.driver.setDistance(7.0);
    rig.feed("001.234\r\n");
    EXPECT_EQ(rig.sink.updates, (Writes{"001.234\r\n"}));
    EXPECT_EQ(rig.driver.getDistance(), 7.0);
    EXPECT_TRUE(rig.driver.getStrDistance().empty());
    EXPECT_EQ(rig.sink.calls, (Writes{"update"}));
}

TEST(Vkr25Processor, EveryLineGivesOneUpdateAfterItsSinkCalls) {
    Rig rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine);
    EXPECT_EQ(rig.sink.calls, (Writes{"update", "mode", "mode", "update"}));
}

TEST(Vkr25Processor, IdentificationLineIsStoredAndIdStays) {
    Rig rig;
    rig.driver.initialize();
    rig.driver.setCurrentMode(CVkr25::lmEscaped);
    rig.forget();
    const std::string line = "Sensor VKR25,SN 12345,V 7.05\r\n";
    rig.feed(line);
    EXPECT_EQ(rig.driver.getConfig().getIdentification(), line);
    ASSERT_NE(rig.driver.getConfig().getVersionInfo(), nullptr);
    EXPECT_EQ(rig.driver.getConfig().getVersionInfo()->getModel(), "SensorVKR25");
    EXPECT_EQ(rig.driver.getConfig().getVersionInfo()->getSerial(), "12345");
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmID);
    EXPECT_EQ(rig.head(), CVkr25::lmID);
    EXPECT_EQ(rig.sink.updates, (Writes{"[case CVkr25::lmID/FOUND ID STRING] " + line}));
    EXPECT_TRUE(rig.iface.writes.empty());
}

TEST(Vkr25Processor, PromptLineMovesOnToTheDump) {
    Rig rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed(Vkr25Test::kPromptLine);
    EXPECT_EQ(rig.iface.writes, (Writes{"PA", "\r"}));
    EXPECT_EQ(rig.head(), CVkr25::lmPA);
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmEscaped);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmPA);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    EXPECT_EQ(rig.sink.updates, (Writes{"[case CVkr25::lmID/FOUND PR STRING] " + Vkr25Test::kPromptLine}));
}

TEST(Vkr25Processor, IdentificationErrorsRetryOnlyOn61) {
    Rig rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed("E61\r\n");
    EXPECT_EQ(rig.iface.writes, (Writes{"ID", "\r"}));
    EXPECT_EQ(rig.sink.updates, (Writes{""}));
    EXPECT_EQ(rig.head(), CVkr25::lmID);

    rig.forget();
    rig.feed("E15\r\n");
    rig.feed("hello\r\n");
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.sink.updates, (Writes{"[case CVkr25::lmID] E15\r\n", "[case CVkr25::lmID] hello\r\n"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
}

// ---- running modes ----------------------------------------------------------------

TEST(Vkr25Processor, RunningModeReadsEveryDecimalLineAndStays) {
    for (const CVkr25::ELaserMode mode :
         {CVkr25::lmDT, CVkr25::lmDS, CVkr25::lmDW, CVkr25::lmDX, CVkr25::lmDF}) {
        Rig rig;
        rig.makeActive('d');
        rig.startWith(mode);
        rig.feed("001.234\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.234);
        EXPECT_EQ(rig.driver.getStrDistance(), "001.234");
        rig.feed("-02.5009999\r\n"); // only the first seven characters count
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), -2.5);
        EXPECT_EQ(rig.driver.getStrDistance(), "-02.500");
        rig.feed("1.5\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.5);
        EXPECT_EQ(rig.driver.getStrDistance(), "1.5\r\n");
        EXPECT_EQ(rig.head(), mode);
        EXPECT_EQ(rig.sink.updates, (Writes{"", "", ""}));
        EXPECT_TRUE(rig.iface.writes.empty());
        EXPECT_EQ(rig.sink.modeChanges, 0);
    }
}

TEST(Vkr25Processor, RunningModeYieldsToTheNextCommandAndDropsThatLine) {
    Rig rig;
    rig.makeActive('d');
    rig.startWith(CVkr25::lmDT);
    rig.feed("001.000\r\n");
    rig.driver.setMode(CVkr25::lmDM);
    EXPECT_TRUE(rig.iface.writes.empty());
    rig.feed("009.999\r\n");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.0);
    EXPECT_EQ(rig.iface.writes, (Writes{"DM", "\r"}));
    EXPECT_EQ(rig.head(), CVkr25::lmDM);
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmDM);
}

TEST(Vkr25Processor, UnreadableDecimalLineIsTracedAndReportedOnlyWithAnErrorCode) {
    Rig rig;
    rig.makeActive('d');
    rig.startWith(CVkr25::lmDT);
    rig.driver.setDistance(3.0);
    rig.feed("1.23X45\r\n");
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    rig.feed("E15\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{15}));
    EXPECT_EQ(rig.driver.getDistance(), 3.0);
    EXPECT_TRUE(rig.driver.getStrDistance().empty());
    EXPECT_EQ(rig.sink.updates, (Writes{"1.23X45\r\n", "E15\r\n"}));
    EXPECT_EQ(rig.head(), CVkr25::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 0);
}

TEST(Vkr25Processor, HexadecimalDistancesAre28BitTwosComplementMillimetres) {
    struct Case {
        const char* line;
        const char* text;
        double metres;
    };
    const Case cases[] = {
        {"xFFFFFFF\r\n", "FFFFFFF", -0.001},     {"x0000001\r\n", "0000001", 0.001},
        {"x7FFFFFF\r\n", "7FFFFFF", 134217.727}, {"x8000000\r\n", "8000000", -134217.728},
        {"x0001000\r\n", "0001000", 4.096},      {"x00004d2\r\n", "00004d2", 1.234},
        {" 00001G4\r\n", "00001G4", 0.001},      {"x0000000\r\n", "0000000", 0.0},
        {"x  00010\r\n", "  00010", 0.016},      {"xFFFFC18\r\n", "FFFFC18", -1.0},
    };
    Rig rig;
    rig.makeActive('h');
    rig.startWith(CVkr25::lmDX);
    for (const Case& c : cases) {
        rig.feed(c.line);
        EXPECT_EQ(rig.driver.getStrDistance(), c.text) << c.line;
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), c.metres) << c.line;
    }
    EXPECT_EQ(rig.head(), CVkr25::lmDX);
    EXPECT_EQ(rig.trace(), "");
}

TEST(Vkr25Processor, HexadecimalErrorCodeIsReportedBeforeAnythingIsStored) {
    Rig rig;
    rig.makeActive('h');
    rig.startWith(CVkr25::lmDT);
    rig.feed("x0001000\r\n");
    rig.feed("E23\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{24}));
    EXPECT_EQ(rig.driver.getStrDistance(), "0001000");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 4.096);
    EXPECT_EQ(rig.sink.updates.back(), "E23\r\n");
    EXPECT_EQ(rig.head(), CVkr25::lmDT);
}

TEST(Vkr25Processor, DisplayFormatNeverReportedReadsHexadecimal) {
    Rig rig;
    rig.driver.setActive(1);
    rig.startWith(CVkr25::lmDT);
    rig.feed("x0001000\r\n");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 4.096);
}

// ---- single commands ----------------------------------------------------------------

TEST(Vkr25Processor, SingleMeasurementIsDecimalInEitherFormatAndEndsTheCommand) {
    Rig rig;
    rig.makeActive('h');
    rig.startWith(CVkr25::lmDM);
    rig.driver.setMode(CVkr25::lmTP);
    rig.feed("012.345\r\n");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 12.345);
    EXPECT_EQ(rig.driver.getStrDistance(), "012.345");
    EXPECT_EQ(rig.iface.writes, (Writes{"TP", "\r"}));
    EXPECT_EQ(rig.head(), CVkr25::lmTP);
}

TEST(Vkr25Processor, SingleMeasurementErrorEndsTheCommand) {
    Rig rig;
    rig.makeActive('d');
    rig.startWith(CVkr25::lmDM);
    rig.driver.setMode(CVkr25::lmTP);
    rig.feed("E16\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{16}));
    EXPECT_EQ(rig.sink.calls, (Writes{"sensorError", "mode", "mode", "update"}));
    EXPECT_EQ(rig.iface.writes, (Writes{"TP", "\r"}));
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmEscaped);
    EXPECT_EQ(rig.sink.updates, (Writes{"E16\r\n"}));

    // Garbage is no answer: DM waits for its reply.
    Rig other;
    other.makeActive('d');
    other.startWith(CVkr25::lmDM);
    other.feed("garbage\r\n");
    EXPECT_EQ(other.head(), CVkr25::lmDM);
    EXPECT_TRUE(other.sink.sensorErrors.empty());
    EXPECT_EQ(other.sink.updates, (Writes{"garbage\r\n"}));
}

TEST(Vkr25Processor, TemperatureIsTwoCharactersFromIndexOne) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmTP);
    rig.driver.setMode(CVkr25::lmDM);
    rig.feed("+23\r\n");
    EXPECT_EQ(rig.driver.getTemperature(), 23.0);
    EXPECT_EQ(rig.driver.getStrTemperature(), "23");
    EXPECT_EQ(rig.iface.writes, (Writes{"DM", "\r"}));
    // Not through escape: straight to the next command.
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmTP);
}

// ---- parameter replies ----------------------------------------------------------------

TEST(Vkr25Processor, ParameterEchoesAreStoredAndEndTheirCommand) {
    Rig rig;
    rig.makeActive();
    CVkr25::CVkr25Config& config = rig.driver.getConfig();
    struct Case {
        CVkr25::ELaserMode mode;
        const char* reply;
    };
    const Case cases[] = {
        {CVkr25::lmSA, "SA7\r\n"},      {CVkr25::lmSD, "SDh\r\n"},       {CVkr25::lmST, "ST260\r\n"},
        {CVkr25::lmSF, "SF1.0936\r\n"}, {CVkr25::lmSE, "SE1\r\n"},       {CVkr25::lmAC, "AC2.5\r\n"},
        {CVkr25::lmAH, "AH0.1\r\n"},    {CVkr25::lmAW, "AW1.5\r\n"},     {CVkr25::lmRB, "RB0.25\r\n"},
        {CVkr25::lmRE, "RE10\r\n"},     {CVkr25::lmRM, "RM2 0.5 3\r\n"}, {CVkr25::lmTD, "TD10 1\r\n"},
        {CVkr25::lmTM, "TM1 0\r\n"},    {CVkr25::lmBR, "BR115200\r\n"},  {CVkr25::lmAS, "ASdwxyz\r\n"},
        {CVkr25::lmOF, "OF-0.5\r\n"},
    };
    for (const Case& c : cases) {
        rig.driver.setMode(c.mode);
        rig.driver.setMode(CVkr25::lmDM);
        rig.forget();
        rig.feed(c.reply);
        EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmDM) << c.reply;
        EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmEscaped) << c.reply;
        EXPECT_EQ(rig.iface.writes, (Writes{"DM", "\r"})) << c.reply;
        EXPECT_EQ(rig.sink.updates, (Writes{""})) << c.reply;
        rig.driver.sendNextQueuedMode(); // DM done
    }
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
    EXPECT_EQ(config.getAutostartMode(), CVkr25::lmDW);
    EXPECT_DOUBLE_EQ(config.getOffset(), -0.5);
}

TEST(Vkr25Processor, UnreadableParameterValueIsTracedAndTheCommandWaits) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmSA);
    rig.feed("SAx\r\n");
    rig.feed("\n");
    EXPECT_EQ(rig.head(), CVkr25::lmSA);
    EXPECT_EQ(rig.sink.updates, (Writes{"SAx\r\n", "\n"}));
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 0);
    rig.feed("SA3\r\n");
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 3);
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TEST(Vkr25Processor, ShortParameterRepliesNeverReadPastTheirEnd) {
    Rig rig;
    rig.makeActive();
    rig.driver.getConfig().setDisplayFormat('h');
    rig.startWith(CVkr25::lmSD);
    rig.feed("\n");
    EXPECT_EQ(rig.driver.getConfig().getDisplayFormat(), 'd'); // NUL is not 'h'
    rig.startWith(CVkr25::lmAS);
    rig.feed("A\n");
    EXPECT_EQ(rig.driver.getConfig().getAutostartMode(), CVkr25::lmID);
    rig.startWith(CVkr25::lmRM);
    rig.feed("RM\n");
    EXPECT_EQ(rig.driver.getConfig().getRemoveMeasurement(), "\n");
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TEST(Vkr25Processor, SetOffsetReplyIsTracedAndEndsTheCommand) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmSO);
    rig.driver.setMode(CVkr25::lmPA);
    rig.feed("SO-1.234\r\n");
    EXPECT_EQ(rig.sink.updates, (Writes{"SO-1.234\r\n"}));
    EXPECT_EQ(rig.iface.writes, (Writes{"PA", "\r"}));
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmEscaped);
}

// ---- parameter dump ---------------------------------------------------------------------

TEST(Vkr25Processor, DumpStoresEveryMarkerWithItsTrace) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine);
    rig.forget();
    rig.feed(Vkr25Test::kDump);

    const CVkr25::CVkr25Config& config = rig.driver.getConfig();
    EXPECT_EQ(config.getAverage(), 5);
    EXPECT_EQ(config.getDisplayFormat(), 'd');
    EXPECT_EQ(config.getMeasureTime(), 3);
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 1.0936);
    EXPECT_EQ(config.getStrScaleFactor(), "1.0936");
    EXPECT_EQ(config.getErrorMode(), 1);
    EXPECT_FLOAT_EQ(config.getAlarmCenter(), 2.5F);
    EXPECT_FLOAT_EQ(config.getAlarmHysteresis(), 0.1F);
    EXPECT_FLOAT_EQ(config.getAlarmWidth(), 1.5F);
    EXPECT_FLOAT_EQ(config.getRangeBegin(), 0.2F);
    EXPECT_FLOAT_EQ(config.getRangeEnd(), 10.0F);
    EXPECT_EQ(config.getRemoveMeasurement(), "2 0.5 3");
    EXPECT_EQ(config.getTriggerDelay(), "10 1");
    EXPECT_EQ(config.getTriggerMode(), "1 0");
    EXPECT_EQ(config.getBaudRate(), 19200);
    EXPECT_EQ(config.getAutostartMode(), CVkr25::lmDT);
    EXPECT_DOUBLE_EQ(config.getOffset(), -0.25);

    const char* const markers[] = {"SA", "SD", "ST", "SF", "SE", "AC", "AH", "AW",
                                   "RB", "RE", "RM", "TD", "TM", "BR", "AS", "OF"};
    ASSERT_EQ(rig.sink.updates.size(), 16U);
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        const std::size_t lineEnd = Vkr25Test::kDump.find('\n', lineStart) + 1;
        const std::string line = Vkr25Test::kDump.substr(lineStart, lineEnd - lineStart);
        EXPECT_EQ(rig.sink.updates[i], std::string("Found ") + markers[i] + " => " + line);
        lineStart = lineEnd;
    }
}

TEST(Vkr25Processor, FirstDumpEndMakesTheDriverReadyAndStartsTheAutostartMode) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine);
    rig.forget();
    rig.feed(Vkr25Test::kDump);
    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    EXPECT_EQ(rig.head(), CVkr25::lmDT);
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmDT);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25::lmEscaped);
    // "[SA]" makes the mode PA; the end: ready, escape, then the auto-start command.
    const Writes tail(rig.sink.calls.end() - 5, rig.sink.calls.end());
    EXPECT_EQ(tail, (Writes{"update", "sensorReady", "mode", "mode", "update"}));
    EXPECT_EQ(rig.sink.calls.front(), "mode");
}

TEST(Vkr25Processor, LaterDumpsNeitherRaiseReadyNorStartAnything) {
    Rig rig;
    rig.driver.initialize();
    rig.feed(Vkr25Test::kIdLine + Vkr25Test::kPromptLine + Vkr25Test::kDump);
    rig.driver.setMode(CVkr25::lmEscaped);
    rig.driver.setMode(CVkr25::lmPR);
    rig.driver.setMode(CVkr25::lmTP);
    rig.forget();
    rig.feed(Vkr25Test::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 0);
    EXPECT_EQ(rig.iface.writes, (Writes{"TP", "\r"}));
    EXPECT_EQ(rig.head(), CVkr25::lmTP);
}

TEST(Vkr25Processor, SaMarkerMeansTheDumpHasBegunEvenAfterReset) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmPR);
    rig.driver.setCurrentMode(CVkr25::lmEscaped);
    rig.feed("[SA]....3\r\n");
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmPA);
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 3);
    EXPECT_EQ(rig.head(), CVkr25::lmPR);
}

TEST(Vkr25Processor, DumpLinesWithoutDotsOrMarkerAreTraced) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmPA);
    rig.feed("Parameter list\r\n");
    rig.feed("[XX] Unknown.....7\r\n");
    rig.feed("[SA] no dots 5\r\n");
    EXPECT_EQ(rig.sink.updates,
              (Writes{"Parameter list\r\n", "[XX] Unknown.....7\r\n", "[SA] no dots 5\r\n"}));
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 0);
    EXPECT_EQ(rig.head(), CVkr25::lmPA);
}

TEST(Vkr25Processor, AlarmLinesOfLargerModelsLeaveNoTrace) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmPA);
    rig.feed("[FA] Alarm 2.........1.5\r\n");
    rig.feed("[FB] Alarm 3.........2.5\r\n");
    EXPECT_EQ(rig.sink.updates, (Writes{"", ""}));
    EXPECT_EQ(rig.sink.modeChanges, 0);
    EXPECT_EQ(rig.head(), CVkr25::lmPA);
}

TEST(Vkr25Processor, FirstMarkerInTableOrderDecides) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmPA);
    rig.feed("[ST] see [SA].....4\r\n");
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 4);
    EXPECT_EQ(rig.driver.getConfig().getMeasureTime(), 0);
    EXPECT_EQ(rig.sink.updates, (Writes{"Found SA => [ST] see [SA].....4\r\n"}));
}

TEST(Vkr25Processor, DumpValueIsWhatFollowsTheLastTwoDots) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmPA);
    rig.feed("[SD] Format.. (d/h)..h\r\n");
    EXPECT_EQ(rig.driver.getConfig().getDisplayFormat(), 'h');
    rig.feed("[AS] Autostart........dwell\r\n");
    EXPECT_EQ(rig.driver.getConfig().getAutostartMode(), CVkr25::lmDW);
    rig.feed("[AS] Autostart........zz\r\n");
    EXPECT_EQ(rig.driver.getConfig().getAutostartMode(), CVkr25::lmID);
    rig.feed("[SD]..\n"); // nothing but the line end after the dots: taken as 'd'
    EXPECT_EQ(rig.driver.getConfig().getDisplayFormat(), 'd');
}

TEST(Vkr25Processor, EmptyDumpValueStoresEmptyTextsAndFailsNumbers) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmPA);
    rig.driver.getConfig().setRemoveMeasurement("1 2 3");
    rig.feed("[RM]..\r\n");
    rig.feed("[TD]..\r\n");
    rig.feed("[TM]..\r\n");
    EXPECT_EQ(rig.driver.getConfig().getRemoveMeasurement(), "");
    EXPECT_EQ(rig.driver.getConfig().getTriggerDelay(), "");
    EXPECT_EQ(rig.driver.getConfig().getTriggerMode(), "");
    rig.forget();
    for (const char* line :
         {"[SA]..\r\n", "[ST]..\r\n", "[SF]..\r\n", "[SE]..\r\n", "[AC]..\r\n", "[BR]..\r\n"})
        rig.feed(line);
    EXPECT_EQ(rig.trace(), "[SA]..\r\n[ST]..\r\n[SF]..\r\n[SE]..\r\n[AC]..\r\n[BR]..\r\n");
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.head(), CVkr25::lmPA);
}

TEST(Vkr25Processor, SixteenBitReadingsKeepTheLowBits) {
    Rig rig;
    rig.makeActive();
    rig.startWith(CVkr25::lmPA);
    rig.feed("[BR]....65535\r\n");
    EXPECT_EQ(rig.driver.getConfig().getBaudRate(), 65535);
    rig.feed("[SA]....65535\r\n"); // read with its bits, then clamped
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 20);
    rig.forget();
    rig.feed("[SA]....65536\r\n");
    rig.feed("[BR]....65536\r\n");
    EXPECT_EQ(rig.trace(), "[SA]....65536\r\n[BR]....65536\r\n");
}

TEST(Vkr25Processor, ProcessorWithoutSinkKeepsItsTrace) {
    TestSupport::FakeInterface iface;
    CVkr25 driver(nullptr);
    driver.setInterface(&iface);
    iface.deliver("stray\r\n");
    auto* processor = dynamic_cast<CVkr25Processor*>(driver.getProcessor());
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(processor->getTrace(), "stray\r\n");
    // No sink: start-up and errors go nowhere, and nothing breaks.
    driver.initialize();
    iface.deliver(Vkr25Test::kIdLine + Vkr25Test::kPromptLine + Vkr25Test::kDump + "E15\r\n");
    EXPECT_EQ(driver.getActive(), 1);
}
