// The programs as a user runs them: built binaries started as child processes, their
// output read with a deadline.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using ProgramTests::ChildProcess;
using ProgramTests::Clock;
using namespace std::chrono_literals;

namespace {

#if defined(SENSOR_EXAMPLE_PATH) && defined(SENSOR_SIM_PATH)
const std::string kExample = SENSOR_EXAMPLE_PATH;
const std::string kSim = SENSOR_SIM_PATH;
#else
const std::string kExample;
const std::string kSim;
#endif

// Generous: a loaded machine runs sanitizer builds of several tests at once.
constexpr auto kRunLimit = 30s;

#define REQUIRE_PROGRAMS()                                                                                   \
    if (kExample.empty() || kSim.empty())                                                                    \
    GTEST_SKIP() << "the programs are not built here"

struct Finished {
    int status = -1000;
    std::string output;
};

Finished runToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess child(program, arguments);
    const auto status = child.finish(Clock::now() + kRunLimit);
    EXPECT_TRUE(status.has_value()) << program << " did not end in time; output:\n" << child.output();
    return {status.value_or(-1000), child.output()};
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 10;
}

// The count of the closing "N values" line, or -1.
long valuesReported(const std::string& output) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.ends_with(" values") && isNumber(line.substr(0, line.size() - 7)))
            return std::stol(line);
    return -1;
}

// The first value printed as "value 1: 1.234 m (001.234)".
bool printedValues(const std::string& output) {
    const auto at = output.find("value 1: ");
    std::string line;
    std::getline(std::istringstream(at == std::string::npos ? "" : output.substr(at + 9)), line);
    const auto point = line.find('.');
    return point != std::string::npos && line.find(" m (") == point + 4 && isNumber(line.substr(0, point)) &&
           isNumber(line.substr(point + 1, 3)) && line.ends_with(")");
}

// A sensor session that went as it should: ready, identified as the model, values.
void expectGoodSession(const Finished& run, const std::string& model) {
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("sensor ready"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("identification: " + model + ","), std::string::npos) << run.output;
    EXPECT_TRUE(printedValues(run.output)) << run.output;
    EXPECT_GT(valuesReported(run.output), 0) << run.output;
    EXPECT_EQ(run.output.find("interface error"), std::string::npos) << run.output;
}

// sensor_sim on a loopback TCP port: its first line is the address.
struct SimOnTcp {
    explicit SimOnTcp(const std::vector<std::string>& extra) {
        std::vector<std::string> arguments{"--tcp", "0", "--seconds", "60"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        child = std::make_unique<ChildProcess>(kSim, arguments);
        const bool announced =
            child->readUntil([](const std::string& output) { return output.find('\n') != std::string::npos; },
                             Clock::now() + 10s);
        const std::string first = child->output().substr(0, child->output().find('\n'));
        if (announced && first.starts_with("127.0.0.1:") && isNumber(first.substr(10)))
            address = first;
    }
    std::unique_ptr<ChildProcess> child;
    std::string address; // empty when the program did not announce one
};

struct ExampleCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* model;
};

class ExampleAgainstItsSimulator : public testing::TestWithParam<ExampleCase> {};

} // namespace

TEST_P(ExampleAgainstItsSimulator, EndsByItselfWithValues) {
    REQUIRE_PROGRAMS();
    std::vector<std::string> arguments{"--seconds", "1"};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const Finished run = runToEnd(kExample, arguments);
    expectGoodSession(run, GetParam().model);
    const bool overTcp = GetParam().arguments.end() !=
                         std::find(GetParam().arguments.begin(), GetParam().arguments.end(), "--sim-tcp");
    EXPECT_NE(run.output.find(overTcp ? "built-in simulator on 127.0.0.1:" : "built-in simulator on /dev/"),
              std::string::npos)
        << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Links, ExampleAgainstItsSimulator,
    testing::Values(ExampleCase{"Pty", {}, "VKR25"}, ExampleCase{"Tcp", {"--sim-tcp"}, "VKR25"},
                    ExampleCase{"Vkr27OnPty", {"--model", "vkr27"}, "VKR27"},
                    ExampleCase{"Vkr27OnTcp", {"--model", "vkr27", "--sim-tcp"}, "VKR27"},
                    ExampleCase{
                        "Vkr25XtOnTcp", {"--model", "vkr25xt", "--sim-tcp", "--mode", "dt"}, "VKR25XT"}),
    [](const testing::TestParamInfo<ExampleCase>& shown) { return std::string(shown.param.name); });

TEST(Programs, ExampleTalksToSensorSimOverTcpTwiceAndTheSimulatorStopsOnTerm) {
    REQUIRE_PROGRAMS();
    SimOnTcp sim({"--model", "vkr27"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();

    // One client at a time: the second run gets the port after the first has left.
    for (int round = 0; round < 2; ++round) {
        const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--model", "vkr27", "--count", "20"});
        expectGoodSession(run, "VKR27");
        EXPECT_EQ(valuesReported(run.output), 20) << run.output;
        EXPECT_NE(run.output.find("connecting to " + sim.address), std::string::npos) << run.output;
    }
    sim.child->sendSignal(SIGTERM);
    EXPECT_EQ(sim.child->finish(Clock::now() + kRunLimit), 0) << sim.child->output();
}

TEST(Programs, ASensorThatHangsUpOverTcpFailsTheExampleAndEndsTheSimulator) {
    REQUIRE_PROGRAMS();
    SimOnTcp sim({"--hang-up-after", "40"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();
    const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--seconds", "10"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("interface released by the other side"), std::string::npos) << run.output;
    EXPECT_TRUE(printedValues(run.output)) << run.output;
    EXPECT_EQ(sim.child->finish(Clock::now() + kRunLimit), 0) << sim.child->output();
    EXPECT_NE(sim.child->output().find("hung up as asked"), std::string::npos) << sim.child->output();
}

TEST(Programs, FaultSwitchesOverTcpStillGiveValues) {
    REQUIRE_PROGRAMS();
    SimOnTcp sim({"--split", "3:1", "--garbage-every", "5"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();
    const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--count", "15"});
    expectGoodSession(run, "VKR25");
    EXPECT_EQ(valuesReported(run.output), 15) << run.output;
    EXPECT_NE(run.output.find("garbage"), std::string::npos) << run.output;
    sim.child->sendSignal(SIGTERM);
    EXPECT_EQ(sim.child->finish(Clock::now() + kRunLimit), 0) << sim.child->output();
}

TEST(Programs, ExampleReportsARefusedConnectionAsAFailure) {
    REQUIRE_PROGRAMS();
    // A bound socket that does not listen: the port is ours, and connecting is refused.
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const Finished run =
        runToEnd(kExample, {"--tcp", "127.0.0.1:" + std::to_string(ntohs(address.sin_port))});
    ::close(holder);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("interface error"), std::string::npos) << run.output;
}

TEST(Programs, BadCommandLinesExitTwo) {
    REQUIRE_PROGRAMS();
    const std::vector<std::vector<std::string>> exampleLines = {{"--tcp", "127.0.0.1"},
                                                                {"--tcp", ":4000"},
                                                                {"--tcp", "host:0"},
                                                                {"--model", "vkr99"},
                                                                {"--sim-tcp", "--serial", "/dev/null"}};
    for (const auto& arguments : exampleLines)
        EXPECT_EQ(runToEnd(kExample, arguments).status, 2) << arguments[0] << " " << arguments[1];
    EXPECT_EQ(runToEnd(kSim, {"--tcp", "65536"}).status, 2);
    EXPECT_EQ(runToEnd(kSim, {"--tcp", "x"}).status, 2);
}
