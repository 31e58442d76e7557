#include "ComPort.h"
#include "ComThread.h"
#include "PortOnPty.h"
#include "ShownExceptions.h"

#include "Exception.h"
#include "Messages.h"
#include "PostedCall.h"
#include "Synchronize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Serial;
using NorvEngineering::Platform::isMainThread;
using NorvEngineering::Platform::TObject;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

class ComEvents : public SerialTests::PortOnPtyTest {};

TEST_F(ComEvents, TheThreadRunsExactlyWhileALineHandlerIsBound) {
    port->Open();
    EXPECT_FALSE(port->HasEventThread());
    EXPECT_EQ(port->EventMask(), 0u);

    std::string received;
    int calls = 0;
    port->OnRxChar = [&](TObject* sender) {
        EXPECT_EQ(sender, port.get());
        EXPECT_TRUE(isMainThread());
        ++calls;
        received += readAll();
    };
    EXPECT_TRUE(port->HasEventThread());
    EXPECT_EQ(port->EventMask(), static_cast<uint32_t>(evRxChar));
    const auto completion = port->EventThreadCompletion();
    ASSERT_TRUE(completion);

    pty.send("first");
    ASSERT_TRUE(runUntil([&] { return received == "first"; }));
    pty.send("second");
    ASSERT_TRUE(runUntil([&] { return received == "firstsecond"; }));
    EXPECT_GE(calls, 2);

    port->OnRxChar = nullptr;
    EXPECT_FALSE(port->HasEventThread());
    EXPECT_EQ(port->EventMask(), 0u);
    EXPECT_TRUE(completion->wait(5s));
    pty.send("unheard");
    ASSERT_TRUE(runUntil([&] { return port->InputCount() == 7; }));
    EXPECT_EQ(received, "firstsecond");

    // Bound again: the waiting bytes are news to the new thread.
    port->OnRxChar = [&](TObject*) { received += readAll(); };
    ASSERT_TRUE(runUntil([&] { return received == "firstsecondunheard"; }));
    port->Close();
    EXPECT_FALSE(port->HasEventThread());
}

TEST_F(ComEvents, UnreadInputIsReportedOncePerArrival) {
    std::atomic<int> calls{0};
    port->OnRxChar = [&](TObject*) { ++calls; }; // reads nothing
    port->Open();
    pty.send("a");
    ASSERT_TRUE(runUntil([&] { return calls == 1; }));
    pty.send("b");
    ASSERT_TRUE(runUntil([&] { return calls == 2; }));
    EXPECT_EQ(port->InputCount(), 2);
}

TEST_F(ComEvents, ABatchRunsInTheFixedOrder) {
    std::vector<std::string> order;
    port->BufferSizes()->SetInput(10); // 80 % full at 8 bytes
    port->OnRxChar = [&](TObject*) {
        order.push_back("rx");
        readAll();
    };
    port->OnRx80PercFull = [&](TObject*) { order.push_back("rx80"); };
    port->Open();
    pty.send("123456789");
    ASSERT_TRUE(runUntil([&] { return !order.empty() && order.back() == "rx"; }));
    EXPECT_EQ(order, (std::vector<std::string>{"rx80", "rx"}));
}

TEST_F(ComEvents, AHandlerExceptionIsShownOnceAndEventsGoOn) {
    const TestSupport::ShownExceptions shown;
    int calls = 0;
    port->OnRxChar = [&](TObject*) {
        ++calls;
        readAll();
        if (calls == 1)
            throw std::runtime_error("handler failed");
        if (calls == 2)
            NorvEngineering::Platform::Abort(); // silent
    };
    port->Open();
    for (int round = 1; round <= 3; ++round) {
        pty.send("x");
        ASSERT_TRUE(runUntil([&] { return calls == round; }));
    }
    EXPECT_EQ(shown.texts(), std::vector<std::string>{"handler failed"});
    EXPECT_TRUE(port->HasEventThread());
}

TEST_F(ComEvents, TheOtherSideGoingAwayReachesOnErrorOnTheMainThreadAndClosesThePort) {
    std::vector<std::pair<int, std::string>> errors;
    int afterClose = 0;
    port->OnError = [&](TCustomComPort*, EComError& error, TComAction& action) {
        EXPECT_TRUE(isMainThread());
        errors.emplace_back(error.Code(), error.Message());
        action = caAbort;
    };
    port->AfterClose = [&](TCustomComPort*) { ++afterClose; };
    port->OnRxChar = [&](TObject*) { readAll(); };
    port->Open();
    const auto completion = port->EventThreadCompletion();
    pty.hangUp();
    ASSERT_TRUE(runUntil([&] { return !port->Active(); }));
    EXPECT_TRUE(completion->wait(5s));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::make_pair(5, std::string("Input/output error")));
    EXPECT_EQ(afterClose, 1);
    EXPECT_FALSE(port->HasEventThread());
}

