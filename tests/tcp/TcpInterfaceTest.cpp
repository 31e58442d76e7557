#include "TcpInterface.h"
#include "Application.h"
#include "DescriptorsUsedUp.h"
#include "LoopbackPeer.h"
#include "MessageQueue.h"
#include "ReceivingSensor.h"
#include "RecordingSink.h"
#include "RunUntil.h"
#include "ShownExceptions.h"
#include "SimulatedRoads.h"
#include "Stations.h"
#include "TcpRig.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

using NorvEngineering::Platform::mainThreadId;
using NorvEngineering::SensorLib::CVkr25;
using TestSupport::pumpFor;

using namespace TcpRig;

namespace {

TEST(TcpTransport, ConnectsDeliversOnTheMainThreadWritesSeesTheSensorCloseAndOpensAgainOnce) {
    LoopbackPeer peer;
    Rig rig(peer.port());
    rig.transport().write("early", 5); // not open at all: dropped
    ASSERT_TRUE(rig.connectTo(peer));
    EXPECT_TRUE(rig.transport().isOpen());

    rig.transport().write("ID", 2);
    rig.transport().write("\r", 1);
    EXPECT_EQ(peer.receive(3), "ID\r");

    const std::string reply(10000, 'r');
    peer.send(reply);
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() == reply.size(); }));
    EXPECT_EQ(rig.sensor.lastThread(), mainThreadId());

    peer.close();
    ASSERT_TRUE(runUntil([&] { return rig.sink.seen().released == 1; }));
    expectAllThreadsEnd();
    pumpFor(30ms);
    EXPECT_EQ(rig.sink.seen().calls, (std::vector<std::string>{"ready", "released"}));
    EXPECT_EQ(rig.sink.onMainThread(), (std::vector<bool>{true, true}));
    EXPECT_FALSE(rig.transport().isOpen());
    rig.transport().write("late", 4); // dropped without a word

    // The transport opens again, once however often it is asked; a release is not notified.
    rig.transport().initInterface_();
    rig.transport().initInterface_();
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(runUntil([&] { return rig.sink.seen().ready == 2; }));
    EXPECT_EQ(CTcpInterface::liveClientThreads(), 1);
    EXPECT_FALSE(peer.accept(50ms));
    rig.transport().releaseInterface();
    EXPECT_FALSE(rig.transport().isOpen());
    EXPECT_TRUE(peer.waitForClose());
    expectAllThreadsEnd();
    pumpFor(30ms);
    EXPECT_EQ(rig.sink.seen().calls, (std::vector<std::string>{"ready", "released", "ready"}));
}

TEST(TcpTransport, AReceiverThatThrowsIsReportedAndTheConnectionGoesOn) {
    struct ThrowingOnce : ProbeSensor {
        using ProbeSensor::ProbeSensor;
        void dataReceived(const char* data, unsigned int length) override {
            if (!thrown.exchange(true))
                throw std::runtime_error("receiver failed");
            ProbeSensor::dataReceived(data, length);
        }
        std::atomic<bool> thrown{false};
    };
    const TestSupport::ShownExceptions reported;
    LoopbackPeer peer;
    BasicRig<ThrowingOnce> rig(peer.port());
    ASSERT_TRUE(rig.connectTo(peer));
    peer.send("first");
    ASSERT_TRUE(runUntil([&] { return !reported.texts().empty(); }));
    peer.send("second");
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received() == "second"; }));
    EXPECT_EQ(reported.texts(), std::vector<std::string>{"receiver failed"});
    EXPECT_EQ(rig.sink.seen().released, 0);
}

TEST(TcpTransport, RefusedConnectionIsAnErrorThenReleasedNeverReady) {
    for (const bool sync : {true, false}) {
        SCOPED_TRACE(sync ? "synchronised" : "direct");
        Rig rig(LoopbackPeer::unusedPort(), sync);
        rig.open();
        ASSERT_TRUE(runUntil([&] { return rig.sink.seen().released == 1; }));
        expectAllThreadsEnd();
        const auto seen = rig.sink.seen();
        EXPECT_EQ(seen.calls, (std::vector<std::string>{"interfaceError", "released"}));
        ASSERT_EQ(seen.interfaceErrors.size(), 1u);
        EXPECT_EQ(seen.interfaceErrors[0].code, 10061);
        EXPECT_EQ(seen.interfaceErrors[0].message, "Connection refused");
        EXPECT_EQ(seen.interfaceErrors[0].place, "CTcpInterface::WSocketSessionConnected_");
        EXPECT_EQ(rig.sink.onMainThread().front(), sync);
        EXPECT_FALSE(rig.transport().isOpen());
    }
}

