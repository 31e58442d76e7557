// How every driver of the family reads its sensor's replies.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Vkr25Family;

template <class Traits>
class Vkr25FamilyProcessor : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyProcessor, FamilyDrivers, FamilyDriverNames);

// ---- dispatch and identification ----------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, EmptyQueueTracesTheReplyAsReceived) {
    Rig<TypeParam> rig;
    rig.driver.setDistance(7.0);
    rig.feed("001.234\r\n");
    EXPECT_EQ(rig.sink.updates, (Writes{"001.234\r\n"}));
    EXPECT_EQ(rig.driver.getDistance(), 7.0);
    EXPECT_TRUE(rig.driver.getStrDistance().empty());
    EXPECT_EQ(rig.sink.calls, (Writes{"update"}));
}

TYPED_TEST(Vkr25FamilyProcessor, IdentityThenPromptMovesOnToTheDumpOneUpdateALine) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed(TypeParam::kIdLine);
    EXPECT_EQ(rig.config().getIdentification(), TypeParam::kIdLine);
    EXPECT_EQ(rig.head(), D::lmID);
    EXPECT_TRUE(rig.iface.writes.empty());

    rig.feed(kPromptLine);
    EXPECT_EQ(rig.iface.writes, (Writes{"PA", "\r"}));
    EXPECT_EQ(rig.head(), D::lmPA);
    EXPECT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmEscaped);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmPA);
    EXPECT_EQ(rig.sink.modeChanges, 2);
    // Every line gives one update, after the sink calls it caused.
    EXPECT_EQ(rig.sink.calls, (Writes{"update", "mode", "mode", "update"}));
    EXPECT_EQ(rig.sink.updates, (Writes{idTrace<TypeParam>("/FOUND ID STRING", TypeParam::kIdLine),
                                        idTrace<TypeParam>("/FOUND PR STRING", kPromptLine)}));
}

TYPED_TEST(Vkr25FamilyProcessor, IdentificationLineIsStoredAndIdStays) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.driver.initialize();
    rig.driver.setCurrentMode(D::lmEscaped);
    rig.forget();
    const std::string line = "Sensor VKR25,SN 12345,V 7.05\r\n";
    rig.feed(line);
    EXPECT_EQ(rig.config().getIdentification(), line);
    ASSERT_NE(rig.config().getVersionInfo(), nullptr);
    EXPECT_EQ(rig.config().getVersionInfo()->getModel(), "SensorVKR25");
    EXPECT_EQ(rig.config().getVersionInfo()->getSerial(), "12345");
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmID);
    EXPECT_EQ(rig.head(), D::lmID);
    EXPECT_EQ(rig.sink.updates, (Writes{idTrace<TypeParam>("/FOUND ID STRING", line)}));
    EXPECT_TRUE(rig.iface.writes.empty());
}

TYPED_TEST(Vkr25FamilyProcessor, IdentificationErrorsRetryOnlyOn61) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed("E61\r\n");
    EXPECT_EQ(rig.iface.writes, (Writes{"ID", "\r"}));
    EXPECT_EQ(rig.sink.updates, (Writes{""}));
    EXPECT_EQ(rig.head(), D::lmID);

    rig.forget();
    rig.feed("E15\r\n");
    rig.feed("hello\r\n");
    rig.feed("001.234\r\n");
    EXPECT_TRUE(rig.iface.writes.empty());
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.sink.updates,
              (Writes{idTrace<TypeParam>("", "E15\r\n"), idTrace<TypeParam>("", "hello\r\n"),
                      idTrace<TypeParam>("", "001.234\r\n")}));
    EXPECT_EQ(rig.driver.getQueue().size(), 2U);
    EXPECT_EQ(rig.head(), D::lmID);
}

// ---- running modes ----------------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, RunningModeReadsEveryDecimalLineAndStays) {
    using D = typename TypeParam::Driver;
    for (const auto mode : {D::lmDT, D::lmDS, D::lmDW, D::lmDX, D::lmDF}) {
        Rig<TypeParam> rig;
        rig.makeActive('d');
        rig.startWith(mode);
        rig.feed("001.234\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.234);
        EXPECT_EQ(rig.driver.getStrDistance(), "001.234");
        rig.feed("-02.5009999\r\n"); // only the first seven characters count
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), -2.5);
        EXPECT_EQ(rig.driver.getStrDistance(), "-02.500");
        rig.feed("1.23X45\r\n"); // rejected; not an error code
        rig.feed("1.5\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.5);
        EXPECT_EQ(rig.driver.getStrDistance(), "1.5\r\n");
        rig.feed("1.5 \r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.5);
        EXPECT_EQ(rig.head(), mode);
        EXPECT_EQ(rig.sink.updates, (Writes{"", "", "1.23X45\r\n", "", ""}));
        EXPECT_TRUE(rig.sink.sensorErrors.empty());
        EXPECT_TRUE(rig.iface.writes.empty());
        EXPECT_EQ(rig.sink.modeChanges, 0);
    }
}

