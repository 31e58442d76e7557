// scale_peer: the sensors of the scale and idle benchmarks, in a process of their own
// so that their cost never counts as the library's. It listens on one port of
// 127.0.0.1 and gives every connection a simulated Vkr25 of its own; a sensor in a
// timed measuring mode sends a line every 1/rate seconds, paced by the peer (not by
// the simulator's own period), with phases spread at random.
//
// Every measurement line carries the time it was written: the distance in
// millimetres is the monotonic clock in 100 us units modulo 1,000,000 (100 s), so
// the receiving process can work out each line's latency on the same clock.
//
// With --pty it also serves one simulated Vkr25 on a pseudo-terminal, measuring at
// the same rate in DX by the simulator's own pacing, its distance counting up a
// millimetre a line (no time stamps there).
//
// Talks on standard input and output, one line each:
//   out: "PORT <n>" (and "PTY <path>" with --pty), then "READY"
//   in:  "stop" -> stops every sensor's measuring, answers "SENT <lines sent>"
//        "quit" or end of input -> exits
#include "PtySensorServer.h"
#include "SensorSimulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_ticking{true};
std::atomic<uint64_t> g_linesSent{0};

constexpr long kStampModulus = 1000000;

// The send time in 100 us units modulo 100 s: the distance in millimetres, as
// described above.
long timeStampUnits() {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
    return static_cast<long>(micros / 100 % kStampModulus);
}

struct Connection {
    int fd = -1;
    SensorSim::CSensorSimulator sim;
    std::string out;
    long lastStamp = -1;
    bool scheduled = false;
    bool wantWrite = false;
};

// One thread, its epoll set, its connections and their due times.
class Worker {
public:
    explicit Worker(Clock::duration period) : m_period_(period), m_random_(std::random_device{}()) {
        m_epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        m_wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        add(m_wake_, EPOLLIN);
        add(m_timer_, EPOLLIN);
        m_thread_ = std::thread([this] { run(); });
    }
    ~Worker() {
        m_stop_ = true;
        wake();
        m_thread_.join();
        for (auto& [fd, connection] : m_connections_)
            ::close(fd);
        ::close(m_epoll_);
        ::close(m_wake_);
        ::close(m_timer_);
    }
    void adopt(int fd) {
        {
            std::lock_guard lock(m_mutex_);
            m_incoming_.push_back(fd);
        }
        wake();
    }
    // Returns once the thread has finished the round it was in: with ticking off, no
    // line is sent after this.
    void settle() {
        std::unique_lock lock(m_mutex_);
        m_settleAsked_ = true;
        m_settled_ = false;
        wake();
        m_changed_.wait(lock, [this] { return m_settled_; });
    }
    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(m_wake_, &one, sizeof one);
    }

