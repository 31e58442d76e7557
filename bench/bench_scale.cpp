// Many sensors in one process: N Vkr25 drivers on TCP transports with synchronised
// delivery, each sensor measuring 50 lines a second, served by scale_peer in a
// process of its own. Each size runs in a fresh child process (this program started
// again with --scale-child N), so a size that kills the process is reported as such
// and the next size still runs.
//
// In a measuring window (after a warm-up) the child takes: CPU of the whole process
// (% of one core), resident memory, threads (not counting its own measuring
// thread), descriptors (its pipes to the peer among them), the 99th percentile of
// the time from the peer's write to onDataUpdate (the peer stamps each line with its
// write time, see ScalePeer.cpp), the worst lateness of a 10 ms timer on the main
// thread (the owner's loop), and the line rate. After the window the peer stops and
// the lines it sent are compared with those that reached onDataUpdate (lost). Per
// line: CPU time, context switches (of the window) and system calls (perf, in a
// window of its own that follows, SENSORLIB_BENCH_SCALE_SYSCALL_S seconds, default 3;
// needs perf, left out without).
//
// Beside the library, at the sizes of SENSORLIB_BENCH_PEER_SENSORS (default 500,1000),
// the same sensors are read by single-threaded reader peers built on Boost.Asio and
// libuv (scale_reader_asio, scale_reader_libuv; left out where not built), taking
// turns with the library size by size, SENSORLIB_BENCH_ROUNDS times (default 1).
//
// Knobs (environment): SENSORLIB_BENCH_SENSORS (list, default 1,50,200,500,1000),
// SENSORLIB_BENCH_WINDOW_S, SENSORLIB_BENCH_READY_S (time allowed to connect and
// initialise), SENSORLIB_BENCH_NOFILE (soft descriptor limit; default: the hard one),
// SENSORLIB_BENCH_LIMITED=0 (leaves out the extra run of 1,000 sensors with the soft
// descriptor limit at 1024, where a process runs out of descriptors).
#include "BenchCounters.h"
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "ProcessStats.h"
#include "ScaleReading.h"

#include "Application.h"
#include "MessageQueue.h"
#include "SensorLib.h"
#include "TcpInterface.h"
#include "Vkr25.h"

#include <benchmark/benchmark.h>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::ThreadMessageQueue;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr double kLinesPerSecond = 50.0;

using Bench::lineLatencyMs;
using Bench::note;
using Bench::result;

long windowSeconds() {
    return Bench::option("WINDOW_S", 8, 3);
}
long readySeconds() {
    return Bench::option("READY_S", 60, 30);
}
std::chrono::seconds drainSeconds() {
    return std::chrono::seconds(Bench::option("DRAIN_S", 60, 20));
}

// What all sinks of a run share. The sinks run on the main thread; the measuring
// thread reads, so what it reads is atomic or under the lock.
struct RunState {
    std::atomic<bool> measuring{false};
    std::atomic<bool> inWindow{false};
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> receivedInWindow{0};
    std::atomic<int> ready{0};
    std::atomic<int> interfaceErrors{0};
    int sensorErrors = 0;
    std::string firstError; // main thread only

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<double> latencyMs;   // under the lock
    uint64_t drainedAt = UINT64_MAX; // under the lock: received count that wakes the measurer
};

class ScaleSink : public CSensorSink {
public:
    explicit ScaleSink(RunState& run) : m_run_(run) {}

    // Lines count from now on; the distance held now is not a new line.
    void startCounting(double current) { m_last_ = current; }

