// What an open, idle sensor costs: one Vkr25 on a TCP connection and one on a
// pseudo-terminal, both ready and measuring nothing, served by scale_peer in a
// process of its own (so the peer's own waking is not counted). For a window the
// main thread waits in Application().Run() (ended by a message from a measuring
// thread), then for another window in RunUntil(). Counted: the CPU time of the whole
// process per second, and the wake-ups per second of its threads (voluntary context
// switches summed over /proc/self/task, the measuring thread left out).
// Knob: SENSORLIB_BENCH_IDLE_S (window, default 10).
#include "BenchOptions.h"
#include "BenchSink.h"
#include "ChildProcess.h"
#include "MainLoop.h"
#include "ProcessStats.h"

#include "Application.h"
#include "ComThread.h"
#include "MessageQueue.h"
#include "SensorLib.h"
#include "SerialInterface.h"
#include "TcpInterface.h"
#include "Vkr25.h"

#include <benchmark/benchmark.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::chrono::seconds window() {
    return std::chrono::seconds(Bench::option("IDLE_S", 10, 3));
}

class ReadySink : public Bench::ReadyCountingSink {
public:
    void onDataUpdate(CSensor*, const std::string&) override {}
};

struct Cost {
    double cpuMsPerSecond = 0;
    double wakeUpsPerSecond = 0;
};

// The cost of the process from `begin` to `end`, both run on the measuring thread.
struct Meter {
    pid_t leaveOut;
    double cpu = 0;
    long wakeUps = 0;
    Clock::time_point at;

    explicit Meter(pid_t measuringThread) : leaveOut(measuringThread) {}
    void begin() {
        at = Clock::now();
        cpu = Bench::selfCpuSeconds();
        wakeUps = Bench::selfWakeUps(leaveOut);
    }
    Cost end() const {
        const double seconds = std::chrono::duration<double>(Clock::now() - at).count();
        Cost cost;
        cost.cpuMsPerSecond = (Bench::selfCpuSeconds() - cpu) * 1e3 / seconds;
        cost.wakeUpsPerSecond = static_cast<double>(Bench::selfWakeUps(leaveOut) - wakeUps) / seconds;
        return cost;
    }
};

// The main thread in Run(); a thread of the benchmark measures and then ends Run.
Cost costUnderRun() {
    Cost cost;
    Bench::runMainLoopWhile([&] {
        Meter meter(static_cast<pid_t>(::syscall(SYS_gettid)));
        meter.begin();
        std::this_thread::sleep_for(window()); // the window itself: nothing to wait for
        cost = meter.end();
    });
    return cost;
}

// The main thread in RunUntil() with a condition that never holds; it measures itself.
Cost costUnderRunUntil() {
    Meter meter(0);
    meter.begin();
    Application().RunUntil([] { return false; }, window());
    return meter.end();
}

void BM_IdleSensors(benchmark::State& state) {
    for (auto _ : state) {
        Bench::ChildProcess peer({SENSORLIB_SCALE_PEER, "--pty", "--threads", "1"});
        const auto [port, device] = Bench::readPeerAddress(peer);
        if (port == 0 || device.empty()) {
            state.SkipWithError("the peer did not start");
            return;
        }
        {
            ReadySink tcpSink;
            CVkr25 tcpDriver(&tcpSink);
            CTcpInterface::TTcpProperties tcpProperties(nullptr);
            tcpProperties.IpAddress = "127.0.0.1";
            tcpProperties.PortNumber = port;
            auto tcp = std::make_unique<CTcpInterface>(&tcpProperties, true);

            ReadySink serialSink;
            CVkr25 serialDriver(&serialSink);
            CSerialInterface::TSerialProperties serialProperties(nullptr);
            serialProperties.DeviceName = device;
            serialProperties.BaudRate = br115200;
            serialProperties.DataBits = db8;
            serialProperties.Parity = paNone;
            serialProperties.StopBits = sb1;
            auto serial = std::make_unique<CSerialInterface>(&serialProperties, true);

            tcpDriver.setInterface(tcp.get());
            serialDriver.setInterface(serial.get());
            const bool ready =
                Application().RunUntil([&] { return tcpSink.sensorReady && serialSink.sensorReady; }, 10s) &&
                tcpSink.interfaceErrors == 0 && serialSink.interfaceErrors == 0;
            if (!ready) {
                state.SkipWithError("the sensors did not get ready");
                return;
            }
            // Let the last replies settle.
            Application().RunUntil([] { return false; }, 500ms);

            const Cost run = costUnderRun();
            const Cost runUntil = costUnderRunUntil();
            state.counters["run.cpu_ms_per_s"] = run.cpuMsPerSecond;
            state.counters["run.wakeups_per_s"] = run.wakeUpsPerSecond;
            state.counters["rununtil.cpu_ms_per_s"] = runUntil.cpuMsPerSecond;
            state.counters["rununtil.wakeups_per_s"] = runUntil.wakeUpsPerSecond;
            state.counters["window_s"] = static_cast<double>(window().count());
            tcp.reset();
            serial.reset();
        }
        CTcpInterface::waitForClientThreads(10s);
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
    }
}

} // namespace

BENCHMARK(BM_IdleSensors)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
