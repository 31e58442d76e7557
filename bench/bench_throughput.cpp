// One loopback connection flooded with Vkr25 measurement lines as fast as it takes
// them: the lines per second that reach onDataUpdate (the library, synchronised
// delivery) against a bare blocking read() + memchr() line splitter on the same kind
// of connection, fed by the same writer. Rounds alternate between the two, each on a
// fresh connection, after a warm-up of half a second; the median round counts.
// The lines the writer got into the socket meanwhile are counted too: more written
// than delivered means lines were dropped on the way.
// For the library it also takes how much its resident memory grew during a round's
// window and how long releasing the transport takes while the flood goes on (until its
// client thread has ended).
// Knobs: SENSORLIB_BENCH_ROUNDS (default 3), SENSORLIB_BENCH_FLOOD_S (window, 2).
#include "BenchCounters.h"
#include "BenchOptions.h"
#include "BenchSink.h"
#include "LineWriter.h"
#include "Loopback.h"
#include "ProcessStats.h"

#include "Application.h"
#include "SensorLib.h"
#include "TcpInterface.h"
#include "Vkr25.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::SensorLib;
using Bench::Clock;
using NorvEngineering::Platform::Application;
using namespace std::chrono_literals;

namespace {

constexpr auto kWarmUp = 500ms;

std::chrono::milliseconds window() {
    return std::chrono::seconds(Bench::option("FLOOD_S", 2, 1));
}

using CountingSink = Bench::DistanceCountingSink;

struct LibraryRound {
    double linesPerSecond = 0;
    double writtenPerSecond = 0; // what the socket took from the writer meanwhile
    double rssGrowthMiB = 0;
    double releaseMs = 0;
};

std::optional<LibraryRound> libraryRound() {
    uint16_t port = 0;
    const int listener = Bench::listenOnLoopback(port);
    CountingSink sink;
    CVkr25 driver(&sink);
    CTcpInterface::TTcpProperties properties(nullptr);
    properties.IpAddress = "127.0.0.1";
    properties.PortNumber = port;
    auto transport = std::make_unique<CTcpInterface>(&properties, true);
    driver.setInterface(transport.get());
    const int fd = Bench::acceptWithin(listener, 5s);
    ::close(listener);
    if (fd < 0)
        return std::nullopt;
    Bench::LineWriter writer(fd, true);
    if (!Application().RunUntil([&] { return sink.sensorReady.load(); }, 10s))
        return std::nullopt;
    driver.setMode(CVkr25::lmDX);
    if (!Application().RunUntil([&] { return writer.measuring(); }, 5s))
        return std::nullopt;

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> written{0};
    std::thread flooder([&] { writer.flood(stop, written); });
    Application().RunUntil([] { return false; }, kWarmUp);
    LibraryRound round;
    const long rssBefore = Bench::selfRssKiB();
    const uint64_t before = sink.lines;
    const uint64_t writtenBefore = written;
    const auto started = Clock::now();
    Application().RunUntil([] { return false; }, window());
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    round.linesPerSecond = static_cast<double>(sink.lines - before) / seconds;
    round.writtenPerSecond = static_cast<double>(written - writtenBefore) / seconds;
    round.rssGrowthMiB = static_cast<double>(Bench::selfRssKiB() - rssBefore) / 1024.0;
    const auto releasing = Clock::now();
    transport.reset();
    // Released means its client thread has ended too, not only the call returned.
    CTcpInterface::waitForClientThreads(30s);
    round.releaseMs = std::chrono::duration<double, std::milli>(Clock::now() - releasing).count();
    stop = true;
    writer.hangUp();
    flooder.join();
    return round;
}

double bareRound() {
    const Bench::TcpPair pair = Bench::tcpPair();
    Bench::LineWriter writer(pair.writer, false);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> written{0};
    std::thread flooder([&] { writer.flood(stop, written); });
    char buffer[4096];
    uint64_t lines = 0;
    uint64_t before = 0;
    const auto warm = Clock::now() + kWarmUp;
    Clock::time_point started;
    bool counting = false;
    for (;;) {
        const ssize_t got = ::read(pair.reader, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (const char* at = buffer;
             (at = static_cast<const char*>(
                  std::memchr(at, '\n', static_cast<std::size_t>(buffer + got - at)))) != nullptr;
             ++at)
            ++lines;
        const auto now = Clock::now();
        if (!counting && now >= warm) {
            counting = true;
            before = lines;
            started = now;
        } else if (counting && now - started >= window()) {
            break;
        }
    }
    const double rate =
        static_cast<double>(lines - before) / std::chrono::duration<double>(Clock::now() - started).count();
    stop = true;
    ::shutdown(pair.reader, SHUT_RDWR);
    flooder.join();
    ::close(pair.reader);
    return rate;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return Bench::quantile(values, 0.5);
}

void BM_FloodedConnection(benchmark::State& state) {
    const auto rounds = static_cast<std::size_t>(std::max(1L, Bench::option("ROUNDS", 3, 1)));
    for (auto _ : state) {
        std::vector<double> library;
        std::vector<double> written;
        std::vector<double> bare;
        double worstGrowth = 0;
        double worstRelease = 0;
        for (std::size_t i = 0; i < rounds; ++i) {
            const auto round = libraryRound();
            if (!round) {
                state.SkipWithError("the library's sensor did not get ready");
                return;
            }
            library.push_back(round->linesPerSecond);
            written.push_back(round->writtenPerSecond);
            worstGrowth = std::max(worstGrowth, round->rssGrowthMiB);
            worstRelease = std::max(worstRelease, round->releaseMs);
            bare.push_back(bareRound());
        }
        state.counters["lib_sync.lines_per_s"] = median(library);
        state.counters["lib_sync.written_per_s"] = median(written);
        state.counters["bare_read.lines_per_s"] = median(bare);
        state.counters["lib_sync.rss_growth_mib"] = worstGrowth;
        state.counters["lib_sync.release_ms"] = worstRelease;
        state.counters["window_s"] = std::chrono::duration<double>(window()).count();
    }
}

} // namespace

BENCHMARK(BM_FloodedConnection)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