    void onDataUpdate(CSensor* sensor, const std::string&) override {
        if (!m_run_.measuring)
            return;
        const double distance = static_cast<CNorvLaser*>(sensor)->getDistance();
        if (distance == m_last_) // not a measurement line
            return;
        m_last_ = distance;
        const uint64_t received = ++m_run_.received;
        const bool inWindow = m_run_.inWindow;
        if (inWindow)
            ++m_run_.receivedInWindow;
        std::lock_guard lock(m_run_.mutex);
        if (inWindow)
            m_run_.latencyMs.push_back(lineLatencyMs(distance));
        if (received >= m_run_.drainedAt)
            m_run_.changed.notify_all();
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override { sensor->initialize(); }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError& error) override {
        if (m_run_.interfaceErrors++ == 0)
            m_run_.firstError = error.getMessage();
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {}
    void onSensorReady(CSensor*) override {
        if (!m_ready_)
            ++m_run_.ready;
        m_ready_ = true;
    }
    void onSensorError(CSensor*, CSensorError&) override { ++m_run_.sensorErrors; }
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }

private:
    RunState& m_run_;
    double m_last_ = -1.0;
    bool m_ready_ = false;
};

// A sensor as an owner keeps it: the transport goes before the driver.
struct ScaleStation {
    ScaleSink sink;
    CVkr25 driver{&sink};
    CTcpInterface::TTcpProperties properties{nullptr};
    std::unique_ptr<CTcpInterface> transport;

    ScaleStation(RunState& run, uint16_t port) : sink(run) {
        properties.IpAddress = "127.0.0.1";
        properties.PortNumber = port;
        transport = std::make_unique<CTcpInterface>(&properties, true);
        driver.setInterface(transport.get());
    }
    ~ScaleStation() { transport.reset(); }
};

// A timer on the main thread that notes how late it runs: the owner's loop.
class LoopLatenessProbe {
public:
    explicit LoopLatenessProbe(std::chrono::milliseconds period) : m_period_(period) {
        m_timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        arm();
        m_watch_ = ThreadMessageQueue::current().watch(m_timer_, EPOLLIN, [this](uint32_t) { fired(); });
    }
    LoopLatenessProbe(const LoopLatenessProbe&) = delete;
    LoopLatenessProbe& operator=(const LoopLatenessProbe&) = delete;
    ~LoopLatenessProbe() {
        ThreadMessageQueue::current().unwatch(m_watch_);
        ::close(m_timer_);
    }
    // Lateness counts from here on (the probe's descriptor is taken before the sensors
    // may use up the process's last ones).
    void restart() {
        m_worstMs_ = 0.0;
        arm();
    }
    // The worst lateness so far, counting a firing that is overdue now.
    double worstMs() const {
        const auto due = Clock::time_point(Clock::duration(m_due_.load()));
        const double overdue = std::chrono::duration<double, std::milli>(Clock::now() - due).count();
        return std::max(m_worstMs_.load(), overdue);
    }

private:
    void arm() {
        m_due_ = (Clock::now() + m_period_).time_since_epoch().count();
        itimerspec timing{};
        timing.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(m_period_).count();
        ::timerfd_settime(m_timer_, 0, &timing, nullptr);
    }
    void fired() {
        uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_timer_, &expirations, sizeof expirations);
        const auto due = Clock::time_point(Clock::duration(m_due_.load()));
        m_worstMs_ = std::max(m_worstMs_.load(),
                              std::chrono::duration<double, std::milli>(Clock::now() - due).count());
        arm();
    }

    std::chrono::milliseconds m_period_;
    int m_timer_ = -1;
    ThreadMessageQueue::WatchId m_watch_ = 0;
    std::atomic<Clock::rep> m_due_{0}; // read by the measuring thread
    std::atomic<double> m_worstMs_{0.0};
};

std::string peerPath() {
    return SENSORLIB_SCALE_PEER;
}

// What the main thread and the measuring thread tell each other.
struct Phases {
    std::mutex mutex;
    std::condition_variable changed;
    bool measuring = false;    // main: every sensor ready (or given up on) and measuring
    bool measured = false;     // measuring thread: the figures are out
    bool mainReturned = false; // main: back from its loop after `measured`
};