TEST(TcpTransport, AnAddressThatCannotBeResolvedIsReportedBeforeTheThreadEnds) {
    for (const std::string& address : {std::string(300, 'h'), std::string()}) {
        Rig rig(23, true, address);
        rig.open();
        ASSERT_TRUE(runUntil([&] { return !rig.sink.seen().interfaceErrors.empty(); }));
        expectAllThreadsEnd();
        const auto seen = rig.sink.seen();
        EXPECT_EQ(seen.calls, std::vector<std::string>{"interfaceError"});
        EXPECT_EQ(seen.interfaceErrors[0].code, 0);
        EXPECT_EQ(seen.interfaceErrors[0].place, "CTcpInterface::TClientThread::Execute");
        EXPECT_EQ(seen.interfaceErrors[0].message.rfind("connect: Winsock Resolve Host: '", 0), 0u)
            << seen.interfaceErrors[0].message;
        EXPECT_FALSE(rig.transport().isOpen());
    }
}

TEST(TcpTransport, NoDescriptorLeftFailsThatConnectionWithTheSystemsReasonAndTheNextOneWorks) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks open a pipe, and report nonsense when they cannot.
    GTEST_SKIP() << "needs descriptors for the sanitizer runtime";
#endif
    const auto openDescriptors = [] {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            ++count;
        return count;
    };
    // The client threads of earlier tests (or of this one, repeated) hold a socket and
    // a queue until they end; counted here, they would free descriptors in the middle of
    // a round that has used them all up.
    ASSERT_TRUE(CTcpInterface::waitForClientThreads(10s));
    LoopbackPeer peer;
    Application().ProcessMessages(); // the main thread has its queue already
    const std::size_t before = openDescriptors();
    // With none left the thread gets no message queue; with two it gets one, but no socket.
    for (const int spare : {0, 2}) {
        SCOPED_TRACE(spare);
        // Whatever the round before opened is closed, an ended thread's queue included.
        ASSERT_TRUE(runUntil([&] { return openDescriptors() <= before; }));
        Rig rig(peer.port());
        bool reported = false;
        {
            const TestSupport::DescriptorsUsedUp usedUp(spare);
            rig.open();
            reported = runUntil([&] { return !rig.sink.seen().interfaceErrors.empty(); });
            EXPECT_TRUE(CTcpInterface::waitForClientThreads(10s));
        }
        ASSERT_TRUE(reported);
        const auto seen = rig.sink.seen();
        EXPECT_EQ(seen.calls, std::vector<std::string>{"interfaceError"});
        EXPECT_EQ(seen.interfaceErrors[0].code, 10024);
        // The process's own limit, not the system's table.
        EXPECT_EQ(seen.interfaceErrors[0].message.rfind(std::strerror(EMFILE), 0), 0u)
            << seen.interfaceErrors[0].message;
        EXPECT_EQ(seen.interfaceErrors[0].message.find("in system"), std::string::npos);
        EXPECT_EQ(seen.interfaceErrors[0].place,
                  spare == 0 ? "CTcpInterface::initInterface_" : "CTcpInterface::TClientThread::Execute");
        EXPECT_FALSE(rig.transport().isOpen());

        rig.transport().initInterface_();
        ASSERT_TRUE(peer.accept());
        EXPECT_TRUE(runUntil([&] { return rig.sink.seen().ready == 1; }));
        rig.transport().releaseInterface();
        peer.close();
    }
    // The last round's thread too ends with all it had open, before the next test counts.
    EXPECT_TRUE(runUntil([&] { return openDescriptors() <= before; }));
}

TEST(TcpTransport, AReleaseDuringAFloodEndsTheThreadAtOnce) {
    // Nothing is read ahead of the owner, so nothing queues up before the quit.
    FloodServer server;
    for (const bool sync : {true, false}) {
        Rig rig(server.port(), sync);
        rig.open();
        if (sync)
            ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() > 200000; }, 20s));
        else
            ASSERT_TRUE(rig.sensor.waitForReceived(200000, 20s));
        rig.transport().releaseInterface();
        EXPECT_TRUE(CTcpInterface::waitForClientThreads(2s));
    }
}

