// The programs as a user runs them: built binaries started as child processes, their
// output read with a deadline.
#include "ChildProcess.h"
#include "LoopbackPeer.h"
#include "MeasurementFormat.h"
#include "TcpSensorServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using TestSupport::ChildProcess;
using TestSupport::Clock;
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
    std::string output; // standard output
    std::string errors; // standard error
};

std::string shown(const Finished& run) {
    return "status " + std::to_string(run.status) + "\nstdout:\n" + run.output + "stderr:\n" + run.errors;
}

Finished finish(ChildProcess& child) {
    const auto status = child.finish(Clock::now() + kRunLimit);
    EXPECT_TRUE(status.has_value()) << "did not end in time; output:\n" << child.output() << child.errors();
    return {status.value_or(-1000), child.output(), child.errors()};
}

Finished runToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess child(program, arguments);
    return finish(child);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The count of the closing "summary: N values ..." line, or -1.
long valuesReported(const std::string& output) {
    static const std::regex summary(
        R"(summary: (\d{1,9}) values in .* sensor errors, \d+ interface errors, )");
    std::smatch found;
    return std::regex_search(output, found, summary) ? std::stol(found[1]) : -1;
}

// A count of the closing summary line, by its name ("unreadable readings", "sensor
// errors"), or -1.
long summaryCount(const std::string& output, const std::string& name) {
    const std::regex count("summary: .* (\\d{1,9}) " + name + ",");
    std::smatch found;
    return std::regex_search(output, found, count) ? std::stol(found[1]) : -1;
}

long occurrences(const std::string& text, const std::string& part) {
    long count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The first value printed as "value 1: 1.234 m (001.234)".
bool printedValues(const std::string& output) {
    static const std::regex first(R"(value 1: \d{1,9}\.\d{3} m \([^\n]*\)\n)");
    return std::regex_search(output, first);
}

// Every line on standard error carries the time prefix, "11:02:03.456 +  0.012s  ".
void expectStampedErrors(const std::string& errors) {
    static const std::regex stamped(R"(\d{2}:\d{2}:\d{2}\.\d{3} \+ *\d+\.\d{3}s  \S.*)");
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_match(line, stamped)) << line << "\nin:\n" << errors;
}

// A sensor session that went as it should: identified as the model, values on standard
// output, no error, and nothing of the library's trace without --verbose.
void expectGoodSession(const Finished& run, const std::string& model, bool verbose = false) {
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_TRUE(contains(run.output, "identification: " + model + ",")) << shown(run);
    EXPECT_TRUE(printedValues(run.output)) << shown(run);
    EXPECT_GT(valuesReported(run.output), 0) << shown(run);
    EXPECT_TRUE(contains(run.output, "ready after ")) << shown(run);
    EXPECT_FALSE(contains(run.errors, "error")) << shown(run);
    const std::string quiet = verbose ? run.output : run.output + run.errors;
    EXPECT_FALSE(contains(quiet, "trace:") || contains(quiet, "mode:")) << shown(run);
    EXPECT_FALSE(contains(run.output, "other side")) << shown(run);
    expectStampedErrors(run.errors);
}

// sensor_sim as a child process: its first line says where it serves.
struct SimProgram {
    SimProgram(std::vector<std::string> arguments, const std::vector<std::string>& extra,
               const std::regex& announcement) {
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        child = std::make_unique<ChildProcess>(kSim, arguments);
        const bool announced =
            child->readUntil([](const std::string& output) { return output.find('\n') != std::string::npos; },
                             Clock::now() + 10s);
        const std::string first = child->output().substr(0, child->output().find('\n'));
        if (announced && std::regex_match(first, announcement))
            address = first;
    }
    std::unique_ptr<ChildProcess> child;
    std::string address; // empty when the program did not announce one
};

// sensor_sim on a loopback TCP port: its first line is the address.
struct SimOnTcp : SimProgram {
    explicit SimOnTcp(const std::vector<std::string>& extra)
        : SimProgram({"--tcp", "0", "--seconds", "60"}, extra, std::regex(R"(127\.0\.0\.1:\d{1,5})")) {}
};

// sensor_sim on a pseudo-terminal: its first line is the device.
struct SimOnPty : SimProgram {
    explicit SimOnPty(const std::vector<std::string>& extra)
        : SimProgram({"--pty", "--seconds", "60"}, extra, std::regex(R"(/dev/pts/\d+)")) {}
};

// A loopback port of this test: a bound socket that listens with the backlog given,
// or does not listen at all (connecting is refused). Connections made to it wait in
// its accept queue for ever.
struct LoopbackPort {
    explicit LoopbackPort(int backlog, int connections = 0)
        : fd(TestSupport::listenOnLoopback(port, backlog)) {
        for (int i = 0; i < connections; ++i)
            clients.push_back(TestSupport::connectToLoopback(port, false));
    }
    ~LoopbackPort() {
        for (const int client : clients)
            ::close(client);
        ::close(fd);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    uint16_t port = 0;
    int fd = -1;
    std::vector<int> clients;
};

struct ExampleCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* model;
    const char* mode; // the default mode for the model
};

class ExampleAgainstItsSimulator : public testing::TestWithParam<ExampleCase> {};

} // namespace

