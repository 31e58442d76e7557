// One notification of a connection at a time, whatever its handler does: pumps the main
// thread's loop, switches the delivery, or another thread releases meanwhile.
#include "NumberedFlood.h"
#include "TcpRig.h"

#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

using namespace TcpRig;
using NorvEngineering::Platform::isMainThread;

namespace {

// Counts the times a delivery began while another of the same transport was still in
// progress, on this thread (a nested loop) or on another.
class OverlapCounter {
public:
    class Scope {
    public:
        explicit Scope(OverlapCounter& counter) : m_counter_(counter) {
            if (m_counter_.m_running_.fetch_add(1) != 0)
                ++m_counter_.m_overlaps_;
        }
        ~Scope() { m_counter_.m_running_.fetch_sub(1); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        OverlapCounter& m_counter_;
    };
    int overlaps() const { return m_overlaps_.load(); }

private:
    std::atomic<int> m_running_{0};
    std::atomic<int> m_overlaps_{0};
};

// Every so often pumps the main thread's loop inside its data notification, as an
// owner that shows a message box or waits a moment there.
class PumpingSensor : public NumberedLinesSensor {
public:
    using NumberedLinesSensor::NumberedLinesSensor;
    void dataReceived(const char* data, unsigned int length) override {
        const OverlapCounter::Scope scope(overlaps);
        NumberedLinesSensor::dataReceived(data, length);
        if (isMainThread() && ++m_count_ % 8 == 0) {
            nestedLoops.fetch_add(1);
            pumpFor(3ms);
        }
    }
    OverlapCounter overlaps;
    std::atomic<int> nestedLoops{0};

private:
    int m_count_ = 0;
};

TEST(OneNotificationAtATime, ANestedLoopInADataNotificationGetsNothingOfItsOwnConnectionButOthersGoOn) {
    FloodedConnections<PumpingSensor> connections(3);
    pumpFor(1500ms);
    for (auto& rig : connections.rigs) {
        EXPECT_GT(rig->sensor.nestedLoops.load(), 10);
        EXPECT_EQ(rig->sensor.overlaps.overlaps(), 0);
        // Synchronised delivery throughout: nothing ever ran on the client thread.
        EXPECT_EQ(rig->sensor.deliveries().second, 0u);
    }
    // The other connections went on inside each nested loop: every one delivered far
    // more often than its own nested loops alone would allow.
    for (auto& rig : connections.rigs)
        EXPECT_GT(rig->sensor.deliveries().first,
                  3u * static_cast<std::size_t>(rig->sensor.nestedLoops.load()));
    connections.expectEveryByteOnceInOrder();
}

// Switches to direct delivery inside a main-thread notification and pumps there; the
// client thread switches back inside one of its own.
class SwitchingInsideSensor : public NumberedLinesSensor {
public:
    using NumberedLinesSensor::NumberedLinesSensor;
    void dataReceived(const char* data, unsigned int length) override {
        const OverlapCounter::Scope scope(overlaps);
        NumberedLinesSensor::dataReceived(data, length);
        CTcpInterface* target = transport.load();
        if (target == nullptr)
            return;
        if (isMainThread()) {
            target->setSyncEvents(false);
            // The client thread has data waiting all the while.
            pumpFor(1ms);
        } else {
            target->setSyncEvents(true);
        }
    }
    OverlapCounter overlaps;
    std::atomic<CTcpInterface*> transport{nullptr};
};

TEST(OneNotificationAtATime, ASwitchInsideANotificationTakesEffectOnlyAfterItReturns) {
    FloodedConnections<SwitchingInsideSensor> connections(2);
    for (auto& rig : connections.rigs)
        rig->sensor.transport = &rig->transport();
    pumpFor(1500ms);
    for (auto& rig : connections.rigs)
        rig->sensor.transport = nullptr;
    for (auto& rig : connections.rigs) {
        const auto [onMain, elsewhere] = rig->sensor.deliveries();
        EXPECT_GT(onMain, 10u);
        EXPECT_GT(elsewhere, 10u);
        EXPECT_EQ(rig->sensor.overlaps.overlaps(), 0);
    }
    connections.expectEveryByteOnceInOrder();
}

// Tells a thread that waits without taking messages that the release came.
struct ReleaseSignallingSink : ProbeSink {
    void onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) override {
        ProbeSink::onInterfaceReleased(sensor, iface);
        {
            std::lock_guard lock(mutex);
            released = true;
            onMain = isMainThread();
        }
        changed.notify_all();
    }
    bool waitForRelease(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return released; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool onMain = true;
};

// The main thread reads the connection (synchronised delivery); another thread selects
// direct delivery while the main thread is blocked and takes no messages until the
// release: what follows, data and the peer's close, comes on the client thread.
TEST(OneNotificationAtATime, DirectDeliveryChosenOnAnotherThreadNeedsNoHelpFromTheMainThread) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        RawListener listener;
        BasicRig<ProbeSensor, ReleaseSignallingSink> rig(listener.port());
        const int peer = rig.connectTo(listener);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(::write(peer, "abcd", 4), 4);
        ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() == 4; }));
        ASSERT_TRUE(isMainThread());
        std::thread([&] { rig.transport().setSyncEvents(false); }).join();
        // From here on the main thread takes no messages until the release has come.
        ASSERT_EQ(::write(peer, "efgh", 4), 4);
        EXPECT_TRUE(rig.sensor.waitForReceived(8, 5s)) << rig.sensor.received();
        ::close(peer);
        ASSERT_TRUE(rig.sink.waitForRelease(5s));
        EXPECT_FALSE(rig.sink.onMain);
        EXPECT_EQ(rig.sensor.received(), "abcdefgh");
        EXPECT_NE(rig.sensor.lastThread(), NorvEngineering::Platform::currentThreadId());
    }
    expectAllThreadsEnd();
}

