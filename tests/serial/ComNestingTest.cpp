// One port's notifications run one at a time, whatever a handler does: a handler that
// runs the main thread's loop (a message box, a console owner's wait) sees no other
// notification of its port start inside it; what came meanwhile follows, in order,
// once it has returned.
#include "ComPort.h"
#include "ComThread.h"
#include "PortOnPty.h"

#include "Application.h"
#include "MessageQueue.h"
#include "Synchronize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Serial;
using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::TObject;
using SerialTests::busyUntil;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

// Numbered lines, so that a byte lost, repeated or moved shows.
std::string numberedLines(std::size_t size, int first = 0) {
    std::string text;
    for (int i = first; text.size() < size; ++i)
        text += std::to_string(i) + ";";
    text.resize(size);
    return text;
}

// Counts the notifications of a port that run at once; a handler's own calls into the
// port (which may raise OnError) do not count as notifications of their own.
struct InFlight {
    int running = 0;
    int overlaps = 0;
    bool ownCall = false;

    struct Scope {
        explicit Scope(InFlight& counter, bool notification = true)
            : m_counter_(counter), m_on_(notification) {
            if (m_on_ && m_counter_.running++ != 0)
                ++m_counter_.overlaps;
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() {
            if (m_on_)
                --m_counter_.running;
        }
        InFlight& m_counter_;
        bool m_on_;
    };
};

class ComNesting : public SerialTests::PortOnPtyTest {
protected:
    // Takes at most `most` bytes of what the port holds now, as a handler's own call.
    std::string take(int32_t most) {
        flight.ownCall = true;
        std::string bytes = PortOnPty::take(most);
        flight.ownCall = false;
        return bytes;
    }

    void hangUpDuringAWait(bool openOnAnotherThread);

