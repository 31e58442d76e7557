#pragma once

// What bench_scale and its single-threaded reader peers (scale_reader_asio,
// scale_reader_libuv) share, so that all of them cut the same lines, read the same
// numbers and report the same figures: the line latency from the peer's time stamp,
// the cost of the process per line (CPU, system calls, context switches) and the
// measuring window of a reader peer.
#include "BenchCounters.h"
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "ProcessStats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace Bench {

inline void result(const std::string& key, double value) {
    std::cout << "RESULT " << key << ' ' << value << std::endl;
}
inline void note(const std::string& text) {
    std::cout << "NOTE " << text << std::endl;
}

// The time a line spent from the peer's write to here, from its time-stamped distance
// (100 us units modulo 100 s, see ScalePeer.cpp).
inline double lineLatencyMs(double metres) {
    const long long sent = std::llround(metres * 1000.0);
    const long long now = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count() /
                          100 % 1000000;
    return static_cast<double>((now - sent + 1000000) % 1000000) / 10.0;
}

// System time of the whole process so far, in seconds (the rest of selfCpuSeconds is
// user time).
inline double selfSystemSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
}

// Voluntary and involuntary context switches of the whole process so far.
inline long selfContextSwitches() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// The system calls the process makes in the next `window`, counted by perf on the
// kernel's syscall tracepoint (no hardware counters needed); nothing when perf is
// missing or may not trace.
inline std::optional<double> countSystemCalls(std::chrono::seconds window) {
    ChildProcess perf({"/usr/bin/perf", "stat", "-x", ",", "-e", "raw_syscalls:sys_enter", "-p",
                       std::to_string(::getpid()), "--", "sleep", std::to_string(window.count())});
    if (!perf.started() || !perf.drain(window + std::chrono::seconds(10)) ||
        !perf.wait(std::chrono::seconds(5)) || !perf.endedWell())
        return std::nullopt;
    std::istringstream lines(perf.errorText());
    for (std::string line; std::getline(lines, line);)
        if (line.find("raw_syscalls:sys_enter") != std::string::npos) {
            char* end = nullptr;
            const double count = std::strtod(line.c_str(), &end);
            if (end != line.c_str())
                return count;
        }
    return std::nullopt;
}

// The process's own cost from the moment it is taken: the start of a measuring window.
struct UsageMark {
    double cpu = selfCpuSeconds();
    double system = selfSystemSeconds();
    long switches = selfContextSwitches();
    Clock::time_point taken = Clock::now();
};

// Reports a window's length and the process's cost per line in it; returns the
// window's length in seconds.
inline double reportWindowCost(const UsageMark& start, uint64_t linesInWindow) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start.taken).count();
    const double cpu = selfCpuSeconds() - start.cpu;
    const double system = selfSystemSeconds() - start.system;
    const long switches = selfContextSwitches() - start.switches;
    const auto lines = static_cast<double>(linesInWindow);
    result("window_s", seconds);
    result("cpu_pct", 100.0 * cpu / seconds);
    result("cpu_us_per_line", lines > 0 ? cpu * 1e6 / lines : 0.0);
    result("system_us_per_line", lines > 0 ? system * 1e6 / lines : 0.0);
    result("ctxsw_per_line", lines > 0 ? static_cast<double>(switches) / lines : 0.0);
    return seconds;
}

// Reports the median and p99 of the latencies gathered under `mutex`.
inline void reportLatencies(std::mutex& mutex, std::vector<double>& latencyMs) {
    std::lock_guard lock(mutex);
    std::sort(latencyMs.begin(), latencyMs.end());
    result("median_ms", quantile(latencyMs, 0.5));
    result("p99_ms", quantile(latencyMs, 0.99));
}

// Counts system calls per line in a window of their own (counting costs the process a
// little), then stops the peer; returns how many lines the peer says it sent.
inline uint64_t countSystemCallsAndStopPeer(ChildProcess& peer, const std::atomic<uint64_t>& received) {
    using namespace std::chrono_literals;
    const uint64_t linesBefore = received;
    if (const auto calls = countSystemCalls(std::chrono::seconds(option("SCALE_SYSCALL_S", 3, 2))))
        result("syscalls_per_line",
               *calls / std::max<double>(1.0, static_cast<double>(received - linesBefore)));
    peer.send("stop");
    for (auto line = peer.readLine(10s); line; line = peer.readLine(10s))
        if (line->rfind("SENT ", 0) == 0)
            return std::stoull(line->substr(5));
    return 0;
}

