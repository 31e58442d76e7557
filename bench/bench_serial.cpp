// How long a measurement line takes from the simulated sensor's write on the pty to
// the owner's onDataUpdate, against a bare poll()+read() loop on the same kind of
// line; and what an idle open port costs in CPU time.
#include "BenchCounters.h"

#include "Application.h"
#include "ComPort.h"
#include "ComThread.h"
#include "MessageQueue.h"
#include "PtySensorServer.h"
#include "Stations.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;
using Bench::Clock;
using NorvEngineering::Platform::Application;
using SensorSim::CPtySensorServer;
using SensorSim::CSensorSimulator;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSamples = 2000;
constexpr auto kLinePeriod = 2ms;

// When each measurement line left the simulator, by its text (every line differs).
class WriteTimes {
public:
    void attach(CPtySensorServer& server) {
        server.setWriteObserver([this](std::string_view bytes, Clock::time_point at) {
            std::lock_guard lock(m_mutex_);
            m_pending_.append(bytes);
            for (auto end = m_pending_.find("\r\n"); end != std::string::npos;
                 end = m_pending_.find("\r\n")) {
                m_times_[m_pending_.substr(0, end)] = at;
                m_pending_.erase(0, end + 2);
            }
        });
    }
    bool find(const std::string& line, Clock::time_point& at) {
        std::lock_guard lock(m_mutex_);
        const auto found = m_times_.find(line);
        if (found == m_times_.end())
            return false;
        at = found->second;
        return true;
    }

private:
    std::mutex m_mutex_;
    std::string m_pending_;
    std::map<std::string, Clock::time_point> m_times_;
};

// A started simulator that counts distances up a millimetre a line, with its write
// times recorded.
struct TimedServer {
    CPtySensorServer server;
    WriteTimes writes;
    TimedServer() {
        writes.attach(server);
        server.withSimulator([](CSensorSimulator& sensor) {
            sensor.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index); });
            sensor.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, kLinePeriod);
        });
        server.start();
    }
    ~TimedServer() { server.stop(); }
};

// The floor: the same simulator and pty, read by a bare poll()+read() loop.
void BM_LineLatencyPollReadFloor(benchmark::State& state) {
    for (auto _ : state) {
        TimedServer timed;
        const int fd = ::open(timed.server.getDevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        [[maybe_unused]] const ssize_t put = ::write(fd, "DX\r", 3);
        std::vector<double> latencies;
        std::string pending;
        const auto deadline = Clock::now() + 30s;
        while (latencies.size() < kSamples && Clock::now() < deadline) {
            pollfd ready{fd, POLLIN, 0};
            ::poll(&ready, 1, 1000);
            char buffer[4096];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            const auto now = Clock::now();
            if (got <= 0)
                continue;
            pending.append(buffer, static_cast<std::size_t>(got));
            for (auto end = pending.find("\r\n"); end != std::string::npos; end = pending.find("\r\n")) {
                Clock::time_point sent;
                if (timed.writes.find(pending.substr(0, end), sent))
                    latencies.push_back(Bench::microseconds(now - sent));
                pending.erase(0, end + 2);
            }
        }
        [[maybe_unused]] const ssize_t stop = ::write(fd, "\x1b", 1);
        ::close(fd);
        Bench::reportLatencies(state, latencies);
    }
}
BENCHMARK(BM_LineLatencyPollReadFloor)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

using SerialStation = TestSupport::Station<CVkr25, TestSupport::SerialLine>;

// Connected and its auto-start command answered; false on an interface error.
bool settle(SerialStation& station) {
    return Application().RunUntil(
               [&] {
                   return !station.owner.interfaceErrors.empty() ||
                          (station.owner.sensorReady == 1 && station.driver.getQueue().empty());
               },
               10s) &&
           station.owner.interfaceErrors.empty();
}

// The library's road: event thread, main thread, transport, processor, sink.
void BM_LineLatencyToOnDataUpdate(benchmark::State& state) {
    for (auto _ : state) {
        TimedServer timed;
        std::vector<double> latencies;
        {
            SerialStation station(timed.server.getDevicePath());
            station.connect();
            auto& owner = station.owner;
            if (!settle(station)) {
                state.SkipWithError("interface error");
                return;
            }
            station.driver.setMode(CVkr25::lmDX);
            Application().RunUntil(
                [&] { return !owner.interfaceErrors.empty() || owner.distances.size() >= kSamples; }, 30s);
            station.driver.setMode(CVkr25::lmEscaped);
            for (std::size_t i = 0; i < owner.distances.size(); ++i) {
                Clock::time_point sent;
                if (timed.writes.find(owner.distances[i], sent))
                    latencies.push_back(Bench::microseconds(owner.arrivals[i] - sent));
            }
        }
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
        Bench::reportLatencies(state, latencies);
    }
}
BENCHMARK(BM_LineLatencyToOnDataUpdate)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Ten seconds of an open, idle line: a connected sensor that measures nothing, and a
// port whose unread input nobody reads. The whole process's CPU time is counted.
void BM_IdleOpenPortCpu(benchmark::State& state) {
    for (auto _ : state) {
        TimedServer timed;
        int master = -1;
        int device = -1;
        char name[256] = {};
        ::openpty(&master, &device, name, nullptr, nullptr);
        NorvEngineering::Serial::TComPort port(nullptr);
        port.SetDeviceName(name);
        int events = 0;
        port.OnRxChar = [&](NorvEngineering::Platform::TObject*) { ++events; };
        {
            SerialStation station(timed.server.getDevicePath());
            station.connect();
            settle(station);
            port.Open();
            [[maybe_unused]] const ssize_t put = ::write(master, "unread input", 12);
            Application().RunUntil([&] { return events > 0; }, 5s);

            auto& queue = NorvEngineering::Platform::ThreadMessageQueue::current();
            const double cpuBefore = Bench::processCpuMs();
            const auto started = Clock::now();
            const auto deadline = started + 10s;
            for (auto now = started; now < deadline; now = Clock::now())
                queue.waitEvents(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
            state.counters["cpu_ms_per_10s"] = Bench::processCpuMs() - cpuBefore;
            state.counters["rx_events_while_idle"] = static_cast<double>(events - 1);
            port.Close();
        }
        ::close(master);
        ::close(device);
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
    }
}
BENCHMARK(BM_IdleOpenPortCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
BENCHMARK_MAIN();