TEST_P(ExampleAgainstItsSimulator, EndsByItselfWithValuesInTheModelsDefaultMode) {
    REQUIRE_PROGRAMS();
    std::vector<std::string> arguments{"--seconds", "1", "--verbose"};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const Finished run = runToEnd(kExample, arguments);
    expectGoodSession(run, GetParam().model, true);
    EXPECT_TRUE(contains(run.errors, std::string("mode: ") + GetParam().mode + "\n")) << shown(run);
    const bool overTcp = contains(GetParam().name, "Tcp");
    EXPECT_TRUE(
        contains(run.errors, overTcp ? "built-in simulator on 127.0.0.1:" : "built-in simulator on /dev/"))
        << shown(run);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ExampleAgainstItsSimulator,
    testing::Values(ExampleCase{"Pty", {}, "VKR25", "DT"}, ExampleCase{"Tcp", {"--sim-tcp"}, "VKR25", "DT"},
                    ExampleCase{"Vkr27OnPty", {"--model", "vkr27"}, "VKR27", "DX"},
                    ExampleCase{"Vkr27OnTcp", {"--model", "vkr27", "--sim-tcp"}, "VKR27", "DX"},
                    ExampleCase{"Vkr25XtOnTcp", {"--model", "vkr25xt", "--sim-tcp"}, "VKR25XT", "DT"}),
    [](const testing::TestParamInfo<ExampleCase>& shown) { return std::string(shown.param.name); });

