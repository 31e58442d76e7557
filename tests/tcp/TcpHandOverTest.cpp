// Data handed between the client thread and the main thread: switching the delivery at
// any rate and from any point, the end of a connection, and the main thread's own reading.
#include "NumberedFlood.h"
#include "StandardError.h"
#include "TcpRig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace TcpRig;
using TestSupport::pumpFor;

namespace {

// The owner switches to direct delivery and back within 0 to 200 microseconds, while its
// main thread takes no messages, then takes messages for a while, again and again.
TEST(TcpHandOver, SwitchingThereAndBackWithinMicrosecondsUnderAFloodKeepsEveryByte) {
    FloodedConnections<> connections(10);
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 80; ++round) {
        for (auto& rig : connections.rigs) {
            rig->transport().setSyncEvents(false);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 201));
            rig->transport().setSyncEvents(true);
        }
        pumpFor(std::chrono::milliseconds(1 + random() % 4));
    }
    connections.expectEveryByteOnceInOrder();
}

// The receiver switches from inside its data events, on whichever thread delivers them,
// while the main thread is now busy, now taking messages.
TEST(TcpHandOver, SwitchingFromInsideDataEventsKeepsEveryByte) {
    struct SwitchingSensor : NumberedLinesSensor {
        using NumberedLinesSensor::NumberedLinesSensor;
        std::atomic<CTcpInterface*> transport{nullptr};
        std::atomic<unsigned> events{0};
        void onData() override {
            // Every few events, a pseudo-random switch to one delivery or the other.
            const unsigned event = ++events;
            if (CTcpInterface* target = transport.load(); target != nullptr && event % 3 == 0)
                target->setSyncEvents((event * 2654435761u >> 7) % 2 == 0);
        }
    };
    FloodedConnections<SwitchingSensor> connections(6);
    for (auto& rig : connections.rigs)
        rig->sensor.transport = &rig->transport();
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 100; ++round) {
        if (random() % 2 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        else
            pumpFor(std::chrono::milliseconds(1 + random() % 3));
    }
    for (auto& rig : connections.rigs)
        rig->sensor.transport = nullptr;
    for (auto& rig : connections.rigs) {
        const auto [onMain, elsewhere] = rig->sensor.deliveries();
        EXPECT_GT(onMain, 0u);
        EXPECT_GT(elsewhere, 0u);
    }
    connections.expectEveryByteOnceInOrder();
}

} // namespace

namespace {

// A converter that refuses a second client accepts and resets at once; the owner writes
// from its ready notification and from its main thread in a loop, with direct delivery.
// Whatever the timing, the connection ends in one release and nothing follows it.
TEST(TcpHandOver, AConnectionResetAtOnceIsReleasedOnceWhileTheOwnerWritesFromBothThreads) {
    const ProgramDeadline deadline(120);
    EndingServer resetting(EndingServer::Ending::reset);
    for (int trial = 0; trial < 3000; ++trial) {
        BasicRig<ProbeSensor, StartWritingSink> rig(resetting.port(), false);
        rig.open();
        while (rig.sink.seen().released == 0) {
            rig.transport().write("DT\r", 3);
            Application().ProcessMessages();
        }
        ASSERT_TRUE(CTcpInterface::waitForClientThreads(5s)) << trial;
        Application().ProcessMessages();
        const auto calls = rig.sink.seen().calls;
        ASSERT_EQ(std::count(calls.begin(), calls.end(), "released"), 1)
            << "trial " << trial << ": " << ::testing::PrintToString(calls);
        ASSERT_EQ(calls.back(), "released") << "trial " << trial;
    }
}

} // namespace