TYPED_TEST(Vkr25FamilyProcessor, RunningModeYieldsToTheNextCommandAndDropsThatLine) {
    using D = typename TypeParam::Driver;
    for (const auto next : {D::lmDM, D::lmSA}) {
        Rig<TypeParam> rig;
        rig.makeActive('d');
        rig.startWith(D::lmDT);
        rig.feed("001.000\r\n");
        rig.driver.setMode(next);
        EXPECT_TRUE(rig.iface.writes.empty());
        rig.feed("009.999\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.0);
        EXPECT_EQ(rig.iface.writes, (Writes{D::getModeText(next), "\r"}));
        EXPECT_EQ(rig.head(), next);
        EXPECT_EQ(rig.driver.getQueue().size(), 1U);
        EXPECT_EQ(rig.driver.getCurrentMode(), next);
    }
}

TYPED_TEST(Vkr25FamilyProcessor, UnreadableDecimalLineIsTracedAndReportedOnlyWithAnErrorCode) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive('d');
    rig.startWith(D::lmDT);
    rig.driver.setDistance(3.0);
    rig.feed("1.23X45\r\n");
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    rig.feed("E15\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{15}));
    EXPECT_EQ(rig.driver.getDistance(), 3.0);
    EXPECT_TRUE(rig.driver.getStrDistance().empty());
    EXPECT_EQ(rig.sink.updates, (Writes{"1.23X45\r\n", "E15\r\n"}));
    EXPECT_EQ(rig.head(), D::lmDT);
    EXPECT_EQ(rig.sink.modeChanges, 0);
}

TYPED_TEST(Vkr25FamilyProcessor, HexadecimalDistancesAre28BitTwosComplementMillimetres) {
    using D = typename TypeParam::Driver;
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
    Rig<TypeParam> rig;
    rig.makeActive('h');
    rig.startWith(D::lmDX);
    for (const Case& c : cases) {
        rig.feed(c.line);
        EXPECT_EQ(rig.driver.getStrDistance(), c.text) << c.line;
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), c.metres) << c.line;
    }
    EXPECT_EQ(rig.trace(), "");
    // An error code stores nothing.
    rig.feed("E15\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{15}));
    EXPECT_EQ(rig.driver.getStrDistance(), "FFFFC18");
    EXPECT_EQ(rig.trace(), "E15\r\n");
    EXPECT_EQ(rig.head(), D::lmDX);
}

TYPED_TEST(Vkr25FamilyProcessor, HexadecimalErrorCodeIsReportedBeforeAnythingIsStored) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive('h');
    rig.startWith(D::lmDT);
    rig.feed("x0001000\r\n");
    rig.feed("E23\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{24}));
    EXPECT_EQ(rig.driver.getStrDistance(), "0001000");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 4.096);
    EXPECT_EQ(rig.sink.updates.back(), "E23\r\n");
    EXPECT_EQ(rig.head(), D::lmDT);
}

TYPED_TEST(Vkr25FamilyProcessor, DisplayFormatNeverReportedReadsHexadecimal) {
    Rig<TypeParam> rig;
    rig.driver.setActive(1);
    rig.startWith(TypeParam::Driver::lmDT);
    rig.feed("x0001000\r\n");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 4.096);
}

