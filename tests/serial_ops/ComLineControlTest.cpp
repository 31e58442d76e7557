#include "../serial/PortOnPty.h"
#include "ComPort.h"
#include "Raised.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace NorvEngineering::Serial;
using namespace std::chrono_literals;

namespace {

struct OpenPort : SerialTests::PortOnPty {
    TComPort& port = *PortOnPty::port;
    OpenPort() { port.Open(); }
};

// Stands in for the system calls, recording what the port asks for.
struct RecordedCalls {
    int lines = 0;
    int failWith = 0;
    std::vector<std::string> calls;

    TLineControlCalls calls_() {
        auto result = [this](std::string call) {
            calls.push_back(std::move(call));
            errno = failWith;
            return failWith == 0 ? 0 : -1;
        };
        TLineControlCalls fake;
        fake.getModemLines = [this, result](int, int& out) {
            out = lines;
            return result("get");
        };
        fake.setModemLines = [result](int, int which, bool on) {
            return result(std::string(which == TIOCM_DTR   ? "DTR"
                                      : which == TIOCM_RTS ? "RTS"
                                                           : "?") +
                          (on ? " on" : " off"));
        };
        fake.setBreak = [result](int, bool on) { return result(on ? "break on" : "break off"); };
        fake.flow = [result](int, int action) {
            return result(action == TCOOFF  ? "suspend output"
                          : action == TCOON ? "resume output"
                                            : "flow " + std::to_string(action));
        };
        return fake;
    }
};

TEST(ComLineControl, ModemStatusMapsEachInputLine) {
    OpenPort rig;
    RecordedCalls system;
    rig.port.SetLineControlCalls(system.calls_());
    const struct {
        int lines;
        TModemStatus status;
    } cases[] = {
        {TIOCM_CTS | TIOCM_DSR | TIOCM_DTR | TIOCM_RTS, {msCTS, msDSR}},
        {TIOCM_RI, {msRing}},
        {TIOCM_CD, {msRLSD}},
        {TIOCM_DTR | TIOCM_RTS, {}},
        {TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD, {msCTS, msDSR, msRing, msRLSD}},
    };
    for (const auto& row : cases) {
        system.lines = row.lines;
        EXPECT_EQ(rig.port.ModemStatus().bits(), row.status.bits()) << "lines " << row.lines;
    }
}

TEST(ComLineControl, EachControlAsksForItsOwnLineAndLevel) {
    OpenPort rig;
    RecordedCalls system;
    rig.port.SetLineControlCalls(system.calls_());
    rig.port.SetDTR();
    rig.port.ClearDTR();
    rig.port.SetRTS();
    rig.port.ClearRTS();
    rig.port.SetBreak();
    rig.port.ClearBreak();
    rig.port.SetXOff();
    rig.port.SetXOn();
    EXPECT_EQ(system.calls, (std::vector<std::string>{"DTR on", "DTR off", "RTS on", "RTS off", "break on",
                                                      "break off", "suspend output", "resume output"}));

    // A failure is raised even when its error number would read as "in progress".
    system.failWith = EAGAIN;
    EXPECT_EQ(TestSupport::whatRaised<EComError>([&] { rig.port.ModemStatus(); }), std::strerror(EAGAIN));
}

TEST(ComLineControl, APtyHasNoModemLinesAndSaysSo) {
    OpenPort rig;
    std::vector<int> reported;
    rig.port.OnError = [&](TCustomComPort*, EComError& error, TComAction&) {
        reported.push_back(error.Code());
    };
    const std::function<void()> calls[] = {[&] { rig.port.SetDTR(); }, [&] { rig.port.ClearDTR(); },
                                           [&] { rig.port.SetRTS(); }, [&] { rig.port.ClearRTS(); },
                                           [&] { rig.port.ModemStatus(); }};
    for (const auto& call : calls) {
        EXPECT_EQ(TestSupport::whatRaised<EComError>(call), std::strerror(ENOTTY));
    }
    EXPECT_EQ(reported, std::vector<int>(std::size(calls), ENOTTY));

    // Break on a pty is accepted (and goes nowhere); a reset is never available.
    rig.port.SetBreak();
    rig.port.ClearBreak();
    EXPECT_EQ(TestSupport::whatRaised<EComError>([&] { rig.port.ResetDevice(); }),
              "Resetting the device is not available on a Linux serial line");
    EXPECT_EQ(reported.back(), 0);
    EXPECT_TRUE(rig.port.Active());
}

TEST(ComLineControl, XOffHoldsOutputUntilXOnOrTheClose) {
    OpenPort rig;
    rig.port.SetXOff();
    rig.port.WriteString("held");
    EXPECT_EQ(rig.pty.receive(1, 200ms), "");
    EXPECT_TRUE(rig.port.WritePending());

    // Nothing goes out while the port holds the output, not even the START character.
    EXPECT_EQ(TestSupport::whatRaised<EComError>([&] { rig.port.TransmitChar('!'); }), std::strerror(EAGAIN));
    EXPECT_EQ(TestSupport::whatRaised<EComError>([&] { rig.port.TransmitChar(0x11); }),
              std::strerror(EAGAIN));

    rig.port.SetXOn();
    rig.port.WaitForWriteCompletion();
    EXPECT_EQ(rig.pty.receive(4, 5s), "held");

    // Suspended output does not outlive the port.
    rig.port.SetXOff();
    rig.port.Close();
    rig.port.Open();
    rig.port.WriteString("free");
    rig.port.WaitForWriteCompletion();
    EXPECT_EQ(rig.pty.receive(4, 5s), "free");
}

TEST(ComLineControl, TheStartCharacterOvertakesOutputHeldByAReceivedXOff) {
    OpenPort rig;
    rig.port.FlowControl()->SetXOnXOff(xcOutput);
    rig.pty.send("\x13");
    // The XOFF takes effect once the line discipline has seen it.
    std::size_t sent = 0;
    ASSERT_TRUE(TestSupport::runUntil([&] {
        rig.port.WriteChar('.');
        if (rig.port.WritePending())
            return true;
        ++sent;
        return false;
    }));
    rig.port.TransmitChar(rig.port.Characters()->XOn());
    EXPECT_EQ(rig.pty.receive(sent + 1, 5s), std::string(sent, '.') + "\x11");
    EXPECT_EQ(TestSupport::whatRaised<EComError>([&] { rig.port.TransmitChar('!'); }), std::strerror(EAGAIN));
    rig.pty.send("\x11");
    rig.port.WaitForWriteCompletion();
    EXPECT_EQ(rig.pty.receive(1, 5s), ".");
}

TEST(ComLineControl, TransmitCharGoesAheadOfAWriteThePortStillHolds) {
    OpenPort rig;
    rig.port.SetXOff();
    rig.port.WriteString("queued");
    rig.port.SetXOn();
    rig.port.TransmitChar('!');
    rig.port.WaitForWriteCompletion();
    EXPECT_EQ(rig.pty.receive(7, 5s), "!queued");
}

} // namespace
