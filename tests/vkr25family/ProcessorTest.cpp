// How every driver of the family reads its sensor's replies.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Vkr25Family;

template <class Traits>
class Vkr25FamilyProcessor : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyProcessor, FamilyDrivers, FamilyDriverNames);

// ---- dispatch and identification ----------------------------------------------------

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

TYPED_TEST(Vkr25FamilyProcessor, WithoutSinkTheTraceStaysAndStartUpAndErrorsGoNowhere) {
    TestSupport::FakeInterface iface;
    typename TypeParam::Driver driver(nullptr);
    driver.setInterface(&iface);
    iface.deliver("stray\r\n");
    auto* processor = dynamic_cast<typename TypeParam::Processor*>(driver.getProcessor());
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(processor->getTrace(), "stray\r\n");
    driver.initialize();
    iface.deliver(TypeParam::kIdLine + kPromptLine + TypeParam::kDump + "E15\r\n");
    EXPECT_EQ(driver.getActive(), 1);
}

// ---- replies to the command in flight ---------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, RunningModeReadsEveryDecimalLineAndReportsOnlyErrorCodes) {
    using D = typename TypeParam::Driver;
    for (const auto mode : {D::lmDT, D::lmDS, D::lmDW, D::lmDX, D::lmDF}) {
        Rig<TypeParam> rig;
        rig.run({mode});
        rig.feed("001.234\r\n-02.5009999\r\n1.23X45\r\nE15\r\n"); // seven characters count
        const std::string name = rig.name(mode);
        EXPECT_EQ(rig.snapshot(),
                  name + " after none, queue " + name +
                      ", wrote  | distance -02.500 -2.5 | temperature  0 | errors 15 | changed  | "
                      "trace 1.23X45\r\nE15\r\n");
        rig.feed("1.5\r\n1.5 \r\n");
        EXPECT_EQ(rig.driver.getStrDistance(), "1.5 \r\n");
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.5);
    }
}