namespace {

TEST(TcpHandOver, ASubclassDestroyedOpenIsToldToReleaseInItsDestructor) {
#ifdef NDEBUG
    GTEST_SKIP() << "the check is compiled into debug builds only";
#else
    struct OwnTransport : CTcpInterface {
        OwnTransport(TTcpProperties* properties, bool releaseFirst)
            : CTcpInterface(properties, false), m_releaseFirst_(releaseFirst) {}
        ~OwnTransport() override {
            if (m_releaseFirst_)
                releaseInterface();
        }
        void notifyDataReceived(const char*, unsigned int) override { ++data; }
        std::atomic<int> data{0};

    private:
        const bool m_releaseFirst_;
    };
    LoopbackPeer peer;
    CTcpInterface::TTcpProperties properties(nullptr);
    properties.IpAddress = "127.0.0.1";
    properties.PortNumber = peer.port();
    for (const bool releaseFirst : {false, true}) {
        auto transport = std::make_unique<OwnTransport>(&properties, releaseFirst);
        transport->initInterface_();
        const std::string said = TestSupport::standardErrorLine([&] { transport.reset(); }, 0ms);
        EXPECT_EQ(said.find("call releaseInterface() in its destructor") != std::string::npos, !releaseFirst)
            << said;
        expectAllThreadsEnd();
        while (peer.accept(0ms))
            peer.close();
    }
    // The transport itself needs no help.
    TestSupport::TcpLine line(peer.port(), false);
    line.transport->initInterface_();
    EXPECT_EQ(TestSupport::standardErrorLine([&] { line.transport.reset(); }, 0ms), "");
    expectAllThreadsEnd();
#endif
}

} // namespace

namespace {

// Waits, without processing anything, until a client thread waits for the main thread
// to run a synchronised call (a connection's close, say).
bool synchronisedCallWaits() {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!NorvEngineering::Platform::synchronizePending()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The peer's last data and its close reach a main thread that is busy: the close reads
// the data before it says that the connection has ended. A receiver that releases in
// one of those data events gets nothing more, nor the release.
TEST(TcpHandOver, AReceiverThatReleasesWhileTheCloseReadsTheLastDataGetsNothingMore) {
    struct ReleasingSensor : ProbeSensor {
        using ProbeSensor::ProbeSensor;
        CTcpInterface* transport = nullptr;
        std::size_t releaseAt = 0;
        std::size_t delivered = 0;
        void dataReceived(const char* data, unsigned int length) override {
            ProbeSensor::dataReceived(data, length);
            if (++delivered == releaseAt)
                transport->releaseInterface();
        }
    };
    for (const std::size_t releaseAt : {1u, 2u, 7u}) {
        SCOPED_TRACE("released in data event " + std::to_string(releaseAt));
        LoopbackPeer peer;
        BasicRig<ReleasingSensor> rig(peer.port());
        rig.sensor.transport = &rig.transport();
        rig.sensor.releaseAt = releaseAt;
        ASSERT_TRUE(rig.connectTo(peer));
        peer.send(patterned(100000));
        peer.close();
        ASSERT_TRUE(synchronisedCallWaits());
        ASSERT_TRUE(runUntil([&] { return rig.sensor.delivered >= releaseAt; }));
        expectAllThreadsEnd();
        pumpFor(20ms);
        EXPECT_EQ(rig.sensor.delivered, releaseAt);
        EXPECT_EQ(rig.sink.seen().calls, (std::vector<std::string>{"ready"}));
    }
}

// Released from another thread while data flows to the main thread, and opened again:
// nothing of the first connection arrives after the release, and the second one's data
// does.
TEST(TcpHandOver, AfterAReleaseFromAnotherThreadNothingOfTheOldConnectionArrives) {
    FloodServer server;
    LoopbackPeer quiet;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Rig rig(server.port());
        rig.open();
        ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() > 50000; }));
        if (round % 2 == 0) {
            ASSERT_TRUE(waitForDueWork());
        }
        std::thread([&] { rig.transport().releaseInterface(); }).join();
        const std::size_t hadAtRelease = rig.sensor.received().size();
        pumpFor(10ms);
        rig.line.properties.PortNumber = quiet.port();
        rig.transport().initInterface_();
        ASSERT_TRUE(quiet.accept());
        ASSERT_TRUE(runUntil([&] { return rig.sink.seen().ready == 2; }));
        quiet.send("new");
        ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() >= hadAtRelease + 3; }));
        pumpFor(10ms);
        const std::string received = rig.sensor.received();
        EXPECT_EQ(received.size(), hadAtRelease + 3);
        EXPECT_EQ(received.substr(hadAtRelease), "new");
        rig.transport().releaseInterface();
        quiet.close();
        expectAllThreadsEnd();
    }
}

