// How many system calls a received line costs in steady state: one sensor at a
// time (TCP, then a pty, both with synchronised delivery) measuring 50 lines a
// second, each line its own chunk, served by scale_peer in another process. For a
// window the main thread waits in Application().Run() while strace (-f -c) counts
// every system call of this process; the count over the lines that reached
// onDataUpdate is the figure, with the calls that make it up. The window's own
// timer thread adds about four calls in all. Needs strace; reports an error without.
// Knob: SENSORLIB_BENCH_SYSCALL_S (window, default 5).
#include "BenchOptions.h"
#include "BenchSink.h"
#include "ChildProcess.h"
#include "MainLoop.h"

#include "Application.h"
#include "ComThread.h"
#include "MessageQueue.h"
#include "SensorLib.h"
#include "SerialInterface.h"
#include "TcpInterface.h"
#include "Vkr25.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using namespace std::chrono_literals;

namespace {

std::chrono::seconds window() {
    return std::chrono::seconds(Bench::option("SYSCALL_S", 5, 2));
}

using CountingSink = Bench::DistanceCountingSink;

// The calls of an strace -c summary, most frequent first.
std::vector<std::pair<std::string, long>> readSummary(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::vector<std::pair<std::string, long>> calls;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;)
            fields.push_back(word);
        // "% time seconds usecs/call calls [errors] syscall"
        if (fields.size() < 5 || fields[0].find_first_not_of("0123456789.") != std::string::npos ||
            fields.back() == "total")
            continue;
        calls.emplace_back(fields.back(), std::stol(fields[3]));
    }
    std::sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return calls;
}

// Counts this process's system calls while the main thread runs its loop for the
// window; false when strace cannot attach.
bool countWhileRunning(const std::string& summary, std::string& problem) {
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);
    Bench::ChildProcess strace(
        {"/usr/bin/strace", "-f", "-c", "-o", summary, "-p", std::to_string(::getpid())});
    if (!strace.started() || !strace.waitForErrorText("attached", 10s)) {
        problem = "strace did not attach: " + strace.errorText();
        return false;
    }
    Bench::runMainLoopWhile([] { std::this_thread::sleep_for(window()); }); // the window itself
    strace.signal(SIGINT);
    if (!strace.wait(10s)) {
        problem = "strace did not end";
        return false;
    }
    return true;
}

// One sensor measuring on its transport; the figures go to the counters under `name`.
// The transport goes before the driver, as an owner keeps them.
void countPerLine(benchmark::State& state, const std::string& name,
                  const std::function<std::unique_ptr<CCustomInterface>()>& open) {
    CountingSink sink;
    CVkr25 driver(&sink);
    const auto transport = open();
    driver.setInterface(transport.get());
    if (!Application().RunUntil([&] { return sink.sensorReady.load(); }, 10s) || sink.interfaceErrors != 0) {
        state.SkipWithError((name + ": the sensor did not get ready").c_str());
        return;
    }
    driver.setMode(CVkr25::lmDX);
    Application().RunUntil([] { return false; }, 1s); // steady state
    const std::string summary = "/tmp/sensorlib-bench-syscalls-" + std::to_string(::getpid()) + "-" + name;
    const uint64_t before = sink.lines;
    std::string problem;
    const bool counted = countWhileRunning(summary, problem);
    const uint64_t lines = sink.lines - before;
    driver.setMode(CVkr25::lmEscaped);
    Application().RunUntil([] { return false; }, 200ms);
    if (!counted) {
        state.SkipWithError((name + ": " + problem).c_str());
        return;
    }
    const auto calls = readSummary(summary);
    ::unlink(summary.c_str());
    long total = 0;
    for (const auto& call : calls)
        total += call.second;
    const double perLine = lines > 0 ? 1.0 / static_cast<double>(lines) : 0.0;
    state.counters[name + ".lines"] = static_cast<double>(lines);
    state.counters[name + ".syscalls_per_line"] = static_cast<double>(total) * perLine;
    for (std::size_t i = 0; i < calls.size() && i < 6; ++i)
        state.counters[name + ".per_line." + calls[i].first] = static_cast<double>(calls[i].second) * perLine;
}

void BM_SyscallsPerLine(benchmark::State& state) {
    for (auto _ : state) {
        Bench::ChildProcess peer({SENSORLIB_SCALE_PEER, "--pty", "--threads", "1"});
        const auto [port, device] = Bench::readPeerAddress(peer);
        if (port == 0 || device.empty()) {
            state.SkipWithError("the peer did not start");
            return;
        }
        {
            CTcpInterface::TTcpProperties properties(nullptr);
            properties.IpAddress = "127.0.0.1";
            properties.PortNumber = port;
            countPerLine(state, "tcp", [&] { return std::make_unique<CTcpInterface>(&properties, true); });
        }
        CTcpInterface::waitForClientThreads(10s);
        {
            CSerialInterface::TSerialProperties properties(nullptr);
            properties.DeviceName = device;
            properties.BaudRate = br115200;
            properties.DataBits = db8;
            properties.Parity = paNone;
            properties.StopBits = sb1;
            countPerLine(state, "pty", [&] { return std::make_unique<CSerialInterface>(&properties, true); });
        }
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
    }
}

} // namespace

BENCHMARK(BM_SyscallsPerLine)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