void wait(Phases& phases, bool Phases::*flag, std::chrono::seconds timeout, const char* stuckIn) {
    std::unique_lock lock(phases.mutex);
    if (phases.changed.wait_for(lock, timeout, [&] { return phases.*flag; }))
        return;
    lock.unlock();
    note(std::string("the main thread had not come back from its loop ") + std::to_string(timeout.count()) +
         " s " + stuckIn);
    result("threads", static_cast<double>(Bench::selfThreads() - 1)); // not the measuring thread
    result("fds", static_cast<double>(Bench::selfDescriptors()));
    result("rss_mib", static_cast<double>(Bench::selfRssKiB()) / 1024.0);
    std::cout.flush();
    std::_Exit(0);
}

void setFlag(Phases& phases, bool Phases::*flag) {
    std::lock_guard lock(phases.mutex);
    phases.*flag = true;
    phases.changed.notify_all();
}

// The measuring thread: takes the window's figures on time whatever the main thread
// does, then stops the peer and counts what got lost. When the main thread does not
// come back from its loop, the figures are out anyway and the process ends here.
void measure(RunState& run, Phases& phases, Bench::ChildProcess& peer, const LoopLatenessProbe*& probe) {
    wait(phases, &Phases::measuring, std::chrono::seconds(readySeconds() + 20),
         "while the sensors connected");
    std::this_thread::sleep_for(std::chrono::seconds(Bench::option("WARMUP_S", 2, 1)));

    const Bench::UsageMark start;
    run.inWindow = true;
    std::this_thread::sleep_for(std::chrono::seconds(windowSeconds())); // the window itself
    run.inWindow = false;
    const double seconds = Bench::reportWindowCost(start, run.receivedInWindow);
    result("rss_mib", static_cast<double>(Bench::selfRssKiB()) / 1024.0);
    result("address_space_gib",
           static_cast<double>(Bench::statusField("/proc/self/status", "VmSize:")) / (1024.0 * 1024.0));
    result("threads", static_cast<double>(Bench::selfThreads() - 1)); // not the measuring thread
    result("fds", static_cast<double>(Bench::selfDescriptors()));
    result("lines_per_s", static_cast<double>(run.receivedInWindow) / seconds);
    result("expected_lines_per_s", static_cast<double>(run.ready) * kLinesPerSecond);
    result("loop_late_ms", probe->worstMs());
    Bench::reportLatencies(run.mutex, run.latencyMs);
    const uint64_t sent = Bench::countSystemCallsAndStopPeer(peer, run.received);
    {
        // Lines the peer could not hand to its sockets yet are late, not lost: wait
        // while they keep coming, up to a limit.
        std::unique_lock lock(run.mutex);
        run.drainedAt = sent;
        const auto drainStarted = Clock::now();
        const auto limit = drainStarted + drainSeconds();
        uint64_t seen = run.received;
        while (!run.changed.wait_for(lock, 2s, [&] { return run.received >= sent; })) {
            if (run.received == seen || Clock::now() >= limit) {
                note("lines still missing when the peer had stopped and none came for 2 s or the drain "
                     "limit was reached");
                break;
            }
            seen = run.received;
        }
        result("drain_s", std::chrono::duration<double>(Clock::now() - drainStarted).count());
    }
    result("sent", static_cast<double>(sent));
    result("lost", static_cast<double>(sent) - static_cast<double>(run.received));
    std::cout.flush();

    setFlag(phases, &Phases::measured);
    NorvEngineering::Platform::postThreadMessage(NorvEngineering::Platform::mainThreadId(),
                                                 NorvEngineering::Platform::WM_NULL);
    wait(phases, &Phases::mainReturned, 15s, "after the run");
}