TEST_F(ComEvents, DirectEventsRunOnTheEventThreadAndMayCloseThePort) {
    port->SetSynchronizeEvents(false);
    std::atomic<bool> onWorker{false};
    std::atomic<int> calls{0};
    port->OnRxChar = [&](TObject*) {
        onWorker = !isMainThread();
        if (++calls == 2)
            port->Close();
        else
            readAll();
    };
    port->Open();
    pty.send("one");
    ASSERT_TRUE(runUntil([&] { return calls == 1; }));
    EXPECT_TRUE(onWorker);
    pty.send("two");
    ASSERT_TRUE(runUntil([&] { return calls == 2; }));
    ASSERT_TRUE(runUntil([&] { return TComThread::LiveThreads() == 0; }));
    EXPECT_FALSE(port->Active());
}

TEST_F(ComEvents, TheEightyPercentEventComesOnlyWithTheBatchThatSawItsQueueFull) {
    int rx80 = 0;
    int rx = 0;
    port->BufferSizes()->SetInput(10); // 80 % full at 8 bytes
    port->OnRx80PercFull = [&](TObject*) { ++rx80; };
    port->OnRxChar = [&](TObject*) { ++rx; }; // reads nothing
    port->Open();
    pty.send("123456789");
    ASSERT_TRUE(runUntil([&] { return rx80 == 1; }));
    readAll();
    // The next batch carries received characters alone (the 80 % event of a batch runs
    // before its characters, so it would have come by now).
    const int before = rx;
    pty.send("x");
    ASSERT_TRUE(runUntil([&] { return rx > before; }));
    EXPECT_EQ(rx80, 1);
    EXPECT_EQ(port->PostedEvents(), 0u);
}

TEST_F(ComEvents, ABatchOnItsWayFindsItsPortGone) {
    int calls = 0;
    port->OnRxChar = [&](TObject*) { ++calls; };
    port->Open();
    pty.send("late");
    // Waited for without running the main thread's messages: the batch has been
    // handed to the main thread and waits there for its turn.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while ((port->PostedEvents() & evRxChar) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_NE(port->PostedEvents() & evRxChar, 0u);
    port.reset();
    // Its turn comes and finds nothing to run.
    bool reached = false;
    NorvEngineering::Platform::TPostedCall marker([&] { reached = true; });
    marker.request();
    ASSERT_TRUE(runUntil([&] { return reached; }));
    EXPECT_TRUE(TComThread::WaitForAll(5s));
    EXPECT_EQ(calls, 0);
}

TEST_F(ComEvents, DestroyingThePortWhileDirectBatchesRunWaitsForThem) {
    // A stream of input keeps the event thread in its handler; the main thread destroys
    // the port meanwhile, while the handler reads, or while it waits for the main
    // thread to close the port for it.
    for (int round = 0; round < 60; ++round) {
        SerialTests::PortOnPty rig;
        auto& local = rig.port;
        TComPort* const target = local.get(); // the handler's: the owner's pointer is null while it destroys
        local->SetSynchronizeEvents(false);
        std::atomic<int> batches{0};
        const bool handsCloseOver = round % 3 == 0;
        local->OnRxChar = [&, handsCloseOver](TObject*) {
            const int32_t count = target->InputCount();
            std::string bytes(static_cast<std::size_t>(std::max(count, 1)), '\0');
            if (count > 0)
                target->Read(bytes.data(), count, false);
            if (++batches > 3 && handsCloseOver)
                target->Close();
        };
        local->Open();
        std::atomic<bool> stop{false};
        // Kept short of what the line holds, so that it never blocks once the port is gone.
        std::thread feeder([&] {
            while (!stop) {
                if (rig.pty.unread() < 512)
                    rig.pty.send("0123456789\r");
                else
                    std::this_thread::sleep_for(200us);
            }
        });
        ASSERT_TRUE(runUntil([&] { return batches > 3; }));
        local.reset();
        stop = true;
        feeder.join();
    }
    EXPECT_TRUE(TComThread::WaitForAll(5s));
}

TEST_F(ComEvents, AHandlerMayDestroyItsPort) {
    port->OnRxChar = [&](TObject*) { port.reset(); };
    port->OnBreak = [&](TObject*) {};
    port->Open();
    pty.send("bye");
    ASSERT_TRUE(runUntil([&] { return port == nullptr; }));
}

