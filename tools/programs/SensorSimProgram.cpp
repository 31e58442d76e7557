// sensor_sim: a simulated Vkr25-family sensor on a pseudo-terminal. It prints the
// device path that it serves, then answers like a sensor until it is stopped
// (Ctrl-C), its time is up, or it hangs up.
#include "CommandLine.h"
#include "PtySensorServer.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using SensorSim::CPtySensorServer;
using SensorSim::CSensorSimulator;
using SensorSim::EModel;

namespace {

struct Settings {
    EModel model = EModel::Vkr25;
    unsigned long seconds = 0; // 0: until stopped
    unsigned long splitChunk = 0;
    unsigned long splitGapMs = 2;
    unsigned long garbageEvery = 0;
    unsigned long hangUpAfter = 0;
    unsigned long floodAfter = 0;
    std::string autoStart;
    std::vector<std::pair<std::string, std::string>> errorReplies;
};

Programs::CCommandLine makeCommandLine(Settings& settings) {
    Programs::CCommandLine line("Usage: sensor_sim [--pty] [options]\n\n"
                                "Serves a simulated Vkr25-family sensor on a pseudo-terminal and prints the\n"
                                "device path to open (first line of the output).");
    line.addFlag("--pty", "serve on a pseudo-terminal (the default)", [] {});
    line.add("--model", "vkr25|vkr25xt|vkr27", "the model the sensor answers as", [&](const std::string& v) {
        if (v == "vkr25")
            settings.model = EModel::Vkr25;
        else if (v == "vkr25xt")
            settings.model = EModel::Vkr25Xt;
        else if (v == "vkr27")
            settings.model = EModel::Vkr27;
        else
            return std::string("unknown model");
        return std::string();
    });
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
    line.add("--hang-up-after", "N", "hang up (close the line) after N more lines",
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

    CPtySensorServer server(settings.model);
    bool accepted = true;
    server.withSimulator([&](CSensorSimulator& sensor) {
        if (!settings.autoStart.empty())
            accepted = sensor.getParameters().set("AS", settings.autoStart);
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
    server.start();
    std::printf("%s\n", server.getDevicePath().c_str());
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
