// The programs as a user runs them: built binaries started as child processes, their
// output read with a deadline.
#include "ChildProcess.h"
#include "LoopbackPeer.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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
