// What line mode costs: one loopback connection flooded by a peer thread with blocks
// of 16384 lines of 64 bytes (1 MiB). Each sample times one block, from the request to
// the peer until its last line has been read, either through the socket's line mode
// (OnDataAvailable once per line, the line read with Receive) or by a bare
// poll()+recv() loop that cuts lines with memchr on the same connection (the socket
// paused meanwhile). The two alternate, after a warm-up; lines and bytes per second
// are given for the median sample, with the 99th percentile of the block time.
#include "BenchCounters.h"

#include "Application.h"
#include "WSocket.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Bench::Clock;
using NorvEngineering::Platform::Application;
using namespace NorvEngineering::Sockets;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kLineSize = 64;
constexpr std::size_t kLinesPerBlock = 16384;
constexpr int kWarmUp = 10;
constexpr int kSamples = 200;

// The peer: sends one block for every byte written to its command pipe, ends on 'q'.
class FloodingPeer {
public:
    FloodingPeer() {
        m_listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listen_, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_listen_, reinterpret_cast<sockaddr*>(&address), &length);
        m_port_ = ntohs(address.sin_port);
        if (::pipe(m_command_) != 0)
            throw std::runtime_error("pipe");
        for (std::size_t i = 0; i < kLinesPerBlock; ++i) {
            std::string line = std::to_string(i);
            line.insert(0, kLineSize - 2 - line.size(), '0');
            m_block_ += line + "\r\n";
        }
        m_thread_ = std::thread([this] { run(); });
    }
    ~FloodingPeer() {
        request('q');
        m_thread_.join();
        ::close(m_command_[0]);
        ::close(m_command_[1]);
        ::close(m_listen_);
    }
    uint16_t port() const { return m_port_; }
    void request(char command) {
        if (::write(m_command_[1], &command, 1) != 1)
            throw std::runtime_error("command");
    }

private:
    void run() {
        const int conn = ::accept4(m_listen_, nullptr, nullptr, SOCK_CLOEXEC);
        char command = 0;
        while (::read(m_command_[0], &command, 1) == 1 && command != 'q') {
            std::size_t done = 0;
            while (done < m_block_.size()) {
                const ssize_t n = ::send(conn, m_block_.data() + done, m_block_.size() - done, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += static_cast<std::size_t>(n);
            }
        }
        ::close(conn);
    }

    int m_listen_ = -1;
    int m_command_[2] = {-1, -1};
    uint16_t m_port_ = 0;
    std::string m_block_;
    std::thread m_thread_;
};

// The floor: poll()+recv() into a large buffer, lines cut with memchr.
std::size_t bareBlock(int fd) {
    static char buffer[65536];
    std::size_t lines = 0;
    std::size_t carried = 0; // bytes of an unfinished line at the front
    while (lines < kLinesPerBlock) {
        pollfd ready{fd, POLLIN, 0};
        ::poll(&ready, 1, 1000);
        const ssize_t n = ::recv(fd, buffer + carried, sizeof buffer - carried, MSG_DONTWAIT);
        if (n <= 0)
            continue;
        const char* at = buffer;
        const char* const end = buffer + carried + static_cast<std::size_t>(n);
        while (const char* lf =
                   static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)))) {
            if (lf > at && lf[-1] == '\r')
                ++lines;
            at = lf + 1;
        }
        carried = static_cast<std::size_t>(end - at);
        std::memmove(buffer, at, carried);
    }
    return lines;
}

void BM_LineModeAgainstRecvMemchr(benchmark::State& state) {
    for (auto _ : state) {
        FloodingPeer peer;
        TWSocket socket(nullptr);
        std::size_t lines = 0;
        char line[256];
        socket.SetLineMode(true);
        socket.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
            if (sender->Receive(line, sizeof line) > 0)
                ++lines;
        };
        socket.SetAddr("127.0.0.1");
        socket.SetPort(std::to_string(peer.port()));
        socket.Connect();
        if (!Application().RunUntil([&] { return socket.GetState() == wsConnected; }, 5s)) {
            state.SkipWithError("no connection");
            return;
        }
        std::vector<double> library, bare;
        for (int i = 0; i < kWarmUp + kSamples; ++i) {
            lines = 0;
            const auto start = Clock::now();
            peer.request('g');
            Application().RunUntil([&] { return lines >= kLinesPerBlock; }, 20s);
            const double libraryUs = Bench::microseconds(Clock::now() - start);

            socket.Pause();
            const auto bareStart = Clock::now();
            peer.request('g');
            const std::size_t bareLines = bareBlock(socket.HSocket());
            const double bareUs = Bench::microseconds(Clock::now() - bareStart);
            socket.Resume();
            if (lines != kLinesPerBlock || bareLines != kLinesPerBlock) {
                state.SkipWithError("lines lost");
                return;
            }
            if (i >= kWarmUp) {
                library.push_back(libraryUs);
                bare.push_back(bareUs);
            }
        }
        std::sort(library.begin(), library.end());
        std::sort(bare.begin(), bare.end());
        const double bytes = static_cast<double>(kLineSize * kLinesPerBlock);
        const auto median = [](const std::vector<double>& v) { return v[v.size() / 2]; };
        const auto p99 = [](const std::vector<double>& v) { return v[v.size() * 99 / 100]; };
        state.counters["line_mode_lines_per_s"] = static_cast<double>(kLinesPerBlock) / median(library) * 1e6;
        state.counters["line_mode_MB_per_s"] = bytes / median(library);
        state.counters["line_mode_block_p99_us"] = p99(library);
        state.counters["bare_lines_per_s"] = static_cast<double>(kLinesPerBlock) / median(bare) * 1e6;
        state.counters["bare_MB_per_s"] = bytes / median(bare);
        state.counters["bare_block_p99_us"] = p99(bare);
        state.counters["time_ratio_median"] = median(library) / median(bare);
        state.counters["samples"] = kSamples;
    }
}
BENCHMARK(BM_LineModeAgainstRecvMemchr)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
