// The time from a sensor's write to the owner, for the library and for the floors
// it is held against, measured in one run on connections of the same kind:
//   lib_sync     the library, delivery synchronised to the main thread (onDataUpdate)
//   lib_direct   the library over TCP, delivery in its client thread (onDataUpdate)
//   bare_thread  a thread blocked in read(), stamping when read() returns
//   bare_epoll   the main thread in epoll_wait() on the descriptor, then read()
//   thread_hop   a thread blocked in read() that hands the chunk to the main thread
//                through a queue and an eventfd; stamped when the main thread has it
// Every variant has its own connection and its own writer, all written the same
// way: a Vkr25 measurement line made by the simulator, stamped just before write().
// One line is in flight at a time. Each round takes one sample of every variant, in
// a fresh random order, each after a random gap (0.2-1.5 ms); the first rounds warm
// up and are dropped. Knobs: SENSORLIB_BENCH_SAMPLES (per variant, default 3000),
// SENSORLIB_BENCH_WARMUP (rounds, default 300).
#include "BenchCounters.h"
#include "BenchOptions.h"
#include "BenchSink.h"
#include "LineWriter.h"
#include "Loopback.h"

#include "Application.h"
#include "ComThread.h"
#include "SensorLib.h"
#include "SensorSimulator.h"
#include "SerialInterface.h"
#include "TcpInterface.h"
#include "Vkr25.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace NorvEngineering::SensorLib;
using Bench::Clock;
using NorvEngineering::Platform::Application;
using namespace std::chrono_literals;