// ---- single commands ----------------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, SingleMeasurementIsDecimalInEitherFormatAndEndsTheCommand) {
    using D = typename TypeParam::Driver;
    for (const char format : {'d', 'h'}) {
        Rig<TypeParam> rig;
        rig.makeActive(format);
        rig.startWith(D::lmDM);
        rig.driver.setMode(D::lmTP);
        rig.feed("garbage\r\n"); // no answer: DM waits
        EXPECT_EQ(rig.head(), D::lmDM) << format;
        EXPECT_TRUE(rig.sink.sensorErrors.empty()) << format;
        EXPECT_EQ(rig.sink.updates, (Writes{"garbage\r\n"})) << format;
        rig.feed("012.345\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 12.345) << format;
        EXPECT_EQ(rig.driver.getStrDistance(), "012.345") << format;
        EXPECT_EQ(rig.iface.writes, (Writes{"TP", "\r"})) << format;
        EXPECT_EQ(rig.head(), D::lmTP) << format;
        EXPECT_EQ(rig.driver.getPreviousMode(), D::lmDM) << format; // straight on, not through escape
    }
}

TYPED_TEST(Vkr25FamilyProcessor, SingleMeasurementErrorEndsTheCommand) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive('d');
    rig.startWith(D::lmDM);
    rig.driver.setMode(D::lmTP);
    rig.feed("E16\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, (std::vector<int>{16}));
    EXPECT_EQ(rig.sink.calls, (Writes{"sensorError", "mode", "mode", "update"}));
    EXPECT_EQ(rig.iface.writes, (Writes{"TP", "\r"}));
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmEscaped);
    EXPECT_EQ(rig.head(), D::lmTP);
    EXPECT_EQ(rig.driver.getDistance(), 0.0);
    EXPECT_EQ(rig.sink.updates, (Writes{"E16\r\n"}));
}

TYPED_TEST(Vkr25FamilyProcessor, TemperatureIsTwoCharactersFromIndexOne) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.startWith(D::lmTP);
    rig.driver.setMode(D::lmDM);
    rig.feed("+23\r\n");
    EXPECT_EQ(rig.driver.getTemperature(), 23.0);
    EXPECT_EQ(rig.driver.getStrTemperature(), "23");
    EXPECT_EQ(rig.iface.writes, (Writes{"DM", "\r"}));
    // Not through escape: straight to the next command.
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmTP);
}

// ---- parameter replies ----------------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, ParameterEchoesAreStoredAndEndTheirCommand) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    struct Case {
        typename D::ELaserMode mode;
        const char* reply;
    };
    const Case cases[] = {
        {D::lmSA, "SA7\r\n"},      {D::lmSD, "SDh\r\n"},       {D::lmST, "ST260\r\n"},
        {D::lmSF, "SF1.0936\r\n"}, {D::lmSE, "SE1\r\n"},       {D::lmAC, "AC2.5\r\n"},
        {D::lmAH, "AH0.1\r\n"},    {D::lmAW, "AW1.5\r\n"},     {D::lmRB, "RB0.25\r\n"},
        {D::lmRE, "RE10\r\n"},     {D::lmRM, "RM2 0.5 3\r\n"}, {D::lmTD, "TD10 1\r\n"},
        {D::lmTM, "TM1 0\r\n"},    {D::lmBR, "BR115200\r\n"},  {D::lmAS, "ASdwxyz\r\n"},
        {D::lmOF, "OF-0.5\r\n"},   {D::lmSO, "SO-1.234\r\n"},
    };
    // Only the echo of SO is traced.
    for (const Case& c : cases)
        rig.expectReplyEndsItsCommand(c.mode, c.reply, c.mode == D::lmSO ? c.reply : "");
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
    EXPECT_EQ(config.getAutostartMode(), D::lmDW);
    EXPECT_DOUBLE_EQ(config.getOffset(), -0.5);
}

TYPED_TEST(Vkr25FamilyProcessor, UnreadableParameterValueIsTracedAndTheCommandWaits) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.startWith(D::lmSA);
    rig.feed("SAx\r\n");
    rig.feed("\n");
    EXPECT_EQ(rig.head(), D::lmSA);
    EXPECT_EQ(rig.sink.updates, (Writes{"SAx\r\n", "\n"}));
    EXPECT_EQ(rig.config().getAverage(), 0);
    rig.feed("SA3\r\n");
    EXPECT_EQ(rig.config().getAverage(), 3);
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TYPED_TEST(Vkr25FamilyProcessor, EchoWithAnEmptyTextValueIsComplete) {
    using D = typename TypeParam::Driver;
    for (const auto mode : {D::lmRM, D::lmTD, D::lmTM}) {
        Rig<TypeParam> rig;
        rig.makeActive();
        rig.config().setRemoveMeasurement("1 2 3");
        rig.config().setTriggerDelay("5 1");
        rig.config().setTriggerMode("1 1");
        rig.startWith(mode);
        rig.feed(D::getModeText(mode) + "\r\n");
        EXPECT_TRUE(rig.driver.getQueue().empty()) << int(mode);
        EXPECT_EQ(rig.config().getRemoveMeasurement(), mode == D::lmRM ? "" : "1 2 3");
        EXPECT_EQ(rig.config().getTriggerDelay(), mode == D::lmTD ? "" : "5 1");
        EXPECT_EQ(rig.config().getTriggerMode(), mode == D::lmTM ? "" : "1 1");
    }
}

