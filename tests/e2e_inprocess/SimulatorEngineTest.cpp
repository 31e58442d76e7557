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
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = output.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "output does not end with CR LF: " << output.substr(start);
            break;
        }
        result.push_back(output.substr(start, end - start));
        start = end + 2;
    }
    return result;
}

Lines ask(CSensorSimulator& sim, const std::string& command) {
    sim.feed(command + "\r");
    return lines(sim.takeOutput());
}

} // namespace

TEST(SimulatorFormat, DecimalDistanceIsSevenCharacters) {
    EXPECT_EQ(SensorSim::formatDecimalDistance(1.234), "001.234");
    EXPECT_EQ(SensorSim::formatDecimalDistance(-1.234), "-01.234");
    EXPECT_EQ(SensorSim::formatDecimalDistance(0.0), "000.000");
    EXPECT_EQ(SensorSim::formatDecimalDistance(123.4564), "123.456");
    EXPECT_EQ(SensorSim::formatDecimalDistance(1234.5), "1234.50");
    EXPECT_EQ(SensorSim::formatDecimalDistance(-123.456), "-123.46");
    EXPECT_EQ(SensorSim::formatDecimalDistance(1.0e12), "9999999");
    EXPECT_EQ(SensorSim::formatDecimalDistance(-1.0e12), "-999999");
}

TEST(SimulatorFormat, HexDistanceIsA28BitTwosComplementOfMillimetres) {
    EXPECT_EQ(SensorSim::formatHexDistance(4.096), "x0001000");
    EXPECT_EQ(SensorSim::formatHexDistance(-0.001), "xFFFFFFF");
    EXPECT_EQ(SensorSim::formatHexDistance(0.001), "x0000001");
    EXPECT_EQ(SensorSim::formatHexDistance(134217.727), "x7FFFFFF");
    EXPECT_EQ(SensorSim::formatHexDistance(-134217.728), "x8000000");
    EXPECT_EQ(SensorSim::formatHexDistance(1.0e9), "x7FFFFFF");
    EXPECT_EQ(SensorSim::formatHexDistance(-1.0e9), "x8000000");
}

TEST(SimulatorFormat, TemperatureIsSignAndTwoDigits) {
    EXPECT_EQ(SensorSim::formatTemperature(23), "+23");
    EXPECT_EQ(SensorSim::formatTemperature(5), "+05");
    EXPECT_EQ(SensorSim::formatTemperature(-7), "-07");
    EXPECT_EQ(SensorSim::formatTemperature(150), "+99");
}

TEST(SimulatorEngine, IdentificationIsThreeFieldsThenThePrompt) {
    CSensorSimulator sim;
    EXPECT_EQ(ask(sim, "ID"), (Lines{"VKR25,12345,1.23", CSensorSimulator::kPromptLine}));
    EXPECT_NE(std::string(CSensorSimulator::kPromptLine).find("PR[Enter]"), std::string::npos);
    sim.setIdentity({"VKR25", "SN 042", "V 7.05"});
    EXPECT_EQ(ask(sim, "ID").front(), "VKR25,SN 042,V 7.05");
    sim.setIdentificationLine("VKR25 broken");
    EXPECT_EQ(ask(sim, "ID").front(), "VKR25 broken");
    sim.setIdentificationLine(std::nullopt);
    EXPECT_EQ(ask(sim, "ID").front(), "VKR25,SN 042,V 7.05");
    CSensorSimulator larger(EModel::Vkr27);
    EXPECT_EQ(ask(larger, "ID").front(), "VKR27,12345,1.23");
}

TEST(SimulatorEngine, CommandsEndWithCarriageReturnInAnyChunking) {
    CSensorSimulator sim;
    sim.feed("S");
    sim.feed("A");
    EXPECT_EQ(sim.getPendingOutputSize(), 0U);
    sim.feed("7");
    sim.feed("\r\n\r"); // the LF and the empty command are ignored
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"SA7"}));
    EXPECT_EQ(sim.getCommandsReceived(), (Lines{"SA7"}));
    sim.feed("sa\r"); // the mnemonic in any case
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"SA7"}));
}

