// The main thread driven by another event loop: a plain poll() on the application's
// event descriptor and ProcessDue when it is readable, never Run, RunUntil or
// ProcessMessages.
#include "LoopbackPeer.h"
#include "ReceivingSensor.h"
#include "RecordingSink.h"
#include "RunUntil.h"
#include "SimulatedRoads.h"
#include "StandardError.h"
#include "Stations.h"

#include "Platform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Platform;
using NorvEngineering::SensorLib::CVkr25;
using namespace std::chrono_literals;

namespace {

bool readable(int fd, std::chrono::milliseconds timeout = 0ms) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1 && (entry.revents & POLLIN) != 0;
}

// The whole loop of a program that owns its event loop.
bool pollLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const int fd = Application().EventDescriptor();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms)
            return false;
        if (readable(fd, left))
            Application().ProcessDue();
    }
    return true;
}

std::size_t threadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// A released transport's client thread ends by itself, a little later, and its end
// wakes the main thread: the descriptor is readable then, with nothing due. A test
// that starts threads sees them end before it does, so that their wake-ups never meet
// a later test's checks of the descriptor. (Declared first, so that it waits last.)
class ThreadsEndWithTheTest {
public:
    ~ThreadsEndWithTheTest() {
        EXPECT_TRUE(NorvEngineering::SensorLib::CTcpInterface::waitForClientThreads(10s));
        EXPECT_TRUE(TestSupport::runUntil([&] { return threadCount() <= m_before_; }))
            << threadCount() - m_before_ << " thread(s) of this test still running";
    }

private:
    static std::size_t counted() {
        // ThreadSanitizer starts a thread of its own at the first thread made: it is
        // there before the count, not counted as one of this test's.
        std::thread([] {}).join();
        return threadCount();
    }
    std::size_t m_before_ = counted();
};

TEST(ExternalEventLoop, APollLoopOnTheDescriptorDrivesASensorMeasuringOverTcp) {
    const ThreadsEndWithTheTest threadsEnd;
    TestSupport::TcpRoad<CVkr25> road; // synchronised delivery: every event runs on this thread
    road.with(TestSupport::countUp);
    road.start();
    auto& owner = road.station.owner;
    ASSERT_TRUE(
        pollLoopUntil([&] { return owner.sensorReady == 1 && road.station.driver.getQueue().empty(); }, 10s));
    road.station.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(pollLoopUntil([&] { return owner.distances.size() >= 50; }, 20s));
    EXPECT_EQ(TestSupport::brokenStep(owner.distances), "");
    EXPECT_TRUE(owner.interfaceErrors.empty());
    road.station.driver.setMode(CVkr25::lmEscaped);
}

TEST(ExternalEventLoop, AConnectionsDataIsReadByProcessDueAndTheDescriptorGoesQuietOnceAllIsRead) {
    // The connection's data wakes the program's own loop through the descriptor and is
    // read in ProcessDue on this thread, a buffer at a time; once everything has been
    // read nothing is due, until the sensor sends again.
    const ThreadsEndWithTheTest threadsEnd;
    TestSupport::LoopbackPeer peer;
    TestSupport::RecordingSink sink;
    TestSupport::ReceivingSensor sensor(&sink);
    TestSupport::TcpLine line(peer.port());
    const int fd = Application().EventDescriptor();
    sensor.setInterface(line.transport.get());
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(pollLoopUntil([&] { return sink.ready == 1; }, 10s));
    std::string sent;
    for (int i = 0; i < 20; ++i) {
        const std::string piece(static_cast<std::size_t>(1000 + i * 997), static_cast<char>('a' + i));
        peer.send(piece);
        sent += piece;
        ASSERT_TRUE(pollLoopUntil([&] { return sensor.received().size() == sent.size(); }, 10s)) << i;
    }
    EXPECT_EQ(sensor.received(), sent);
    for (const auto& chunk : sensor.chunks())
        EXPECT_LE(chunk.size(), 4096u);
    const auto threads = sensor.threads();
    EXPECT_EQ(std::count(threads.begin(), threads.end(), currentThreadId()),
              static_cast<long>(threads.size()));

    // Whatever the last turns left (a read that found nothing more) is run out.
    for (int turn = 0; turn < 10 && readable(fd); ++turn)
        Application().ProcessDue();
    EXPECT_FALSE(readable(fd));
    peer.send("z");
    EXPECT_TRUE(readable(fd, 10s));
    ASSERT_TRUE(pollLoopUntil([&] { return sensor.received().size() == sent.size() + 1; }, 10s));
    EXPECT_EQ(sink.calls, std::vector<std::string>{"ready"});
    line.transport.reset();
}