// ---- parameter dump ---------------------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, DumpStoresEveryMarkerWithItsTrace) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.driver.initialize();
    rig.feed(TypeParam::kIdLine + kPromptLine);
    rig.forget();
    rig.feed(TypeParam::kDump);

    const auto& config = rig.config();
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
    EXPECT_EQ(config.getAutostartMode(), D::lmDT);
    EXPECT_DOUBLE_EQ(config.getOffset(), -0.25);

    // A parameter's line is traced behind "Found XX => "; the alarm 2 and 3 lines of
    // the larger models as they are.
    const std::vector<std::string> lines = dumpLines(TypeParam::kDump);
    ASSERT_EQ(rig.sink.updates.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const bool alarm = line.starts_with("[FA]") || line.starts_with("[FB]");
        EXPECT_EQ(rig.sink.updates[i], alarm ? line : "Found " + line.substr(1, 2) + " => " + line);
    }
}

TYPED_TEST(Vkr25FamilyProcessor, FirstDumpEndMakesTheDriverReadyAndStartsTheAutostartMode) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.driver.initialize();
    rig.feed(TypeParam::kIdLine + kPromptLine);
    rig.forget();
    rig.feed(TypeParam::kDump);
    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    ASSERT_EQ(rig.driver.getQueue().size(), 1U);
    EXPECT_EQ(rig.head(), D::lmDT);
    EXPECT_EQ(rig.driver.getCurrentMode(), D::lmDT);
    EXPECT_EQ(rig.driver.getPreviousMode(), D::lmEscaped);
    // "[SA]" makes the mode PA; the end: ready, escape, then the auto-start command.
    const Writes tail(rig.sink.calls.end() - 5, rig.sink.calls.end());
    EXPECT_EQ(tail, (Writes{"update", "sensorReady", "mode", "mode", "update"}));
    EXPECT_EQ(rig.sink.calls.front(), "mode");
}

TYPED_TEST(Vkr25FamilyProcessor, LaterDumpsNeitherRaiseReadyNorStartAnything) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.start();
    rig.driver.setMode(D::lmEscaped);
    rig.driver.setMode(D::lmPR);
    rig.driver.setMode(D::lmTP);
    rig.forget();
    rig.feed(TypeParam::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 0);
    EXPECT_EQ(rig.iface.writes, (Writes{"TP", "\r"}));
    EXPECT_EQ(rig.head(), D::lmTP);
}

TYPED_TEST(Vkr25FamilyProcessor, SaMarkerMeansTheDumpHasBegunAndTheFirstMarkerInTableOrderDecides) {
    using D = typename TypeParam::Driver;
    for (const auto head : {D::lmPA, D::lmPR}) {
        for (const std::string line : {"[SA]....3\r\n", "[ST] see [SA].....3\r\n"}) {
            Rig<TypeParam> rig;
            rig.makeActive();
            rig.startWith(head);
            rig.driver.setCurrentMode(D::lmEscaped); // as after a reset
            rig.feed(line);
            EXPECT_EQ(rig.driver.getCurrentMode(), D::lmPA) << line;
            EXPECT_EQ(rig.config().getAverage(), 3) << line;
            EXPECT_EQ(rig.config().getMeasureTime(), 0) << line;
            EXPECT_EQ(rig.sink.updates, (Writes{"Found SA => " + line}));
            EXPECT_EQ(rig.head(), head) << line;
        }
    }
}

TYPED_TEST(Vkr25FamilyProcessor, DumpLinesWithoutDotsOrMarkerAreTraced) {
    using D = typename TypeParam::Driver;
    for (const auto head : {D::lmPA, D::lmPR}) {
        Rig<TypeParam> rig;
        rig.makeActive();
        rig.startWith(head);
        rig.feed("Parameter list\r\n");
        rig.feed("[XX] Unknown.....7\r\n");
        rig.feed("[SA] no dots 5\r\n");
        EXPECT_EQ(rig.sink.updates,
                  (Writes{"Parameter list\r\n", "[XX] Unknown.....7\r\n", "[SA] no dots 5\r\n"}));
        EXPECT_EQ(rig.config().getAverage(), 0);
        EXPECT_EQ(rig.head(), head);
    }
}

