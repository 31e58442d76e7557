// What the TCP road costs: the latency from a sensor's write to the owner's
// onDataUpdate with synchronised delivery, against a bare poll()+recv() loop on a
// loopback connection; the CPU time of an idle connection; the memory of an open
// connection. SENSORLIB_BENCH_IDLE_SECONDS shortens the idle measurement (default 10).
#include "BenchCounters.h"

#include "Application.h"
#include "Stations.h"
#include "TcpSensorServer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

using Bench::Clock;
using NorvEngineering::Platform::Application;
using NorvEngineering::SensorLib::CTcpInterface;
using NorvEngineering::SensorLib::CVkr25;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSamples = 400;

struct Station : TestSupport::Station<CVkr25, TestSupport::TcpLine> {
    explicit Station(uint16_t port) : TestSupport::Station<CVkr25, TestSupport::TcpLine>(port) { connect(); }
    bool ready() {
        return Application().RunUntil([&] { return owner.sensorReady == 1; }, 10s);
    }
};

void BM_TcpLatencySimulatorToOnDataUpdate(benchmark::State& state) {
    for (auto _ : state) {
        SensorSim::CTcpSensorServer server;
        server.with(0, [](SensorSim::CSensorSimulator& sim) {
            sim.setDistanceSource(
                [](std::uint64_t i) { return 1.0 + 0.001 * static_cast<double>(i % 5000); });
            sim.setMeasurementPeriod(SensorSim::CSensorSimulator::ERunMode::DX, 5ms);
        });
        Station station(server.port());
        if (!station.ready()) {
            state.SkipWithError("sensor not ready");
            return;
        }
        auto& owner = station.owner;
        const std::size_t first = owner.distances.size();
        server.takeSendTimes();
        server.recordSendTimes(true);
        station.driver.setMode(CVkr25::lmDX);
        Application().RunUntil([&] { return owner.distances.size() >= first + kSamples + 10; }, 20s);
        station.driver.setMode(CVkr25::lmEscaped);
        server.recordSendTimes(false);
        Application().RunUntil([] { return false; }, 100ms);
        const auto sent = server.takeSendTimes();
        // Each distance is sent once; pair every arrival with the line that carried it.
        std::vector<double> micros;
        std::size_t from = 0;
        for (std::size_t n = first; n < owner.distances.size(); ++n)
            for (std::size_t i = from; i < sent.size(); ++i)
                if (sent[i].second.find(owner.distances[n]) != std::string::npos) {
                    micros.push_back(Bench::microseconds(owner.arrivals[n] - sent[i].first));
                    from = i + 1;
                    break;
                }
        Bench::reportLatencies(state, micros);
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
                if (buffer[i] == '\n')
                    micros.push_back(Bench::microseconds(now - sent[lines++]));
        }
        stop = true;
        writer.join();
        ::close(client);
        ::close(server);
        ::close(listener);
        Bench::reportLatencies(state, micros);
    }
}

void BM_TcpIdleConnectionCpu(benchmark::State& state) {
    const char* configured = std::getenv("SENSORLIB_BENCH_IDLE_SECONDS");
    const int seconds = configured != nullptr ? std::max(1, std::atoi(configured)) : 10;
    for (auto _ : state) {
        SensorSim::CTcpSensorServer server;
        Station station(server.port());
        if (!station.ready()) {
            state.SkipWithError("sensor not ready");
            return;
        }
        Application().RunUntil([] { return false; }, 200ms);
        const double before = Bench::processCpuMs();
        // The main thread sleeps; whatever runs now is the idle connection (and the
        // idle simulator).
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        state.counters["idle_seconds"] = seconds;
        state.counters["cpu_ms"] = Bench::processCpuMs() - before;
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
                                   [](const auto& station) { return station->owner.sensorReady == 1; });
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