// One size, in the child process. Prints RESULT and NOTE lines; returns the exit code.
int runScaleChild(std::size_t sensors) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const long wanted = Bench::option("NOFILE", 0, 0);
    limit.rlim_cur =
        wanted > 0 ? std::min<rlim_t>(static_cast<rlim_t>(wanted), limit.rlim_max) : limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    result("nofile_limit", static_cast<double>(limit.rlim_cur));

    Bench::ChildProcess peer({peerPath(), "--rate", std::to_string(kLinesPerSecond)});
    const uint16_t port = Bench::readPeerAddress(peer).port;
    if (port == 0) {
        note("peer did not start: " + peer.errorText());
        return 1;
    }

    RunState run;
    Phases phases;
    const LoopLatenessProbe* probe = nullptr;
    std::thread measuring([&] { measure(run, phases, peer, probe); });

    LoopLatenessProbe lateness(10ms);
    std::vector<std::unique_ptr<ScaleStation>> stations;
    const auto openStarted = Clock::now();
    try {
        for (std::size_t i = 0; i < sensors; ++i) {
            stations.push_back(std::make_unique<ScaleStation>(run, port));
            Application().ProcessMessages();
            if (stations.size() % 50 == 0)
                std::cout << "OPENED " << stations.size() << std::endl;
        }
    } catch (const std::exception& error) {
        note("opening sensor " + std::to_string(stations.size() + 1) + " failed: " + error.what());
    }
    const bool allReady = Application().RunUntil(
        [&] { return static_cast<std::size_t>(run.ready + run.interfaceErrors) >= stations.size(); },
        std::chrono::seconds(readySeconds()));
    result("ready", run.ready);
    result("ready_s", std::chrono::duration<double>(Clock::now() - openStarted).count());
    if (!allReady)
        note("only " + std::to_string(run.ready) + " of " + std::to_string(sensors) + " ready in " +
             std::to_string(readySeconds()) + " s");
    if (run.interfaceErrors > 0)
        note(std::to_string(run.interfaceErrors) + " interface errors, first: " + run.firstError);

    lateness.restart();
    probe = &lateness;
    run.measuring = true;
    for (auto& station : stations) {
        station->sink.startCounting(station->driver.getDistance());
        station->driver.setMode(CVkr25::lmDX);
    }
    setFlag(phases, &Phases::measuring);
    Application().RunUntil(
        [&] {
            std::lock_guard lock(phases.mutex);
            return phases.measured;
        },
        std::chrono::seconds(windowSeconds() + drainSeconds().count() + 60));
    setFlag(phases, &Phases::mainReturned);
    measuring.join();

    const auto releaseStarted = Clock::now();
    stations.clear();
    const bool threadsEnded = CTcpInterface::waitForClientThreads(10s);
    result("release_s", std::chrono::duration<double>(Clock::now() - releaseStarted).count());
    if (!threadsEnded)
        note("client threads still running 10 s after release");
    peer.send("quit");
    std::cout.flush();
    // Threads that did not end must not hold up (or crash) the exit.
    std::_Exit(0);
}

// The last line of standard error that says why the child died.
std::string lastWords(const std::string& errors) {
    std::istringstream lines(errors);
    std::string line;
    std::string last;
    while (std::getline(lines, line))
        if (!line.empty())
            last = line;
    return last;
}

