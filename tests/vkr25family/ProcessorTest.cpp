// How every driver of the family reads its sensor's replies.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Vkr25Family;
using Codes = std::vector<int>;

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
    rig.driver.setCurrentMode(D::lmEscaped);
    rig.forget();
    // Anywhere in the line, the model's name makes it the identification.
    const std::string line = "Sensor " + TypeParam::kIdLine;
    rig.feed(line);
    EXPECT_EQ(rig.config().getIdentification(), line);
    ASSERT_NE(rig.config().getVersionInfo(), nullptr);
    EXPECT_EQ(rig.config().getVersionInfo()->getModel(), std::string("Sensor") + TypeParam::kModel);
    EXPECT_EQ(rig.config().getVersionInfo()->getSerial(), "12345");
    EXPECT_EQ(rig.state(), "ID after ESC, queue ID PA, wrote ");
    rig.feed(kPromptLine);
    EXPECT_EQ(rig.state(), "ESC after PA, queue PA, wrote <PA><\r>");
    // Every line gives one update, after the sink calls it caused.
    EXPECT_EQ(rig.sink.calls, (Writes{"mode", "update", "mode", "mode", "update"}));
    EXPECT_EQ(rig.sink.updates, (Writes{idTrace<TypeParam>("/FOUND ID STRING", line),
                                        idTrace<TypeParam>("/FOUND PR STRING", kPromptLine)}));
}

TYPED_TEST(Vkr25FamilyProcessor, IdentificationErrorsRetryOnlyOn61) {
    Rig<TypeParam> rig;
    rig.driver.initialize();
    rig.forget();
    rig.feed("E61\r\n");
    EXPECT_EQ(rig.state(), "ID after ESC, queue ID PA, wrote <ID><\r>");
    EXPECT_EQ(rig.sink.updates, (Writes{""}));

    rig.forget();
    for (const char* line : {"E15\r\n", "hello\r\n", "001.234\r\n"})
        rig.feed(line);
    EXPECT_EQ(rig.state(), "ID after ESC, queue ID PA, wrote ");
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.sink.updates,
              (Writes{idTrace<TypeParam>("", "E15\r\n"), idTrace<TypeParam>("", "hello\r\n"),
                      idTrace<TypeParam>("", "001.234\r\n")}));
}

// ---- running modes ----------------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, RunningModeReadsEveryDecimalLineAndReportsOnlyErrorCodes) {
    using D = typename TypeParam::Driver;
    for (const auto mode : {D::lmDT, D::lmDS, D::lmDW, D::lmDX, D::lmDF}) {
        Rig<TypeParam> rig;
        rig.run(mode);
        rig.feed("001.234\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.234);
        EXPECT_EQ(rig.driver.getStrDistance(), "001.234");
        rig.feed("-02.5009999\r\n"); // only the first seven characters count
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), -2.5);
        EXPECT_EQ(rig.driver.getStrDistance(), "-02.500");
        rig.feed("1.23X45\r\n"); // rejected; not an error code
        EXPECT_TRUE(rig.sink.sensorErrors.empty());
        rig.feed("E15\r\n");
        EXPECT_EQ(rig.sink.sensorErrors, Codes{15});
        EXPECT_EQ(rig.driver.getStrDistance(), "-02.500");
        rig.feed("1.5\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.5);
        EXPECT_EQ(rig.driver.getStrDistance(), "1.5\r\n");
        rig.feed("1.5 \r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.5);
        EXPECT_EQ(rig.sink.updates, (Writes{"", "", "1.23X45\r\n", "E15\r\n", "", ""}));
        EXPECT_EQ(rig.state(), rig.name(mode) + " after none, queue " + rig.name(mode) + ", wrote ");
    }
}

TYPED_TEST(Vkr25FamilyProcessor, RunningModeYieldsToTheNextCommandAndDropsThatLine) {
    using D = typename TypeParam::Driver;
    for (const auto next : {D::lmDM, D::lmSA}) {
        Rig<TypeParam> rig;
        rig.run(D::lmDT);
        rig.feed("001.000\r\n");
        rig.driver.setMode(next);
        EXPECT_TRUE(rig.iface.writes.empty());
        rig.feed("009.999\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.0);
        const std::string text = D::getModeText(next);
        EXPECT_EQ(rig.state(), text + " after DT, queue " + text + ", wrote <" + text + "><\r>");
    }
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
    rig.run(D::lmDX, 'h');
    for (const Case& c : cases) {
        rig.feed(c.line);
        EXPECT_EQ(rig.driver.getStrDistance(), c.text) << c.line;
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), c.metres) << c.line;
    }
    EXPECT_EQ(rig.trace(), "");
    // An error code is reported (E23 and E24 swapped) before anything is stored.
    rig.feed("E23\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, Codes{24});
    EXPECT_EQ(rig.driver.getStrDistance(), "FFFFC18");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), -1.0);
    EXPECT_EQ(rig.trace(), "E23\r\n");
    EXPECT_EQ(rig.head(), D::lmDX);

    // A display format never reported reads hexadecimal.
    Rig<TypeParam> unknown;
    unknown.driver.setActive(1);
    unknown.startWith(D::lmDT);
    unknown.feed("x0001000\r\n");
    EXPECT_DOUBLE_EQ(unknown.driver.getDistance(), 4.096);
}

