// How fast the Vkr25-family drivers read measurement lines handed to them from
// memory, with no transport in the way, and how many heap allocations each line
// costs; and what the library's number reader costs against std::from_chars.
//
// Driver: a CVkr25 or CVkr25Xt, active, running DT alone in the queue, in decimal or
// hexadecimal display format, fed a buffer of measurement lines as the simulator
// formats them, cut into chunks of random size (1 byte up to the given maximum: 64
// for what a serial read brings, 1460 for a TCP segment). One sample is one pass over
// the whole buffer; it times CSensor::dataReceived for every chunk, including the
// sink's onDataUpdate (a sink that only counts). Allocations are counted by the
// replaced global operator new below, over the timed passes only.
//
// Number reader: the same distance texts read by readNumber<double> and by a bare
// std::from_chars, batch against batch, in random order within each sample.
//
// Instructions per line: run under callgrind with --toggle-collect='*feedChunks*';
// the program prints the number of lines it fed on exit. For enough samples for a
// p99 before the library got fast, run with --benchmark_min_time=2.
#include "BenchCounters.h"
#include "FakeInterface.h"
#include "MeasurementFormat.h"
#include "NumberConversion.h"
#include "SensorLib.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {
std::atomic<std::uint64_t> g_allocations{0};
std::uint64_t g_linesFed = 0;
} // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}
// Out of line, so that the compiler does not pair an inlined free() with new.
[[gnu::noinline]] void operator delete(void* block) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t /*size*/) noexcept {
    std::free(block);
}

using namespace NorvEngineering::SensorLib;

namespace {

constexpr std::size_t kLinesPerSample = 20000;

class CountingSink : public CSensorSink {
public:
    void onDataUpdate(CSensor* /*sensor*/, const std::string& text) override {
        ++updates;
        traced += text.size();
    }
    void onInterfaceReady(CSensor*, CSensorInterface*) override {}
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError&) override {}
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {}
    void onSensorReady(CSensor*) override {}
    void onSensorError(CSensor*, CSensorError&) override { ++errors; }
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }

    std::uint64_t updates = 0;
    std::uint64_t traced = 0;
    std::uint64_t errors = 0;
};

// Distances that wander over the sensor's range, so that every line differs.
double distanceAt(std::size_t index) {
    return 0.05 + static_cast<double>((index * 7919) % 99000) * 0.001;
}

std::string measurementLines(bool hexadecimal) {
    std::string lines;
    for (std::size_t i = 0; i < kLinesPerSample; ++i) {
        const double metres = distanceAt(i);
        lines +=
            hexadecimal ? SensorSim::formatHexDistance(metres) : SensorSim::formatDecimalDistance(metres);
        lines += "\r\n";
    }
    return lines;
}

std::vector<std::size_t> chunkSizes(std::size_t total, std::size_t largest) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<std::size_t> size(1, largest);
    std::vector<std::size_t> sizes;
    for (std::size_t fed = 0; fed < total;) {
        const std::size_t next = std::min(size(random), total - fed);
        sizes.push_back(next);
        fed += next;
    }
    return sizes;
}

// The one function callgrind collects in.
[[gnu::noinline]] void feedChunks(CSensor& sensor, const std::string& bytes,
                                  const std::vector<std::size_t>& sizes) {
    const char* at = bytes.data();
    for (const std::size_t size : sizes) {
        sensor.dataReceived(at, static_cast<unsigned int>(size));
        at += size;
    }
    g_linesFed += kLinesPerSample;
}

double percentile(std::vector<double> values, double quantile) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(quantile * static_cast<double>(values.size() - 1));
    return values[index];
}

template <class Driver>
void setUp(Driver& driver, char displayFormat) {
    driver.setActive(1);
    if constexpr (std::is_pointer_v<decltype(driver.getConfig())>)
        driver.getConfig()->setDisplayFormat(displayFormat);
    else
        driver.getConfig().setDisplayFormat(displayFormat);
    driver.setMode(Driver::lmDT);
}