// Handles WM_USER and, the first time, posts itself another one.
class EchoingTarget : public TMessageTarget {
public:
    void handleMessage(TMessage& message) override {
        if (message.message == WM_USER && ++handled == 1)
            postMessage(handle(), WM_USER);
    }
    int handled = 0;
};

TEST(ExternalEventLoop, TheDescriptorIsReadableWhileSomethingIsDueAndQuietOnceItHasRun) {
    const int fd = Application().EventDescriptor();
    Application().ProcessDue();
    EXPECT_FALSE(readable(fd));

    // A post from another thread, and the post its handler makes: that one waits for
    // the next turn, and the descriptor says so.
    EchoingTarget target;
    std::thread([&] { postMessage(target.handle(), WM_USER); }).join();
    EXPECT_TRUE(readable(fd));
    EXPECT_TRUE(Application().ProcessDue());
    EXPECT_EQ(target.handled, 1);
    EXPECT_TRUE(readable(fd));
    Application().ProcessDue();
    EXPECT_EQ(target.handled, 2);
    EXPECT_FALSE(readable(fd));

    // The thread's own post between turns.
    ASSERT_TRUE(postThreadMessage(currentThreadId(), WM_USER));
    EXPECT_TRUE(readable(fd));
    Application().ProcessDue();
    EXPECT_FALSE(readable(fd));

    // A watched descriptor that fires.
    const int event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(event, 0);
    int fired = 0;
    const auto watch =
        ThreadMessageQueue::current().watch(event, EPOLLIN | EPOLLET, [&](uint32_t) { ++fired; });
    const uint64_t one = 1;
    ASSERT_EQ(::write(event, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_TRUE(readable(fd));
    Application().ProcessDue();
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(readable(fd));
    ThreadMessageQueue::current().unwatch(watch);
    ::close(event);

    // A worker waiting in Synchronize.
    std::atomic<bool> ran{false};
    std::thread worker([&] { synchronize([&] { ran = true; }); });
    EXPECT_TRUE(readable(fd, 10s));
    Application().ProcessDue();
    EXPECT_TRUE(ran);
    Application().RunUntil([&] { return ran.load(); }, 10s); // frees the worker whatever came above
    worker.join();
    EXPECT_FALSE(readable(fd));

    // A quit request ends the program's loop.
    ASSERT_TRUE(postThreadMessage(currentThreadId(), WM_QUIT));
    EXPECT_FALSE(Application().ProcessDue());
    EXPECT_FALSE(readable(fd));
}

TEST(UnpumpedMainThread, AWorkerKeptWaitingInSynchronizeSaysTheMainThreadMustBePumped) {
#ifdef NDEBUG
    GTEST_SKIP() << "the diagnostic is compiled into debug builds only";
#else
    Detail::setUnpumpedWarningDelay(100ms);
    std::atomic<bool> ran{false};
    std::thread worker;
    const std::string line = TestSupport::standardErrorLine(
        [&] { worker = std::thread([&] { synchronize([&] { ran = true; }); }); }, 10s);
    EXPECT_TRUE(Application().RunUntil([&] { return ran.load(); }, 10s));
    worker.join();
    EXPECT_NE(line.find("the main thread must run Application().Run(), RunUntil() or ProcessMessages()"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("EventDescriptor()"), std::string::npos) << line;
#endif
}

} // namespace