TEST(SimulatorEngine, DumpIsMarkerDotsValueEndingWithOffset) {
    CSensorSimulator sim;
    const Lines dump = ask(sim, "PA");
    ASSERT_EQ(dump.size(), 16U);
    const char* const markers[] = {"[SA]", "[SD]", "[ST]", "[SF]", "[SE]", "[AC]", "[AH]", "[AW]",
                                   "[RB]", "[RE]", "[RM]", "[TD]", "[TM]", "[BR]", "[AS]", "[OF]"};
    for (std::size_t i = 0; i < dump.size(); ++i) {
        EXPECT_EQ(dump[i].rfind(markers[i], 0), 0U) << dump[i];
        const std::size_t dots = dump[i].rfind("..");
        ASSERT_NE(dots, std::string::npos) << dump[i];
        EXPECT_NE(dump[i][dots + 2], '.') << dump[i];
    }
    EXPECT_EQ(dump[0].substr(dump[0].rfind("..") + 2), "1");
    EXPECT_EQ(dump[14].substr(dump[14].rfind("..") + 2), "id");

    CSensorSimulator larger(EModel::Vkr25Xt);
    const Lines largerDump = ask(larger, "PA");
    ASSERT_EQ(largerDump.size(), 18U);
    EXPECT_EQ(largerDump[15].substr(0, 4), "[FA]");
    EXPECT_EQ(largerDump[16].substr(0, 4), "[FB]");
    EXPECT_EQ(largerDump[17].substr(0, 4), "[OF]");

    sim.omitFromDump("AS");
    const Lines without = ask(sim, "PA");
    EXPECT_EQ(without.size(), 15U);
    EXPECT_EQ(without.back().substr(0, 4), "[OF]");
}

TEST(SimulatorEngine, ParametersAreSetQueriedAndChecked) {
    CSensorSimulator sim;
    EXPECT_EQ(ask(sim, "SA5"), (Lines{"SA5"}));
    EXPECT_EQ(ask(sim, "SA"), (Lines{"SA5"}));
    EXPECT_EQ(ask(sim, "SA21"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "SA1,5"), (Lines{"E15"}));
    EXPECT_EQ(sim.getParameters().get("SA"), "5");
    EXPECT_EQ(ask(sim, "SDh"), (Lines{"SDh"}));
    EXPECT_EQ(ask(sim, "SDx"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "SF1.0936"), (Lines{"SF1.0936"}));
    EXPECT_EQ(ask(sim, "SFnan"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "RM2 0.5 3"), (Lines{"RM2 0.5 3"}));
    EXPECT_EQ(ask(sim, "RM2 0.5"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "BR19200"), (Lines{"BR19200"}));
    EXPECT_EQ(ask(sim, "BR1234"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "ASdt"), (Lines{"ASdt"}));
    EXPECT_EQ(ask(sim, "AStp"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "OF-0.25"), (Lines{"OF-0.25"}));
    EXPECT_EQ(ask(sim, "FA1"), (Lines{"E62"})); // the Vkr25 has no alarm 2
    EXPECT_EQ(ask(sim, "XY"), (Lines{"E62"}));
    sim.setInvalidArgumentError("E16");
    EXPECT_EQ(ask(sim, "ST99"), (Lines{"E16"}));

    const Lines dump = ask(sim, "PA");
    EXPECT_EQ(dump[0].substr(dump[0].rfind("..") + 2), "5");
    EXPECT_EQ(dump[1].substr(dump[1].rfind("..") + 2), "h");

    // Reset: factory values, then the dump.
    const Lines reset = ask(sim, "PR");
    EXPECT_EQ(reset.size(), 16U);
    EXPECT_EQ(sim.getParameters().get("SA"), "1");
    EXPECT_EQ(sim.getParameters().get("SD"), "d");
}

TEST(SimulatorEngine, RunningModesSendWhenTickedAndStopOnAnyCommand) {
    CSensorSimulator sim;
    sim.setDistance(1.234);
    EXPECT_FALSE(sim.tick());
    EXPECT_EQ(sim.getMeasurementPeriod(), 0us);

    EXPECT_TRUE(ask(sim, "DW").empty());
    EXPECT_TRUE(sim.isMeasuring());
    EXPECT_EQ(sim.getMeasurementPeriod(), 100ms);
    EXPECT_TRUE(sim.tick());
    EXPECT_TRUE(sim.tick());
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"001.234", "001.234"}));
    EXPECT_EQ(sim.getMeasurementLinesSent(), 2U);

    EXPECT_TRUE(ask(sim, "DX").empty());
    EXPECT_EQ(sim.getMeasurementPeriod(), 20ms);
    EXPECT_EQ(ask(sim, "TP"), (Lines{"+23"}));
    EXPECT_FALSE(sim.isMeasuring());
    EXPECT_FALSE(sim.tick());

    ask(sim, "DT");
    sim.feed("\x1B");
    EXPECT_FALSE(sim.isMeasuring());
    EXPECT_EQ(sim.takeOutput(), "");
    EXPECT_EQ(sim.getCommandsReceived().back(), "\x1B");

    // An escape in the middle of a command throws the command away.
    sim.feed("S\x1B"
             "A3\r");
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"E62"}));
}