    InFlight flight;
};

// A handler that waits in loops of its own while input keeps coming, and the other
// side hangs up during one of those loops: the input comes first, all of it, then one
// OnError, then the close, each after the running handler has returned. The port is
// opened on the main thread (its batches are posted) or on another thread (its
// thread synchronises each batch, and so reads nothing ahead while a handler runs:
// what is still on the line when the other side hangs up during the wait is lost
// there, and what came must be a start of what was sent, once and in order).
void ComNesting::hangUpDuringAWait(bool openOnAnotherThread) {
    const std::string sent = numberedLines(30000);
    std::string received;
    std::vector<std::string> after;
    std::atomic<bool> allSent{false};
    // Latched: the other side hangs up once the long wait has begun, and the wait
    // lasts until it has.
    std::atomic<bool> longWaitBegun{false};
    std::atomic<bool> hungUp{false};
    bool waitedLong = false;
    int calls = 0;
    port->OnRxChar = [&](TObject*) {
        const InFlight::Scope scope(flight);
        static constexpr int32_t kBites[] = {1, 700, 33, 4096, 250, 9};
        received += take(kBites[static_cast<std::size_t>(calls) % std::size(kBites)]);
        ++calls;
        // A wait of its own now and then; a long one once everything has been sent,
        // during which the other side hangs up.
        const bool last = allSent && !waitedLong;
        if (last) {
            waitedLong = true;
            // Everything sent is in the port's store (counted first: what the terminal
            // has not yet moved up to its queue is in neither count), so nothing is
            // left for the hang-up to throw away.
            if (!openOnAnotherThread)
                busyUntil([&] {
                    return received.size() + static_cast<std::size_t>(port->InputCount()) == sent.size() &&
                           pty.unread() == 0;
                });
            longWaitBegun = true;
            Application().RunUntil([&] { return hungUp.load(); }, 10s);
        } else if (calls % 4 == 0) {
            Application().RunUntil([] { return false; }, 20ms);
        }
    };
    port->OnError = [&](TCustomComPort*, EComError& error, TComAction& action) {
        const InFlight::Scope scope(flight, !flight.ownCall);
        after.push_back("error " + std::to_string(error.Code()) + " at " + std::to_string(received.size()));
        action = caAbort;
        Application().RunUntil([] { return false; }, 50ms);
    };
    port->AfterClose = [&](TCustomComPort*) {
        const InFlight::Scope scope(flight, !flight.ownCall);
        after.push_back("close at " + std::to_string(received.size()));
    };
    if (openOnAnotherThread)
        std::thread([&] { port->Open(); }).join();
    else
        port->Open();
    std::thread other([&] {
        // In pieces of uneven size, each read by the port before the next, so that
        // nothing the terminal holds is thrown away at the hang-up.
        for (std::size_t at = 0, piece = 1; at < sent.size(); at += piece, piece = piece * 7 % 997 + 1) {
            // The last piece brings the handler that waits during the hang-up.
            allSent = at + piece >= sent.size();
            pty.send(std::string_view(sent).substr(at, piece));
            busyUntil([&] { return pty.unread() == 0; });
        }
        EXPECT_TRUE(busyUntil([&] { return longWaitBegun.load(); }, 10s));
        pty.hangUp();
        hungUp = true;
        NorvEngineering::Platform::wakeMainThread();
    });
    const bool closed = runUntil([&] { return !port->Active(); }, 20s);
    other.join();
    ASSERT_TRUE(closed);
    EXPECT_EQ(flight.overlaps, 0);
    if (openOnAnotherThread)
        EXPECT_TRUE(sent.starts_with(received)) << received.size() << " of " << sent.size();
    else
        EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size();
    const std::string all = std::to_string(received.size());
    EXPECT_EQ(after, (std::vector<std::string>{"error 5 at " + all, "close at " + all}));
}

TEST_F(ComNesting, NoNotificationStartsInsideARunningOneAndAHangUpComesLastInOrder) {
    hangUpDuringAWait(false);
}

TEST_F(ComNesting, SoForAPortOpenedOnAnotherThread) {
    hangUpDuringAWait(true);
}

// While a handler of one port waits, its port's news waits without costing the main
// thread anything (nothing asks again and again), and other ports go on delivering.
TEST_F(ComNesting, AWaitingHandlerIsNotWokenForItsOwnPortAndOtherPortsGoOn) {
    SerialTests::PortOnPty other;
    std::string otherReceived;
    other.port->OnRxChar = [&](TObject*) {
        std::string bytes(64, '\0');
        bytes.resize(static_cast<std::size_t>(other.port->ReadAvailable(bytes.data(), 64)));
        otherReceived += bytes;
    };
    other.port->Open();

    int looks = 0;
    int calls = 0;
    std::atomic<bool> waiting{false};
    port->OnRxChar = [&](TObject*) {
        const InFlight::Scope scope(flight);
        if (++calls > 1)
            return; // takes nothing: the bytes wait in the port
        waiting = true;
        Application().RunUntil(
            [&] {
                ++looks;
                return otherReceived.size() == 20;
            },
            10s);
        // Then a while with nothing coming and the port's news waiting.
        Application().RunUntil(
            [&] {
                ++looks;
                return false;
            },
            250ms);
        waiting = false;
    };
    port->Open();
    pty.send("x");
    std::thread feeder([&] {
        busyUntil([&] { return waiting.load(); });
        // Forty arrivals on the waiting port, each read ahead by its thread, then twenty
        // one at a time on the other port, which the waiting handler waits for.
        for (int i = 0; i < 40; ++i) {
            pty.send("y");
            busyUntil([&] { return pty.unread() == 0; });
        }
        for (int i = 0; i < 20; ++i) {
            other.pty.send("z");
            busyUntil([&] { return other.pty.unread() == 0; });
        }
    });
    ASSERT_TRUE(runUntil([&] { return calls == 2; }));
    feeder.join();
    EXPECT_EQ(otherReceived, std::string(20, 'z'));
    // Woken for what came (the other port's twenty arrivals, a few of the held-back
    // port's before it held back), never by a port that keeps asking.
    EXPECT_LE(looks, 60);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(port->InputCount(), 41);
    EXPECT_EQ(flight.overlaps, 0);
}

// OnError of a call that failed (a write that cannot leave) is a notification of the
// port too: input that comes while its handler runs the loop waits for it to return.
TEST_F(ComNesting, InputWaitsWhileOnErrorOfAFailedCallRunsTheLoop) {
    std::vector<std::string> order;
    port->OnRxChar = [&](TObject*) {
        const InFlight::Scope scope(flight);
        order.push_back("rx " + take(100));
    };
    port->OnError = [&](TCustomComPort*, EComError& error, TComAction&) {
        const InFlight::Scope scope(flight);
        order.push_back("error " + error.Message());
        pty.send("meanwhile");
        Application().RunUntil([&] { return pty.unread() == 0 && port->PostedEvents() != 0; }, 5s);
    };
    port->Timeouts()->SetWriteConstant(50);
    port->Open();
    // Nobody reads the other side: the pty's queues fill up.
    const std::string block(256 * 1024, 'x');
    EXPECT_THROW(port->Write(block.data(), static_cast<int32_t>(block.size()), true), EComError);
    ASSERT_TRUE(runUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"error Timeout", "rx meanwhile"}));
    EXPECT_EQ(flight.overlaps, 0);
}