// ---- single commands ----------------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, SingleMeasurementIsDecimalInEitherFormatAndEndsTheCommand) {
    using D = typename TypeParam::Driver;
    for (const char format : {'d', 'h'}) {
        Rig<TypeParam> rig;
        rig.run(D::lmDM, format);
        rig.driver.setMode(D::lmTP);
        rig.feed("garbage\r\n"); // no answer: DM waits
        EXPECT_EQ(rig.state(), "DM after none, queue DM TP, wrote ") << format;
        rig.feed("012.345\r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 12.345) << format;
        EXPECT_EQ(rig.driver.getStrDistance(), "012.345") << format;
        EXPECT_EQ(rig.sink.updates, (Writes{"garbage\r\n", ""})) << format;
        EXPECT_TRUE(rig.sink.sensorErrors.empty()) << format;
        // Straight on, not through escape.
        EXPECT_EQ(rig.state(), "TP after DM, queue TP, wrote <TP><\r>") << format;
    }
}

TYPED_TEST(Vkr25FamilyProcessor, SingleMeasurementErrorEndsTheCommand) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.run(D::lmDM);
    rig.driver.setMode(D::lmTP);
    rig.feed("E16\r\n");
    EXPECT_EQ(rig.sink.sensorErrors, Codes{16});
    EXPECT_EQ(rig.sink.calls, (Writes{"sensorError", "mode", "mode", "update"}));
    EXPECT_EQ(rig.state(), "TP after ESC, queue TP, wrote <TP><\r>");
    EXPECT_EQ(rig.driver.getDistance(), 0.0);
    EXPECT_EQ(rig.sink.updates, (Writes{"E16\r\n"}));
}

TYPED_TEST(Vkr25FamilyProcessor, TemperatureIsTwoCharactersFromIndexOne) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.run(D::lmTP);
    rig.driver.setMode(D::lmDM);
    rig.feed("+23\r\n");
    EXPECT_EQ(rig.driver.getTemperature(), 23.0);
    EXPECT_EQ(rig.driver.getStrTemperature(), "23");
    EXPECT_EQ(rig.state(), "DM after TP, queue DM, wrote <DM><\r>"); // straight on, not through escape
}

// ---- parameter replies ----------------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, ParameterEchoesAreStoredAndEndTheirCommand) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    const std::pair<typename D::ELaserMode, const char*> cases[] = {
        {D::lmSA, "SA7\r\n"},      {D::lmSD, "SDh\r\n"},       {D::lmST, "ST260\r\n"},
        {D::lmSF, "SF1.0936\r\n"}, {D::lmSE, "SE1\r\n"},       {D::lmAC, "AC2.5\r\n"},
        {D::lmAH, "AH0.1\r\n"},    {D::lmAW, "AW1.5\r\n"},     {D::lmRB, "RB0.25\r\n"},
        {D::lmRE, "RE10\r\n"},     {D::lmRM, "RM2 0.5 3\r\n"}, {D::lmTD, "TD10 1\r\n"},
        {D::lmTM, "TM1 0\r\n"},    {D::lmBR, "BR115200\r\n"},  {D::lmAS, "ASdwxyz\r\n"},
        {D::lmOF, "OF-0.5\r\n"},   {D::lmSO, "SO-1.234\r\n"},
    };
    // Only the echo of SO is traced.
    for (const auto& [mode, reply] : cases)
        rig.expectReplyEndsItsCommand(mode, reply, mode == D::lmSO ? reply : "");
    // The low eight bits of 260; the echo of BR changes nothing.
    EXPECT_EQ(rig.values(), "SA 7 SD h ST 4 SF 1.0936 '1.0936' SE 1 AC 2.5 '2.5' AH 0.1 '0.1' AW 1.5 "
                            "'1.5' RB 0.25 '0.25' RE 10 '10' RM '2 0.5 3' TD '10 1' TM '1 0' BR 0 "
                            "AS DW OF -0.5 '-0.5'" +
                                TypeParam::kNoAlarms);
}

