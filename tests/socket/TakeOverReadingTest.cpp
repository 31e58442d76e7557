// Another thread taking a connection's reading over from the socket's own thread, and
// what a closed socket leaves behind for the next one with the same descriptor number.
#include "Application.h"
#include "LoopbackPeer.h"
#include "MessageQueue.h"
#include "RunUntil.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

using namespace NorvEngineering::Sockets;
using NorvEngineering::Platform::ThreadMessageQueue;
using TestSupport::LoopbackPeer;
using TestSupport::pumpFor;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

// A socket connecting to a port from a thread of its own, which reads whatever its
// data events bring.
class ThreadOwnedSocket {
public:
    explicit ThreadOwnedSocket(uint16_t port) : m_thread_([this, port] { run(port); }) {
        std::unique_lock lock(m_mutex_);
        m_changed_.wait(lock, [&] { return m_socket_ != nullptr; });
    }
    ~ThreadOwnedSocket() {
        NorvEngineering::Platform::postThreadMessage(m_ownerId_, NorvEngineering::Platform::WM_QUIT);
        m_thread_.join();
    }
    TWSocket& socket() { return *m_socket_; }
    bool waitUntil(const std::function<bool(const std::string& received, TSocketState state)>& condition,
                   std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(m_mutex_);
        return m_changed_.wait_for(lock, timeout,
                                   [&] { return condition(m_received_, m_socket_->GetState()); });
    }
    bool waitForConnected() {
        return waitUntil([](const std::string&, TSocketState state) { return state == wsConnected; });
    }
    std::string received() {
        std::lock_guard lock(m_mutex_);
        return m_received_;
    }

private:
    void run(uint16_t port) {
        TWSocket socket(nullptr);
        socket.SetMultiThreaded(true);
        const auto changed = [this](const std::function<void()>& change) {
            {
                std::lock_guard lock(m_mutex_);
                change();
            }
            m_changed_.notify_all();
        };
        socket.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
            char buffer[4096];
            const int got = sender->Receive(buffer, sizeof buffer);
            if (got > 0)
                changed([&] { m_received_.append(buffer, static_cast<std::size_t>(got)); });
        };
        socket.OnChangeState = [&](TCustomWSocket*, TSocketState, TSocketState) { changed([] {}); };
        socket.SetAddr("127.0.0.1");
        socket.SetPort(std::to_string(port));
        socket.Connect();
        m_ownerId_ = NorvEngineering::Platform::currentThreadId();
        changed([&] { m_socket_ = &socket; });
        socket.MessageLoop();
        socket.Close();
    }

    std::mutex m_mutex_;
    std::condition_variable m_changed_;
    std::string m_received_;
    TWSocket* m_socket_ = nullptr;
    NorvEngineering::Platform::ThreadId m_ownerId_ = 0;
    std::thread m_thread_;
};

// Waits until the descriptor has something to read.
bool readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, 5000) == 1;
}

TEST(TakeOverReading, OnlyAConnectedSocketsReadingIsTakenAndAWatchThatFailsLeavesItWithItsThread) {
    TTakenOverRead reader;
    const auto noop = [](uint32_t) {};
    {
        SCOPED_TRACE("a connect still under way: the listener's queue is full");
        uint16_t port = 0;
        const int listener = TestSupport::listenOnLoopback(port, 0);
        const int waiting[] = {TestSupport::connectToLoopback(port, false),
                               TestSupport::connectToLoopback(port, false)};
        ThreadOwnedSocket owned(port);
        EXPECT_NE(owned.socket().GetState(), wsConnected);
        EXPECT_FALSE(owned.socket().TakeOverReading(reader, noop));
        for (const int fd : {listener, waiting[0], waiting[1]})
            ::close(fd);
    }
    LoopbackPeer peer;
    ThreadOwnedSocket owned(peer.port());
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(owned.waitForConnected());
    {
        SCOPED_TRACE("a watch that cannot be made (this thread watches the descriptor already)");
        auto& queue = ThreadMessageQueue::current();
        const auto own = queue.watch(owned.socket().HSocket(), EPOLLIN, noop);
        EXPECT_FALSE(owned.socket().TakeOverReading(reader, noop));
        queue.unwatch(own);
        peer.send("abc");
        EXPECT_TRUE(owned.waitUntil([](const std::string& received, TSocketState) {
            return received == "abc";
        })) << "the socket's own thread no longer reads";
    }
    {
        SCOPED_TRACE("taken once, not twice; handed back, the socket's thread reads again");
        ASSERT_TRUE(owned.socket().TakeOverReading(reader, noop));
        EXPECT_FALSE(owned.socket().TakeOverReading(reader, noop));
        owned.socket().ResumeReadEvents();
        peer.send("def");
        EXPECT_TRUE(
            owned.waitUntil([](const std::string& received, TSocketState) { return received == "abcdef"; }));
    }
    {
        SCOPED_TRACE("the peer has gone");
        peer.close();
        ASSERT_TRUE(
            owned.waitUntil([](const std::string&, TSocketState state) { return state == wsClosed; }));
        EXPECT_FALSE(owned.socket().TakeOverReading(reader, noop));
    }
}