// Cuts a connection's bytes into lines at "\r\n" and reads each line as a number, as
// the Vkr25 driver reads a decimal distance.
class LineCutter {
public:
    template <typename OnDistance>
    void feed(const char* data, std::size_t size, OnDistance onDistance) {
        m_pending_.append(data, size);
        std::size_t start = 0;
        for (std::size_t end; (end = m_pending_.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string line = m_pending_.substr(start, end - start);
            char* stop = nullptr;
            const double value = std::strtod(line.c_str(), &stop);
            if (stop != line.c_str())
                onDistance(value);
        }
        m_pending_.erase(0, start);
    }

private:
    std::string m_pending_;
};

// The figures of one reader peer. The loop thread counts; the measuring thread reads.
struct ReaderRun {
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> receivedInWindow{0};
    std::atomic<bool> inWindow{false};
    std::atomic<int> connected{0};
    std::atomic<int> firstLines{0}; // connections that have had a line
    std::atomic<int> failed{0};
    std::mutex mutex;
    std::vector<double> latencyMs; // under the lock

    // On the loop thread, for every line that reached the reader.
    void line(double metres) {
        ++received;
        if (!inWindow)
            return;
        ++receivedInWindow;
        const double latency = lineLatencyMs(metres);
        std::lock_guard lock(mutex);
        latencyMs.push_back(latency);
    }
};

// The start of a reader peer's main: its command line (the scale peer to start and how
// many sensors to read) and the scale peer, started. `exitCode` is 0 when both are
// good, else what main returns (the reason said).
struct ReaderStart {
    int sensors = 0;
    uint16_t port = 0;
    std::unique_ptr<ChildProcess> peer;
    int exitCode = 0;
};
inline ReaderStart startReader(int argc, char** argv, const char* program) {
    ReaderStart start;
    if (argc != 3) {
        std::cerr << "usage: " << program << " <scale_peer> <sensors>\n";
        start.exitCode = 2;
        return start;
    }
    start.sensors = std::stoi(argv[2]);
    start.peer = std::make_unique<ChildProcess>(std::vector<std::string>{argv[1], "--rate", "50"});
    start.port = readPeerAddress(*start.peer).port;
    if (start.port == 0) {
        note("peer did not start: " + start.peer->errorText());
        start.exitCode = 1;
    }
    return start;
}

// The measuring thread of a reader peer: waits until every connection has had its
// first line, warms up, takes the window's figures, counts the system calls in a
// window of their own, then stops the peer and counts what got lost. `sensors`:
// connections asked for.
inline void measureReader(ReaderRun& run, ChildProcess& peer, int sensors) {
    using namespace std::chrono_literals;
    const auto readyBy = Clock::now() + std::chrono::seconds(option("READY_S", 60, 30));
    while (run.firstLines + run.failed < sensors && Clock::now() < readyBy)
        std::this_thread::sleep_for(50ms); // a bench's own pacing, not a test's wait
    result("ready", run.firstLines);
    if (run.failed > 0)
        note(std::to_string(run.failed.load()) + " connections failed");
    std::this_thread::sleep_for(std::chrono::seconds(option("WARMUP_S", 2, 1)));

    const UsageMark start;
    run.inWindow = true;
    std::this_thread::sleep_for(std::chrono::seconds(option("WINDOW_S", 8, 3)));
    run.inWindow = false;
    const double seconds = reportWindowCost(start, run.receivedInWindow);
    result("rss_mib", static_cast<double>(selfRssKiB()) / 1024.0);
    result("threads", static_cast<double>(selfThreads() - 1));
    result("fds", static_cast<double>(selfDescriptors()));
    result("lines_per_s", static_cast<double>(run.receivedInWindow) / seconds);
    result("expected_lines_per_s", static_cast<double>(run.firstLines) * 50.0);
    reportLatencies(run.mutex, run.latencyMs);
    const uint64_t sent = countSystemCallsAndStopPeer(peer, run.received);
    const auto limit = Clock::now() + std::chrono::seconds(option("DRAIN_S", 60, 20));
    for (uint64_t seen = run.received; run.received < sent && Clock::now() < limit; seen = run.received) {
        std::this_thread::sleep_for(2s);
        if (run.received == seen)
            break;
    }
    result("sent", static_cast<double>(sent));
    result("lost", static_cast<double>(sent) - static_cast<double>(run.received));
    std::cout.flush();
}

} // namespace Bench
