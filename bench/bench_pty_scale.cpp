// The serial path's cost per received line with many pseudo-terminals open: N ports
// (synchronised delivery, OnRxChar taking what waits as the serial transport does,
// at most 4096 bytes a turn) each receiving a Vkr25 measurement line 50 times a
// second, written one line per write() by a child process (so that the writer's own
// CPU is not counted), spread evenly over the second. After a warm-up, for a window
// the main thread waits in RunUntil(); counted: the CPU time of this process per line
// received, the share of it spent in the ports' event threads, and the lines a second
// that arrived. A second benchmark floods one pty with one line per
// write() as fast as the port takes them: lines per second and CPU per line.
// Knobs: SENSORLIB_BENCH_PTYS (list, default 10,100), SENSORLIB_BENCH_PTY_RATE (lines
// a second per pty, default 50), SENSORLIB_BENCH_PTY_WINDOW_S (default 5).
#include "BenchCounters.h"
#include "BenchOptions.h"

#include "Application.h"
#include "ComPort.h"
#include "ComThread.h"
#include "PostedCall.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using NorvEngineering::Platform::Application;
using NorvEngineering::Serial::TComPort;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view kLine = "001.234\r\n";

struct Pty {
    int master = -1;
    int holder = -1;
    std::string path;
};

std::vector<Pty> openPtys(std::size_t count) {
    std::vector<Pty> ptys(count);
    for (auto& pty : ptys) {
        char name[256] = {};
        if (::openpty(&pty.master, &pty.holder, name, nullptr, nullptr) != 0)
            return {};
        termios settings{};
        ::tcgetattr(pty.holder, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(pty.holder, TCSANOW, &settings);
        pty.path = name;
    }
    return ptys;
}

void closePtys(std::vector<Pty>& ptys) {
    for (auto& pty : ptys) {
        ::close(pty.master);
        ::close(pty.holder);
    }
}

// The writer: a child process that writes one line per write() to the masters, in
// turn, `rate` lines a second each (0: as fast as they take them), until killed. Its
// writes block, so a line is never dropped: a slow reader slows the writer down.
pid_t startWriter(const std::vector<Pty>& ptys, long rate) {
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& pty : ptys)
        ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) & ~O_NONBLOCK);
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    const long stepNs = rate > 0 ? 1'000'000'000L / (rate * static_cast<long>(ptys.size())) : 0;
    for (std::size_t turn = 0;; ++turn) {
        const Pty& pty = ptys[turn % ptys.size()];
        [[maybe_unused]] const ssize_t put = ::write(pty.master, kLine.data(), kLine.size());
        if (stepNs == 0)
            continue;
        next.tv_nsec += stepNs;
        while (next.tv_nsec >= 1'000'000'000L) {
            next.tv_nsec -= 1'000'000'000L;
            ++next.tv_sec;
        }
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}

void stopWriter(pid_t child) {
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

// CPU time (ms) of this process's threads other than the main one: the event threads.
// From schedstat, which counts in nanoseconds (stat counts in ticks of 10 ms).
double otherThreadsCpuMs() {
    const std::string self = std::to_string(::getpid());
    double total = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    while (const dirent* entry = ::readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == self)
            continue;
        std::ifstream schedstat("/proc/self/task/" + tid + "/schedstat");
        double runNs = 0;
        if (schedstat >> runNs)
            total += runNs / 1e6;
    }
    ::closedir(tasks);
    return total;
}

// Ports that take what waits as the serial transport does, counting line ends.
struct Readers {
    std::vector<std::unique_ptr<TComPort>> ports;
    // Another turn after a full buffer, as the transport asks for one.
    std::vector<std::unique_ptr<NorvEngineering::Platform::TPostedCall>> rests;
    std::vector<char> buffer = std::vector<char>(4096);
    uint64_t lines = 0;

    explicit Readers(const std::vector<Pty>& ptys) {
        for (std::size_t i = 0; i < ptys.size(); ++i) {
            ports.push_back(std::make_unique<TComPort>(nullptr));
            rests.push_back(std::make_unique<NorvEngineering::Platform::TPostedCall>([this, i] { take(i); }));
            ports[i]->SetDeviceName(ptys[i].path);
            ports[i]->OnRxChar = [this, i](NorvEngineering::Platform::TObject*) { take(i); };
            ports[i]->Open();
        }
    }
    void take(std::size_t i) {
        TComPort& port = *ports[i];
        if (!port.Active())
            return;
        const int32_t got = port.ReadAvailable(buffer.data(), static_cast<int32_t>(buffer.size()));
        lines += static_cast<uint64_t>(std::count(buffer.data(), buffer.data() + std::max(got, 0), '\n'));
        if (got == static_cast<int32_t>(buffer.size()))
            rests[i]->request();
    }
    ~Readers() {
        rests.clear();
        ports.clear();
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
    }
};

void measure(benchmark::State& state, std::size_t count, long rate) {
    std::vector<Pty> ptys = openPtys(count);
    if (ptys.size() != count) {
        state.SkipWithError("openpty failed");
        return;
    }
    {
        Readers readers(ptys);
        const pid_t writer = startWriter(ptys, rate);
        Application().RunUntil([] { return false; }, 1s); // warm-up
        const auto window = std::chrono::seconds(Bench::option("PTY_WINDOW_S", 5, 2));
        const uint64_t linesBefore = readers.lines;
        const double cpuBefore = Bench::processCpuMs();
        const double threadsBefore = otherThreadsCpuMs();
        Application().RunUntil([] { return false; }, window);
        const double cpu = Bench::processCpuMs() - cpuBefore;
        const double threads = otherThreadsCpuMs() - threadsBefore;
        const auto lines = static_cast<double>(readers.lines - linesBefore);
        stopWriter(writer);
        state.counters["lines"] = lines;
        state.counters["lines_per_s"] = lines / static_cast<double>(window.count());
        state.counters["cpu_us_per_line"] = lines > 0 ? cpu * 1000.0 / lines : 0.0;
        state.counters["event_threads_pct"] = cpu > 0 ? 100.0 * threads / cpu : 0.0;
        state.counters["cpu_pct"] = cpu / (10.0 * static_cast<double>(window.count()));
    }
    closePtys(ptys);
}

void BM_CpuPerLineOnManyPtys(benchmark::State& state) {
    for (auto _ : state)
        measure(state, static_cast<std::size_t>(state.range(0)), Bench::option("PTY_RATE", 50, 50));
}

void BM_FloodOneLinePerWrite(benchmark::State& state) {
    for (auto _ : state)
        measure(state, 1, 0);
}

void sizes(benchmark::internal::Benchmark* benchmark) {
    for (const long count : Bench::optionList("PTYS", {10, 100}))
        benchmark->Arg(count);
}

BENCHMARK(BM_CpuPerLineOnManyPtys)->Apply(sizes)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FloodOneLinePerWrite)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace
BENCHMARK_MAIN();