namespace {
using Bench::acceptWithin;
using Bench::LineWriter;
using Bench::listenOnLoopback;
using Bench::tcpPair;
using Bench::TcpPair;

constexpr auto kSampleTimeout = 1s;

// A raw pseudo-terminal: the device side (read) and the master side (written).
struct PtyPair {
    int device = -1;
    int master = -1;
    std::string path;
};

PtyPair ptyPair() {
    PtyPair pair;
    char name[256] = {};
    ::openpty(&pair.master, &pair.device, name, nullptr, nullptr);
    termios settings{};
    ::tcgetattr(pair.device, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(pair.device, TCSANOW, &settings);
    pair.path = name;
    return pair;
}

// One way of receiving, with its writer: sample() writes a line and returns the
// time from before the write to the owner having it, in microseconds.
class Variant {
public:
    explicit Variant(std::string name) : m_name_(std::move(name)) {}
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    virtual ~Variant() = default;
    const std::string& name() const { return m_name_; }
    virtual std::optional<double> sample() = 0;

private:
    std::string m_name_;
};

// What a receiving thread hands over: the count of lines seen and the last time.
class Arrivals {
public:
    void arrived(Clock::time_point at) {
        std::lock_guard lock(m_mutex_);
        m_last_ = at;
        ++m_count_;
        m_changed_.notify_all();
    }
    uint64_t count() {
        std::lock_guard lock(m_mutex_);
        return m_count_;
    }
    std::optional<Clock::time_point> waitAfter(uint64_t count) {
        std::unique_lock lock(m_mutex_);
        if (!m_changed_.wait_for(lock, kSampleTimeout, [&] { return m_count_ > count; }))
            return std::nullopt;
        return m_last_;
    }
    Clock::time_point last() {
        std::lock_guard lock(m_mutex_);
        return m_last_;
    }

private:
    std::mutex m_mutex_;
    std::condition_variable m_changed_;
    uint64_t m_count_ = 0;
    Clock::time_point m_last_;
};

double micros(Clock::time_point from, Clock::time_point to) {
    return Bench::microseconds(to - from);
}

// The owner of a laser: stamps every new distance; starts the sensor when ready.
class StampingSink : public Bench::ReadyCountingSink {
public:
    Arrivals arrivals;

    void onDataUpdate(CSensor* sensor, const std::string&) override {
        const auto now = Clock::now();
        const double distance = static_cast<CNorvLaser*>(sensor)->getDistance();
        if (distance == m_last_)
            return;
        m_last_ = distance;
        arrivals.arrived(now);
    }

private:
    double m_last_ = -1.0;
};

// The library: a Vkr25 driver on a TCP or serial transport, measuring in DX.
class LibraryVariant : public Variant {
public:
    // TCP to a writer of its own.
    LibraryVariant(std::string name, bool sync) : Variant(std::move(name)), m_sync_(sync) {
        uint16_t port = 0;
        const int listener = listenOnLoopback(port);
        m_tcpProperties_.IpAddress = "127.0.0.1";
        m_tcpProperties_.PortNumber = port;
        m_transport_ = std::make_unique<CTcpInterface>(&m_tcpProperties_, sync);
        m_driver_.setInterface(m_transport_.get());
        const int fd = acceptWithin(listener, 5s);
        ::close(listener);
        m_writer_ = std::make_unique<LineWriter>(fd, true);
        start();
    }
    // A pseudo-terminal, 8N1.
    LibraryVariant(std::string name, const PtyPair& pty) : Variant(std::move(name)), m_sync_(true) {
        m_serialProperties_.DeviceName = pty.path;
        m_serialProperties_.BaudRate = br115200;
        m_serialProperties_.DataBits = db8;
        m_serialProperties_.Parity = paNone;
        m_serialProperties_.StopBits = sb1;
        m_transport_ = std::make_unique<CSerialInterface>(&m_serialProperties_, true);
        m_writer_ = std::make_unique<LineWriter>(pty.master, true);
        m_device_ = pty.device;
        m_driver_.setInterface(m_transport_.get());
        start();
    }
    ~LibraryVariant() override {
        m_transport_.reset();
        m_writer_.reset();
        if (m_device_ >= 0)
            ::close(m_device_);
    }
    bool ready() const { return m_ready_; }

    std::optional<double> sample() override {
        const uint64_t before = m_sink_.arrivals.count();
        const auto sent = m_writer_->writeLine();
        std::optional<Clock::time_point> arrived;
        if (m_sync_) {
            if (Application().RunUntil([&] { return m_sink_.arrivals.count() > before; }, kSampleTimeout))
                arrived = m_sink_.arrivals.last();
        } else {
            arrived = m_sink_.arrivals.waitAfter(before);
        }
        if (!arrived)
            return std::nullopt;
        return micros(sent, *arrived);
    }

private:
    // Ready, then measuring: the writer's sensor has taken DX.
    void start() {
        m_ready_ = Application().RunUntil([&] { return m_sink_.sensorReady.load(); }, 10s) &&
                   m_sink_.interfaceErrors == 0;
        if (!m_ready_)
            return;
        m_driver_.setMode(CVkr25::lmDX);
        m_ready_ = Application().RunUntil([&] { return m_writer_->measuring(); }, 5s);
        // Let the answer to DX (if any) pass before the first sample.
        Application().RunUntil([] { return false; }, 100ms);
    }

    bool m_sync_;
    StampingSink m_sink_;
    CVkr25 m_driver_{&m_sink_};
    CTcpInterface::TTcpProperties m_tcpProperties_{nullptr};
    CSerialInterface::TSerialProperties m_serialProperties_{nullptr};
    std::unique_ptr<CCustomInterface> m_transport_;
    std::unique_ptr<LineWriter> m_writer_;
    int m_device_ = -1;
    bool m_ready_ = false;
};

// Whether a chunk holds the end of a line.
bool endsALine(const char* data, std::size_t size) {
    return std::memchr(data, '\n', size) != nullptr;
}

// The floors. Each reads from `reader`, which its writer feeds.
class FloorVariant : public Variant {
public:
    FloorVariant(std::string name, int reader, int writer, bool isSocket)
        : Variant(std::move(name)), m_reader_(reader), m_isSocket_(isSocket) {
        m_writer_ = std::make_unique<LineWriter>(writer, false);
    }
    ~FloorVariant() override {
        stopReader();
        ::close(m_reader_);
    }

protected:
    // Ends the writer and with it a reader thread: a socket's reader is woken by the
    // shutdown, a pty's by the master closing. Derived classes whose members the
    // reader uses call it first in their destructors.
    void stopReader() {
        if (m_writer_ && m_isSocket_)
            m_writer_->hangUp();
        m_writer_.reset();
        if (m_thread_.joinable())
            m_thread_.join();
    }
    LineWriter& writer() { return *m_writer_; }
    int reader() const { return m_reader_; }
    // A thread that blocks in read() and hands each chunk to `chunk`.
    template <class Handle>
    void startReader(Handle chunk) {
        m_thread_ = std::thread([this, chunk] {
            char buffer[4096];
            for (;;) {
                const ssize_t got = ::read(m_reader_, buffer, sizeof buffer);
                if (got <= 0)
                    return;
                chunk(buffer, static_cast<std::size_t>(got));
            }
        });
    }

private:
    int m_reader_;
    bool m_isSocket_;
    std::unique_ptr<LineWriter> m_writer_;
    std::thread m_thread_;
};

class BareThread : public FloorVariant {
public:
    BareThread(std::string name, int reader, int writer, bool isSocket)
        : FloorVariant(std::move(name), reader, writer, isSocket) {
        startReader([this](const char* data, std::size_t size) {
            const auto now = Clock::now();
            if (endsALine(data, size))
                m_arrivals_.arrived(now);
        });
    }
    ~BareThread() override { stopReader(); }
    std::optional<double> sample() override {
        const uint64_t before = m_arrivals_.count();
        const auto sent = writer().writeLine();
        const auto arrived = m_arrivals_.waitAfter(before);
        if (!arrived)
            return std::nullopt;
        return micros(sent, *arrived);
    }

private:
    Arrivals m_arrivals_;
};

class BareEpoll : public FloorVariant {
public:
    BareEpoll(std::string name, int reader, int writer, bool isSocket)
        : FloorVariant(std::move(name), reader, writer, isSocket) {
        ::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) | O_NONBLOCK);
        m_epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = reader;
        ::epoll_ctl(m_epoll_, EPOLL_CTL_ADD, reader, &event);
    }
    ~BareEpoll() override { ::close(m_epoll_); }
    std::optional<double> sample() override {
        const auto sent = writer().writeLine();
        const auto deadline = sent + kSampleTimeout;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            epoll_event event{};
            if (left <= 0 || ::epoll_wait(m_epoll_, &event, 1, static_cast<int>(left)) <= 0)
                return std::nullopt;
            char buffer[4096];
            const ssize_t got = ::read(reader(), buffer, sizeof buffer);
            const auto now = Clock::now();
            if (got > 0 && endsALine(buffer, static_cast<std::size_t>(got)))
                return micros(sent, now);
        }
    }