TEST(TcpTransport, SwitchingToDirectDeliveryHandsTheReadingBackToTheClientThread) {
    LoopbackPeer peer;
    Rig rig(peer.port());
    ASSERT_TRUE(rig.connectTo(peer));
    peer.send("a");
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() == 1; }));
    EXPECT_EQ(rig.sensor.lastThread(), mainThreadId());

    // Switched while data waits for the main thread: the reading goes back to the client
    // thread, which from then on delivers without the main thread.
    peer.send("b");
    ASSERT_TRUE(waitForDueWork());
    rig.transport().setSyncEvents(false);
    Application().ProcessMessages();
    ASSERT_TRUE(rig.sensor.waitForReceived(2, 5s));
    peer.send("c");
    ASSERT_TRUE(rig.sensor.waitForReceived(3, 5s));
    EXPECT_EQ(rig.sensor.received(), "abc");
    EXPECT_NE(rig.sensor.lastThread(), mainThreadId());
}

TEST(TcpTransport, ReleaseAtOnceAfterOpenEndsTheThreadWithoutNotice) {
    LoopbackPeer peer;
    for (int i = 0; i < 200; ++i) {
        Rig rig(peer.port(), i % 2 == 0);
        rig.open();
        rig.transport().releaseInterface();
        EXPECT_FALSE(rig.transport().isOpen());
        if (i % 20 == 0)
            Application().ProcessMessages();
    }
    expectAllThreadsEnd();
    // Whatever got as far as connecting is closed again.
    while (peer.accept(0ms)) {
        EXPECT_TRUE(peer.waitForClose());
        peer.close();
    }
}

TEST(TcpTransport, DestroyingWhileConnectingLeavesTheThreadNoWayBack) {
    LoopbackPeer peer;
    const uint16_t refused = LoopbackPeer::unusedPort();
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        auto rig = std::make_unique<Rig>(i % 3 == 0 ? refused : peer.port(), i % 2 == 0);
        rig->open();
        if (random() % 2 == 0)
            Application().ProcessMessages();
        rig.reset();
        while (peer.accept(0ms))
            peer.close();
    }
    expectAllThreadsEnd();
}

TEST(TcpTransport, DestroyingWhileReceivingLeavesTheThreadNoWayBack) {
    FloodServer server;
    for (int i = 0; i < 150; ++i) {
        const bool sync = i % 2 == 0;
        auto rig = std::make_unique<Rig>(server.port(), sync);
        rig->open();
        // Until data flows; the client thread then delivers, or waits in Synchronize
        // for a main thread that is about to destroy the transport without pumping.
        if (sync) {
            ASSERT_TRUE(runUntil([&] { return !rig->sensor.received().empty(); })) << i;
            // Now and then with the next data waiting for the main thread.
            if (i % 4 == 0) {
                ASSERT_TRUE(waitForDueWork()) << i;
            }
        } else {
            ASSERT_TRUE(rig->sensor.waitForReceived(1, 5s)) << i;
        }
        rig.reset();
    }
    expectAllThreadsEnd();
}

TEST(TcpTransport, DestroyingFromInsideTheReleasedNotification) {
    struct DeletingSink : ProbeSink {
        std::unique_ptr<CTcpInterface>* target = nullptr;
        void onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) override {
            ProbeSink::onInterfaceReleased(sensor, iface);
            target->reset();
        }
    };
    LoopbackPeer peer;
    BasicRig<ProbeSensor, DeletingSink> rig(peer.port());
    rig.sink.target = &rig.line.transport;
    ASSERT_TRUE(rig.connectTo(peer));
    peer.close();
    ASSERT_TRUE(runUntil([&] { return rig.sink.seen().released == 1; }));
    EXPECT_EQ(rig.line.transport, nullptr);
    expectAllThreadsEnd();
}

TEST(TcpTransport, EverythingSentBeforeThePeerClosesArrivesOnceInOrderBeforeTheRelease) {
    const std::string data = patterned(300000);
    for (const bool sync : {true, false}) {
        SCOPED_TRACE(sync ? "synchronised" : "direct");
        struct SizeAtReleaseSink : ProbeSink {
            const ProbeSensor* sensor = nullptr;
            std::atomic<std::size_t> receivedAtRelease{0};
            void onInterfaceReleased(CSensor* s, CSensorInterface* iface) override {
                receivedAtRelease = sensor->received().size();
                ProbeSink::onInterfaceReleased(s, iface);
            }
        };
        LoopbackPeer peer;
        BasicRig<ProbeSensor, SizeAtReleaseSink> rig(peer.port(), sync);
        auto& sink = rig.sink;
        const auto& sensor = rig.sensor;
        sink.sensor = &sensor;
        ASSERT_TRUE(rig.connectTo(peer));
        // The peer closes as soon as the last byte is out, while the main thread may
        // still have a hand-over of data pending.
        std::thread writer([&] {
            peer.send(data);
            peer.close();
        });
        const bool released = runUntil([&] { return sink.seen().released == 1; }, 20s);
        writer.join();
        ASSERT_TRUE(released);
        expectAllThreadsEnd();
        pumpFor(30ms);
        EXPECT_EQ(sink.receivedAtRelease, data.size());
        EXPECT_TRUE(sensor.received() == data) << sensor.received().size() << " bytes";
        EXPECT_EQ(sink.seen().calls, (std::vector<std::string>{"ready", "released"}));
    }
}