template <class Driver>
void driverParses(benchmark::State& state, bool hexadecimal) {
    CountingSink sink;
    TestSupport::FakeInterface iface;
    Driver driver(&sink);
    driver.setInterface(&iface);
    setUp(driver, hexadecimal ? 'h' : 'd');
    iface.writes.clear();

    const std::string bytes = measurementLines(hexadecimal);
    const std::vector<std::size_t> sizes = chunkSizes(bytes.size(), static_cast<std::size_t>(state.range(0)));
    feedChunks(driver, bytes, sizes); // warm-up: buffers reach their working size

    std::vector<double> nsPerLine;
    const std::uint64_t updatesBefore = sink.updates;
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        const std::uint64_t allocationsBefore = g_allocations.load();
        const auto start = Bench::Clock::now();
        feedChunks(driver, bytes, sizes);
        const auto span = Bench::Clock::now() - start;
        allocations += g_allocations.load() - allocationsBefore;
        nsPerLine.push_back(std::chrono::duration<double, std::nano>(span).count() / kLinesPerSample);
    }
    const auto lines = static_cast<double>(state.iterations()) * kLinesPerSample;

    if (sink.updates - updatesBefore != static_cast<std::uint64_t>(lines) || sink.traced != 0 ||
        sink.errors != 0 || driver.getQueue().size() != 1 || driver.getStrDistance().empty())
        state.SkipWithError("the driver did not read every line as a distance");
    state.counters["lines/s"] = benchmark::Counter(lines, benchmark::Counter::kIsRate);
    state.counters["allocs/line"] = static_cast<double>(allocations) / lines;
    state.counters["median_ns/line"] = percentile(nsPerLine, 0.5);
    state.counters["p99_ns/line"] = percentile(nsPerLine, 0.99);
    state.counters["samples"] = static_cast<double>(nsPerLine.size());
}

void Vkr25Decimal(benchmark::State& state) {
    driverParses<CVkr25>(state, false);
}
void Vkr25Hexadecimal(benchmark::State& state) {
    driverParses<CVkr25>(state, true);
}
void Vkr25XtDecimal(benchmark::State& state) {
    driverParses<CVkr25Xt>(state, false);
}
void Vkr25XtHexadecimal(benchmark::State& state) {
    driverParses<CVkr25Xt>(state, true);
}
BENCHMARK(Vkr25Decimal)->Arg(64)->Arg(1460)->Unit(benchmark::kMillisecond);
BENCHMARK(Vkr25Hexadecimal)->Arg(64)->Arg(1460)->Unit(benchmark::kMillisecond);
BENCHMARK(Vkr25XtDecimal)->Arg(64)->Arg(1460)->Unit(benchmark::kMillisecond);
BENCHMARK(Vkr25XtHexadecimal)->Arg(64)->Arg(1460)->Unit(benchmark::kMillisecond);

// The number reader against its floor: the same texts, each batch timed on its own,
// the two batches of a sample in random order.
void NumberReader(benchmark::State& state) {
    constexpr std::size_t kTexts = 4096;
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < kTexts; ++i)
        texts.push_back(SensorSim::formatDecimalDistance(distanceAt(i)));

    const auto library = [&] {
        double sum = 0;
        for (const std::string& text : texts)
            sum += NorvEngineering::Util::String::readNumber<double>(text);
        return sum;
    };
    const auto floor = [&] {
        double sum = 0;
        for (const std::string& text : texts) {
            double value = 0;
            std::from_chars(text.data(), text.data() + text.size(), value);
            sum += value;
        }
        return sum;
    };
    std::vector<double> libraryNs;
    std::vector<double> floorNs;
    std::uint64_t libraryAllocations = 0;
    const auto timed = [&](const auto& batch, std::vector<double>& nsPerNumber) {
        const std::uint64_t allocationsBefore = g_allocations.load();
        const auto start = Bench::Clock::now();
        benchmark::DoNotOptimize(batch());
        const auto span = Bench::Clock::now() - start;
        if (&nsPerNumber == &libraryNs)
            libraryAllocations += g_allocations.load() - allocationsBefore;
        nsPerNumber.push_back(std::chrono::duration<double, std::nano>(span).count() / kTexts);
    };

    if (library() != floor())
        state.SkipWithError("the reader and from_chars disagree");
    std::mt19937 random(7);
    for (int i = 0; i < 50; ++i) // warm-up
        benchmark::DoNotOptimize(library() + floor());
    for (auto _ : state) {
        const bool floorFirst = (random() & 1U) != 0;
        if (floorFirst)
            timed(floor, floorNs);
        timed(library, libraryNs);
        if (!floorFirst)
            timed(floor, floorNs);
    }
    const auto numbers = static_cast<double>(libraryNs.size() * kTexts);
    state.counters["reader_median_ns"] = percentile(libraryNs, 0.5);
    state.counters["reader_p99_ns"] = percentile(libraryNs, 0.99);
    state.counters["from_chars_median_ns"] = percentile(floorNs, 0.5);
    state.counters["from_chars_p99_ns"] = percentile(floorNs, 0.99);
    state.counters["ratio_median"] = percentile(libraryNs, 0.5) / percentile(floorNs, 0.5);
    state.counters["reader_allocs/number"] = static_cast<double>(libraryAllocations) / numbers;
    state.counters["samples"] = static_cast<double>(libraryNs.size());
}
BENCHMARK(NumberReader)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::fprintf(stderr, "lines fed: %llu\n", static_cast<unsigned long long>(g_linesFed));
    return 0;
}