private:
    int m_epoll_ = -1;
};

class ThreadHop : public FloorVariant {
public:
    ThreadHop(std::string name, int reader, int writer, bool isSocket)
        : FloorVariant(std::move(name), reader, writer, isSocket) {
        m_wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = m_wake_;
        ::epoll_ctl(m_epoll_, EPOLL_CTL_ADD, m_wake_, &event);
        startReader([this](const char* data, std::size_t size) {
            {
                std::lock_guard lock(m_mutex_);
                m_chunks_.emplace_back(data, size);
            }
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t put = ::write(m_wake_, &one, sizeof one);
        });
    }
    ~ThreadHop() override {
        stopReader();
        ::close(m_epoll_);
        ::close(m_wake_);
    }
    std::optional<double> sample() override {
        const auto sent = writer().writeLine();
        const auto deadline = sent + kSampleTimeout;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            epoll_event event{};
            if (left <= 0 || ::epoll_wait(m_epoll_, &event, 1, static_cast<int>(left)) <= 0)
                return std::nullopt;
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wake_, &count, sizeof count);
            std::deque<std::string> chunks;
            {
                std::lock_guard lock(m_mutex_);
                chunks.swap(m_chunks_);
            }
            const auto now = Clock::now();
            for (const auto& chunk : chunks)
                if (endsALine(chunk.data(), chunk.size()))
                    return micros(sent, now);
        }
    }

