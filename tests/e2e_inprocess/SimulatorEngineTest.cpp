#include "MeasurementFormat.h"
#include "SensorSimulator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using SensorSim::CSensorSimulator;
using SensorSim::EModel;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// Splits the output into lines, checking that each ends with CR LF.
Lines lines(const std::string& output) {
    Lines result;
    for (std::size_t start = 0, end = 0; start < output.size(); start = end + 2) {
        end = output.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "output does not end with CR LF: " << output.substr(start);
            break;
        }
        result.push_back(output.substr(start, end - start));
    }
    return result;
}

Lines ask(CSensorSimulator& sim, const std::string& command) {
    sim.feed(command + "\r");
    return lines(sim.takeOutput());
}

// Sends each command in turn and checks the lines the simulator answers.
void converse(CSensorSimulator& sim, const std::vector<std::pair<std::string, Lines>>& exchange) {
    for (const auto& [command, expected] : exchange)
        EXPECT_EQ(ask(sim, command), expected) << command;
}

// The value of a dump line, behind its last two dots.
std::string valueOf(const std::string& line) {
    return line.substr(line.rfind("..") + 2);
}

} // namespace

TEST(SimulatorFormat, DistancesAndTemperatureAsTheSensorWritesThem) {
    using namespace SensorSim;
    const std::pair<double, const char*> decimal[] = {
        {1.234, "001.234"},  {-1.234, "-01.234"},   {0.0, "000.000"},    {123.4564, "123.456"},
        {1234.5, "1234.50"}, {-123.456, "-123.46"}, {1.0e12, "9999999"}, {-1.0e12, "-999999"},
    };
    // 28-bit two's complement of millimetres.
    const std::pair<double, const char*> hex[] = {
        {4.096, "x0001000"},       {-0.001, "xFFFFFFF"}, {0.001, "x0000001"},  {134217.727, "x7FFFFFF"},
        {-134217.728, "x8000000"}, {1.0e9, "x7FFFFFF"},  {-1.0e9, "x8000000"},
    };
    for (const auto& [metres, text] : decimal)
        EXPECT_EQ(formatDecimalDistance(metres), text) << metres;
    for (const auto& [metres, text] : hex)
        EXPECT_EQ(formatHexDistance(metres), text) << metres;
    for (const auto& [celsius, text] : {std::pair{23, "+23"}, {5, "+05"}, {-7, "-07"}, {150, "+99"}})
        EXPECT_EQ(formatTemperature(celsius), text) << celsius;
}

TEST(SimulatorEngine, CommandsEndWithCarriageReturnInAnyChunkingAndOverlongOnesAreUnknown) {
    CSensorSimulator sim;
    for (const char* piece : {"S", "A", "7"})
        sim.feed(piece);
    EXPECT_EQ(sim.getPendingOutputSize(), 0U);
    sim.feed("\r\n\r"); // the LF and the empty command are ignored
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"SA7"}));
    EXPECT_EQ(sim.getCommandsReceived(), (Lines{"SA7"}));
    converse(sim, {{"sa", {"SA7"}}}); // the mnemonic in any case
    sim.feed(std::string(CSensorSimulator::kMaxCommandLength + 10, 'A'));
    EXPECT_EQ(sim.getPendingOutputSize(), 0U);
    converse(sim, {{"", {"E62"}}, {"SA", {"SA7"}}});
}

TEST(SimulatorEngine, ParametersAreSetQueriedAndChecked) {
    CSensorSimulator sim;
    // The Vkr25 has neither alarm 2 nor a command XY.
    const std::pair<std::string, Lines> exchange[] = {
        {"SA5", {"SA5"}},           {"SA", {"SA5"}},          {"SA21", {"E15"}},
        {"SA1,5", {"E15"}},         {"SDh", {"SDh"}},         {"SDx", {"E15"}},
        {"SF1.0936", {"SF1.0936"}}, {"SFnan", {"E15"}},       {"RM2 0.5 3", {"RM2 0.5 3"}},
        {"RM2 0.5", {"E15"}},       {"BR19200", {"BR19200"}}, {"BR1234", {"E15"}},
        {"ASdt", {"ASdt"}},         {"AStp", {"E15"}},        {"OF-0.25", {"OF-0.25"}},
        {"FA1", {"E62"}},           {"XY", {"E62"}},
    };
    converse(sim, {std::begin(exchange), std::end(exchange)});
    sim.setInvalidArgumentError("E16");
    converse(sim, {{"ST99", {"E16"}}});
    const Lines dump = ask(sim, "PA");
    EXPECT_EQ(valueOf(dump[0]), "5");
    EXPECT_EQ(valueOf(dump[1]), "h");
}