TYPED_TEST(Vkr25FamilyProcessor, UnreadableParameterValueIsTracedAndTheCommandWaits) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.run(D::lmSA);
    rig.feed("SAx\r\n");
    rig.feed("\n");
    EXPECT_EQ(rig.state(), "SA after none, queue SA, wrote ");
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

TYPED_TEST(Vkr25FamilyProcessor, FirstDumpStoresEveryMarkerThenMakesTheDriverReadyAndStartsTheAutostartMode) {
    Rig<TypeParam> rig;
    rig.beginDump();
    rig.feed(TypeParam::kDump);
    EXPECT_EQ(rig.values(), kDumpValues + TypeParam::kNoAlarms);

    // A parameter's line is traced behind "Found XX => "; the alarm 2 and 3 lines of
    // the larger models as they are.
    const std::vector<std::string> lines = dumpLines(TypeParam::kDump);
    ASSERT_EQ(rig.sink.updates.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const bool alarm = line.starts_with("[FA]") || line.starts_with("[FB]");
        EXPECT_EQ(rig.sink.updates[i], alarm ? line : "Found " + line.substr(1, 2) + " => " + line);
    }

    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.state(), "DT after ESC, queue DT, wrote <DT><\r>");
    // "[SA]" makes the mode PA; the end: ready, escape, then the auto-start command.
    EXPECT_EQ(rig.sink.calls.front(), "mode");
    EXPECT_EQ(Writes(rig.sink.calls.end() - 5, rig.sink.calls.end()),
              (Writes{"update", "sensorReady", "mode", "mode", "update"}));
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
    // The larger models ask for alarms 2 and 3 behind it.
    EXPECT_EQ(rig.state(), std::string("TP after ESC, queue TP") +
                               (TypeParam::kHasAlarms2And3 ? " FA FB" : "") + ", wrote <TP><\r>");
}

TYPED_TEST(Vkr25FamilyProcessor, SaMarkerMeansTheDumpHasBegunAndTheFirstMarkerInTableOrderDecides) {
    using D = typename TypeParam::Driver;
    for (const auto head : {D::lmPA, D::lmPR}) {
        for (const std::string line : {"[SA]....3\r\n", "[ST] see [SA].....3\r\n"}) {
            Rig<TypeParam> rig;
            rig.run(head);
            rig.driver.setCurrentMode(D::lmEscaped); // as after a reset
            rig.feed(line);
            EXPECT_EQ(rig.state(), "PA after ESC, queue " + rig.name(head) + ", wrote ") << line;
            EXPECT_EQ(rig.config().getAverage(), 3) << line;
            EXPECT_EQ(rig.config().getMeasureTime(), 0) << line;
            EXPECT_EQ(rig.sink.updates, (Writes{"Found SA => " + line}));
        }
    }
}

TYPED_TEST(Vkr25FamilyProcessor, DumpLinesWithoutDotsOrAKnownMarkerAreTracedAlarmLinesAsTheModelWants) {
    using D = typename TypeParam::Driver;
    for (const auto head : {D::lmPA, D::lmPR}) {
        Rig<TypeParam> rig;
        rig.run(head);
        const Writes lines = {"Parameter list\r\n", "[XX] Unknown.....7\r\n", "[SA] no dots 5\r\n",
                              "[FA] Alarm 2.........1.5\r\n", "[FB] Alarm 3.........2.5\r\n"};
        for (const std::string& line : lines)
            rig.feed(line);
        Writes expected = lines;
        if (!TypeParam::kHasAlarms2And3)
            expected[3] = expected[4] = "";
        EXPECT_EQ(rig.sink.updates, expected);
        EXPECT_EQ(rig.config().getAverage(), 0);
        EXPECT_EQ(rig.state(), rig.name(head) + " after none, queue " + rig.name(head) + ", wrote ");
    }
}

TYPED_TEST(Vkr25FamilyProcessor, DumpValueIsWhatFollowsTheLastTwoDots) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.run(D::lmPA);
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
    rig.run(D::lmPA);
    rig.config().setRemoveMeasurement("1 2 3");
    for (const char* line : {"[RM]..\r\n", "[TD]..\r\n", "[TM]..\r\n"})
        rig.feed(line);
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
    rig.run(TypeParam::Driver::lmPA);
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