private:
    int m_wake_ = -1;
    int m_epoll_ = -1;
    std::mutex m_mutex_;
    std::deque<std::string> m_chunks_;
};

// Runs the interleaved rounds and reports each variant's quantiles.
void measure(benchmark::State& state, std::vector<std::unique_ptr<Variant>>& variants) {
    const auto samples = static_cast<std::size_t>(Bench::option("SAMPLES", 3000, 500));
    const auto warmUp = static_cast<std::size_t>(Bench::option("WARMUP", 300, 100));
    std::mt19937_64 random(std::random_device{}());
    std::uniform_int_distribution<int> gapMicros(200, 1500);
    std::vector<std::vector<double>> taken(variants.size());
    std::vector<std::size_t> timeouts(variants.size(), 0);
    std::vector<std::size_t> order(variants.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    for (std::size_t round = 0; round < warmUp + samples; ++round) {
        std::shuffle(order.begin(), order.end(), random);
        for (const std::size_t index : order) {
            std::this_thread::sleep_for(std::chrono::microseconds(gapMicros(random)));
            const auto latency = variants[index]->sample();
            if (round < warmUp)
                continue;
            if (latency)
                taken[index].push_back(*latency);
            else
                ++timeouts[index];
        }
    }
    for (std::size_t i = 0; i < variants.size(); ++i) {
        auto& values = taken[i];
        std::sort(values.begin(), values.end());
        const std::string& name = variants[i]->name();
        state.counters[name + ".median_us"] = Bench::quantile(values, 0.5);
        state.counters[name + ".p99_us"] = Bench::quantile(values, 0.99);
        state.counters[name + ".p999_us"] = Bench::quantile(values, 0.999);
        state.counters[name + ".samples"] = static_cast<double>(values.size());
        state.counters[name + ".timeouts"] = static_cast<double>(timeouts[i]);
    }
}

// The three floors, each on a line of its own: `line` makes one and gives its reading
// and its writing end.
template <class MakeLine>
void addFloors(std::vector<std::unique_ptr<Variant>>& variants, MakeLine line, bool socket) {
    const auto [threadReads, threadWrites] = line();
    variants.push_back(std::make_unique<BareThread>("bare_thread", threadReads, threadWrites, socket));
    const auto [epollReads, epollWrites] = line();
    variants.push_back(std::make_unique<BareEpoll>("bare_epoll", epollReads, epollWrites, socket));
    const auto [hopReads, hopWrites] = line();
    variants.push_back(std::make_unique<ThreadHop>("thread_hop", hopReads, hopWrites, socket));
}

void BM_LatencyTcp(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::unique_ptr<Variant>> variants;
        auto sync = std::make_unique<LibraryVariant>("lib_sync", true);
        auto direct = std::make_unique<LibraryVariant>("lib_direct", false);
        if (!sync->ready() || !direct->ready()) {
            state.SkipWithError("the library's sensor did not get ready");
            return;
        }
        variants.push_back(std::move(sync));
        variants.push_back(std::move(direct));
        addFloors(
            variants,
            [] {
                const TcpPair pair = tcpPair();
                return std::pair(pair.reader, pair.writer);
            },
            true);
        measure(state, variants);
        variants.clear();
        CTcpInterface::waitForClientThreads(10s);
    }
}

void BM_LatencyPty(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::unique_ptr<Variant>> variants;
        auto sync = std::make_unique<LibraryVariant>("lib_sync", ptyPair());
        if (!sync->ready()) {
            state.SkipWithError("the library's sensor did not get ready");
            return;
        }
        variants.push_back(std::move(sync));
        addFloors(
            variants,
            [] {
                const PtyPair pair = ptyPair();
                return std::pair(pair.device, pair.master);
            },
            false);
        measure(state, variants);
        variants.clear();
        NorvEngineering::Serial::TComThread::WaitForAll(5s);
    }
}

} // namespace

BENCHMARK(BM_LatencyTcp)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_LatencyPty)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