TEST(SimulatorEngine, RunningModesSendWhenTickedOrTriggeredAndStopOnAnyCommand) {
    CSensorSimulator sim;
    sim.setDistance(1.234);
    EXPECT_FALSE(sim.tick());
    converse(sim, {{"DW", {}}});
    EXPECT_EQ(sim.getMeasurementPeriod(), 100ms);
    EXPECT_TRUE(sim.tick());
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"001.234"}));
    converse(sim, {{"DX", {}}});
    EXPECT_EQ(sim.getMeasurementPeriod(), 20ms);
    converse(sim, {{"TP", {"+23"}}});
    EXPECT_FALSE(sim.tick());
    // An escape in the middle of a command throws the command away.
    sim.feed("S\x1B"
             "A3\r");
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"E62"}));

    // The external trigger measures only when triggered.
    converse(sim, {{"DF", {}}});
    EXPECT_EQ(sim.getMeasurementPeriod(), 0us);
    EXPECT_FALSE(sim.tick());
    EXPECT_TRUE(sim.trigger());
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"001.234"}));
    converse(sim, {{"DT", {}}});
    EXPECT_FALSE(sim.trigger());
}

TEST(SimulatorEngine, DistanceFollowsScaleAndOffsetAndSoMakesTheZeroPoint) {
    CSensorSimulator sim;
    sim.setDistance(2.0);
    converse(sim, {{"SDh", {"SDh"}}, {"SF2", {"SF2"}}, {"OF-0.5", {"OF-0.5"}}, {"DT", {}}});
    sim.tick();
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"x0000DAC"})); // 2.0 * 2 - 0.5 = 3.5 m
    CSensorSimulator offset;
    offset.setDistance(2.5);
    converse(offset, {{"SO", {"SO-2.500"}}, {"DM", {"000.000"}}});
}

TEST(SimulatorEngine, ChosenCommandsGetErrorsOrOtherBytesAndTheSensorHangsUpWhenTold) {
    // Measurement errors, injected lines and floods are seen through the driver in
    // the end-to-end tests; here what those do not reach.
    CSensorSimulator sim;
    sim.setErrorReply("SA", "E15", 2);
    converse(sim, {{"SA5", {"E15"}}, {"SA5", {"E15"}}, {"SA5", {"SA5"}}});
    EXPECT_EQ(sim.getParameters().get("SA"), "5");
    sim.setReplyOverride("TP", "12\r\n34");
    sim.feed("TP\r");
    sim.injectRaw("\r\n");
    EXPECT_EQ(sim.takeOutput(), "12\r\n34\r\n");

    // The line that reaches the count is the last, whatever comes after.
    ask(sim, "DT");
    sim.setHangUpAfterLines(2);
    EXPECT_TRUE(sim.tick());
    EXPECT_TRUE(sim.tick());
    EXPECT_TRUE(sim.isHungUp());
    EXPECT_FALSE(sim.tick());
    sim.feed("ID\r");
    sim.injectLine("x");
    EXPECT_EQ(lines(sim.takeOutput()).size(), 2U);
}

TEST(SimulatorEngine, LargerModelsAnswerFaAndFbUnlessTheyLackThemAndTheModelCanChange) {
    CSensorSimulator sim(EModel::Vkr25Xt);
    converse(sim, {{"FA", {"FA0"}}, {"FA1.5", {"FA1.5"}}, {"FBx", {"E15"}}});
    EXPECT_EQ(ask(sim, "PA").size(), 18U);
    sim.getParameters().setAlarms2And3(false);
    EXPECT_EQ(ask(sim, "PR").size(), 16U); // a reset does not bring them back
    converse(sim, {{"FA", {"E62"}}});
    CSensorSimulator vkr25;
    vkr25.getParameters().setAlarms2And3(true);
    converse(vkr25, {{"FA", {"E62"}}});

    // A model switch brings that model's parameters and identity; faults stay.
    vkr25.getParameters().set("SA", "9");
    vkr25.setErrorReply("TP", "E55");
    vkr25.setModel(EModel::Vkr27);
    EXPECT_EQ(ask(vkr25, "ID").front(), "VKR27,12345,1.23");
    converse(vkr25, {{"SA", {"SA1"}}, {"FA", {"FA0"}}, {"TP", {"E55"}}});
}