// Notes a data notification that begins once the release has returned.
class LateDataSensor : public ProbeSensor {
public:
    using ProbeSensor::ProbeSensor;
    void dataReceived(const char* data, unsigned int length) override {
        if (released.load())
            ++late;
        ProbeSensor::dataReceived(data, length);
    }
    std::atomic<bool> released{false};
    std::atomic<int> late{0};
};

TEST(OneNotificationAtATime, NothingOfAConnectionStartsOnceAReleaseFromAnotherThreadHasReturned) {
    FloodServer flood;
    for (int cycle = 0; cycle < 300; ++cycle) {
        BasicRig<LateDataSensor> rig(flood.port());
        rig.open();
        ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() > 4096; })) << "cycle " << cycle;
        std::atomic<bool> done{false};
        std::thread releasing([&] {
            rig.transport().releaseInterface();
            rig.sensor.released = true;
            done = true;
            NorvEngineering::Platform::wakeMainThread();
        });
        // The main thread reads on while the other thread releases.
        EXPECT_TRUE(runUntil([&] { return done.load(); }));
        releasing.join();
        pumpFor(1ms);
        ASSERT_EQ(rig.sensor.late.load(), 0) << "cycle " << cycle;
    }
    expectAllThreadsEnd();
}

} // namespace

namespace {

// CPU time of the calling thread.
std::chrono::microseconds threadCpuTime() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::microseconds(now.tv_nsec / 1000);
}

// Data that waits behind a running notification costs nothing meanwhile: the main
// thread pumps its loop for a quarter of a second inside the notification while more
// than a buffer's worth waits and more keeps coming, and is not kept busy by it.
class WaitingSensor : public ProbeSensor {
public:
    using ProbeSensor::ProbeSensor;
    void dataReceived(const char* data, unsigned int length) override {
        ProbeSensor::dataReceived(data, length);
        if (!waited.exchange(true)) {
            const auto before = threadCpuTime();
            pumpFor(250ms);
            busy = threadCpuTime() - before;
            receivedInside = received().size();
        }
    }
    std::atomic<bool> waited{false};
    std::chrono::microseconds busy{0};
    std::size_t receivedInside = 0;
};

TEST(OneNotificationAtATime, DataWaitingBehindARunningNotificationKeepsNoThreadBusy) {
    RawListener listener;
    BasicRig<WaitingSensor> rig(listener.port());
    const int peer = rig.connectTo(listener);
    ASSERT_GE(peer, 0);
    const std::string data = patterned(64 * 1024);
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < data.size(); sent += 1024)
            if (::write(peer, data.data() + sent, 1024) != 1024)
                return;
    });
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() == data.size(); }, 10s));
    writer.join();
    EXPECT_EQ(rig.sensor.received(), data);
    EXPECT_LT(rig.sensor.receivedInside, data.size());
    EXPECT_LT(rig.sensor.busy, 50ms) << "the main thread was kept busy while data waited";
    ::close(peer);
    EXPECT_TRUE(runUntil([&] { return rig.sink.seen().released == 1; }));
}

} // namespace
