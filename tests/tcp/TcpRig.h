#pragma once

// What the TCP transport's tests share: a rig of transport, probe sensor and sink, and
// peers that flood, end at once or write on a timer.
#include "Application.h"
#include "LoopbackPeer.h"
#include "MessageQueue.h"
#include "ReceivingSensor.h"
#include "RecordingSink.h"
#include "RunUntil.h"
#include "Stations.h"
#include "TcpInterface.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace TcpRig {

using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::ThreadMessageQueue;
using NorvEngineering::SensorLib::CSensor;
using NorvEngineering::SensorLib::CSensorInterface;
using NorvEngineering::SensorLib::CTcpInterface;
using ProbeSensor = TestSupport::ReceivingSensor;
using TestSupport::LoopbackPeer;
using TestSupport::runUntil;
using namespace std::chrono_literals;

// The transport's notifications, safe to read while a client thread delivers: a
// recording sink behind a lock that also notes whether each call came on the main
// thread.
class ProbeSink : public TestSupport::RecordingSink {
public:
    void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) override {
        locked([&] { RecordingSink::onInterfaceReady(sensor, iface); });
    }
    void onInterfaceError(CSensor* sensor, CSensorInterface* iface,
                          NorvEngineering::SensorLib::CInterfaceError& error) override {
        locked([&] { RecordingSink::onInterfaceError(sensor, iface, error); });
    }
    void onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) override {
        locked([&] { RecordingSink::onInterfaceReleased(sensor, iface); });
    }
    // What has been recorded so far.
    RecordingSink seen() const {
        std::lock_guard lock(m_mutex_);
        return *this;
    }
    std::vector<bool> onMainThread() const {
        std::lock_guard lock(m_mutex_);
        return m_onMainThread_;
    }

private:
    template <class Call>
    void locked(const Call& call) {
        std::lock_guard lock(m_mutex_);
        m_onMainThread_.push_back(NorvEngineering::Platform::isMainThread());
        call();
    }

    mutable std::mutex m_mutex_;
    std::vector<bool> m_onMainThread_;
};

// A listener on the loopback whose connection the test drives with plain system calls.
class RawListener {
public:
    RawListener() : m_fd_(TestSupport::listenOnLoopback(m_port_)) {}
    ~RawListener() { ::close(m_fd_); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    uint16_t port() const { return m_port_; }
    // The next connection (-1 when none comes within 5 s), sending a segment per write;
    // the caller closes it.
    int accept() {
        pollfd incoming{m_fd_, POLLIN, 0};
        if (::poll(&incoming, 1, 5000) != 1)
            return -1;
        const int connection = ::accept4(m_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        const int on = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return connection;
    }

private:
    uint16_t m_port_ = 0;
    const int m_fd_;
};

// Writes what an owner writes when the transport is ready (the start sequence's escapes
// and its first command), straight from the notification.
struct StartWritingSink : ProbeSink {
    void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) override {
        ProbeSink::onInterfaceReady(sensor, iface);
        for (const char* command : {"\x1b", "\x1b", "ID", "\r"})
            iface->write(command, static_cast<int>(std::strlen(command)));
    }
};

// A transport with a probe sensor and sink; the transport goes first, as a sensor
// component deletes it.
template <class Sensor = ProbeSensor, class Sink = ProbeSink>
struct BasicRig {
    Sink sink;
    Sensor sensor{&sink};
    TestSupport::TcpLine line;