TEST_F(ComEvents, InputBeforeAHangUpReachesOnRxCharBeforeOnErrorAndTheClose) {
    // The handler takes at most 1000 bytes a call, as one with a buffer of its own
    // would: it is asked again until nothing is left.
    std::string received;
    std::vector<std::string> after;
    port->OnRxChar = [&](TObject*) {
        const int32_t count = std::min(port->InputCount(), 1000);
        std::string bytes(static_cast<std::size_t>(count), '\0');
        port->Read(bytes.data(), count, true);
        received += bytes;
    };
    port->OnError = [&](TCustomComPort*, EComError& error, TComAction& action) {
        after.push_back("error " + std::to_string(error.Code()) + " at " + std::to_string(received.size()));
        action = caAbort;
    };
    port->AfterClose = [&](TCustomComPort*) {
        after.push_back("close at " + std::to_string(received.size()));
    };
    port->Open();
    std::string sent;
    for (int line = 0; sent.size() < 6000; ++line)
        sent += std::to_string(line) + "\r";
    pty.send(sent);
    SerialTests::busyUntil(
        [&] { return port->InputCount() == static_cast<int32_t>(sent.size()) && pty.unread() == 0; }, 2s);
    pty.hangUp();
    SerialTests::busyUntil(NorvEngineering::Platform::synchronizePending, 2s);
    ASSERT_TRUE(runUntil([&] { return !port->Active(); }));
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size();
    const std::string all = std::to_string(sent.size());
    EXPECT_EQ(after, (std::vector<std::string>{"error 5 at " + all, "close at " + all}));
}

TEST_F(ComEvents, ReadingAheadStopsAtItsLimitAndGoesOnAsTheOwnerTakes) {
    bool taking = false;
    std::string received;
    port->OnRxChar = [&](TObject*) {
        if (taking)
            received += readAll();
    };
    port->Open();
    std::string numbered;
    for (int i = 0; numbered.size() < 1024 * 1024; ++i)
        numbered += std::to_string(i) + ";";
    // Nobody takes anything: the other side is held off once the port's store and the
    // terminal's own buffers are full.
    const std::size_t sent = pty.sendUntilHeldOff(numbered, 500ms);
    ASSERT_LT(sent, numbered.size());
    EXPECT_LE(port->InputCount(), static_cast<int32_t>(TComInputStore::kCapacity + 4096));
    // What the line still held comes as the owner makes room, in order.
    taking = true;
    ASSERT_TRUE(runUntil([&] { return received.size() >= sent; })) << received.size() << " of " << sent;
    EXPECT_TRUE(received == numbered.substr(0, sent));
}

TEST_F(ComEvents, PurgeAndCloseDropWhatWasReadAhead) {
    port->OnRxChar = [&](TObject*) {}; // takes nothing: the bytes wait in the port
    port->Open();
    // All of it has come (counted first), and none of it waits on the line any more.
    const auto readAhead = [&](int32_t count) {
        return runUntil([&] { return port->InputCount() == count && pty.unread() == 0; });
    };
    for (const auto discard : {&TCustomComPort::PurgeInput, &TCustomComPort::ClearInput}) {
        pty.send("stale");
        ASSERT_TRUE(readAhead(5));
        ((*port).*discard)();
        EXPECT_EQ(port->InputCount(), 0);
    }
    pty.send("old");
    ASSERT_TRUE(readAhead(3));
    port->Close();
    port->Open();
    EXPECT_EQ(port->InputCount(), 0);
    pty.send("new");
    ASSERT_TRUE(readAhead(3));
    EXPECT_EQ(port->ReadString(), "new");
}

TEST_F(ComEvents, AWaitingReadTakesWhatTheEventThreadReadsMeanwhile) {
    port->OnRxChar = [&](TObject*) {}; // bound, so the event thread reads ahead
    port->Timeouts()->SetReadConstant(5000);
    port->Open();
    for (int round = 0; round < 20; ++round) {
        const std::string line = "round " + std::to_string(round) + "\r";
        std::thread other([&] {
            for (const char c : line) {
                pty.send(std::string(1, c));
                SerialTests::busyUntil([&] { return pty.unread() == 0; });
            }
        });
        std::string got;
        EXPECT_NO_THROW(got = port->ReadLine()) << round;
        other.join();
        EXPECT_EQ(got, line);
    }
}

TEST_F(ComEvents, TransmitEmptyFollowsTheOtherSidesReading) {
    std::atomic<int> empties{0};
    port->OnTxEmpty = [&](TObject*) { ++empties; };
    port->Open();
    port->Write("ping", 4, true);
    EXPECT_EQ(pty.receive(4, 5s), "ping");
    ASSERT_TRUE(runUntil([&] { return empties >= 1; }));
}

} // namespace