TYPED_TEST(Vkr25FamilyProcessor, RepliesToTheCommandInFlight) {
    struct Case {
        const char* what;
        const char* requests; // by name, the first in flight
        char format;
        std::string replies;
        std::string expected;   // the snapshot
        std::string calls = ""; // checked when given
    };
    const std::string nothing = " | distance  0 | temperature  0 | errors | changed ";
    const std::string endedThenDm = "DM after ESC, queue DM, wrote <DM><\r>" + nothing;
    const std::string inDump = "PA after none, queue PA, wrote " + nothing;
    const std::string id = idTrace<TypeParam>("", "");
    const std::string alarms = "[FA] Alarm 2.........1.5\r\n[FB] Alarm 3.........2.5\r\n";
    const Case cases[] = {
        {"nothing in flight: traced as received", "", 'd', "001.234\r\n",
         "none after none, queue, wrote " + nothing + " | trace 001.234\r\n"},
        {"E61 to ID asks again", "id pa", 'd', "E61\r\n",
         "ID after none, queue ID PA, wrote <ID><\r>" + nothing + " | trace "},
        {"other errors and lines to ID are traced", "id pa", 'd', "E15\r\nhello\r\n001.234\r\n",
         "ID after none, queue ID PA, wrote " + nothing + " | trace " + id + "E15\r\n" + id + "hello\r\n" +
             id + "001.234\r\n"},
        {"a running mode yields to DM and drops its line", "dt dm", 'd', "009.999\r\n",
         "DM after DT, queue DM, wrote <DM><\r>" + nothing + " | trace "},
        {"DM in decimal whatever the format, straight on to the next", "dm tp", 'h', "garbage\r\n012.345\r\n",
         "TP after DM, queue TP, wrote <TP><\r> | distance 012.345 12.345 | temperature  0 | errors | "
         "changed  | trace garbage\r\n"},
        {"an error ends DM", "dm tp", 'd', "E16\r\n",
         "TP after ESC, queue TP, wrote <TP><\r> | distance  0 | temperature  0 | errors 16 | changed  | "
         "trace E16\r\n",
         "sensorError mode mode update "},
        {"the temperature is two characters from index one, straight on to the next", "tp dm", 'd', "+23\r\n",
         "DM after TP, queue DM, wrote <DM><\r> | distance  0 | temperature 23 23 | errors | changed  | "
         "trace "},
        {"a hexadecimal error code stores nothing (E23 and E24 swapped)", "dt", 'h', "x0001000\r\nE23\r\n",
         "DT after none, queue DT, wrote  | distance 0001000 4.096 | temperature  0 | errors 24 | changed  | "
         "trace E23\r\n"},
        {"an unreadable parameter value waits", "sa dm", 'd', "SAx\r\n\n",
         "SA after none, queue SA DM, wrote " + nothing + " | trace SAx\r\n\n"},
        {"a text that is no error code is a value", "sa dm", 'd', "E19\r\n", endedThenDm + "SA 9 | trace "},
        {"error codes are upper case", "sa dm", 'd', "e15\r\n", endedThenDm + "SA 5 | trace "},
        {"a dump line without dots is traced", "pa", 'd', "Parameter list\r\n[SA] no dots 5\r\n",
         inDump + " | trace Parameter list\r\n[SA] no dots 5\r\n"},
        {"an unknown marker is traced", "pa", 'd', "[XX] Unknown.....7\r\n",
         inDump + " | trace [XX] Unknown.....7\r\n"},
        {"the dump value follows the last two dots", "pa", 'd', "[SD] Format.. (d/h)..h\r\n",
         inDump + "SD h | trace Found SD => [SD] Format.. (d/h)..h\r\n"},
        {"an auto-start name is its first two letters", "pa", 'd', "[AS] Autostart........dwell\r\n",
         inDump + "AS DW | trace Found AS => [AS] Autostart........dwell\r\n"},
        {"an unknown auto-start name is ID", "pa", 'd', "[AS] Autostart........zz\r\n",
         inDump + "AS ID | trace Found AS => [AS] Autostart........zz\r\n"},
        {"nothing but the line end after the dots is 'd'", "pa", 'h', "[SD]..\n",
         inDump + "SD d | trace Found SD => [SD]..\n"},
        {"empty dump values are no numbers", "pa", 'd',
         "[SA]..\r\n[ST]..\r\n[SF]..\r\n[SE]..\r\n[AC]..\r\n[BR]..\r\n",
         inDump + " | trace [SA]..\r\n[ST]..\r\n[SF]..\r\n[SE]..\r\n[AC]..\r\n[BR]..\r\n"},
        {"[SA] means the dump has begun", "pr", 'd', "[SA]....3\r\n",
         "PA after PR, queue PR, wrote " + nothing + "SA 3 | trace Found SA => [SA]....3\r\n"},
        {"the first marker in table order decides", "pr", 'd', "[ST] see [SA].....3\r\n",
         "PA after PR, queue PR, wrote " + nothing + "SA 3 | trace Found SA => [ST] see [SA].....3\r\n"},
        {"the larger models' alarm lines are traced, the Vkr25 passes over them", "pa", 'd', alarms,
         inDump + " | trace " + (TypeParam::kHasAlarms2And3 ? alarms : "")},
        {"sixteen-bit readings keep their bits, the average is clamped, more bits are no number", "pa", 'd',
         "[BR]....65535\r\n[SA]....65535\r\n[SA]....65536\r\n[BR]....65536\r\n",
         inDump + "SA 20, BR 65535 | trace Found BR => [BR]....65535\r\nFound SA => [SA]....65535\r\n"
                  "[SA]....65536\r\n[BR]....65536\r\n"},
    };
    for (const Case& c : cases) {
        Rig<TypeParam> rig;
        rig.makeActive(c.format);
        rig.request(c.requests);
        rig.forget();
        rig.feed(c.replies);
        EXPECT_EQ(rig.snapshot(), c.expected) << c.what;
        if (!c.calls.empty()) {
            std::string calls;
            for (const std::string& call : rig.sink.calls)
                calls += call + ' ';
            EXPECT_EQ(calls, c.calls) << c.what;
        }
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
    rig.run({D::lmDX}, 'h');
    for (const Case& c : cases) {
        rig.feed(c.line);
        EXPECT_EQ(rig.driver.getStrDistance(), c.text) << c.line;
        EXPECT_DOUBLE_EQ(rig.driver.getDistance(), c.metres) << c.line;
    }
    EXPECT_EQ(rig.sink.trace(), "");
    // A display format never reported reads hexadecimal.
    Rig<TypeParam> unknown;
    unknown.driver.setActive(1);
    unknown.driver.setMode(D::lmDT);
    unknown.feed("x0001000\r\n");
    EXPECT_DOUBLE_EQ(unknown.driver.getDistance(), 4.096);
}

// ---- parameter replies and the dump --------------------------------------------------------

TYPED_TEST(Vkr25FamilyProcessor, ParameterEchoesAreStoredAndEndTheirCommand) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.makeActive();
    const std::pair<typename D::ELaserMode, const char*> cases[] = {
        {D::lmSA, "SA7\r\n"},      {D::lmSD, "SDh\r\n"},       {D::lmST, "ST260\r\n"},
        {D::lmSF, "SF1.0936\r\n"}, {D::lmSE, "SE1\r\n"},       {D::lmAC, "AC2.5\r\n"},
        {D::lmAH, "AH0.1\r\n"},    {D::lmAW, "AW1.5\r\n"},     {D::lmRB, "RB0.25\r\n"},
        {D::lmRE, "RE10\r\n"},     {D::lmRM, "RM2 0.5 3\r\n"}, {D::lmTD, "TD10 1\r\n"},
        {D::lmTD, "TD\r\n"},       {D::lmTM, "TM1 0\r\n"},     {D::lmBR, "BR115200\r\n"},
        {D::lmAS, "ASdwxyz\r\n"},  {D::lmOF, "OF-0.5\r\n"},    {D::lmSO, "SO-1.234\r\n"},
    };
    // Only the echo of SO is traced.
    for (const auto& [mode, reply] : cases)
        rig.expectReplyEndsItsCommand(mode, reply, mode == D::lmSO ? reply : "");
    rig.run({D::lmPA}, 'h');
    rig.feed("[TM]..\r\n"); // an empty text value from the dump as well
    // The low eight bits of 260; the echo of BR changes nothing.
    EXPECT_EQ(rig.values(), "SA 7 SD h ST 4 SF 1.0936 '1.0936' SE 1 AC 2.5 '2.5' AH 0.1 '0.1' AW 1.5 "
                            "'1.5' RB 0.25 '0.25' RE 10 '10' RM '2 0.5 3' TD '' TM '' BR 0 "
                            "AS DW OF -0.5 '-0.5'" +
                                TypeParam::kNoAlarms);
}

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

TYPED_TEST(Vkr25FamilyProcessor, FirstDumpEndsInEscapeAlsoWhenTheAutostartModeClearedTheQueue) {
    for (const auto& [asName, name] : {std::pair<std::string, std::string>{"lo", "LO"}, {"lf", "LF"}}) {
        Rig<TypeParam> rig;
        rig.beginDump();
        const std::string head = dumpWithout(dumpWithout(TypeParam::kDump, "[AS]"), "[OF]");
        rig.feed(head + "[AS] Autostart................" + asName + "\r\n" + kOfLine);
        EXPECT_EQ(rig.state(), "ESC after " + name + ", queue, wrote <" + name + "><\r>");
        EXPECT_EQ(Writes(rig.sink.calls.end() - 4, rig.sink.calls.end()),
                  (Writes{"mode", "sensorReady", "mode", "update"}));
        EXPECT_EQ(rig.driver.getActive(), 1);
    }
}