TEST(TcpTransport, AFloodFeedsASlowOwnerWithoutQueueingAheadOfIt) {
    // The owner takes 1 ms a chunk; the client thread is never ahead by more than one
    // hand-over waiting on the main thread's queue, and the hand-overs, each asking for
    // the next, never keep the owner's loop from its own work: its condition, and a
    // descriptor it watches that becomes ready in the middle of the flood.
    const int ownDescriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(ownDescriptor, 0);
    bool ownDescriptorSeen = false;
    const auto watch = ThreadMessageQueue::current().watch(ownDescriptor, EPOLLIN,
                                                           [&](uint32_t) { ownDescriptorSeen = true; });
    struct SlowSensor : ProbeSensor {
        using ProbeSensor::ProbeSensor;
        int signalAt100 = -1;
        std::size_t chunks = 0;
        std::size_t mostQueued = 0;
        void dataReceived(const char* data, unsigned int length) override {
            if (++chunks == 100) {
                const uint64_t one = 1;
                EXPECT_EQ(::write(signalAt100, &one, sizeof one), static_cast<ssize_t>(sizeof one));
            }
            mostQueued = std::max(mostQueued, ThreadMessageQueue::current().size());
            std::this_thread::sleep_for(1ms);
            ProbeSensor::dataReceived(data, length);
        }
    };
    FloodServer server;
    BasicRig<SlowSensor> rig(server.port());
    auto& sensor = rig.sensor;
    sensor.signalAt100 = ownDescriptor;
    rig.open();
    // One long RunUntil: its own turns must look at the descriptor.
    ASSERT_TRUE(Application().RunUntil([&] { return sensor.chunks >= 200; }, 20s));
    // The owner's loop had its turn between the chunks: it saw its condition at once.
    EXPECT_LE(sensor.chunks, 210u);
    EXPECT_TRUE(ownDescriptorSeen);
    EXPECT_LE(sensor.mostQueued, 2u);
    rig.transport().releaseInterface();
    EXPECT_TRUE(CTcpInterface::waitForClientThreads(2s));
    ThreadMessageQueue::current().unwatch(watch);
    ::close(ownDescriptor);
}

TEST(TcpTransport, BytesThatArriveWhileTheMainThreadReadsAreNeverLeftUnread) {
    // The main thread reads while the client thread watches the socket, so the last
    // bytes of a burst may come just after a read has found nothing more and before it
    // has asked for the next notice. The sender waits for each burst to be taken, so
    // bytes left unread would stay unread: nothing more comes to bring them up.
    RawListener listener;
    Rig rig(listener.port());
    rig.open();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(runUntil([&] { return rig.sink.seen().ready == 1; }));

    constexpr int kBursts = 3000;
    std::atomic<int> stalledAt{-1};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        std::minstd_rand random(7);
        std::size_t total = 0;
        for (int burst = 0; burst < kBursts && stalledAt < 0; ++burst) {
            const auto writes = 1 + random() % 8;
            for (unsigned i = 0; i < writes; ++i)
                total += ::send(peer, "x", 1, MSG_NOSIGNAL) == 1 ? 1u : 0u;
            if (!rig.sensor.waitForReceived(total, 5s))
                stalledAt = burst;
        }
        done = true;
    });
    EXPECT_TRUE(runUntil([&] { return done.load(); }, 600s));
    sender.join();
    EXPECT_EQ(stalledAt, -1) << "bytes of a burst were left unread";
    rig.transport().releaseInterface();
    ::close(peer);
    expectAllThreadsEnd();
}