TYPED_TEST(Vkr25FamilyProcessor, AlarmLinesOfTheLargerModelsAreTracedOrPassedOverAsTheModelWants) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.startWith(D::lmPA);
    const std::string fa = "[FA] Alarm 2.........1.5\r\n";
    const std::string fb = "[FB] Alarm 3.........2.5\r\n";
    rig.feed(fa);
    rig.feed(fb);
    if (TypeParam::kTracesAlarmDumpLines)
        EXPECT_EQ(rig.sink.updates, (Writes{fa, fb}));
    else
        EXPECT_EQ(rig.sink.updates, (Writes{"", ""}));
    EXPECT_EQ(rig.sink.modeChanges, 0);
    EXPECT_EQ(rig.head(), D::lmPA);
}

TYPED_TEST(Vkr25FamilyProcessor, DumpValueIsWhatFollowsTheLastTwoDots) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.startWith(D::lmPA);
    rig.feed("[SD] Format.. (d/h)..h\r\n");
    EXPECT_EQ(rig.config().getDisplayFormat(), 'h');
    rig.feed("[AS] Autostart........dwell\r\n");
    EXPECT_EQ(rig.config().getAutostartMode(), D::lmDW);
    rig.feed("[AS] Autostart........zz\r\n");
    EXPECT_EQ(rig.config().getAutostartMode(), D::lmID);
    rig.feed("[SD]..\n"); // nothing but the line end after the dots: taken as 'd'
    EXPECT_EQ(rig.config().getDisplayFormat(), 'd');
}

TYPED_TEST(Vkr25FamilyProcessor, EmptyDumpValueStoresEmptyTextsAndFailsNumbers) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.startWith(D::lmPA);
    rig.config().setRemoveMeasurement("1 2 3");
    rig.feed("[RM]..\r\n");
    rig.feed("[TD]..\r\n");
    rig.feed("[TM]..\r\n");
    EXPECT_EQ(rig.config().getRemoveMeasurement(), "");
    EXPECT_EQ(rig.config().getTriggerDelay(), "");
    EXPECT_EQ(rig.config().getTriggerMode(), "");
    rig.forget();
    for (const char* line :
         {"[SA]..\r\n", "[ST]..\r\n", "[SF]..\r\n", "[SE]..\r\n", "[AC]..\r\n", "[BR]..\r\n"})
        rig.feed(line);
    EXPECT_EQ(rig.trace(), "[SA]..\r\n[ST]..\r\n[SF]..\r\n[SE]..\r\n[AC]..\r\n[BR]..\r\n");
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.head(), D::lmPA);
}

TYPED_TEST(Vkr25FamilyProcessor, SixteenBitReadingsKeepTheLowBits) {
    Rig<TypeParam> rig;
    rig.makeActive();
    rig.startWith(TypeParam::Driver::lmPA);
    rig.feed("[BR]....65535\r\n");
    EXPECT_EQ(rig.config().getBaudRate(), 65535);
    rig.feed("[SA]....65535\r\n"); // read with its bits, then clamped
    EXPECT_EQ(rig.config().getAverage(), 20);
    rig.forget();
    rig.feed("[SA]....65536\r\n");
    rig.feed("[BR]....65536\r\n");
    EXPECT_EQ(rig.trace(), "[SA]....65536\r\n[BR]....65536\r\n");
}

TYPED_TEST(Vkr25FamilyProcessor, ProcessorWithoutSinkKeepsItsTraceAndStillStarts) {
    TestSupport::FakeInterface iface;
    typename TypeParam::Driver driver(nullptr);
    driver.setInterface(&iface);
    iface.deliver("stray\r\n");
    auto* processor = dynamic_cast<typename TypeParam::Processor*>(driver.getProcessor());
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(processor->getTrace(), "stray\r\n");
    // No sink: start-up and errors go nowhere, and nothing breaks.
    driver.initialize();
    iface.deliver(TypeParam::kIdLine + kPromptLine + TypeParam::kDump + "E15\r\n");
    EXPECT_EQ(driver.getActive(), 1);
}
