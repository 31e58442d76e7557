#include "EndToEndRig.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using EndToEnd::Rig;
using NorvEngineering::SensorLib::CVkr25;
using Strings = std::vector<std::string>;

namespace {

// Runs the whole road: a sensor that measures since power-up, the start sequence,
// readiness, the auto-start mode, measuring, a parameter change, the hexadecimal
// format, a second dump, a reset and the escape. Returns what the owner saw.
std::string runTheRoad(unsigned seed, std::size_t maxChunk) {
    Rig rig(seed, maxChunk);
    rig.sensor.getParameters().set("SA", "4");
    rig.connectMeasuringSensor(2);
    EXPECT_EQ(rig.driver.getActive(), 1);
    EXPECT_NE(rig.sink.trace().find("[case CVkr25::lmID] 001.000\r\n"), std::string::npos);
    EXPECT_NE(rig.sink.trace().find("[case CVkr25::lmID/FOUND ID STRING] VKR25,12345,1.23\r\n"),
              std::string::npos);
    EXPECT_EQ(rig.driver.getConfig().getVersionInfo()->getModel(), "VKR25");
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 4);
    EXPECT_EQ(rig.driver.getConfig().getAutostartMode(), CVkr25::lmDT);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmDT);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(rig.measure());
    EXPECT_EQ(rig.driver.getStrDistance(), "001.006");
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.006);

    // A parameter change waits for the next measurement line, which stops DT.
    rig.driver.setMode(CVkr25::lmSA, "7");
    EXPECT_TRUE(rig.measure());
    EXPECT_EQ(rig.driver.getStrDistance(), "001.006");
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 7);
    EXPECT_EQ(rig.sensor.getParameters().get("SA"), "7");
    EXPECT_FALSE(rig.sensor.isMeasuring());
    EXPECT_TRUE(rig.driver.getQueue().empty());

    // Hexadecimal output at 50 lines a second.
    rig.driver.setMode(CVkr25::lmSD, "h");
    rig.pump();
    EXPECT_EQ(rig.driver.getConfig().getDisplayFormat(), 'h');
    rig.driver.setMode(CVkr25::lmDX);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(rig.measure());
    EXPECT_EQ(rig.driver.getStrDistance(), "00003F2"); // 1.010 m
    EXPECT_DOUBLE_EQ(rig.driver.getDistance(), 1.010);

    // A second dump: values arrive again, no second readiness; then a reset, whose
    // dump brings the factory values.
    rig.driver.setMode(CVkr25::lmPA);
    EXPECT_TRUE(rig.measure());
    EXPECT_EQ(rig.driver.getConfig().getDisplayFormat(), 'h');
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmEscaped);
    rig.driver.setMode(CVkr25::lmPR);
    rig.pump();
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_TRUE(rig.driver.getQueue().empty());
    EXPECT_EQ(rig.driver.getConfig().getDisplayFormat(), 'd');
    EXPECT_EQ(rig.driver.getConfig().getAverage(), 1);
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25::lmEscaped);

    // Measuring again, in decimal, then the escape stops it at once.
    rig.driver.setMode(CVkr25::lmDW);
    EXPECT_TRUE(rig.measure());
    EXPECT_TRUE(rig.sensor.isMeasuring());
    EXPECT_EQ(rig.driver.getStrDistance(), "001.012");
    return rig.escapeAndFinish(
        {"\x1B", "\x1B", "ID", "PA", "DT", "SA7", "SDh", "DX", "PA", "PR", "DW", "\x1B"});
}

} // namespace

TEST(EndToEnd, WholeRoadInRandomChunksGivesTheSameResultEveryTime) {
    EndToEnd::expectTheSameResultHoweverChunked(runTheRoad, 40);
}

TEST(EndToEnd, StartUpFaultsStillEndInAReadyUsableDriver) {
    struct Case {
        const char* name;
        std::function<void(SensorSim::CSensorSimulator&)> fault;
        Strings commands;   // received, the final DM included
        std::string traced; // found in the trace
    };
    const std::string badLine = "VKR25 with no fields";
    const Case cases[] = {
        {"no auto-start",
         [](auto& sim) { sim.omitFromDump("AS"); },
         {"\x1B", "\x1B", "ID", "PA", "DM"},
         "[OF]"},
        {"E61 to ID",
         [](auto& sim) { sim.setErrorReply("ID", "E61"); },
         {"\x1B", "\x1B", "ID", "ID", "PA", "ID", "DM"},
         "FOUND ID STRING"},
        {"rejected identification",
         [&](auto& sim) { sim.setIdentificationLine(badLine); },
         {"\x1B", "\x1B", "ID", "PA", "ID", "DM"},
         "[case CVkr25::lmID/BAD ID STRING] " + badLine + "\r\n"},
    };
    for (const Case& c : cases) {
        Rig rig;
        c.fault(rig.sensor);
        rig.connect();
        rig.pump();
        EXPECT_EQ(rig.sink.sensorReady, 1) << c.name;
        EXPECT_EQ(rig.driver.getActive(), 1) << c.name;
        EXPECT_NE(rig.sink.trace().find(c.traced), std::string::npos) << c.name;
        EXPECT_EQ(rig.driver.getConfig().getVersionInfo() == nullptr,
                  c.traced.find("BAD") != std::string::npos);
        rig.driver.setMode(CVkr25::lmDM);
        rig.pump();
        EXPECT_EQ(rig.driver.getStrDistance(), "001.000") << c.name;
        EXPECT_EQ(rig.sensor.getCommandsReceived(), c.commands) << c.name;
    }
}
