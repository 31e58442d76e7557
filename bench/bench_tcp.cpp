// What the TCP road costs: the latency from a sensor's write to the owner's
// onDataUpdate with synchronised delivery, against a bare poll()+recv() loop on a
// loopback connection; the CPU time of an idle connection; the memory of an open
// connection. SENSORLIB_BENCH_IDLE_SECONDS shortens the idle measurement (default 10).
#include "Application.h"
#include "SensorLib.h"
#include "TcpInterface.h"
#include "TcpSensorServer.h"
#include "Vkr25.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

using NorvEngineering::Platform::Application;
using NorvEngineering::SensorLib::CInterfaceError;
using NorvEngineering::SensorLib::CSensor;
using NorvEngineering::SensorLib::CSensorError;
using NorvEngineering::SensorLib::CSensorInterface;
using NorvEngineering::SensorLib::CSensorSink;
using NorvEngineering::SensorLib::CTcpInterface;
using NorvEngineering::SensorLib::CVkr25;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSamples = 400;

class Owner : public CSensorSink {
public:
    void onDataUpdate(CSensor* sensor, const std::string&) override {
        const auto now = Clock::now();
        auto* driver = static_cast<CVkr25*>(sensor);
        if (driver->getStrDistance() != last) {
            last = driver->getStrDistance();
            arrivals.emplace_back(now, last);
        }
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override { sensor->initialize(); }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError&) override {}
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {}
    void onSensorReady(CSensor*) override { ++ready; }
    void onSensorError(CSensor*, CSensorError&) override {}
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }

    int ready = 0;
    std::string last;
    std::vector<std::pair<Clock::time_point, std::string>> arrivals;
};

struct Station {
    Owner owner;
    CVkr25 driver{&owner};
    CTcpInterface::TTcpProperties properties{nullptr};
    std::unique_ptr<CTcpInterface> transport;
    explicit Station(uint16_t port) {
        properties.IpAddress = "127.0.0.1";
        properties.PortNumber = port;
        transport = std::make_unique<CTcpInterface>(&properties, true);
        driver.setInterface(transport.get());
    }
    ~Station() { transport.reset(); }
};

void counting(SensorSim::CTcpSensorServer& server, std::size_t index) {
    server.with(index, [](SensorSim::CSensorSimulator& sim) {
        sim.setDistanceSource([](std::uint64_t i) { return 1.0 + 0.001 * static_cast<double>(i % 5000); });
        sim.setMeasurementPeriod(SensorSim::CSensorSimulator::ERunMode::DX, 5ms);
    });
}

void report(benchmark::State& state, std::vector<double> micros) {
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["samples"] = static_cast<double>(micros.size());
}

void BM_TcpLatencySimulatorToOnDataUpdate(benchmark::State& state) {
    for (auto _ : state) {
        SensorSim::CTcpSensorServer server;
        counting(server, 0);
        Station station(server.port());
        if (!Application().RunUntil([&] { return station.owner.ready == 1; }, 10s)) {
            state.SkipWithError("sensor not ready");
            return;
        }
        station.owner.arrivals.clear();
        server.takeSendTimes();
        server.recordSendTimes(true);
        station.driver.setMode(CVkr25::lmDX);
        Application().RunUntil([&] { return station.owner.arrivals.size() >= kSamples + 10; }, 20s);
        station.driver.setMode(CVkr25::lmEscaped);
        server.recordSendTimes(false);
        Application().RunUntil([] { return false; }, 100ms);
        const auto sent = server.takeSendTimes();
        // Each distance is sent once; pair every arrival with the line that carried it.
        std::vector<double> micros;
        std::size_t from = 0;
        for (const auto& [arrived, text] : station.owner.arrivals) {
            for (std::size_t i = from; i < sent.size(); ++i)
                if (sent[i].second.find(text) != std::string::npos) {
                    micros.push_back(
                        std::chrono::duration<double, std::micro>(arrived - sent[i].first).count());
                    from = i + 1;
                    break;
                }
        }
        report(state, micros);
    }
}

// The floor: the same kind of loopback connection read by a bare poll()+recv() loop.
void BM_TcpLatencyBarePollRecv(benchmark::State& state) {
    for (auto _ : state) {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 1);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const int server = ::accept(listener, nullptr, nullptr);
        const int on = 1;
        ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        std::vector<Clock::time_point> sent(kSamples);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (std::size_t i = 0; i < kSamples && !stop; ++i) {
                std::this_thread::sleep_for(5ms);
                sent[i] = Clock::now();
                ::send(server, "001.234\r\n", 9, MSG_NOSIGNAL);
            }
        });
        std::vector<double> micros;
        char buffer[4096];
        std::size_t lines = 0;
        while (lines < kSamples) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                break;
            const auto now = Clock::now();
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i)
                if (buffer[i] == '\n') {
                    micros.push_back(std::chrono::duration<double, std::micro>(now - sent[lines]).count());
                    ++lines;
                }
        }
        stop = true;
        writer.join();
        ::close(client);
        ::close(server);
        ::close(listener);
        report(state, micros);
    }
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_TcpIdleConnectionCpu(benchmark::State& state) {
    const char* configured = std::getenv("SENSORLIB_BENCH_IDLE_SECONDS");
    const int seconds = configured != nullptr ? std::max(1, std::atoi(configured)) : 10;
    for (auto _ : state) {
        SensorSim::CTcpSensorServer server;
        Station station(server.port());
        if (!Application().RunUntil([&] { return station.owner.ready == 1; }, 10s)) {
            state.SkipWithError("sensor not ready");
            return;
        }
        Application().RunUntil([] { return false; }, 200ms);
        const double before = cpuSeconds();
        // The main thread sleeps; whatever runs now is the idle connection (and the
        // idle simulator).
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double used = cpuSeconds() - before;
        state.counters["idle_seconds"] = seconds;
        state.counters["cpu_ms"] = used * 1000.0;
    }
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void BM_TcpMemoryPerOpenConnection(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        SensorSim::CTcpSensorServer server(count);
        Application().RunUntil([] { return false; }, 50ms);
        const long before = residentKiB();
        std::vector<std::unique_ptr<Station>> stations;
        for (std::size_t i = 0; i < count; ++i)
            stations.push_back(std::make_unique<Station>(server.port(i)));
        Application().RunUntil(
            [&] {
                return std::all_of(stations.begin(), stations.end(),
                                   [](const auto& station) { return station->owner.ready == 1; });
            },
            30s);
        const long after = residentKiB();
        state.counters["connections"] = static_cast<double>(count);
        state.counters["rss_kib_per_connection"] =
            static_cast<double>(after - before) / static_cast<double>(count);
        stations.clear();
        CTcpInterface::waitForClientThreads(10s);
    }
}

} // namespace

BENCHMARK(BM_TcpLatencySimulatorToOnDataUpdate)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpLatencyBarePollRecv)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpIdleConnectionCpu)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpMemoryPerOpenConnection)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