// Runs one scale child (the library's, or a reader peer) and takes its figures as the
// benchmark's counters.
void runScaleChild(benchmark::State& state, const std::vector<std::string>& argv, std::size_t sensors) {
    Bench::ChildProcess child(argv);
    std::map<std::string, double> values;
    std::string notes;
    std::size_t opened = 0;
    const auto limit = std::chrono::seconds(readySeconds() + windowSeconds() + drainSeconds().count() + 90);
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const auto line = child.readLine(left);
        if (!line)
            break;
        std::istringstream words(*line);
        std::string kind;
        words >> kind;
        if (kind == "RESULT") {
            std::string key;
            double value = 0;
            words >> key >> value;
            values[key] = value;
        } else if (kind == "OPENED") {
            words >> opened;
        } else if (kind == "NOTE") {
            notes += (notes.empty() ? "" : "; ") + line->substr(5);
        }
    }
    if (!child.drain(5s) || !child.wait(5s)) {
        child.kill();
        child.wait(5s);
        notes += (notes.empty() ? "" : "; ") + std::string("timed out, killed");
    }
    if (!child.endedWell()) {
        const std::string why = lastWords(child.errorText());
        notes +=
            (notes.empty() ? "" : "; ") + std::string("died (") + child.howItEnded() + ")" +
            (values.count("cpu_pct") == 0 ? " after opening " + std::to_string(opened) + "+ sensors" : "") +
            (why.empty() ? "" : ": " + why);
    }
    for (const auto& [key, value] : values)
        state.counters[key] = value;
    state.counters["sensors"] = static_cast<double>(sensors);
    if (!notes.empty())
        state.SetLabel(notes);
    if (values.count("cpu_pct") == 0)
        state.SkipWithError(notes.empty() ? "no figures" : notes.c_str());
}

void BM_Scale(benchmark::State& state) {
    const auto sensors = static_cast<std::size_t>(state.range(0));
    const auto descriptorLimit = state.range(1); // 0: the hard limit
    for (auto _ : state) {
        if (descriptorLimit > 0)
            ::setenv("SENSORLIB_BENCH_NOFILE", std::to_string(descriptorLimit).c_str(), 1);
        const std::vector<std::string> argv{"/proc/self/exe", "--scale-child", std::to_string(sensors)};
        if (descriptorLimit > 0) {
            // The child reads the knob when it starts.
            runScaleChild(state, argv, sensors);
            ::unsetenv("SENSORLIB_BENCH_NOFILE");
        } else {
            runScaleChild(state, argv, sensors);
        }
    }
}

// The same sensors read by a single-threaded reader peer (Asio or libuv).
void BM_ScaleReader(benchmark::State& state, const std::string& reader) {
    const auto sensors = static_cast<std::size_t>(state.range(0));
    for (auto _ : state)
        runScaleChild(state, {reader, peerPath(), std::to_string(sensors)}, sensors);
}

// The reader peers that were built: name and program.
std::vector<std::pair<std::string, std::string>> readers() {
    std::vector<std::pair<std::string, std::string>> found;
#ifdef SENSORLIB_SCALE_READER_ASIO
    found.emplace_back("Asio", SENSORLIB_SCALE_READER_ASIO);
#endif
#ifdef SENSORLIB_SCALE_READER_LIBUV
    found.emplace_back("Libuv", SENSORLIB_SCALE_READER_LIBUV);
#endif
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--scale-child")
        return runScaleChild(static_cast<std::size_t>(std::stoul(argv[2])));
    benchmark::Initialize(&argc, argv);
    // The library and its reader peers take turns, size by size and round by round, so
    // that a machine whose load changes meanwhile weighs on all of them alike.
    const auto peerSizes = Bench::optionList("PEER_SENSORS", {500, 1000});
    const long rounds = std::max(1L, Bench::option("ROUNDS", 1, 1));
    const auto once = [](benchmark::internal::Benchmark* run) {
        run->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
    };
    for (long round = 0; round < rounds; ++round)
        for (const long sensors : Bench::optionList("SENSORS", {1, 50, 200, 500, 1000})) {
            once(benchmark::RegisterBenchmark("BM_Scale", BM_Scale)->Args({sensors, 0}));
            if (std::find(peerSizes.begin(), peerSizes.end(), sensors) == peerSizes.end())
                continue;
            for (const auto& [name, program] : readers())
                once(benchmark::RegisterBenchmark(("BM_Scale" + name).c_str(), BM_ScaleReader, program)
                         ->Arg(sensors));
        }
    // The same with the soft descriptor limit most systems start programs with.
    if (Bench::option("LIMITED", 1, 1) != 0)
        once(benchmark::RegisterBenchmark("BM_Scale", BM_Scale)->Args({1000, 1024}));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