TEST(TcpTransport, OpeningAgainFromInsideTheReleasedNotificationMakesANewConnection) {
    struct ReopeningSink : ProbeSink {
        CTcpInterface* transport = nullptr;
        void onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) override {
            ProbeSink::onInterfaceReleased(sensor, iface);
            if (seen().released == 1)
                transport->initInterface_();
        }
    };
    for (const bool sync : {true, false}) {
        SCOPED_TRACE(sync ? "synchronised" : "direct");
        LoopbackPeer peer;
        BasicRig<ProbeSensor, ReopeningSink> rig(peer.port(), sync);
        rig.sink.transport = &rig.transport();
        ASSERT_TRUE(rig.connectTo(peer));
        peer.close();
        ASSERT_TRUE(runUntil([&] { return rig.sink.seen().released == 1; }));
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(runUntil([&] { return rig.sink.seen().ready == 2; }));
        EXPECT_TRUE(rig.transport().isOpen());
        EXPECT_EQ(rig.sink.seen().calls, (std::vector<std::string>{"ready", "released", "ready"}));
        rig.transport().releaseInterface();
        expectAllThreadsEnd();
    }
}

// A peer that ends the connection at once, while the owner writes from its ready
// notification and from a timer: every write returns, the bytes are dropped and the
// owner hears of the end once. With synchronised delivery the client thread waits for
// the main thread (to deliver the connect result or the close) while the main
// thread's write meets the broken connection.
TEST(TcpTransport, WritesToAConnectionThatEndsAtOnceReturnAndTheOwnerHearsOneRelease) {
    const ProgramDeadline deadline(60);
    EndingServer resetting(EndingServer::Ending::reset);
    EndingServer closing(EndingServer::Ending::closeAfterFirstByte);
    const struct {
        const char* peer;
        uint16_t port;
    } peers[] = {{"resets", resetting.port()},
                 {"closes after the first byte", closing.port()},
                 {"refuses", LoopbackPeer::unusedPort()}};
    WritingTimer timer;
    for (const auto& [peer, port] : peers) {
        SCOPED_TRACE(peer);
        for (int round = 0; round < 200; ++round) {
            const bool sync = round % 4 != 3;
            BasicRig<ProbeSensor, StartWritingSink> rig(port, sync);
            timer.target = &rig.transport();
            rig.open();
            ASSERT_TRUE(runUntil([&] { return rig.sink.seen().released == 1; }))
                << "round " << round << (sync ? ", synchronised: " : ", direct: ")
                << ::testing::PrintToString(rig.sink.seen().calls);
            timer.target = nullptr;
            EXPECT_TRUE(CTcpInterface::waitForClientThreads(5s)) << round;
            Application().ProcessMessages();
            const auto calls = rig.sink.seen().calls;
            EXPECT_EQ(calls.back(), "released") << round;
            EXPECT_EQ(std::count(calls.begin(), calls.end(), "released"), 1) << round;
            EXPECT_LE(calls.size(), 2u) << round;
            EXPECT_FALSE(rig.transport().isOpen()) << round;
        }
    }
}

TEST(TcpTransport, ReleasingOrDestroyingFromInsideADataEventEndsTheDeliveryThere) {
    // The data of a flooded connection comes from the main thread's own wait and, when
    // a read leaves data behind, from the event raised again: the end can come in
    // either. Nothing is delivered after it, nothing else is notified.
    struct EndingSensor : ProbeSensor {
        using ProbeSensor::ProbeSensor;
        std::size_t endAt = 0;
        std::size_t delivered = 0;
        std::function<void()> end;
        void dataReceived(const char* data, unsigned int length) override {
            ProbeSensor::dataReceived(data, length);
            if (++delivered == endAt)
                end();
        }
    };
    FloodServer server;
    for (const std::size_t endAt : {1u, 2u, 3u, 40u, 41u}) {
        for (const bool destroy : {false, true}) {
            SCOPED_TRACE(std::to_string(endAt) + (destroy ? " destroyed" : " released"));
            BasicRig<EndingSensor> rig(server.port());
            rig.sensor.endAt = endAt;
            rig.sensor.end = [&] {
                if (destroy)
                    rig.line.transport.reset();
                else
                    rig.transport().releaseInterface();
            };
            rig.open();
            ASSERT_TRUE(runUntil([&] { return rig.sensor.delivered >= endAt; }, 10s));
            expectAllThreadsEnd();
            pumpFor(20ms);
            EXPECT_EQ(rig.sensor.delivered, endAt);
            EXPECT_EQ(rig.sink.seen().calls, (std::vector<std::string>{"ready"}));
            for (const auto& chunk : rig.sensor.chunks())
                EXPECT_LE(chunk.size(), 4096u);
        }
    }
}