// Bursts of single bytes, each waited for before the next: a byte that arrives just
// as the client thread reads must still be reported, or nothing else would bring it.
TEST(TcpHandOver, BytesThatArriveWhileTheClientThreadReadsAreNeverLeftUnread) {
    RawListener listener;
    Rig rig(listener.port(), false);
    rig.open();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(runUntil([&] { return rig.sink.seen().ready == 1; }));
    std::minstd_rand random(11);
    std::size_t total = 0;
    for (int burst = 0; burst < 5000; ++burst) {
        const auto writes = 1 + random() % 8;
        for (unsigned i = 0; i < writes; ++i)
            total += ::send(peer, "x", 1, MSG_NOSIGNAL) == 1 ? 1u : 0u;
        ASSERT_TRUE(rig.sensor.waitForReceived(total, 5s))
            << "bytes of burst " << burst << " were left unread";
    }
    rig.transport().releaseInterface();
    ::close(peer);
    expectAllThreadsEnd();
}

} // namespace

namespace {

// The descriptor of this process's end of the connection whose other end is `peer`.
int ownEndOf(int peer) {
    sockaddr_in peerEnd{};
    sockaddr_in peerPeer{};
    socklen_t length = sizeof peerEnd;
    if (::getsockname(peer, reinterpret_cast<sockaddr*>(&peerEnd), &length) != 0)
        return -1;
    length = sizeof peerPeer;
    if (::getpeername(peer, reinterpret_cast<sockaddr*>(&peerPeer), &length) != 0)
        return -1;
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in local{};
        sockaddr_in remote{};
        socklen_t size = sizeof local;
        if (fd == peer || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
            local.sin_family != AF_INET)
            continue;
        size = sizeof remote;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &size) != 0)
            continue;
        if (local.sin_port == peerPeer.sin_port && remote.sin_port == peerEnd.sin_port)
            return fd;
    }
    return -1;
}

// The main thread cannot watch the connection (its queue watches that descriptor for
// something else): the data still comes, in order and on the main thread, without
// bouncing between the threads, and once the watch can be made the main thread reads
// it itself again.
TEST(TcpHandOver, DataTheMainThreadCannotWatchStillArrivesOnTheMainThread) {
    RawListener listener;
    Rig rig(listener.port());
    const int peer = rig.connectTo(listener);
    ASSERT_GE(peer, 0);
    const int own = ownEndOf(peer);
    ASSERT_GE(own, 0);
    auto& queue = ThreadMessageQueue::current();
    const auto occupied = queue.watch(own, EPOLLIN | EPOLLET, [](uint32_t) {});
    std::string sent;
    const auto sendAndReceive = [&](int pieces) {
        for (int i = 0; i < pieces; ++i) {
            const std::string piece = "piece " + std::to_string(sent.size()) + "\n";
            ASSERT_EQ(::write(peer, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
            sent += piece;
            ASSERT_TRUE(runUntil([&] { return rig.sensor.received() == sent; }, 5s)) << rig.sensor.received();
        }
    };
    sendAndReceive(20);
    queue.unwatch(occupied);
    sendAndReceive(20);
    const auto threads = rig.sensor.threads();
    EXPECT_TRUE(std::all_of(threads.begin(), threads.end(),
                            [](auto thread) { return thread == NorvEngineering::Platform::mainThreadId(); }));
    ::close(peer);
    EXPECT_TRUE(runUntil([&] { return rig.sink.seen().released == 1; }));
}

} // namespace