TEST(Programs, ExampleTalksToSensorSimOverTcpTwiceWarnsOfAnotherModelAndTheSimulatorStopsOnTerm) {
    REQUIRE_PROGRAMS();
    SimOnTcp sim({"--model", "vkr27"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();

    // One client at a time: the second run gets the port after the first has left.
    for (int round = 0; round < 2; ++round) {
        const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--model", "vkr27", "--count", "20"});
        expectGoodSession(run, "VKR27");
        EXPECT_EQ(valuesReported(run.output), 20) << shown(run);
        EXPECT_TRUE(contains(run.errors, "connecting to " + sim.address)) << shown(run);
    }
    const Finished other = runToEnd(kExample, {"--tcp", sim.address, "--model", "vkr25xt", "--count", "3"});
    EXPECT_EQ(other.status, 0) << shown(other);
    EXPECT_TRUE(
        contains(other.errors, "warning: the sensor identifies itself as VKR27, but --model is vkr25xt"))
        << shown(other);
    sim.child->sendSignal(SIGTERM);
    EXPECT_EQ(sim.child->finish(Clock::now() + kRunLimit), 0) << sim.child->errors();
}

TEST(Programs, ASensorThatHangsUpFailsTheExampleAndEndsTheSimulator) {
    REQUIRE_PROGRAMS();
    SimOnTcp sim({"--hang-up-after", "40"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();
    const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--seconds", "10"});
    EXPECT_EQ(run.status, 1) << shown(run);
    EXPECT_TRUE(
        contains(run.errors, "the sensor or its converter at " + sim.address + " closed the connection"))
        << shown(run);
    EXPECT_TRUE(printedValues(run.output)) << shown(run);
    // Without an error of its own the run fails; the summary alone says why.
    EXPECT_TRUE(std::regex_search(
        run.output,
        std::regex(R"(summary: .* 0 interface errors, .*, the connection was closed by the other side\n)")))
        << shown(run);
    expectStampedErrors(run.errors);
    EXPECT_EQ(sim.child->finish(Clock::now() + kRunLimit), 0) << sim.child->errors();
    EXPECT_TRUE(contains(sim.child->errors(), "hung up as asked")) << sim.child->errors();
    // The built-in simulator closes its side of the pseudo-terminal: an unplugged adapter.
    const Finished gone = runToEnd(kExample, {"--sim-hang-up-after", "40", "--seconds", "10"});
    EXPECT_EQ(gone.status, 1) << shown(gone);
    EXPECT_TRUE(
        std::regex_search(gone.errors, std::regex(R"(/dev/pts/\d+ has gone away: a USB adapter unplugged)")))
        << shown(gone);
    EXPECT_FALSE(contains(gone.errors, "interface error")) << shown(gone);
    EXPECT_TRUE(contains(gone.output, ", the device went away (closed by the other side)\n")) << shown(gone);
    expectStampedErrors(gone.errors);
}

TEST(Programs, FaultSwitchesOverTcpStillGiveValuesAndVerboseShowsTheTrace) {
    REQUIRE_PROGRAMS();
    SimOnTcp sim({"--split", "3:1", "--garbage-every", "5"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();
    const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--count", "15", "--verbose"});
    expectGoodSession(run, "VKR25", true);
    EXPECT_EQ(valuesReported(run.output), 15) << shown(run);
    EXPECT_TRUE(contains(run.errors, "trace: ") && contains(run.errors, "garbage")) << shown(run);
    sim.child->sendSignal(SIGTERM);
    EXPECT_EQ(sim.child->finish(Clock::now() + kRunLimit), 0) << sim.child->errors();
}

TEST(Programs, AReadingThatComesWithATraceIsStillPrinted) {
    REQUIRE_PROGRAMS();
    // 5000 bytes without a line end, in pieces of 2000: the processor drops what it
    // holds of that line to the trace and skips the rest of it, which ends with the
    // line end of the reading sent after the flood. The reading after that comes in
    // the same update as the trace of the dropped bytes and is still printed: the
    // same conversation without the flood gives one reading more.
    SimOnTcp plain({"--split", "2000:5", "--hang-up-after", "40"});
    SimOnTcp flooded({"--split", "2000:5", "--hang-up-after", "40", "--flood-after", "3"});
    ASSERT_FALSE(plain.address.empty() || flooded.address.empty());
    ChildProcess plainRun(kExample, {"--tcp", plain.address, "--seconds", "20"});
    ChildProcess floodedRun(kExample, {"--tcp", flooded.address, "--seconds", "20"});
    const Finished withoutFlood = finish(plainRun);
    const Finished withFlood = finish(floodedRun);
    EXPECT_GT(valuesReported(withoutFlood.output), 3) << shown(withoutFlood);
    EXPECT_EQ(valuesReported(withFlood.output), valuesReported(withoutFlood.output) - 1) << shown(withFlood);
    // The dropped reply is counted once, however the chunks cut it.
    EXPECT_EQ(summaryCount(withFlood.output, "unreadable readings"), 1) << shown(withFlood);
    EXPECT_EQ(summaryCount(withoutFlood.output, "unreadable readings"), 0) << shown(withoutFlood);
}

TEST(Programs, AReplyTooLongToBeAReadingIsShownAndCountedAsUnreadable) {
    REQUIRE_PROGRAMS();
    // 5000 bytes without a line end after the third reading: the line processor drops
    // them, with the reading whose line end closes them, and reports nothing of it.
    SimOnTcp overTcp({"--flood-after", "3"});
    SimOnPty overPty({"--flood-after", "3"});
    ASSERT_FALSE(overTcp.address.empty() || overPty.address.empty());
    ChildProcess tcpRun(kExample, {"--tcp", overTcp.address, "--count", "6", "--seconds", "20"});
    ChildProcess ptyRun(kExample, {"--serial", overPty.address, "--count", "6", "--seconds", "20"});
    for (const Finished& run : {finish(tcpRun), finish(ptyRun)}) {
        EXPECT_EQ(run.status, 0) << shown(run);
        EXPECT_EQ(valuesReported(run.output), 6) << shown(run);
        EXPECT_EQ(summaryCount(run.output, "unreadable readings"), 1) << shown(run);
        EXPECT_EQ(occurrences(run.errors, "unreadable reading, not taken: 0123456789ABCDEF"), 1)
            << shown(run);
        EXPECT_TRUE(contains(run.errors, "... (over 4095 characters without a line end)\n")) << shown(run);
        expectStampedErrors(run.errors);
    }
}

TEST(Programs, TcpFailuresSayWhatWentWrong) {
    REQUIRE_PROGRAMS();
    LoopbackPort refusing(-1);
    LoopbackPort unanswered(0, 4); // a full accept queue: the connect hangs
    LoopbackPort silent(8);        // connects, but no sensor answers
    const struct {
        const LoopbackPort& port;
        std::string expected;
    } cases[] = {
        {refusing,
         "could not connect to " + refusing.address() + ": connection refused: nothing listens on port"},
        {unanswered, "could not connect to " + unanswered.address() + " within 1 s (--connect-timeout)"},
        {silent, "the sensor on " + silent.address() +
                     " did not answer within 1 s: check that it is on and that the line settings"},
    };
    for (const auto& failure : cases) {
        const Finished run = runToEnd(kExample, {"--tcp", failure.port.address(), "--connect-timeout", "1"});
        EXPECT_EQ(run.status, 1) << shown(run);
        EXPECT_TRUE(contains(run.errors, failure.expected)) << failure.expected << "\n" << shown(run);
        EXPECT_EQ(valuesReported(run.output), 0) << shown(run);
        // Codes and the library's places only with --verbose.
        EXPECT_FALSE(contains(run.errors, "interface error") || contains(run.errors, "CTcpInterface") ||
                     contains(run.errors, "10061"))
            << shown(run);
        expectStampedErrors(run.errors);
    }
    const Finished verbose = runToEnd(kExample, {"--tcp", refusing.address(), "--verbose"});
    EXPECT_TRUE(contains(verbose.errors, "interface error 10061: ")) << shown(verbose);
    const Finished unknown = runToEnd(kExample, {"--tcp", "nosuchhost.invalid:4001"});
    EXPECT_EQ(unknown.status, 1) << shown(unknown);
    EXPECT_TRUE(contains(unknown.errors, "cannot resolve nosuchhost.invalid: ")) << shown(unknown);
    expectStampedErrors(unknown.errors);
}

TEST(Programs, SerialDevicesThatCannotBeOpenedAreExplained) {
    REQUIRE_PROGRAMS();
    int server = -1;
    int device = -1;
    char path[64] = {};
    ASSERT_EQ(::openpty(&server, &device, path, nullptr, nullptr), 0);
    // A device its group may use, for a user outside the group.
    const group* owners = ::getgrnam("dialout");
    if (owners == nullptr)
        owners = ::getgrnam("tty");
    ASSERT_NE(owners, nullptr);
    const std::string groupName = owners->gr_name;
    ASSERT_EQ(::fchown(device, 0, owners->gr_gid), 0);
    ASSERT_EQ(::fchmod(device, 0660), 0);
    // One for root alone, and one that anyone may open but that is held exclusively
    // (which keeps out everyone but root).
    int rootsServer = -1;
    int rootsDevice = -1;
    char rootsPath[64] = {};
    ASSERT_EQ(::openpty(&rootsServer, &rootsDevice, rootsPath, nullptr, nullptr), 0);
    ASSERT_EQ(::fchown(rootsDevice, 0, 0), 0);
    ASSERT_EQ(::fchmod(rootsDevice, 0600), 0);
    int heldServer = -1;
    int heldDevice = -1;
    char heldPath[64] = {};
    ASSERT_EQ(::openpty(&heldServer, &heldDevice, heldPath, nullptr, nullptr), 0);
    ASSERT_EQ(::fchmod(heldDevice, 0666), 0);
    ASSERT_EQ(::ioctl(heldDevice, TIOCEXCL), 0);
    const auto asNobody = [](const std::string& devicePath) {
        return std::vector<std::string>{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups",   kExample,        "--serial",
                                        devicePath};
    };
    const struct {
        std::vector<std::string> command;
        std::string expected;
    } cases[] = {
        {{kExample, "--serial", "/dev/ttyNoSuchDevice"},
         "cannot open /dev/ttyNoSuchDevice: no such file (--list shows the serial devices)"},
        {{kExample, "--serial", "/dev/null"}, "cannot open /dev/null: not a terminal (serial) device"},
        {asNobody(path), std::string("cannot open ") + path +
                             ": permission denied; it belongs to the group " + groupName +
                             " (add yourself to it: usermod -aG " + groupName},
        {asNobody(rootsPath), std::string("cannot open ") + rootsPath +
                                  ": permission denied; only its owner root may open it (run it "
                                  "with sudo)"},
        {asNobody(heldPath), std::string("cannot open ") + heldPath +
                                 ": in use by another program (fuser -v " + heldPath + " or lsof " +
                                 heldPath + " shows which)"},
    };
    for (const auto& failure : cases) {
        const Finished run =
            runToEnd(failure.command[0], {failure.command.begin() + 1, failure.command.end()});
        EXPECT_EQ(run.status, 1) << shown(run);
        EXPECT_TRUE(contains(run.errors, failure.expected)) << failure.expected << "\n" << shown(run);
        expectStampedErrors(run.errors);
    }
    ::close(heldDevice);
    ::close(heldServer);
    ::close(rootsDevice);
    ::close(rootsServer);
    // The library's own notification, with its code and place, only with --verbose.
    const Finished plain = runToEnd(kExample, {"--serial", "/dev/ttyNoSuchDevice"});
    EXPECT_FALSE(contains(plain.errors, "interface error") || contains(plain.errors, "CSerialInterface"))
        << shown(plain);
    EXPECT_TRUE(contains(runToEnd(kExample, {"--serial", "/dev/ttyNoSuchDevice", "--verbose"}).errors,
                         "interface error 0: /dev/ttyNoSuchDevice at CSerialInterface::initInterface_"));
    // In use: another program holds the device's lock.
    ASSERT_EQ(::flock(device, LOCK_EX | LOCK_NB), 0);
    const Finished busy = runToEnd(kExample, {"--serial", path});
    EXPECT_TRUE(contains(busy.errors, std::string("cannot open ") + path +
                                          ": in use by another program (fuser -v " + path + " or lsof " +
                                          path + " shows which)"))
        << shown(busy);
    ::close(device);
    ::close(server);
}

TEST(Programs, ARefusedMeasuringModeIsNamedAndEndsTheRun) {
    REQUIRE_PROGRAMS();
    // Without the early end the run would last longer than the test waits.
    const Finished run = runToEnd(kExample, {"--sim-error-reply", "DT=E61", "--seconds", "300"});
    EXPECT_EQ(run.status, 1) << shown(run);
    EXPECT_TRUE(contains(run.errors, "sensor error 61: the sensor refused the measuring mode DT"))
        << shown(run);
    EXPECT_TRUE(contains(run.output, "0 values in ")) << shown(run);
    const Finished dx = runToEnd(kExample, {"--mode", "dx", "--sim-error-reply", "DX=E62"});
    EXPECT_TRUE(contains(dx.errors, "the sensor refused the measuring mode DX (DX is a Vkr27 mode"))
        << shown(dx);
    // A simulated Vkr25Xt has no DX of its own to give.
    SimOnTcp vkr25xt({"--model", "vkr25xt"});
    ASSERT_FALSE(vkr25xt.address.empty()) << vkr25xt.child->output();
    const Finished refused =
        runToEnd(kExample, {"--tcp", vkr25xt.address, "--model", "vkr25xt", "--mode", "dx"});
    EXPECT_EQ(refused.status, 1) << shown(refused);
    EXPECT_TRUE(contains(refused.errors,
                         "sensor error 62: the sensor refused the measuring mode DX (DX is a Vkr27 "
                         "mode; this sensor is a VKR25XT: use --mode dt, ds or dw)"))
        << shown(refused);
    expectStampedErrors(refused.errors);
    EXPECT_EQ(runToEnd(kSim, {"--model", "vkr25xt", "--auto-start", "dx"}).status, 2);
}

TEST(Programs, AnErrorReadingWhileMeasuringIsCountedAndTheRunGoesOn) {
    REQUIRE_PROGRAMS();
    SimOnTcp sim({"--error-every", "5"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();
    const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--count", "20", "--seconds", "20"});
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_EQ(valuesReported(run.output), 20) << shown(run);
    EXPECT_FALSE(contains(run.errors, "refused")) << shown(run);
    // 20 values and an error after every 4: the last value may come before its error.
    const long errors = occurrences(run.errors, "sensor error 15 ");
    EXPECT_GE(errors, 4) << shown(run);
    EXPECT_EQ(summaryCount(run.output, "sensor errors"), errors) << shown(run);
}

// The distance of seven hexadecimal digits: millimetres as a 28-bit two's complement.
double hexMetres(const std::string& digits) {
    long millimetres = std::stol(digits, nullptr, 16);
    if (millimetres >= 0x8000000)
        millimetres -= 0x10000000;
    return static_cast<double>(millimetres) / 1000.0;
}

TEST(Programs, InHexadecimalFormatOnlyReadingsThatDecodeArePrinted) {
    REQUIRE_PROGRAMS();
    // A garbage line after every third reading, and every fifth line an error code.
    SimOnTcp sim({"--hexadecimal", "--garbage-every", "3", "--error-every", "5"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();
    const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--count", "15", "--seconds", "20"});
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_EQ(valuesReported(run.output), 15) << shown(run);
    static const std::regex value(R"(value \d+: (-?\d+\.\d{3}) m \(([^)\n]*)\)\n)");
    long printed = 0;
    for (std::sregex_iterator it(run.output.begin(), run.output.end(), value), end; it != end; ++it) {
        ++printed;
        const std::string digits = (*it)[2];
        ASSERT_TRUE(std::regex_match(digits, std::regex("[0-9A-F]{7}"))) << digits << "\n" << shown(run);
        EXPECT_NEAR(std::stod((*it)[1]), hexMetres(digits), 0.0005) << shown(run);
    }
    EXPECT_EQ(printed, 15) << shown(run);
    const long unreadable = occurrences(run.errors, "unreadable reading, not taken: #?~garbage~?#");
    EXPECT_GE(unreadable, 3) << shown(run);
    EXPECT_EQ(summaryCount(run.output, "unreadable readings"), unreadable) << shown(run);
    EXPECT_GE(summaryCount(run.output, "sensor errors"), 2) << shown(run);
}

TEST(Programs, ASensorThatStartsMeasuringByItselfIsReadyAfterItsParameters) {
    REQUIRE_PROGRAMS();
    const struct {
        const char* model;
        const char* autoStart;
        const char* identity;
    } sensors[] = {{"vkr25", "dt", "VKR25"}, {"vkr27", "dx", "VKR27"}, {"vkr27", "dt", "VKR27"}};
    for (const auto& sensor : sensors) {
        SimOnTcp sim({"--model", sensor.model, "--auto-start", sensor.autoStart});
        ASSERT_FALSE(sim.address.empty()) << sim.child->output();
        const Finished run = runToEnd(kExample, {"--tcp", sim.address, "--model", sensor.model, "--count",
                                                 "10", "--connect-timeout", "5"});
        expectGoodSession(run, sensor.identity);
        EXPECT_EQ(valuesReported(run.output), 10) << shown(run);
        // The values come after the parameters, from the mode the example asked for.
        EXPECT_LT(run.output.find("auto-start (AS)"), run.output.find("value 1: ")) << shown(run);
    }
}

TEST(Programs, AClosedStandardOutputEndsTheRunLikeCtrlC) {
    REQUIRE_PROGRAMS();
    ChildProcess child(kExample, {"--model", "vkr27", "--seconds", "300", "--verbose"});
    ASSERT_TRUE(child.readUntil([](const std::string& output) { return contains(output, "value 3:"); },
                                Clock::now() + kRunLimit))
        << child.output() << child.errors();
    child.closeOutput(); // as `| head` does
    const Finished run = finish(child);
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_TRUE(contains(run.errors, "standard output closed; stopping")) << shown(run);
    EXPECT_TRUE(contains(run.errors, "mode: escape")) << shown(run);
}

TEST(Programs, AStopSignalEndsTheRunLikeItsOwnEnd) {
    REQUIRE_PROGRAMS();
    for (const int signal : {SIGINT, SIGTERM}) {
        ChildProcess child(kExample, {"--model", "vkr27", "--seconds", "300", "--verbose"});
        ASSERT_TRUE(child.readUntil([](const std::string& output) { return contains(output, "value 45:"); },
                                    Clock::now() + kRunLimit))
            << child.output() << child.errors();
        child.sendSignal(signal);
        const Finished run = finish(child);
        EXPECT_EQ(run.status, 0) << shown(run);
        // Every value printed reached the pipe, the summary counts them, and the
        // sensor was told to stop measuring.
        const long values = valuesReported(run.output);
        EXPECT_GE(values, 45) << shown(run);
        EXPECT_TRUE(contains(run.output, "value " + std::to_string(values) + ": ")) << shown(run);
        EXPECT_TRUE(contains(run.errors, "stopping") && contains(run.errors, "mode: escape")) << shown(run);
        // Only Ctrl-C is Ctrl-C.
        EXPECT_EQ(contains(run.errors, "Ctrl-C"), signal == SIGINT) << shown(run);
        expectStampedErrors(run.errors);
    }
}

TEST(Programs, ASecondCtrlCEndsTheRunAtOnce) {
    REQUIRE_PROGRAMS();
    ChildProcess child(kExample, {"--model", "vkr27", "--seconds", "300"});
    ASSERT_TRUE(child.readUntil([](const std::string& output) { return contains(output, "value 5:"); },
                                Clock::now() + kRunLimit));
    // Sent in the order of their numbers: whether both wait for the continue (the
    // lower-numbered taken first) or the hang-up was taken before the stop landed, the
    // hang-up asks for the stop and the Ctrl-C after it forces the end.
    child.sendSignal(SIGSTOP);
    child.sendSignal(SIGHUP);
    child.sendSignal(SIGINT);
    child.sendSignal(SIGCONT);
    const Finished run = finish(child);
    EXPECT_EQ(run.status, 130) << shown(run);
    EXPECT_TRUE(contains(run.output, "value 5: ")) << shown(run);
}

// The machine's serial ports as the kernel lists them: terminals with a driver behind
// them, without the 8250 driver's placeholders that have no UART.
std::vector<std::string> serialPortsOfThisMachine() {
    namespace fs = std::filesystem;
    std::vector<std::string> ports;
    std::error_code error;
    for (fs::directory_iterator it("/sys/class/tty", error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (!fs::exists(it->path() / "device" / "driver", ignored))
            continue;
        std::string type;
        if (std::ifstream(it->path() / "type") >> type; type == "0")
            continue;
        ports.push_back("/dev/" + it->path().filename().string());
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

TEST(Programs, ListPrintsTheSerialDevicesAndBadCommandLinesExitTwo) {
    REQUIRE_PROGRAMS();
    const Finished run = runToEnd(kExample, {"--list"});
    EXPECT_EQ(run.status, 0) << shown(run);
    std::vector<std::string> listed;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
        listed.push_back(line);
    std::sort(listed.begin(), listed.end());
    const auto expected = serialPortsOfThisMachine();
    EXPECT_EQ(listed, expected) << shown(run);
    EXPECT_EQ(contains(run.errors, "no serial devices found"), expected.empty()) << shown(run);

    const std::vector<std::vector<std::string>> exampleLines = {
        {"--tcp", "127.0.0.1"}, {"--tcp", ":4000"},         {"--tcp", "host:0"},
        {"--model", "vkr99"},   {"--connect-timeout", "0"}, {"--sim-tcp", "--serial", "/dev/null"}};
    for (const auto& arguments : exampleLines)
        EXPECT_EQ(runToEnd(kExample, arguments).status, 2) << arguments[0] << " " << arguments[1];
    // An unknown model lists the known ones; nothing has run yet, so no time prefix.
    for (const std::string& program : {kExample, kSim}) {
        const Finished model = runToEnd(program, {"--model", "vkr26"});
        EXPECT_EQ(model.status, 2) << shown(model);
        EXPECT_EQ(model.errors, "--model: unknown model vkr26 (known: vkr25, vkr25xt, vkr27)\n(see --help)\n")
            << shown(model);
    }
    // Refused at once, saying why and what would do.
    const Finished ipv6 = runToEnd(kExample, {"--tcp", "[::1]:4001"});
    EXPECT_EQ(ipv6.status, 2) << shown(ipv6);
    EXPECT_TRUE(contains(ipv6.errors, "IPv6 addresses are not supported")) << shown(ipv6);
    const Finished rate = runToEnd(kExample, {"--baud", "12345"});
    EXPECT_EQ(rate.status, 2) << shown(rate);
    EXPECT_TRUE(contains(rate.errors, "expected one of 50, 75, 110, ") && contains(rate.errors, ", 9600, ") &&
                contains(rate.errors, ", 256000"))
        << shown(rate);
    EXPECT_EQ(runToEnd(kSim, {"--tcp", "65536"}).status, 2);
    EXPECT_EQ(runToEnd(kSim, {"--tcp", "x"}).status, 2);
}

TEST(Programs, HelpTextsStartInOneColumnAndTheExampleRaisesItsLimitOfOpenFiles) {
    REQUIRE_PROGRAMS();
    static const std::regex option(R"(\n  --\S+(?: [^ ]+)? +\S)"); // up to the text's first character
    for (const std::string& program : {kExample, kSim}) {
        const Finished help = runToEnd(program, {"--help"});
        std::set<long> columns;
        for (std::sregex_iterator it(help.output.begin(), help.output.end(), option), end; it != end; ++it)
            columns.insert(it->length(0));
        EXPECT_EQ(columns.size(), 1U) << shown(help);
        EXPECT_EQ(contains(help.output, "It raises its own limit of open files to the hard limit"),
                  program == kExample);
    }
    // Started with a soft limit far below the hard one, it takes the hard one.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const std::string hard = std::to_string(limit.rlim_max);
    const Finished run =
        runToEnd("/usr/bin/prlimit", {"--nofile=64:" + hard, kExample, "--count", "2", "--verbose"});
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_TRUE(contains(run.errors, "  the limit of open files raised from 64 to " + hard + "\n"))
        << shown(run);
}

namespace {

// A sensor of this test's own on a loopback port, for replies that must come in one
// piece: the next DT is answered with exactly `reply`.
struct ScriptedSensor {
    explicit ScriptedSensor(const std::string& reply) {
        server.with(0, [&](SensorSim::CSensorSimulator& sensor) {
            sensor.setReplyOverride("DT", reply);
            sensor.powerUp();
        });
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(server.port()); }

    SensorSim::CTcpSensorServer server{1, SensorSim::EModel::Vkr25};
};

std::string readingLines(int count) {
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += SensorSim::formatDecimalDistance(1.5 + 0.001 * i) + "\r\n";
    return lines;
}

} // namespace

TEST(Programs, OnlyAnErrorInPlaceOfTheFirstReadingRefusesTheModeAndCountStopsInOnePass) {
    REQUIRE_PROGRAMS();
    // An error as the second reading is one failed reading.
    SimOnTcp errorSecond({"--error-every", "2"});
    ASSERT_FALSE(errorSecond.address.empty()) << errorSecond.child->output();
    const Finished second =
        runToEnd(kExample, {"--tcp", errorSecond.address, "--count", "5", "--seconds", "20"});
    EXPECT_EQ(second.status, 0) << shown(second);
    EXPECT_EQ(valuesReported(second.output), 5) << shown(second);
    EXPECT_FALSE(contains(second.errors, "refused")) << shown(second);
    EXPECT_TRUE(contains(second.errors, "sensor error 15 instead of a reading of DT; measuring goes on"))
        << shown(second);

    // An unreadable first reading (too long to be read) stands where a reading would:
    // the error after it is no refusal either. Everything comes in one piece, so the
    // five readings after it arrive in one pass of the example's loop, of which
    // --count takes two.
    ScriptedSensor sensor(std::string(5000, '7') + "\r\nE15\r\n" + readingLines(5));
    const Finished run = runToEnd(kExample, {"--tcp", sensor.address(), "--count", "2", "--seconds", "20"});
    EXPECT_EQ(run.status, 0) << shown(run);
    EXPECT_FALSE(contains(run.errors, "refused")) << shown(run);
    EXPECT_TRUE(contains(run.errors, "unreadable reading, not taken: 7777")) << shown(run);
    EXPECT_TRUE(contains(run.errors, "sensor error 15 instead of a reading of DT; measuring goes on"))
        << shown(run);
    EXPECT_TRUE(contains(run.output, "value 2: 1.501 m (001.501)")) << shown(run);
    EXPECT_FALSE(contains(run.output, "value 3:")) << shown(run);
    EXPECT_EQ(valuesReported(run.output), 2) << shown(run);
    EXPECT_EQ(summaryCount(run.output, "unreadable readings"), 1) << shown(run);
    EXPECT_EQ(summaryCount(run.output, "sensor errors"), 1) << shown(run);
}

TEST(Programs, FailedConnectsEndWithAdviceAndASummaryThatBlamesNoOneElse) {
    REQUIRE_PROGRAMS();
    LoopbackPort refusing(-1);
    const Finished refused = runToEnd(kExample, {"--tcp", refusing.address()});
    const Finished unknown = runToEnd(kExample, {"--tcp", "nosuchhost.invalid:4001"});
    const Finished missing = runToEnd(kExample, {"--serial", "/dev/ttyNoSuchDevice"});
    for (const Finished& run : {refused, unknown, missing}) {
        EXPECT_EQ(run.status, 1) << shown(run);
        EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(^summary: 0 values in .*, never ready\n$)")))
            << shown(run);
        // The connection never was: nobody closed it, nothing went away.
        EXPECT_FALSE(contains(run.output + run.errors, "closed") || contains(run.output, "went away"))
            << shown(run);
        expectStampedErrors(run.errors);
    }
    EXPECT_TRUE(contains(unknown.errors, "could not connect to nosuchhost.invalid:4001: cannot resolve "
                                         "nosuchhost.invalid: "))
        << shown(unknown);
    EXPECT_TRUE(contains(unknown.errors, "check the name and the machine's name service")) << shown(unknown);
}

TEST(Programs, CommandLinesAreReadWithinTheirArgumentsAndTakeModelsInAnyCase) {
    REQUIRE_PROGRAMS();
    const struct {
        const std::string& program;
        std::vector<std::string> arguments;
        std::string errors;
    } refused[] = {
        // A value missing at the end is not looked for past the arguments.
        {kExample, {"--baud"}, "--baud needs a value (RATE)\n(see --help)\n"},
        {kExample, {"--count", "3", "--seconds"}, "--seconds needs a value (N)\n(see --help)\n"},
        {kSim, {"--tcp"}, "--tcp needs a value (PORT)\n(see --help)\n"},
        // A switch takes no value, "no" included.
        {kExample, {"--verbose=no"}, "--verbose takes no value\n(see --help)\n"},
        {kSim, {"--pty=0"}, "--pty takes no value\n(see --help)\n"},
        // Numbers too big for any count are refused, not thrown.
        {kExample, {"--seconds", "99999999999999999999999"}, "--seconds: expected N > 0\n(see --help)\n"},
        {kExample, {"--count", "18446744073709551616"}, "--count: not a number\n(see --help)\n"},
        {kExample,
         {"--connect-timeout", "99999999999999999999"},
         "--connect-timeout: expected SECONDS > 0\n(see --help)\n"},
        {kSim, {"--seconds", "99999999999999999999999"}, "--seconds: not a number\n(see --help)\n"},
    };
    for (const auto& line : refused) {
        const Finished run = runToEnd(line.program, line.arguments);
        EXPECT_EQ(run.status, 2) << line.arguments[0] << "\n" << shown(run);
        EXPECT_EQ(run.errors, line.errors) << shown(run);
        EXPECT_EQ(run.output, "") << shown(run);
    }
    // The longest time it takes still runs, and ends by its count. The model is
    // taken as the sensor names itself.
    const Finished longest = runToEnd(kExample, {"--seconds", "999999999", "--connect-timeout", "999999999",
                                                 "--count", "2", "--model", "VKR27"});
    expectGoodSession(longest, "VKR27");
    EXPECT_EQ(valuesReported(longest.output), 2) << shown(longest);
    SimOnTcp sim({"--model", "Vkr25Xt"});
    ASSERT_FALSE(sim.address.empty()) << sim.child->output();
    const Finished mixed = runToEnd(kExample, {"--tcp", sim.address, "--model", "vKR25xT", "--count", "2"});
    expectGoodSession(mixed, "VKR25XT");
}

TEST(Programs, CtrlCIsTakenWhileNothingArrives) {
    REQUIRE_PROGRAMS();
    // A converter that connects, takes the start-up's commands and never answers: no
    // event comes to the example after them but the stop.
    TestSupport::LoopbackPeer converter;
    ChildProcess child(kExample, {"--tcp", "127.0.0.1:" + std::to_string(converter.port()),
                                  "--connect-timeout", "3600", "--verbose"});
    ASSERT_TRUE(converter.accept(kRunLimit)) << child.errors();
    std::string commands;
    const auto deadline = Clock::now() + kRunLimit;
    while (!contains(commands, "ID\r") && Clock::now() < deadline)
        commands += converter.receive(1, std::chrono::seconds(1));
    ASSERT_TRUE(contains(commands, "ID\r")) << commands;
    child.sendSignal(SIGINT);
    const Finished run = finish(child);
    EXPECT_EQ(run.status, 1) << shown(run);
    EXPECT_TRUE(contains(run.errors, "stopping; Ctrl-C again ends at once")) << shown(run);
    EXPECT_TRUE(contains(run.output, "never ready")) << shown(run);
}

namespace {

// Whether a signal waits in the pending set that a line of /proc/PID[/task/TID]/status
// shows ("SigPnd:" for a thread's own, "ShdPnd:" for the process's).
bool pendingIn(const std::string& statusFile, const std::string& field, int signal) {
    std::ifstream status(statusFile);
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return (std::stoull(line.substr(field.size()), nullptr, 16) >> (signal - 1) & 1U) != 0;
    return false;
}

bool pendingInAThread(pid_t pid, int signal) {
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end;
         !error && it != end; it.increment(error))
        if (pendingIn(it->path().string() + "/status", "SigPnd:", signal))
            return true;
    return false;
}

// Checks `condition` until it holds or the deadline passes: for states of another
// process that nothing announces.
bool becomes(const std::function<bool()>& condition, Clock::time_point deadline) {
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

TEST(Programs, ASecondCtrlCDuringTheShutdownEndsTheRunAtOnce) {
    REQUIRE_PROGRAMS();
    // The example's standard error is a pipe of this test, kept full after the start:
    // the first Ctrl-C's "stopping" line blocks the thread that took it, the main
    // thread shuts down meanwhile, prints its summary and asks that thread to end. A
    // second Ctrl-C then waits beside that request, and must not be lost to it.
    int out[2];
    int err[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> words{kExample, "--model", "vkr27", "--seconds", "300"};
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, kExample.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    for (const int fd : {out[0], err[0]})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // The pipe opened anew is a writer of its own, non-blocking without making the
    // example's standard error so.
    const int filler = ::open(("/proc/self/fd/" + std::to_string(err[1])).c_str(), O_WRONLY | O_NONBLOCK);
    ::close(err[1]);
    ASSERT_GE(filler, 0);
    std::string output;
    std::string errors;
    const auto take = [](int fd, std::string& into) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
            into.append(buffer, static_cast<std::size_t>(got));
        return got == 0; // the end
    };
    const auto readUntil = [&](const std::string& part) {
        return becomes(
            [&] {
                take(out[0], output);
                return contains(output, part);
            },
            Clock::now() + kRunLimit);
    };
    const auto end = [&] {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    };
    if (!readUntil("value 3:")) {
        end();
        FAIL() << output;
    }
    take(err[0], errors);
    ::fcntl(err[0], F_SETPIPE_SZ, 4096);
    while (::write(filler, "#", 1) == 1) {
    }
    ::close(filler);
    ::kill(pid, SIGINT);
    const bool summarised = readUntil("summary: ");
    const bool endAsked =
        summarised && becomes([&] { return pendingInAThread(pid, SIGUSR1); }, Clock::now() + kRunLimit);
    ::kill(pid, SIGINT);
    const bool secondWaits =
        becomes([&] { return pendingIn("/proc/" + std::to_string(pid) + "/status", "ShdPnd:", SIGINT); },
                Clock::now() + kRunLimit);
    if (!summarised || !endAsked || !secondWaits) {
        end();
        FAIL() << summarised << endAsked << secondWaits << "\n" << output;
    }
    becomes([&] { return take(err[0], errors); }, Clock::now() + kRunLimit);
    int status = 0;
    const bool ended =
        becomes([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, Clock::now() + kRunLimit);
    if (!ended)
        end();
    take(out[0], output);
    ::close(out[0]);
    ::close(err[0]);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status << "\n" << output << errors;
    EXPECT_TRUE(contains(errors, "stopping; Ctrl-C again ends at once")) << errors;
}

TEST(Programs, APtySimulatorThatHangsUpDeliversEveryLineItSentBefore) {
    REQUIRE_PROGRAMS();
    // Bare readers, ten at once: the 35 lines of the hang-up are all there, every time.
    struct BareReader {
        std::unique_ptr<SimOnPty> sim;
        int device = -1;
        std::string received;
        bool ended = false;
    };
    std::vector<BareReader> readers(10);
    for (auto& reader : readers) {
        reader.sim = std::make_unique<SimOnPty>(std::vector<std::string>{"--hang-up-after", "35"});
        ASSERT_FALSE(reader.sim->address.empty()) << reader.sim->child->output();
        reader.device = ::open(reader.sim->address.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        ASSERT_GE(reader.device, 0) << reader.sim->address;
        termios raw{};
        ::tcgetattr(reader.device, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(reader.device, TCSANOW, &raw);
        ASSERT_EQ(::write(reader.device, "DT\r", 3), 3);
    }
    const auto deadline = Clock::now() + kRunLimit;
    for (;;) {
        std::vector<pollfd> open;
        for (const auto& reader : readers)
            if (!reader.ended)
                open.push_back({reader.device, POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (open.empty() || left.count() <= 0 ||
            ::poll(open.data(), open.size(), static_cast<int>(left.count())) <= 0)
            break;
        for (auto& reader : readers) {
            if (reader.ended)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(reader.device, buffer, sizeof buffer);
            if (got > 0)
                reader.received.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EAGAIN)
                reader.ended = true; // the other side has gone: end of file, or EIO
        }
    }
    for (auto& reader : readers) {
        ::close(reader.device);
        EXPECT_TRUE(reader.ended) << reader.received;
        EXPECT_EQ(occurrences(reader.received, "\n"), 35) << reader.received;
        EXPECT_EQ(reader.sim->child->finish(Clock::now() + kRunLimit), 0) << reader.sim->child->errors();
    }
    // The example over the pty gets as many values as over TCP, where the kernel keeps
    // what was sent: the last reading before the hang-up included.
    SimOnTcp overTcp({"--model", "vkr27", "--hang-up-after", "35"});
    ASSERT_FALSE(overTcp.address.empty()) << overTcp.child->output();
    const long expected =
        valuesReported(runToEnd(kExample, {"--tcp", overTcp.address, "--seconds", "20"}).output);
    EXPECT_GT(expected, 10);
    for (int round = 0; round < 5; ++round) {
        SimOnPty sim({"--model", "vkr27", "--hang-up-after", "35"});
        ASSERT_FALSE(sim.address.empty()) << sim.child->output();
        const Finished run = runToEnd(kExample, {"--serial", sim.address, "--seconds", "20"});
        EXPECT_EQ(valuesReported(run.output), expected) << "round " << round << ":\n" << shown(run);
        EXPECT_TRUE(contains(run.output, ", the device went away (closed by the other side)\n"))
            << shown(run);
    }
}
