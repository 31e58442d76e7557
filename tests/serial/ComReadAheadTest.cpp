// What the event thread reads ahead into the port's input store: every byte reaches
// the owner once, in order, however unevenly it takes them, and survives the other
// side hanging up; the thread reads on whenever there is room and something waits,
// and lets go of the reading when it ends.
#include "ComPort.h"
#include "ComThread.h"
#include "DescriptorsUsedUp.h"
#include "PortOnPty.h"

#include "Application.h"

#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Serial;
using NorvEngineering::Platform::TObject;
using SerialTests::busyUntil;
using TestSupport::runUntil;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string numberedLines(std::size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += std::to_string(i) + ";";
    text.resize(size);
    return text;
}

// Whether a thread of this process is blocked in a wait now (state S in /proc).
bool threadSleeps(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

constexpr int32_t kCapacity = static_cast<int32_t>(TComInputStore::kCapacity);

class ComReadAhead : public SerialTests::PortOnPtyTest {
protected:
    // The port's failure, noted with how much had arrived by then; it ends the call.
    void noteHangUp(std::vector<std::string>& after, const std::string& received) {
        port->OnError = [&after, &received](TCustomComPort*, EComError& error, TComAction& action) {
            after.push_back("error " + std::to_string(error.Code()) + " at " +
                            std::to_string(received.size()));
            action = caAbort;
        };
    }
    // Every byte sent arrived, then the one failure of the hang-up.
    static void expectEverythingBeforeTheHangUp(const std::vector<std::string>& after,
                                                const std::string& received, const std::string& sent) {
        ASSERT_TRUE(runUntil([&] { return !after.empty(); }));
        EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size();
        EXPECT_EQ(after, std::vector<std::string>{"error 5 at " + std::to_string(sent.size())});
    }
};

// The store fills before the owner takes anything, and the line holds the rest; then
// the owner takes in pieces of every size, so that the store is filled again and
// again behind what it has partly taken, until the other side has nothing more.
TEST_F(ComReadAhead, PastItsCapacityInUnevenPiecesEveryByteComesOnceInOrder) {
    bool taking = false;
    std::string received;
    std::size_t turn = 0;
    port->OnRxChar = [&](TObject*) {
        static constexpr int32_t kBites[] = {1, 3, 700, 64, 4096, 17, 2500, 9000, 5};
        if (!taking)
            return;
        received += take(kBites[turn++ % std::size(kBites)]);
        // What is left is not announced again: another turn, as the transport asks.
        if (port->InputCount() > 0)
            port->PostEvents(evRxChar);
    };
    port->Open();
    const std::string sent = numberedLines(300 * 1024 + 77);
    std::atomic<bool> stop{false};
    std::thread other([&] {
        // Gives up once the test has: a port that stopped taking holds it off for good.
        for (std::size_t at = 0; at < sent.size() && !stop;)
            at += pty.sendUntilHeldOff(std::string_view(sent).substr(at), 100ms);
    });
    const bool filled = busyUntil([&] { return port->InputCount() > kCapacity; });
    taking = true;
    if (filled)
        received += take(1); // the first room; the rest follows from the handler's turns
    const bool all = runUntil([&] { return received.size() >= sent.size(); }, 30s);
    stop = true;
    other.join();
    ASSERT_TRUE(filled);
    ASSERT_TRUE(all) << received.size() << " of " << sent.size();
    EXPECT_TRUE(received == sent);
}

// Exactly as much as the store holds, all of it read off the line, and then the
// other side hangs up (all of it counted first: what the terminal has not yet moved
// up to its queue is not in the line's count, and only then does an empty queue mean
// that the store holds it all): nothing is lost, and a handler that takes nothing is asked
// once more for it before the error, not again and again.
TEST_F(ComReadAhead, AFullStoreKeepsEveryByteAcrossAHangUp) {
    bool hungUp = false;
    int askedAfterHangUp = 0;
    bool takesAll = false;
    std::string received;
    std::vector<std::string> after;
    port->OnRxChar = [&](TObject*) {
        if (!hungUp)
            return;
        // Only the turn after the report takes what is held; one that is asked
        // again and again would end the test here.
        if (++askedAfterHangUp > 100 || takesAll)
            received += readAll();
    };
    port->OnError = [&](TCustomComPort*, EComError& error, TComAction& action) {
        after.push_back("error " + std::to_string(error.Code()));
        action = caAbort;
    };
    port->Open();
    const std::string sent = numberedLines(TComInputStore::kCapacity);
    pty.send(sent);
    ASSERT_TRUE(busyUntil([&] { return port->InputCount() == kCapacity && pty.unread() == 0; }))
        << pty.unread() << " still on the line, " << port->InputCount() << " in all";
    hungUp = true;
    pty.hangUp();
    ASSERT_TRUE(runUntil([&] { return !after.empty(); }));
    // The batches that waited and the report's own ask; never again and again.
    EXPECT_LE(askedAfterHangUp, 4);
    EXPECT_EQ(after, std::vector<std::string>{"error 5"});
    EXPECT_FALSE(port->Active());

    // Again, with a handler that takes what is held when it is asked.
    port.reset();
    SerialTests::PtyPair second;
    port = std::make_unique<TComPort>(nullptr);
    port->SetDeviceName(second.path());
    hungUp = false;
    takesAll = true;
    askedAfterHangUp = 0;
    after.clear();
    port->OnRxChar = [&](TObject*) {
        if (hungUp)
            received += readAll();
    };
    noteHangUp(after, received);
    port->Open();
    second.send(sent);
    ASSERT_TRUE(busyUntil([&] { return port->InputCount() == kCapacity && second.unread() == 0; }))
        << second.unread() << " still on the line, " << port->InputCount() << " in all";
    hungUp = true;
    second.hangUp();
    expectEverythingBeforeTheHangUp(after, received, sent);
}

// The store full and more waiting on the line, with nothing more on its way: room
// that the owner makes is filled from the line at once, so that what the other side
// wrote before it hung up is all there afterwards.
TEST_F(ComReadAhead, RoomMadeInAFullStoreIsFilledFromTheLineAtOnce) {
    bool hungUp = false;
    std::string received;
    std::vector<std::string> after;
    port->OnRxChar = [&](TObject*) {
        if (hungUp)
            received += readAll();
    };
    noteHangUp(after, received);
    port->Open();
    const std::string sent = numberedLines(TComInputStore::kCapacity + 3000);
    pty.send(sent);
    ASSERT_TRUE(busyUntil([&] { return port->InputCount() == kCapacity + 3000 && pty.unread() == 3000; }))
        << pty.unread() << " on the line, " << port->InputCount() << " in all";
    std::size_t taken = 0;
    for (const int32_t bite : {1000, 1, 2999}) {
        received += take(bite);
        taken += static_cast<std::size_t>(bite);
        ASSERT_EQ(received.size(), taken);
        const auto left = static_cast<int>(3000 - std::min<std::size_t>(3000, taken));
        EXPECT_TRUE(busyUntil([&] { return pty.unread() == left; }))
            << pty.unread() << " on the line after taking " << taken;
    }
    hungUp = true;
    pty.hangUp();
    expectEverythingBeforeTheHangUp(after, received, sent);
}

// A read that waits while the event thread reads ahead learns from the thread when
// the device goes: it ends with the device's error, not at its time-out.
TEST_F(ComReadAhead, AWaitingReadEndsWhenTheDeviceGoesNotAtItsTimeOut) {
    port->OnRxChar = [&](TObject*) {}; // bound, so the event thread reads ahead
    port->Timeouts()->SetReadConstant(20000);
    port->Open();
    const pid_t self = ::gettid();
    std::thread other([&] {
        busyUntil([&] { return threadSleeps(self); });
        pty.hangUp();
    });
    char bytes[8] = {};
    int code = -1;
    const auto start = Clock::now();
    try {
        port->Read(bytes, sizeof bytes, true);
    } catch (const EComError& error) {
        code = error.Code();
    }
    const auto waited = Clock::now() - start;
    other.join();
    EXPECT_EQ(code, 5);
    EXPECT_LT(waited, 10s);
}

// An event thread that could not start (no descriptor left for its wait) reports
// so and ends; the port stays open, and a handler bound later does not make that
// thread the port's reader: a waiting read still takes what comes.
TEST_F(ComReadAhead, AThreadThatEndedAtItsStartIsNotMadeTheReaderAgain) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks open a pipe, and report nonsense when they cannot.
    GTEST_SKIP() << "needs descriptors for the sanitizer runtime";
#endif
    std::vector<int> errors;
    port->OnError = [&](TCustomComPort*, EComError& error, TComAction&) { errors.push_back(error.Code()); };
    port->Open();
    TestSupport::pumpFor(1ms); // the main thread's queue exists before the descriptors run out
    {
        const TestSupport::DescriptorsUsedUp usedUp(1); // the wake-up's, not the wait's
        port->OnLineError = [](TObject*, TLineErrors) {};
        ASSERT_TRUE(port->HasEventThread());
        ASSERT_TRUE(runUntil([&] { return !errors.empty(); }));
        ASSERT_TRUE(port->EventThreadCompletion()->wait(5s));
    }
    EXPECT_EQ(errors, std::vector<int>{24});
    ASSERT_TRUE(port->Active());

    port->OnRxChar = [](TObject*) {};
    port->Timeouts()->SetReadConstant(20000);
    const pid_t self = ::gettid();
    std::thread other([&] {
        busyUntil([&] { return threadSleeps(self); });
        pty.send("late");
    });
    char bytes[4] = {};
    const auto start = Clock::now();
    EXPECT_NO_THROW(port->Read(bytes, sizeof bytes, true));
    const auto waited = Clock::now() - start;
    other.join();
    EXPECT_EQ(std::string(bytes, sizeof bytes), "late");
    EXPECT_LT(waited, 10s);
}

} // namespace
