// How long a measurement line takes from the simulated sensor's write on the pty to
// the owner's onDataUpdate, against a bare poll()+read() loop on the same kind of
// line; and what an idle open port costs in CPU time.
#include "Application.h"
#include "ComPort.h"
#include "ComThread.h"
#include "MessageQueue.h"
#include "PtySensorServer.h"
#include "SensorLib.h"
#include "SerialInterface.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using SensorSim::CPtySensorServer;
using SensorSim::CSensorSimulator;
using Clock = std::chrono::steady_clock;
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

void prepare(CPtySensorServer& server) {
    server.withSimulator([](CSensorSimulator& sensor) {
        sensor.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index); });
        sensor.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, kLinePeriod);
    });
}

void report(benchmark::State& state, std::vector<double> latencies) {
    if (latencies.empty()) {
        state.SkipWithError("no samples");
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double quantile) {
        const auto index =
            static_cast<std::size_t>(std::ceil(quantile * static_cast<double>(latencies.size()))) - 1;
        return latencies[std::min(index, latencies.size() - 1)];
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = latencies.back();
    state.counters["samples"] = static_cast<double>(latencies.size());
}

double microseconds(Clock::duration span) {
    return std::chrono::duration<double, std::micro>(span).count();
}

// The floor: the same simulator and pty, read by a bare poll()+read() loop.
void BM_LineLatencyPollReadFloor(benchmark::State& state) {
    for (auto _ : state) {
        CPtySensorServer server;
        WriteTimes writes;
        writes.attach(server);
        prepare(server);
        server.start();
        const int fd = ::open(server.getDevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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
                if (writes.find(pending.substr(0, end), sent))
                    latencies.push_back(microseconds(now - sent));
                pending.erase(0, end + 2);
            }
        }
        [[maybe_unused]] const ssize_t stop = ::write(fd, "\x1b", 1);
        ::close(fd);
        server.stop();
        report(state, latencies);
    }
}
BENCHMARK(BM_LineLatencyPollReadFloor)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The owner of a sensor that records when each new distance reached it.
class TimingOwner : public CSensorSink {
public:
    CVkr25* driver = nullptr;
    WriteTimes* writes = nullptr;
    bool ready = false;
    bool failed = false;
    std::vector<double> latencies;

    void onDataUpdate(CSensor*, const std::string&) override {
        const auto now = Clock::now();
        const std::string& distance = driver->getStrDistance();
        if (distance.empty() || distance == m_last_)
            return;
        m_last_ = distance;
        Clock::time_point sent;
        if (writes->find(distance, sent))
            latencies.push_back(microseconds(now - sent));
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override { sensor->initialize(); }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError&) override { failed = true; }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {}
    void onSensorReady(CSensor*) override { ready = true; }
    void onSensorError(CSensor*, CSensorError&) override {}
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return makeSensorType(1, 239, 18); }
    int32_t getSensorId() const override { return 0; }

private:
    std::string m_last_;
};

// The library's road: event thread, main thread, transport, processor, sink.
void BM_LineLatencyToOnDataUpdate(benchmark::State& state) {
    for (auto _ : state) {
        CPtySensorServer server;
        WriteTimes writes;
        writes.attach(server);
        prepare(server);
        server.start();
        TimingOwner owner;
        CVkr25 driver(&owner);
        owner.driver = &driver;
        owner.writes = &writes;
        CSerialInterface::TSerialProperties line(nullptr);
        line.DeviceName = server.getDevicePath();
        line.BaudRate = br115200;
        {
            CSerialInterface transport(&line, true);
            driver.setInterface(&transport);
            Application().RunUntil([&] { return owner.failed || (owner.ready && driver.getQueue().empty()); },
                                   10s);
            driver.setMode(CVkr25::lmDX);
            Application().RunUntil([&] { return owner.failed || owner.latencies.size() >= kSamples; }, 30s);
            driver.setMode(CVkr25::lmEscaped);
            transport.releaseInterface();
        }
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
        server.stop();
        if (owner.failed)
            state.SkipWithError("interface error");
        report(state, owner.latencies);
    }
}
BENCHMARK(BM_LineLatencyToOnDataUpdate)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

double processCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Ten seconds of an open, idle line: a connected sensor that measures nothing, and a
// port whose unread input nobody reads. The whole process's CPU time is counted.
void BM_IdleOpenPortCpu(benchmark::State& state) {
    for (auto _ : state) {
        CPtySensorServer server;
        server.start();
        TimingOwner owner;
        WriteTimes writes;
        CVkr25 driver(&owner);
        owner.driver = &driver;
        owner.writes = &writes;
        CSerialInterface::TSerialProperties line(nullptr);
        line.DeviceName = server.getDevicePath();

        int master = -1;
        int device = -1;
        char name[256] = {};
        ::openpty(&master, &device, name, nullptr, nullptr);
        NorvEngineering::Serial::TComPort port(nullptr);
        port.SetDeviceName(name);
        int events = 0;
        port.OnRxChar = [&](NorvEngineering::Platform::TObject*) { ++events; };
        {
            CSerialInterface transport(&line, true);
            driver.setInterface(&transport);
            Application().RunUntil([&] { return owner.failed || (owner.ready && driver.getQueue().empty()); },
                                   10s);
            port.Open();
            [[maybe_unused]] const ssize_t put = ::write(master, "unread input", 12);
            Application().RunUntil([&] { return events > 0; }, 5s);

            auto& queue = NorvEngineering::Platform::ThreadMessageQueue::current();
            const double cpuBefore = processCpuMs();
            const auto started = Clock::now();
            const auto deadline = started + 10s;
            for (auto now = started; now < deadline; now = Clock::now())
                queue.waitEvents(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
            const double cpu = processCpuMs() - cpuBefore;
            state.counters["cpu_ms_per_10s"] = cpu;
            state.counters["rx_events_while_idle"] = static_cast<double>(events - 1);
            port.Close();
            transport.releaseInterface();
        }
        ::close(master);
        ::close(device);
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
        server.stop();
    }
}
BENCHMARK(BM_IdleOpenPortCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
BENCHMARK_MAIN();