private:
    void add(int fd, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        ::epoll_ctl(m_epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    void run() {
        epoll_event events[256];
        while (!m_stop_) {
            const int count = ::epoll_wait(m_epoll_, events, 256, -1);
            for (int i = 0; i < count; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_wake_) {
                    uint64_t value = 0;
                    [[maybe_unused]] const ssize_t got = ::read(m_wake_, &value, sizeof value);
                    takeIncoming();
                } else if (fd == m_timer_) {
                    uint64_t value = 0;
                    [[maybe_unused]] const ssize_t got = ::read(m_timer_, &value, sizeof value);
                } else {
                    service(fd, events[i].events);
                }
            }
            tickDue();
            std::lock_guard lock(m_mutex_);
            if (m_settleAsked_) {
                m_settleAsked_ = false;
                m_settled_ = true;
                m_changed_.notify_all();
            }
        }
    }
    void takeIncoming() {
        std::vector<int> incoming;
        {
            std::lock_guard lock(m_mutex_);
            incoming.swap(m_incoming_);
        }
        for (const int fd : incoming) {
            auto connection = std::make_unique<Connection>();
            connection->fd = fd;
            Connection* raw = connection.get();
            raw->sim.setOutputHandler([raw](std::string_view bytes) { raw->out.append(bytes); });
            // Two lines of a connection in one 100 us unit (a late tick followed by one
            // on time) would read as one line: the second is stamped a unit later.
            raw->sim.setDistanceSource([raw](uint64_t) {
                long stamp = timeStampUnits();
                if (stamp == raw->lastStamp)
                    stamp = (stamp + 1) % kStampModulus;
                raw->lastStamp = stamp;
                return static_cast<double>(stamp) / 1000.0;
            });
            m_connections_[fd] = std::move(connection);
            add(fd, EPOLLIN);
        }
    }
    void drop(int fd) {
        ::epoll_ctl(m_epoll_, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        m_connections_.erase(fd);
    }
    // False when the connection has gone.
    bool flush(Connection& connection) {
        while (!connection.out.empty()) {
            const ssize_t sent = ::send(connection.fd, connection.out.data(), connection.out.size(),
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (sent <= 0)
                return false;
            connection.out.erase(0, static_cast<std::size_t>(sent));
        }
        const bool wantWrite = !connection.out.empty();
        if (wantWrite != connection.wantWrite) {
            connection.wantWrite = wantWrite;
            epoll_event event{};
            event.events = EPOLLIN | (wantWrite ? EPOLLOUT : 0U);
            event.data.fd = connection.fd;
            ::epoll_ctl(m_epoll_, EPOLL_CTL_MOD, connection.fd, &event);
        }
        return true;
    }
    void service(int fd, uint32_t events) {
        const auto found = m_connections_.find(fd);
        if (found == m_connections_.end())
            return;
        Connection& connection = *found->second;
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                drop(fd);
                return;
            }
            if (got > 0)
                connection.sim.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
        }
        if (!flush(connection)) {
            drop(fd);
            return;
        }
        if (connection.sim.isMeasuring() && connection.sim.getMeasurementPeriod().count() > 0 &&
            !connection.scheduled) {
            connection.scheduled = true;
            std::uniform_int_distribution<Clock::rep> phase(0, m_period_.count());
            m_due_.push({Clock::now() + Clock::duration(phase(m_random_)), fd});
        }
    }
    void tickDue() {
        const auto now = Clock::now();
        while (!m_due_.empty() && m_due_.top().first <= now) {
            auto [due, fd] = m_due_.top();
            m_due_.pop();
            const auto found = m_connections_.find(fd);
            if (found == m_connections_.end())
                continue;
            Connection& connection = *found->second;
            if (!g_ticking || !connection.sim.isMeasuring() ||
                connection.sim.getMeasurementPeriod().count() == 0) {
                connection.scheduled = false;
                continue;
            }
            if (connection.sim.tick())
                g_linesSent.fetch_add(1, std::memory_order_relaxed);
            if (!flush(connection)) {
                drop(fd);
                continue;
            }
            due += m_period_;
            if (due < now)
                due = now + m_period_; // behind: no burst to catch up
            m_due_.push({due, fd});
        }
        itimerspec next{};
        if (!m_due_.empty()) {
            const auto at =
                std::chrono::duration_cast<std::chrono::nanoseconds>(m_due_.top().first.time_since_epoch());
            next.it_value.tv_sec = static_cast<time_t>(at.count() / 1000000000);
            next.it_value.tv_nsec = static_cast<long>(at.count() % 1000000000);
            if (next.it_value.tv_sec == 0 && next.it_value.tv_nsec == 0)
                next.it_value.tv_nsec = 1;
        }
        ::timerfd_settime(m_timer_, TFD_TIMER_ABSTIME, &next, nullptr);
    }

    Clock::duration m_period_;
    std::mt19937_64 m_random_;
    int m_epoll_ = -1;
    int m_wake_ = -1;
    int m_timer_ = -1;
    std::atomic<bool> m_stop_{false};
    std::mutex m_mutex_;
    std::condition_variable m_changed_;
    bool m_settleAsked_ = false;
    bool m_settled_ = false;
    std::vector<int> m_incoming_;
    std::map<int, std::unique_ptr<Connection>> m_connections_;
    using Due = std::pair<Clock::time_point, int>;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> m_due_;
    std::thread m_thread_;
};

int listenOnLoopback(uint16_t& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4096) != 0)
        return -1;
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

} // namespace

int main(int argc, char** argv) {
    double rate = 50.0;
    std::size_t threads = 4;
    bool pty = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--rate" && i + 1 < argc)
            rate = std::atof(argv[++i]);
        else if (argument == "--threads" && i + 1 < argc)
            threads = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
        else if (argument == "--pty")
            pty = true;
        else {
            std::cerr << "usage: scale_peer [--rate LINES_PER_SECOND] [--threads N] [--pty]\n";
            return 2;
        }
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    uint16_t port = 0;
    const int listener = listenOnLoopback(port);
    if (listener < 0) {
        std::perror("scale_peer: listen");
        return 1;
    }
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    std::vector<std::unique_ptr<Worker>> workers;
    for (std::size_t i = 0; i < threads; ++i)
        workers.push_back(std::make_unique<Worker>(period));
    std::optional<SensorSim::CPtySensorServer> ptyServer;
    std::cout << "PORT " << port << '\n';
    if (pty) {
        ptyServer.emplace();
        ptyServer->withSimulator([&](SensorSim::CSensorSimulator& sim) {
            sim.setDistanceSource(
                [](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index % 900000); });
            sim.setMeasurementPeriod(SensorSim::CSensorSimulator::ERunMode::DX,
                                     std::chrono::duration_cast<std::chrono::microseconds>(period));
        });
        ptyServer->start();
        std::cout << "PTY " << ptyServer->getDevicePath() << '\n';
    }
    std::cout << "READY" << std::endl;

    std::size_t next = 0;
    std::string command;
    for (;;) {
        pollfd watched[2] = {{listener, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR)
            break;
        if ((watched[0].revents & POLLIN) != 0) {
            for (int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); fd >= 0;
                 fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) {
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                workers[next++ % workers.size()]->adopt(fd);
            }
        }
        if ((watched[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[256];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0)
                break;
            command.append(buffer, static_cast<std::size_t>(got));
            bool quit = false;
            for (auto end = command.find('\n'); end != std::string::npos; end = command.find('\n')) {
                const std::string line = command.substr(0, end);
                command.erase(0, end + 1);
                if (line == "stop") {
                    g_ticking = false;
                    for (auto& worker : workers)
                        worker->settle();
                    std::cout << "SENT " << g_linesSent.load() << std::endl;
                } else if (line == "quit") {
                    quit = true;
                }
            }
            if (quit)
                break;
        }
    }
    workers.clear();
    if (ptyServer)
        ptyServer->stop();
    ::close(listener);
    return 0;
}
