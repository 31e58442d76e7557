#include "ComPort.h"
#include "PortOnPty.h"

#include "Exception.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Serial;
using NorvEngineering::Platform::EAbort;
using namespace std::chrono_literals;

namespace {

struct OpenPort : SerialTests::PortOnPty {
    TComPort& port = *PortOnPty::port;
    OpenPort() { port.Open(); }
};

TEST(ComTransfer, WritesReachTheOtherSideAndReadsTakeWhatCame) {
    OpenPort rig;
    rig.port.Write("hello\r", 6, true);
    EXPECT_EQ(rig.pty.receive(6, 5s), "hello\r");
    EXPECT_FALSE(rig.port.WritePending());

    rig.pty.send("abc\r\ndef");
    ASSERT_TRUE(rig.waitForInput(8));
    EXPECT_EQ(rig.port.InputCount(), 8);
    EXPECT_EQ(rig.port.OutputCount(), 0);
    char buffer[16] = {};
    rig.port.Read(buffer, 8, false); // what the queue holds completes at once
    EXPECT_FALSE(rig.port.ReadPending());
    EXPECT_EQ(std::string(buffer, 8), "abc\r\ndef");
    EXPECT_EQ(rig.port.InputCount(), 0);

    // A read of nothing starts nothing but waits for the previous read to end.
    rig.port.Read(buffer, 4, false);
    EXPECT_TRUE(rig.port.ReadPending());
    rig.pty.send("wxyz");
    rig.port.Read(nullptr, 0, false);
    EXPECT_EQ(std::string(buffer, 4), "wxyz");
    EXPECT_FALSE(rig.port.ReadPending());
}

TEST(ComTransfer, AReadThatRunsOutOfTimeRaisesTimeoutAndKeepsWhatCame) {
    OpenPort rig;
    rig.port.Timeouts()->SetReadConstant(100);
    rig.pty.send("12");
    ASSERT_TRUE(rig.waitForInput(2));
    char buffer[8] = {};
    const auto started = std::chrono::steady_clock::now();
    try {
        rig.port.Read(buffer, 5, true);
        FAIL() << "no time-out";
    } catch (const EComError& error) {
        EXPECT_EQ(error.Code(), 0);
        EXPECT_EQ(error.Message(), "Timeout");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, 90ms);
    EXPECT_EQ(std::string(buffer, 2), "12");

    // The interval time-out ends a read once characters stop coming.
    rig.port.Timeouts()->SetReadConstant(0);
    rig.port.Timeouts()->SetReadInterval(30);
    rig.pty.send("3");
    EXPECT_THROW(rig.port.Read(buffer, 5, true), EComError);
    EXPECT_EQ(buffer[0], '3');

    // -1 with no totals: back at once with what is there.
    rig.port.Timeouts()->SetReadInterval(-1);
    EXPECT_THROW(rig.port.Read(buffer, 5, true), EComError);
}

TEST(ComTransfer, PurgeDropsWhatWaits) {
    OpenPort rig;
    rig.pty.send("stale bytes");
    ASSERT_TRUE(rig.waitForInput(11));
    rig.port.PurgeInput();
    EXPECT_EQ(rig.port.InputCount(), 0);
    rig.pty.send("fresh");
    ASSERT_TRUE(rig.waitForInput(5));
    char buffer[5];
    rig.port.Read(buffer, 5, true);
    EXPECT_EQ(std::string(buffer, 5), "fresh");
    rig.port.ClearInput();
    rig.port.PurgeOutput();
    rig.port.ClearOutput();
}

TEST(ComTransfer, AWriteThatCannotLeaveEndsInTimeoutAfterTheWriteTimeout) {
    OpenPort rig;
    rig.port.Timeouts()->SetWriteConstant(150);
    std::vector<std::pair<int, std::string>> errors;
    rig.port.OnError = [&](TCustomComPort*, EComError& error, TComAction&) {
        errors.emplace_back(error.Code(), error.Message());
    };
    // Nobody reads the other side: the pty's queues fill up.
    const std::string block(256 * 1024, 'x');
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(rig.port.Write(block.data(), static_cast<int32_t>(block.size()), true), EComError);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 3s);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::make_pair(0, std::string("Timeout")));
    EXPECT_TRUE(rig.port.Active()); // a time-out does not close the port

    // The same through Flush, and with the silent abort chosen.
    rig.pty.takeAvailable();
    rig.port.OnError = [&](TCustomComPort*, EComError&, TComAction& action) { action = caAbort; };
    rig.port.Write(block.data(), static_cast<int32_t>(block.size()), false);
    EXPECT_TRUE(rig.port.WritePending());
    EXPECT_GT(rig.port.OutputCount(), 0);
    EXPECT_THROW(rig.port.Flush(), EAbort);
}

TEST(ComTransfer, AWriteWithoutWaitKeepsItsOwnCopyAndFlushReturnsOnceTheBytesAreOut) {
    OpenPort rig;
    rig.port.Timeouts()->SetWriteConstant(2000);
    {
        std::string temporary(64 * 1024, 'a');
        rig.port.Write(temporary.data(), static_cast<int32_t>(temporary.size()), false);
        temporary.assign(temporary.size(), 'b');
    }
    std::string received;
    // The other side reads while the port completes the write.
    std::thread reader([&] { received = rig.pty.receive(64 * 1024, 10s); });
    rig.port.Flush();
    EXPECT_FALSE(rig.port.WritePending());
    rig.port.WaitForWriteCompletion();
    reader.join();
    EXPECT_EQ(received, std::string(64 * 1024, 'a'));
}

TEST(ComTransfer, TheOtherSideGoingAwayFailsTransfersAndClosesThePort) {
    OpenPort rig;
    std::vector<int> codes;
    rig.port.OnError = [&](TCustomComPort*, EComError& error, TComAction&) { codes.push_back(error.Code()); };
    rig.pty.hangUp();
    EXPECT_THROW(rig.port.Write("x", 1, true), EComError);
    EXPECT_EQ(codes, std::vector<int>{EIO});
    EXPECT_FALSE(rig.port.Active());
    rig.port.SetActive(false);
}

} // namespace
