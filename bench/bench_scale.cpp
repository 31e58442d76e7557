// Many sensors in one process: N Vkr25 drivers on TCP transports with synchronised
// delivery, each sensor measuring 50 lines a second, served by scale_peer in a
// process of its own. Each size runs in a fresh child process (this program started
// again with --scale-child N), so a size that kills the process is reported as such
// and the next size still runs.
//
// In a measuring window (after a warm-up) the child takes: CPU of the whole process
// (% of one core), resident memory, threads, descriptors, the 99th percentile of
// the time from the peer's write to onDataUpdate (the peer stamps each line with its
// write time, see ScalePeer.cpp), the worst lateness of a 10 ms timer on the main
// thread (the owner's loop), and the line rate. After the window the peer stops and
// the lines it sent are compared with those that reached onDataUpdate (lost).
//
// Knobs (environment): SENSORLIB_BENCH_SENSORS (list, default 1,50,200,500,1000),
// SENSORLIB_BENCH_WINDOW_S, SENSORLIB_BENCH_READY_S (time allowed to connect and
// initialise), SENSORLIB_BENCH_NOFILE (soft descriptor limit; default: the hard one).
#include "BenchCounters.h"
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "ProcessStats.h"

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
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::ThreadMessageQueue;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr double kLinesPerSecond = 50.0;

long windowSeconds() {
    return Bench::option("WINDOW_S", 8, 3);
}
long readySeconds() {
    return Bench::option("READY_S", 60, 30);
}

// What all sinks of a run share; everything runs on the main thread.
struct RunState {
    bool measuring = false;
    bool inWindow = false;
    uint64_t received = 0;
    uint64_t receivedInWindow = 0;
    std::vector<double> latencyMs;
    int ready = 0;
    int interfaceErrors = 0;
    int sensorErrors = 0;
    std::string firstError;
};

// The time a line spent from the peer's write to here, from its time-stamped
// distance (100 us units modulo 100 s).
double lineLatencyMs(double metres) {
    const long long sent = std::llround(metres * 1000.0);
    const long long now =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count() / 100 %
        1000000;
    return static_cast<double>((now - sent + 1000000) % 1000000) / 10.0;
}

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
        ++m_run_.received;
        if (m_run_.inWindow) {
            ++m_run_.receivedInWindow;
            m_run_.latencyMs.push_back(lineLatencyMs(distance));
        }
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
    double worstMs() const { return m_worstMs_; }

private:
    void arm() {
        m_due_ = Clock::now() + m_period_;
        itimerspec spec{};
        spec.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(m_period_).count();
        ::timerfd_settime(m_timer_, 0, &spec, nullptr);
    }
    void fired() {
        uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_timer_, &expirations, sizeof expirations);
        m_worstMs_ =
            std::max(m_worstMs_, std::chrono::duration<double, std::milli>(Clock::now() - m_due_).count());
        arm();
    }

    std::chrono::milliseconds m_period_;
    int m_timer_ = -1;
    ThreadMessageQueue::WatchId m_watch_ = 0;
    Clock::time_point m_due_;
    double m_worstMs_ = 0.0;
};

void result(const std::string& key, double value) {
    std::cout << "RESULT " << key << ' ' << value << std::endl;
}
void note(const std::string& text) {
    std::cout << "NOTE " << text << std::endl;
}

std::string peerPath() {
    return SENSORLIB_SCALE_PEER;
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
    uint16_t port = 0;
    for (auto line = peer.readLine(10s); line && *line != "READY"; line = peer.readLine(10s))
        if (line->rfind("PORT ", 0) == 0)
            port = static_cast<uint16_t>(std::stoi(line->substr(5)));
    if (port == 0) {
        note("peer did not start: " + peer.errorText());
        return 1;
    }

    RunState run;
    std::vector<std::unique_ptr<ScaleStation>> stations;
    const auto openStarted = Clock::now();
    try {
        for (std::size_t i = 0; i < sensors; ++i) {
            stations.push_back(std::make_unique<ScaleStation>(run, port));
            Application().ProcessMessages();
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

    run.measuring = true;
    for (auto& station : stations) {
        station->sink.startCounting(station->driver.getDistance());
        station->driver.setMode(CVkr25::lmDX);
    }
    Application().RunUntil([] { return false; }, std::chrono::seconds(Bench::option("WARMUP_S", 2, 1)));

    {
        LoopLatenessProbe probe(10ms);
        run.inWindow = true;
        const double cpuBefore = Bench::selfCpuSeconds();
        const auto started = Clock::now();
        Application().RunUntil([] { return false; }, std::chrono::seconds(windowSeconds()));
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const double cpu = Bench::selfCpuSeconds() - cpuBefore;
        run.inWindow = false;
        result("window_s", seconds);
        result("cpu_pct", 100.0 * cpu / seconds);
        result("rss_mib", static_cast<double>(Bench::selfRssKiB()) / 1024.0);
        result("threads", static_cast<double>(Bench::selfThreads()));
        result("fds", static_cast<double>(Bench::selfDescriptors()));
        result("lines_per_s", static_cast<double>(run.receivedInWindow) / seconds);
        result("expected_lines_per_s", static_cast<double>(run.ready) * kLinesPerSecond);
        std::sort(run.latencyMs.begin(), run.latencyMs.end());
        result("median_ms", Bench::quantile(run.latencyMs, 0.5));
        result("p99_ms", Bench::quantile(run.latencyMs, 0.99));
        result("loop_late_ms", probe.worstMs());
    }

    peer.send("stop");
    uint64_t sent = 0;
    for (auto line = peer.readLine(10s); line; line = peer.readLine(10s))
        if (line->rfind("SENT ", 0) == 0) {
            sent = std::stoull(line->substr(5));
            break;
        }
    Application().RunUntil([&] { return run.received >= sent; }, 10s);
    result("sent", static_cast<double>(sent));
    result("lost", static_cast<double>(sent) - static_cast<double>(run.received));

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

void BM_Scale(benchmark::State& state) {
    const auto sensors = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        Bench::ChildProcess child({"/proc/self/exe", "--scale-child", std::to_string(sensors)});
        std::map<std::string, double> values;
        std::string notes;
        const auto limit = std::chrono::seconds(readySeconds() + windowSeconds() + 60);
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
            notes += (notes.empty() ? "" : "; ") + std::string("died (") + child.howItEnded() + ")" +
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
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--scale-child")
        return runScaleChild(static_cast<std::size_t>(std::stoul(argv[2])));
    benchmark::Initialize(&argc, argv);
    auto* scale = benchmark::RegisterBenchmark("BM_Scale", BM_Scale);
    for (const long sensors : Bench::optionList("SENSORS", {1, 50, 200, 500, 1000}))
        scale->Arg(sensors);
    scale->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