TEST(TakeOverReading, ReadCountCountsEveryByteTheTakingThreadReadsAlsoAfterItLetsGo) {
    LoopbackPeer peer;
    ThreadOwnedSocket owned(peer.port());
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(owned.waitForConnected());
    TTakenOverRead reader;
    ASSERT_TRUE(owned.socket().TakeOverReading(reader, [](uint32_t) {}));
    char byte = 0;
    for (int i = 1; i <= 5; ++i) {
        peer.send("x");
        ASSERT_TRUE(readable(owned.socket().HSocket()));
        ASSERT_EQ(TWSocket::ReceiveTakenOver(reader, &byte, 1), 1);
        EXPECT_EQ(owned.socket().ReadCount(), i);
    }
    peer.send("yyyy");
    ASSERT_TRUE(readable(owned.socket().HSocket()));
    char bytes[16];
    ASSERT_EQ(TWSocket::ReceiveTakenOver(reader, bytes, sizeof bytes), 4);
    EXPECT_EQ(owned.socket().ReadCount(), 9);
    owned.socket().DropTakenOverReading();
    EXPECT_EQ(owned.socket().ReadCount(), 9);
    EXPECT_EQ(TWSocket::ReceiveTakenOver(reader, bytes, sizeof bytes), -1);
}

TEST(TakeOverReading, TheSocketsOwnThreadCannotTakeItsReadingOver) {
    // It reads through its data events already: a watch of its own beside them would
    // report every arrival twice. Paused, the socket has no watch of its own for a
    // while, so nothing else would stop the owner there.
    LoopbackPeer peer;
    TWSocket socket(nullptr);
    std::string received;
    socket.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) { received += sender->ReceiveStr(); };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(peer.port()));
    socket.Connect();
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(runUntil([&] { return socket.GetState() == wsConnected; }));
    TTakenOverRead reader;
    int arrivals = 0;
    const auto arrived = [&](uint32_t) { ++arrivals; };
    for (const bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused" : "reading");
        if (paused)
            socket.Pause();
        EXPECT_FALSE(socket.TakeOverReading(reader, arrived));
        const std::string more = paused ? "def" : "abc";
        peer.send(more);
        if (paused) {
            pumpFor(30ms);
            EXPECT_NO_THROW(socket.Resume());
        }
        EXPECT_TRUE(runUntil([&] { return received.size() >= 3 * (paused ? 2u : 1u); }));
    }
    pumpFor(30ms);
    EXPECT_EQ(received, "abcdef");
    EXPECT_EQ(arrivals, 0);
    char byte = 0;
    EXPECT_EQ(TWSocket::ReceiveTakenOver(reader, &byte, 1), -1);
}

TEST(TakeOverReading, AClosedSocketsTakenOverReadingEndsWithItsDescriptor) {
    LoopbackPeer peer;
    ThreadOwnedSocket owned(peer.port());
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(owned.waitForConnected());
    const TSocket oldNumber = owned.socket().HSocket();
    TTakenOverRead reader;
    ASSERT_TRUE(owned.socket().TakeOverReading(reader, [](uint32_t) {}));
    peer.close();
    ASSERT_TRUE(owned.waitUntil([](const std::string&, TSocketState state) { return state == wsClosed; }));

    // The next descriptor most likely gets the number again, for another connection
    // whose data the old reader must never see.
    int pair[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    struct Closed {
        int* fds;
        ~Closed() {
            ::close(fds[0]);
            ::close(fds[1]);
        }
    } closed{pair};
    if (pair[0] != oldNumber && pair[1] != oldNumber)
        GTEST_SKIP() << "the new descriptors did not get the old number";
    ASSERT_EQ(::send(pair[0], "xy", 2, 0), 2);
    ASSERT_EQ(::send(pair[1], "xy", 2, 0), 2);
    char bytes[4];
    EXPECT_EQ(TWSocket::ReceiveTakenOver(reader, bytes, sizeof bytes), -1);
    EXPECT_EQ(owned.socket().ReadCount(), 0);
}

// A send in another thread that meets the reset hands the failure to the socket's own
// thread, which has the reset's events queued too, and which closes the socket and
// connects again before it gets to them:
// the new connection most likely has the old descriptor number, and nothing of the old
// one (its failure, its close, its data events) may act on it.
TEST(TakeOverReading, WhatAClosedSocketLeftBehindNeverActsOnTheNextWithTheSameNumber) {
    LoopbackPeer first;
    LoopbackPeer second;
    TWSocket socket(nullptr);
    int closed = 0;
    socket.OnSessionClosed = [&](TCustomWSocket*, uint16_t) { ++closed; };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(first.port()));
    socket.Connect();
    ASSERT_TRUE(first.accept());
    ASSERT_TRUE(runUntil([&] { return socket.GetState() == wsConnected; }));
    const TSocket oldNumber = socket.HSocket();
    first.send("old");
    first.reset();
    pollfd watched{oldNumber, 0, 0};
    ASSERT_EQ(::poll(&watched, 1, 5000), 1);
    // The socket's events are collected into this thread's queue, not handled.
    NorvEngineering::Platform::TMessage waiting;
    ASSERT_TRUE(NorvEngineering::Platform::peekMessage(waiting, false));
    std::async(std::launch::async, [&] {
        try {
            socket.Send("DT\r", 3);
        } catch (const ESocketException&) {
        }
    }).wait();

    socket.Close();
    ASSERT_EQ(closed, 1);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(second.port()));
    socket.Connect();
    ASSERT_TRUE(second.accept());
    if (socket.HSocket() != oldNumber)
        GTEST_SKIP() << "the new connection did not get the old number";
    std::string received;
    socket.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) { received += sender->ReceiveStr(); };
    ASSERT_TRUE(runUntil([&] { return socket.GetState() == wsConnected; }));
    second.send("new");
    ASSERT_TRUE(runUntil([&] { return received == "new"; }));
    pumpFor(30ms);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(socket.GetState(), wsConnected);
    socket.Send("ok", 2);
    EXPECT_EQ(second.receive(2), "ok");
}

} // namespace