    explicit BasicRig(uint16_t port, bool sync = true, const std::string& address = "127.0.0.1")
        : line(port, sync, address) {}
    CTcpInterface& transport() { return *line.transport; }
    void open() { sensor.setInterface(line.transport.get()); }
    // Opens to a raw listener and waits for the ready notification: the listener's end
    // of the connection, which the caller closes, or -1.
    int connectTo(RawListener& listener) {
        open();
        const int peer = listener.accept();
        if (peer >= 0 && !runUntil([&] { return sink.seen().ready == 1; })) {
            ::close(peer);
            return -1;
        }
        return peer;
    }
    // Opens to the peer and waits for the ready notification.
    bool connectTo(LoopbackPeer& peer) {
        open();
        return peer.accept() && runUntil([&] { return sink.seen().ready == 1; });
    }
};
using Rig = BasicRig<>;

// Accepts connections one after the other and sends to each as fast as it can until
// the client goes away.
class FloodServer {
public:
    FloodServer() : m_thread_([this] { run(); }) {}
    ~FloodServer() {
        m_stop_ = true;
        m_peer_.refuseConnections();
        m_thread_.join();
    }
    uint16_t port() const { return m_peer_.port(); }

private:
    void run() {
        const std::string chunk(1400, 'd');
        while (!m_stop_ && m_peer_.accept(1h)) {
            // A client that neither reads nor closes (one waiting for the main thread
            // while the test waits for the next) is given up.
            m_peer_.limitSendTime(200ms);
            try {
                while (!m_stop_)
                    m_peer_.send(chunk);
            } catch (const std::runtime_error&) { // the client went away or stalled
            }
            m_peer_.close();
        }
    }

    LoopbackPeer m_peer_;
    std::atomic<bool> m_stop_{false};
    std::thread m_thread_;
};

inline void expectAllThreadsEnd() {
    EXPECT_TRUE(CTcpInterface::waitForClientThreads(10s));
}

// Accepts connections one after the other and ends each at once, as a TCP-serial
// converter that refuses a second client does: with a reset, or with an orderly close
// after the first byte has come.
class EndingServer {
public:
    enum class Ending { reset, closeAfterFirstByte };
    explicit EndingServer(Ending ending) : m_ending_(ending), m_thread_([this] { run(); }) {}
    ~EndingServer() {
        m_peer_.refuseConnections();
        m_thread_.join();
    }
    uint16_t port() const { return m_peer_.port(); }

private:
    void run() {
        while (m_peer_.accept(1h)) {
            if (m_ending_ == Ending::reset) {
                m_peer_.reset();
            } else {
                m_peer_.receive(1);
                m_peer_.close();
            }
        }
    }

    const Ending m_ending_;
    LoopbackPeer m_peer_;
    std::thread m_thread_;
};

// A timer on the main thread that writes a command to a transport every 100 us, as an
// owner's own timer does.
class WritingTimer {
public:
    WritingTimer() : m_timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
        const itimerspec every{{0, 100000}, {0, 100000}};
        ::timerfd_settime(m_timer_, 0, &every, nullptr);
        m_watch_ = ThreadMessageQueue::current().watch(m_timer_, EPOLLIN, [this](uint32_t) {
            uint64_t expired = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_timer_, &expired, sizeof expired);
            if (target != nullptr)
                target->write("DT\r", 3);
        });
    }
    ~WritingTimer() {
        ThreadMessageQueue::current().unwatch(m_watch_);
        ::close(m_timer_);
    }
    CTcpInterface* target = nullptr;

private:
    int m_timer_;
    ThreadMessageQueue::WatchId m_watch_ = 0;
};

// Ends the test program (SIGALRM) when a test has not finished in time: a write that
// never returns keeps the main thread from any deadline of its own.
struct ProgramDeadline {
    explicit ProgramDeadline(unsigned int seconds) { ::alarm(seconds); }
    ~ProgramDeadline() { ::alarm(0); }
};

// Waits, without processing it, until something is due on the main thread (received
// data waiting for it among others): what another event loop sees on the
// application's event descriptor.
inline bool waitForDueWork(std::chrono::milliseconds timeout = 5s) {
    pollfd due{Application().EventDescriptor(), POLLIN, 0};
    return ::poll(&due, 1, static_cast<int>(timeout.count())) == 1 && (due.revents & POLLIN) != 0;
}

// Bytes whose order shows: any loss, repeat or swap of a piece changes the text.
inline std::string patterned(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return data;
}

} // namespace TcpRig