TEST(SimulatorEngine, DistanceFollowsFormatScaleAndOffset) {
    CSensorSimulator sim;
    sim.setDistanceSource([](std::uint64_t index) { return 1.0 + 0.5 * static_cast<double>(index); });
    ask(sim, "DT");
    sim.tick();
    sim.tick();
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"001.000", "001.500"}));
    ask(sim, "SDh");
    ask(sim, "SF2");
    ask(sim, "OF-0.5");
    ask(sim, "DT");
    sim.tick();
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"x0000DAC"})); // 2.0 * 2 - 0.5 = 3.5 m
    // DM answers in decimal whatever the format.
    EXPECT_EQ(ask(sim, "DM"), (Lines{"004.500"}));
    EXPECT_EQ(sim.getMeasurementLinesSent(), 4U);

    // SO makes the current distance the zero point.
    CSensorSimulator offset;
    offset.setDistance(2.5);
    EXPECT_EQ(ask(offset, "SO"), (Lines{"SO-2.500"}));
    EXPECT_EQ(ask(offset, "DM"), (Lines{"000.000"}));
}

TEST(SimulatorEngine, ExternalTriggerMeasuresOnlyWhenTriggered) {
    CSensorSimulator sim;
    ask(sim, "DF");
    EXPECT_EQ(sim.getRunMode(), CSensorSimulator::ERunMode::DF);
    EXPECT_EQ(sim.getMeasurementPeriod(), 0us);
    EXPECT_FALSE(sim.tick());
    EXPECT_TRUE(sim.trigger());
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"001.234"}));
    ask(sim, "DT");
    EXPECT_FALSE(sim.trigger());
    sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DT, 5ms);
    EXPECT_EQ(sim.getMeasurementPeriod(), 5ms);
}

TEST(SimulatorEngine, LaserAndPowerUp) {
    CSensorSimulator sim;
    EXPECT_EQ(ask(sim, "LO"), (Lines{"LO"}));
    EXPECT_TRUE(sim.isLaserOn());
    EXPECT_EQ(ask(sim, "LF"), (Lines{"LF"}));
    EXPECT_FALSE(sim.isLaserOn());

    sim.powerUp(); // auto-start "id": nothing runs
    EXPECT_FALSE(sim.isMeasuring());
    ask(sim, "ASdx");
    sim.powerUp();
    EXPECT_EQ(sim.getRunMode(), CSensorSimulator::ERunMode::DX);
    EXPECT_TRUE(sim.tick());
}

TEST(SimulatorEngine, ChosenCommandsGetErrorsOrOtherBytes) {
    CSensorSimulator sim;
    sim.setErrorReply("SA", "E15", 2);
    EXPECT_EQ(ask(sim, "SA5"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "SA5"), (Lines{"E15"}));
    EXPECT_EQ(ask(sim, "SA5"), (Lines{"SA5"}));
    EXPECT_EQ(sim.getParameters().get("SA"), "5");

    sim.setReplyOverride("TP", "12\r\n34");
    sim.feed("TP\r");
    EXPECT_EQ(sim.takeOutput(), "12\r\n34");

    sim.queueMeasurementError("E17");
    ask(sim, "DT");
    sim.tick();
    sim.tick();
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"E17", "001.234"}));

    sim.injectLine("garbage");
    sim.injectRaw("\r\n");
    EXPECT_EQ(sim.takeOutput(), "garbage\r\n\r\n");
}

TEST(SimulatorEngine, FloodHasNoLineEnd) {
    CSensorSimulator sim;
    sim.emitFlood();
    const std::string flood = sim.takeOutput();
    EXPECT_EQ(flood.size(), 5000U);
    EXPECT_EQ(flood.find_first_of("\r\n"), std::string::npos);
    sim.emitFlood(7);
    EXPECT_EQ(sim.takeOutput(), "0123456");
}