// A handler that, while it waits in a loop of its own, destroys its port, or closes
// and opens it again, while a report of the other side's hang-up waits for it: the
// report is dropped with the thread it came from, never run on a port that is gone,
// and the thread ends.
TEST_F(ComNesting, APortDestroyedOrReopenedInsideAWaitingHandlerDropsTheReportThatWaits) {
    for (const bool destroy : {true, false}) {
        SerialTests::PortOnPty rig;
        SerialTests::PtyPair second;
        TComPort* const target = rig.port.get();
        int calls = 0;
        int errors = 0;
        std::string received;
        rig.port->OnError = [&](TCustomComPort*, EComError&, TComAction& action) {
            ++errors;
            action = caAbort;
        };
        rig.port->OnRxChar = [&](TObject*) {
            if (++calls > 1) {
                std::string bytes(16, '\0');
                bytes.resize(static_cast<std::size_t>(target->ReadAvailable(bytes.data(), 16)));
                received += bytes;
                return;
            }
            rig.pty.hangUp();
            // The event thread asks for its report; the loop finds the port busy.
            busyUntil(NorvEngineering::Platform::synchronizePending, 2s);
            TestSupport::pumpFor(20ms);
            if (destroy) {
                rig.port.reset();
                return;
            }
            target->Close();
            target->SetDeviceName(second.path());
            target->Open();
            second.send("again");
            TestSupport::pumpFor(20ms);
        };
        rig.port->Open();
        rig.pty.send("x");
        ASSERT_TRUE(runUntil([&] { return destroy ? rig.port == nullptr : received == "again"; }))
            << (destroy ? "destroyed" : "reopened");
        TestSupport::pumpFor(50ms);
        EXPECT_EQ(errors, 0);
        EXPECT_EQ(calls, destroy ? 1 : 2);
        rig.port.reset();
        EXPECT_TRUE(TComThread::WaitForAll(5s)) << (destroy ? "destroyed" : "reopened");
    }
}

// Binding OnRxChar on a running port (its thread runs for another handler and reads
// nothing ahead) raises it at once for input that waits, and reads that input ahead,
// so that it survives the other side hanging up; so does binding it again.
TEST(ComBinding, BindingOnRxCharOnARunningPortRaisesItForWaitingInputAtOnce) {
    for (int trial = 0; trial < 40; ++trial) {
        SerialTests::PortOnPty rig;
        rig.port->OnLineError = [](TObject*, TLineErrors) {};
        rig.port->Open();
        const std::string text = "trial " + std::to_string(trial);
        rig.pty.send(text);
        ASSERT_TRUE(rig.waitForInput(static_cast<int32_t>(text.size())));
        int calls = 0;
        const auto count = [&calls](TObject*) { ++calls; }; // takes nothing
        rig.port->OnRxChar = count;
        ASSERT_TRUE(runUntil([&] { return calls > 0; }, 1s)) << "trial " << trial;
        rig.port->OnRxChar = nullptr;
        calls = 0;
        rig.port->OnRxChar = count;
        ASSERT_TRUE(runUntil([&] { return calls > 0; }, 1s)) << "trial " << trial << ", bound again";
        EXPECT_TRUE(busyUntil([&] { return rig.pty.unread() == 0; }, 1s)) << "trial " << trial;
        rig.pty.hangUp();
        EXPECT_EQ(rig.port->ReadString(), text);
    }
    EXPECT_TRUE(TComThread::WaitForAll(5s));
}

} // namespace
