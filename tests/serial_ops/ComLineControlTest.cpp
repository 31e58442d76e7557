#include "../serial/PortOnPty.h"
#include "ComPort.h"
#include "Raised.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

using namespace NorvEngineering::Serial;
using namespace std::chrono_literals;
using TestSupport::whatRaised;

namespace {

struct OpenPort : SerialTests::PortOnPty {
    TComPort& port = *PortOnPty::port;
    OpenPort() { port.Open(); }
};

// Stands in for the system calls (a pty has no modem lines), recording each request.
TLineControlCalls recording(std::vector<std::string>& calls, const int& lines) {
    auto done = [&calls](std::string call) {
        calls.push_back(std::move(call));
        return 0;
    };
    return {[&lines](int, int& out) {
                out = lines;
                return 0;
            },
            [done](int, int which, bool on) {
                return done((which == TIOCM_DTR ? "DTR" : "RTS") + std::string(on ? "+" : "-"));
            },
            [done](int, bool on) { return done(on ? "break+" : "break-"); },
            [done](int, int action) {
                return done(action == TCOOFF ? "suspend" : action == TCOON ? "resume" : "?");
            }};
}

TEST(ComLineControl, ModemStatusAndControlsMapToTheirOwnLines) {
    OpenPort rig;
    std::vector<std::string> calls;
    int lines = 0;
    rig.port.SetLineControlCalls(recording(calls, lines));
    const std::pair<int, TModemStatus> cases[] = {
        {TIOCM_CTS | TIOCM_DSR | TIOCM_DTR | TIOCM_RTS, {msCTS, msDSR}},
        {TIOCM_RI, {msRing}},
        {TIOCM_CD | TIOCM_CTS, {msRLSD, msCTS}},
        {TIOCM_DTR | TIOCM_RTS, {}},
    };
    for (const auto& [on, status] : cases) {
        lines = on;
        EXPECT_EQ(rig.port.ModemStatus().bits(), status.bits()) << "lines " << on;
    }
    for (const auto control :
         {&TCustomComPort::SetDTR, &TCustomComPort::ClearDTR, &TCustomComPort::SetRTS,
          &TCustomComPort::ClearRTS, &TCustomComPort::SetBreak, &TCustomComPort::ClearBreak,
          &TCustomComPort::SetXOff, &TCustomComPort::SetXOn})
        (rig.port.*control)();
    EXPECT_EQ(calls, (std::vector<std::string>{"DTR+", "DTR-", "RTS+", "RTS-", "break+", "break-", "suspend",
                                               "suspend", "resume"}));

    // A failed call is raised even when its error number reads as "in progress".
    TLineControlCalls failing = TLineControlCalls::System();
    failing.getModemLines = [](int, int&) {
        errno = EAGAIN;
        return -1;
    };
    rig.port.SetLineControlCalls(failing);
    EXPECT_EQ(whatRaised<EComError>([&] { rig.port.ModemStatus(); }), std::strerror(EAGAIN));
}

TEST(ComLineControl, APtyHasNoModemLinesAndSaysSo) {
    OpenPort rig;
    std::vector<int> reported;
    rig.port.OnError = [&](TCustomComPort*, EComError& error, TComAction&) {
        reported.push_back(error.Code());
    };
    for (const auto control : {&TCustomComPort::SetDTR, &TCustomComPort::ClearDTR, &TCustomComPort::SetRTS,
                               &TCustomComPort::ClearRTS})
        EXPECT_EQ(whatRaised<EComError>([&] { (rig.port.*control)(); }), std::strerror(ENOTTY));
    EXPECT_EQ(whatRaised<EComError>([&] { rig.port.ModemStatus(); }), std::strerror(ENOTTY));
    EXPECT_EQ(reported, std::vector<int>(5, ENOTTY));

    // Break on a pty is accepted (and goes nowhere); a reset is never available.
    rig.port.SetBreak();
    rig.port.ClearBreak();
    EXPECT_EQ(whatRaised<EComError>([&] { rig.port.ResetDevice(); }),
              "Resetting the device is not available on a Linux serial line");
    EXPECT_TRUE(rig.port.Active());
}

TEST(ComLineControl, XOffHoldsOutputUntilXOnOrTheClose) {
    OpenPort rig;
    rig.port.SetXOff();
    rig.port.WriteString("held");
    EXPECT_EQ(rig.pty.receive(1, 200ms), "");
    EXPECT_TRUE(rig.port.WritePending());
    // Not even the START character could go now.
    EXPECT_EQ(whatRaised<EComError>([&] { rig.port.TransmitChar(0x11); }), std::strerror(EAGAIN));

    rig.port.SetXOn();
    rig.port.TransmitChar('!'); // ahead of what the port still holds
    rig.port.WaitForWriteCompletion();
    EXPECT_EQ(rig.pty.receive(5, 5s), "!held");

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
    // The XOFF holds the output once the line discipline has seen it.
    std::size_t sent = 0;
    ASSERT_TRUE(TestSupport::runUntil([&] {
        rig.port.WriteChar('.');
        return rig.port.WritePending() || (++sent, false);
    }));
    rig.port.TransmitChar(rig.port.Characters()->XOn());
    EXPECT_EQ(rig.pty.receive(sent + 1, 5s), std::string(sent, '.') + "\x11");
    EXPECT_EQ(whatRaised<EComError>([&] { rig.port.TransmitChar('!'); }), std::strerror(EAGAIN));
    rig.port.SetXOn(); // as if the other side had sent XON
    rig.port.WaitForWriteCompletion();
    EXPECT_EQ(rig.pty.receive(1, 5s), ".");
}

} // namespace
