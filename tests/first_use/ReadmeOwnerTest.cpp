// The owner that the README shows (tests/package/readme_owner/main.cpp), run as a
// first user runs it: against the simulated sensor in another process, over TCP and
// over a pseudo-terminal.
#include "ChildProcess.h"
#include "TcpSensorServer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

using TestSupport::ChildProcess;
using TestSupport::Clock;
using namespace std::chrono_literals;

namespace {

#if defined(README_OWNER_PATH) && defined(SENSOR_SIM_PATH)
const std::string kOwner = README_OWNER_PATH;
const std::string kSim = SENSOR_SIM_PATH;
#else
const std::string kOwner;
const std::string kSim;
#endif

// Generous: a loaded machine runs sanitizer builds of several tests at once.
constexpr auto kRunLimit = 30s;

struct Finished {
    int status = -1000;
    std::string output;
    std::string errors;
};

// Serves a simulated Vkr25 (sensor_sim with `arguments`) and runs the owner against
// the address or device it prints.
Finished ownerAgainstSimulator(const std::vector<std::string>& arguments) {
    ChildProcess sim(kSim, arguments);
    const auto announced = [](const std::string& output) { return output.find('\n') != std::string::npos; };
    if (!sim.readUntil(announced, Clock::now() + kRunLimit)) {
        ADD_FAILURE() << "sensor_sim announced nothing: " << sim.errors();
        return {};
    }
    const std::string where = sim.output().substr(0, sim.output().find('\n'));
    ChildProcess owner(kOwner, {where});
    const auto status = owner.finish(Clock::now() + kRunLimit);
    EXPECT_TRUE(status.has_value()) << "did not end in time";
    sim.sendSignal(SIGTERM);
    sim.finish(Clock::now() + kRunLimit);
    return {status.value_or(-1000), owner.output(), owner.errors()};
}

std::string shown(const Finished& run) {
    return "status " + std::to_string(run.status) + "\nstdout:\n" + run.output + "stderr:\n" + run.errors;
}

class ReadmeOwner : public ::testing::Test {
protected:
    void SetUp() override {
        if (kOwner.empty() || kSim.empty())
            GTEST_SKIP() << "the programs are not built here";
        ::unsetenv("SENSORLIB_DEBUG");
    }
    void TearDown() override { ::unsetenv("SENSORLIB_DEBUG"); }
};

TEST_F(ReadmeOwner, PrintsTwentyDistancesOverTcpAndOverASerialLineAndNothingElse) {
    const std::regex twentyDistances("([0-9]+\\.[0-9]{3} m\n){20}");
    for (const auto& arguments : {std::vector<std::string>{"--tcp", "0"}, std::vector<std::string>{}}) {
        SCOPED_TRACE(arguments.empty() ? "pty" : "tcp");
        const Finished run = ownerAgainstSimulator(arguments);
        EXPECT_EQ(run.status, 0) << shown(run);
        EXPECT_TRUE(std::regex_match(run.output, twentyDistances)) << shown(run);
        // A library says nothing on a program's standard error unasked.
        EXPECT_EQ(run.errors, "") << shown(run);
    }
}

TEST_F(ReadmeOwner, TheSocketUnitsDebugLinesComeWhenAskedFor) {
    for (const char* value : {"0", ""}) {
        ::setenv("SENSORLIB_DEBUG", value, 1);
        const Finished run = ownerAgainstSimulator({"--tcp", "0"});
        EXPECT_EQ(run.errors, "") << "SENSORLIB_DEBUG=" << value << "\n" << shown(run);
    }
    ::setenv("SENSORLIB_DEBUG", "1", 1);
    const Finished run = ownerAgainstSimulator({"--tcp", "0"});
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_EQ(run.errors, "WSocket unit initialization\nWSocket unit finalization\n") << shown(run);
}

TEST_F(ReadmeOwner, ANameThatIsNoDeviceIsAnInterfaceError) {
    const Finished run = [] {
        ChildProcess owner(kOwner, {"/dev/no-such-sensor"});
        const auto status = owner.finish(Clock::now() + kRunLimit);
        return Finished{status.value_or(-1000), owner.output(), owner.errors()};
    }();
    EXPECT_EQ(run.status, 1) << shown(run);
    EXPECT_EQ(run.errors, "interface error 0: /dev/no-such-sensor\n") << shown(run);
}

TEST_F(ReadmeOwner, CtrlCOrSigtermStopsTheSensorReleasesAndEndsWell) {
    for (const int stop : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(stop == SIGINT ? "Ctrl-C" : "SIGTERM");
        ChildProcess sim(kSim, {"--tcp", "0"});
        ASSERT_TRUE(
            sim.readUntil([](const std::string& output) { return output.find('\n') != std::string::npos; },
                          Clock::now() + kRunLimit));
        ChildProcess owner(kOwner, {sim.output().substr(0, sim.output().find('\n'))});
        const auto threeValues = [](const std::string& output) {
            return std::count(output.begin(), output.end(), '\n') >= 3;
        };
        ASSERT_TRUE(owner.readUntil(threeValues, Clock::now() + kRunLimit)) << owner.errors();
        owner.sendSignal(stop);
        const auto status = owner.finish(Clock::now() + kRunLimit);
        sim.sendSignal(SIGTERM);
        sim.finish(Clock::now() + kRunLimit);
        const Finished run{status.value_or(-1000), owner.output(), owner.errors()};
        EXPECT_EQ(run.status, 0) << shown(run);
        EXPECT_LT(std::count(run.output.begin(), run.output.end(), '\n'), 20) << shown(run);
        EXPECT_EQ(run.errors, "") << shown(run);
    }
}

TEST_F(ReadmeOwner, ConnectsAgainWithANewDriverWhenTheOtherSideClosesAndGetsValuesAgain) {
    // A converter that drops the connection after a few values and takes the next.
    SensorSim::CTcpSensorServer converter(1, SensorSim::EModel::Vkr25);
    converter.with(0, [](SensorSim::CSensorSimulator& sensor) { sensor.powerUp(); });
    ChildProcess owner(kOwner, {"127.0.0.1:" + std::to_string(converter.port())});
    const auto lines = [](std::size_t count) {
        return [count](const std::string& output) {
            return static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n')) >= count;
        };
    };
    ASSERT_TRUE(owner.readUntil(lines(5), Clock::now() + kRunLimit)) << owner.errors();
    converter.hangUp();
    const auto status = owner.finish(Clock::now() + kRunLimit);
    const Finished run{status.value_or(-1000), owner.output(), owner.errors()};
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_TRUE(std::regex_match(run.output, std::regex("([0-9]+\\.[0-9]{3} m\n){20}"))) << shown(run);
    EXPECT_EQ(run.errors, "") << shown(run);
    EXPECT_EQ(converter.connectionsAccepted(), 2U);
}

} // namespace