TEST(TcpTransport, SwitchingBetweenDirectAndSynchronisedDeliveryUnderAFloodLosesAndRepeatsNothing) {
    const std::string data = patterned(2000000);
    LoopbackPeer peer;
    Rig rig(peer.port());
    ASSERT_TRUE(rig.connectTo(peer));
    // Never more than a few pieces ahead of the receiver, so that the flood lasts
    // through many switches.
    std::thread writer([&] {
        constexpr std::size_t kPiece = 16384;
        for (std::size_t sent = 0; sent < data.size(); sent += kPiece) {
            if (sent >= 4 * kPiece && !rig.sensor.waitForReceived(sent - 4 * kPiece, 20s))
                return;
            peer.send(data.substr(sent, kPiece));
        }
    });
    bool sync = true;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (int turn = 0; rig.sensor.received().size() < data.size(); ++turn) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        // A synchronised spell needs the main thread; a direct one goes on without it.
        pumpFor(turn % 3 == 0 ? 0ms : 1ms);
        sync = !sync;
        rig.transport().setSyncEvents(sync);
    }
    writer.join();
    rig.transport().setSyncEvents(true);
    peer.send("end");
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() >= data.size() + 3; }));
    pumpFor(20ms);
    EXPECT_TRUE(rig.sensor.received() == data + "end") << rig.sensor.received().size();
    const auto threads = rig.sensor.threads();
    const auto onMain = std::count(threads.begin(), threads.end(), mainThreadId());
    EXPECT_GT(onMain, 0);
    EXPECT_LT(onMain, static_cast<long>(threads.size()));
    EXPECT_EQ(rig.sensor.lastThread(), mainThreadId());
    for (const auto& chunk : rig.sensor.chunks())
        EXPECT_LE(chunk.size(), 4096u);
}

TEST(TcpTransport, AConnectionThatGetsTheNumberOfAnEndedOneIsReadOnlyForItself) {
    // The first connection's data waits for the main thread when it is released; its
    // client thread closes the descriptor, and the next connection most likely gets the
    // same number. Whatever the first left behind (its watch in the main thread's wait,
    // its events) must neither read the second nor stop the second's reading, also when
    // the first transport is destroyed only later.
    FloodServer server;
    LoopbackPeer peer;
    Rig first(server.port());
    first.open();
    ASSERT_TRUE(runUntil([&] { return first.sensor.received().size() > 100000; }));
    ASSERT_TRUE(waitForDueWork());
    first.transport().releaseInterface();
    const std::size_t firstHad = first.sensor.received().size();
    expectAllThreadsEnd();

    Rig second(peer.port());
    ASSERT_TRUE(second.connectTo(peer));
    peer.send("one");
    ASSERT_TRUE(runUntil([&] { return second.sensor.received() == "one"; }));
    first.line.transport.reset();
    peer.send("two");
    ASSERT_TRUE(runUntil([&] { return second.sensor.received() == "onetwo"; }));
    pumpFor(20ms);
    EXPECT_EQ(second.sensor.received(), "onetwo");
    EXPECT_EQ(first.sensor.received().size(), firstHad);
    EXPECT_EQ(second.sink.seen().calls, (std::vector<std::string>{"ready"}));
}

// The Vkr25 driver over many connections at once, against simulated sensors.
TEST(TcpEndToEnd, FiftyConnectionsToFiftySimulatorsInOneProcess) {
    constexpr std::size_t kCount = 50;
    using TcpStation = TestSupport::Station<CVkr25, TestSupport::TcpLine>;
    SensorSim::CTcpSensorServer server(kCount);
    std::vector<std::unique_ptr<TcpStation>> stations;
    for (std::size_t i = 0; i < kCount; ++i) {
        server.with(i, TestSupport::countUp);
        stations.push_back(std::make_unique<TcpStation>(server.port(i)));
        stations.back()->connect();
    }
    const auto all = [&](const auto& condition) {
        return runUntil([&] { return std::all_of(stations.begin(), stations.end(), condition); }, 20s);
    };
    ASSERT_TRUE(all([](const auto& station) { return station->owner.sensorReady == 1; }));
    for (auto& station : stations)
        station->driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(all([](const auto& station) { return station->owner.distances.size() >= 25; }));
    for (std::size_t i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(TestSupport::brokenStep(stations[i]->owner.distances), "");
        EXPECT_TRUE(stations[i]->owner.interfaceErrors.empty());
    }
    stations.clear();
    EXPECT_TRUE(CTcpInterface::waitForClientThreads(10s));
}

} // namespace
