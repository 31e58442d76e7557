// sensor_sim: a simulated Vkr25-family sensor on a pseudo-terminal or a loopback TCP
// port. It prints the device path or the address that it serves, then answers like a
// sensor until it is stopped (Ctrl-C), its time is up, or it hangs up.
#include "CommandLine.h"
#include "ModelName.h"
#include "PtySensorServer.h"
#include "TcpSensorServer.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using SensorSim::CPtySensorServer;
using SensorSim::CSensorSimulator;
using SensorSim::CTcpSensorServer;
using SensorSim::EModel;

namespace {

struct Settings {
    EModel model = EModel::Vkr25;
    std::optional<uint16_t> tcpPort; // empty: a pseudo-terminal
    unsigned long seconds = 0;       // 0: until stopped
    unsigned long splitChunk = 0;
    unsigned long splitGapMs = 2;
    unsigned long garbageEvery = 0;
    unsigned long hangUpAfter = 0;
    unsigned long floodAfter = 0;
    unsigned long errorEvery = 0;
    std::string everyNthError = "E15";
    bool hexadecimal = false;
    std::string autoStart;
    std::vector<std::pair<std::string, std::string>> errorReplies;
};

Programs::CCommandLine makeCommandLine(Settings& settings) {
    Programs::CCommandLine line(
        "Usage: sensor_sim [--pty | --tcp PORT] [options]\n\n"
        "Serves a simulated Vkr25-family sensor on a pseudo-terminal or on a TCP port of\n"
        "127.0.0.1 and prints what to open (first line of the output): the device path,\n"
        "or the address as 127.0.0.1:PORT.");
    line.addFlag("--pty", "serve on a pseudo-terminal (the default)", [&] { settings.tcpPort.reset(); });
    line.add("--tcp", "PORT", "serve on 127.0.0.1:PORT instead (0: any free port), one client at a time",
             [&](const std::string& v) {
                 unsigned long port = 0;
                 if (!Programs::readCount(v, port) || port > 65535)
                     return std::string("expected a port number 0 ... 65535");
                 settings.tcpPort = static_cast<uint16_t>(port);
                 return std::string();
             });
    Programs::addModelOption(line, settings.model, "the model the sensor answers as");
    line.add("--seconds", "N", "stop after N seconds (default: run until stopped)",
             [&](const std::string& v) {
                 return Programs::readCount(v, settings.seconds) ? std::string() : "not a number";
             });
    line.add("--split", "BYTES[:GAP_MS]", "send replies in pieces of BYTES, GAP_MS apart (default gap 2)",
             [&](const std::string& v) {
                 const auto colon = v.find(':');
                 const bool ok = Programs::readCount(v.substr(0, colon), settings.splitChunk) &&
                                 (colon == std::string::npos ||
                                  Programs::readCount(v.substr(colon + 1), settings.splitGapMs));
                 return ok ? std::string() : "expected BYTES or BYTES:GAP_MS";
             });
    line.add("--garbage-every", "N", "send a garbage line after every N-th measurement line",
             [&](const std::string& v) {
                 return Programs::readCount(v, settings.garbageEvery) ? std::string() : "not a number";
             });
    line.add("--error-reply", "MNEMONIC=CODE", "answer the next such command with an error (e.g. SA=E15)",
             [&](const std::string& v) {
                 const auto equals = v.find('=');
                 if (equals == std::string::npos || equals == 0 || equals + 1 == v.size())
                     return std::string("expected MNEMONIC=CODE");
                 settings.errorReplies.emplace_back(v.substr(0, equals), v.substr(equals + 1));
                 return std::string();
             });
    line.add("--error-every", "N[:CODE]", "send the error CODE (default E15) as every N-th measurement line",
             [&](const std::string& v) {
                 const auto colon = v.find(':');
                 if (colon != std::string::npos)
                     settings.everyNthError = v.substr(colon + 1);
                 return Programs::readCount(v.substr(0, colon), settings.errorEvery) &&
                                settings.errorEvery > 0 && !settings.everyNthError.empty()
                            ? std::string()
                            : "expected N > 0 or N:CODE";
             });
    line.addFlag("--hexadecimal", "measure in hexadecimal display format (SD h) from power-up",
                 [&] { settings.hexadecimal = true; });
    line.add("--hang-up-after", "N",
             "hang up (close the line) after N more lines, once they are out (on a pty: read)",
             [&](const std::string& v) {
                 return Programs::readCount(v, settings.hangUpAfter) && settings.hangUpAfter > 0
                            ? std::string()
                            : "expected N > 0";
             });
    line.add("--flood-after", "N", "after N measurement lines send 5000 bytes without a line end",
             [&](const std::string& v) {
                 return Programs::readCount(v, settings.floodAfter) ? std::string() : "not a number";
             });
    line.add("--auto-start", "MODE", "the measuring mode started at power-up (e.g. dt, dx)",
             [&](const std::string& v) {
                 settings.autoStart = v;
                 return std::string();
             });
    return line;
}

// The two servers offer the same faults under slightly different names.
void withSensor(CPtySensorServer& server, const std::function<void(CSensorSimulator&)>& call) {
    server.withSimulator(call);
}
void withSensor(CTcpSensorServer& server, const std::function<void(CSensorSimulator&)>& call) {
    server.with(0, call);
}
void start(CPtySensorServer& server) {
    server.start();
}
void start(CTcpSensorServer&) {} // serves from its construction on
std::string address(const CPtySensorServer& server) {
    return server.getDevicePath();
}
std::string address(const CTcpSensorServer& server) {
    return "127.0.0.1:" + std::to_string(server.port());
}

// Sets the sensor up as asked, announces where it is and serves until a stop signal,
// the time limit or the sensor's hang-up.
template <class Server>
int serve(Server& server, const Settings& settings, const sigset_t& stopSignals) {
    bool accepted = true;
    withSensor(server, [&](CSensorSimulator& sensor) {
        if (!settings.autoStart.empty())
            accepted = sensor.getParameters().set("AS", settings.autoStart);
        if (settings.hexadecimal)
            sensor.getParameters().set("SD", "h");
        if (settings.errorEvery > 0)
            sensor.setMeasurementErrorEvery(static_cast<unsigned>(settings.errorEvery),
                                            settings.everyNthError);
        for (const auto& [mnemonic, code] : settings.errorReplies)
            sensor.setErrorReply(mnemonic, code);
        if (settings.hangUpAfter > 0)
            sensor.setHangUpAfterLines(settings.hangUpAfter);
        sensor.powerUp();
    });
    if (!accepted) {
        std::fprintf(stderr, "--auto-start: the sensor does not take \"%s\"\n", settings.autoStart.c_str());
        return 2;
    }
    server.setSplitReplies(settings.splitChunk, std::chrono::milliseconds(settings.splitGapMs));
    server.setGarbageEvery(static_cast<unsigned>(settings.garbageEvery));
    server.setFloodAfter(static_cast<unsigned>(settings.floodAfter));
    start(server);
    std::printf("%s\n", address(server).c_str());
    std::fflush(stdout);

    // A hang-up ends the program too.
    std::thread watcher([&server] {
        if (server.waitForHangUp(std::chrono::hours(24 * 365)))
            ::kill(::getpid(), SIGUSR1);
    });

    int signal = 0;
    if (settings.seconds > 0) {
        timespec limit{};
        limit.tv_sec = static_cast<time_t>(settings.seconds);
        signal = sigtimedwait(&stopSignals, nullptr, &limit);
    } else {
        sigwait(&stopSignals, &signal);
    }
    server.stop();
    watcher.join();
    if (signal == SIGUSR1)
        std::fprintf(stderr, "sensor_sim: hung up as asked\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    const auto line = makeCommandLine(settings);
    if (const auto exitCode = line.parse(argc, argv))
        return *exitCode;

    // Signals are taken by sigtimedwait below, not by handlers: block them before any
    // thread starts, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        if (settings.tcpPort) {
            CTcpSensorServer server(settings.model, *settings.tcpPort);
            return serve(server, settings, stopSignals);
        }
        CPtySensorServer server(settings.model);
        return serve(server, settings, stopSignals);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sensor_sim: %s\n", error.what());
        return 1;
    }
}