TEST(SimulatorEngine, HangsUpAfterTheChosenNumberOfLines) {
    CSensorSimulator sim;
    ask(sim, "DT");
    sim.setHangUpAfterLines(3);
    EXPECT_TRUE(sim.tick());
    EXPECT_TRUE(sim.tick());
    EXPECT_FALSE(sim.isHungUp());
    EXPECT_TRUE(sim.tick());
    EXPECT_TRUE(sim.isHungUp());
    EXPECT_FALSE(sim.tick());
    sim.feed("ID\r");
    sim.injectLine("x");
    EXPECT_EQ(lines(sim.takeOutput()).size(), 3U);

    // Mid-dump: the line that reaches the count is the last.
    CSensorSimulator dumping;
    dumping.setHangUpAfterLines(4);
    EXPECT_EQ(ask(dumping, "PA").size(), 4U);
}

TEST(SimulatorEngine, OverlongCommandIsUnknown) {
    CSensorSimulator sim;
    sim.feed(std::string(CSensorSimulator::kMaxCommandLength + 10, 'A'));
    EXPECT_EQ(sim.getPendingOutputSize(), 0U);
    sim.feed("\r");
    EXPECT_EQ(lines(sim.takeOutput()), (Lines{"E62"}));
    EXPECT_EQ(ask(sim, "SA"), (Lines{"SA1"}));
}

TEST(SimulatorEngine, OutputHandlerTakesEveryByte) {
    CSensorSimulator sim;
    std::string seen;
    sim.setOutputHandler([&seen](std::string_view bytes) { seen.append(bytes); });
    sim.feed("ID\rTP\r");
    EXPECT_EQ(sim.getPendingOutputSize(), 0U);
    EXPECT_EQ(lines(seen), (Lines{"VKR25,12345,1.23", CSensorSimulator::kPromptLine, "+23"}));
    EXPECT_EQ(sim.getLinesSent(), 3U);
}

TEST(SimulatorEngine, LargerModelsAnswerFaAndFbUnlessTheyLackThem) {
    for (const EModel model : {EModel::Vkr25Xt, EModel::Vkr27}) {
        CSensorSimulator sim(model);
        EXPECT_EQ(ask(sim, "FA"), (Lines{"FA0"}));
        EXPECT_EQ(ask(sim, "FA1.5"), (Lines{"FA1.5"}));
        EXPECT_EQ(ask(sim, "FB-2"), (Lines{"FB-2"}));
        EXPECT_EQ(ask(sim, "FBx"), (Lines{"E15"}));
        EXPECT_EQ(ask(sim, "PA")[15], "[FA] Alarm 2..................1.5");

        sim.getParameters().setAlarms2And3(false);
        EXPECT_EQ(ask(sim, "FA"), (Lines{"E62"}));
        EXPECT_EQ(ask(sim, "FB1"), (Lines{"E62"}));
        EXPECT_EQ(ask(sim, "PR").size(), 16U); // a reset does not bring them back
        EXPECT_EQ(ask(sim, "FA"), (Lines{"E62"}));
    }
    CSensorSimulator vkr25;
    vkr25.getParameters().setAlarms2And3(true);
    EXPECT_EQ(ask(vkr25, "FA"), (Lines{"E62"}));
}

TEST(SimulatorEngine, ModelSwitchBringsThatModelsParametersAndIdentity) {
    CSensorSimulator sim;
    sim.getParameters().set("SA", "9");
    sim.setErrorReply("TP", "E55");
    sim.setModel(EModel::Vkr27);
    EXPECT_EQ(sim.getModel(), EModel::Vkr27);
    EXPECT_EQ(ask(sim, "ID").front(), "VKR27,12345,1.23");
    EXPECT_EQ(ask(sim, "SA"), (Lines{"SA1"}));
    EXPECT_EQ(ask(sim, "FA"), (Lines{"FA0"}));
    EXPECT_EQ(ask(sim, "TP"), (Lines{"E55"})); // faults stay
    sim.setModel(EModel::Vkr25);
    EXPECT_EQ(ask(sim, "FA"), (Lines{"E62"}));
    EXPECT_EQ(ask(sim, "ID").front(), "VKR25,12345,1.23");
}
