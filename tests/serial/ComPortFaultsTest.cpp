// Faults that a port on a pre-configured (raw) terminal, or a test that only looks
// at settings, would not show: a terminal left in line mode, custom rates asked for
// again, the read-ahead store's memory and its wake-up, and reads and pending
// transfers when the other side hangs up.
#include "ComPort.h"
#include "ComRaised.h"
#include "ComThread.h"
#include "Deadline.h"
#include "PortOnPty.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

using namespace NorvEngineering::Serial;
using NorvEngineering::Platform::TObject;
using SerialTests::PortOnPty;
using SerialTests::PtyPair;
using TestSupport::runUntil;
using namespace std::chrono_literals;

using SerialTests::deviceRate;
using SerialTests::raised;

namespace {

// The settings a new terminal has before anybody sets it up: line mode with echo,
// signals, CR-to-NL, XON/XOFF on output and NL-to-CRNL on output.
termios freshTerminalSettings() {
    int master = -1;
    int device = -1;
    if (::openpty(&master, &device, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios settings{};
    ::tcgetattr(device, &settings);
    ::close(device);
    ::close(master);
    return settings;
}

std::string everyByte() {
    std::string bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(i);
    return bytes;
}

class ComPortFaults : public ::testing::Test, protected PortOnPty {
protected:
    void TearDown() override {
        port.reset();
        // An event thread that reports a failure waits for the main thread's turn.
        EXPECT_TRUE(runUntil([] { return TComThread::LiveThreads() == 0; }, 5s));
    }
};

TEST_F(ComPortFaults, ACustomRateAskedForAgainAfterANamedRateIsApplied) {
    port->Open();
    port->SetCustomBaudRate(250000);
    EXPECT_EQ(deviceRate(pty), 250000u);
    port->SetBaudRate(br115200);
    EXPECT_EQ(deviceRate(pty), 115200u);
    port->SetCustomBaudRate(250000);
    EXPECT_EQ(port->BaudRate(), brCustom);
    EXPECT_EQ(port->CustomBaudRate(), 250000);
    EXPECT_EQ(deviceRate(pty), 250000u);

    // A closed port takes it too, and the open applies it.
    port->Close();
    port->SetBaudRate(br9600);
    port->SetCustomBaudRate(250000);
    EXPECT_EQ(port->CustomBaudRate(), 250000);
    port->Open();
    EXPECT_EQ(deviceRate(pty), 250000u);

    // The rate in force asked for again is no change: the named rate stays.
    port->SetBaudRate(br19200);
    port->SetCustomBaudRate(19200);
    EXPECT_EQ(port->BaudRate(), br19200);
    EXPECT_EQ(deviceRate(pty), 19200u);
}

// Every byte value goes both ways unchanged however the terminal was left: no line
// buffering, no end-of-file or signal characters taken out, no CR/NL translation, no
// XON/XOFF taken as flow control, no stripping of the eighth bit, no echo, no
// output processing, no end of file read from an empty queue.
TEST_F(ComPortFaults, ATerminalLeftInLineModeCarriesEveryByteUnchanged) {
    const termios fresh = freshTerminalSettings();
    termios worse = fresh;
    worse.c_iflag |= ISTRIP | INLCR | IGNCR | IUCLC | IXANY | IXOFF | PARMRK;
    worse.c_oflag |= OLCUC | OCRNL | ONLRET;
    worse.c_lflag |= ECHONL | XCASE;
    // Once out of line mode, a read of an empty queue would say end of file.
    worse.c_cc[VMIN] = 0;
    const std::pair<const char*, termios> leftOvers[] = {{"a new terminal", fresh},
                                                         {"a terminal with more left on", worse}};
    const std::string all = everyByte();
    for (const auto& [what, settings] : leftOvers) {
        SCOPED_TRACE(what);
        PortOnPty rig;
        ASSERT_EQ(::tcsetattr(rig.pty.holder(), TCSANOW, &settings), 0);
        TComPort& line = *rig.port;
        line.Timeouts()->SetReadConstant(2000);
        line.Timeouts()->SetWriteConstant(2000);
        line.Open();
        // Nothing waits yet, and that is no end of the line.
        char none[4];
        int32_t got = -1;
        EXPECT_EQ(raised([&] { got = line.ReadAvailable(none, sizeof none); }), std::nullopt);
        EXPECT_EQ(got, 0);

        // A sensor's reply line, as it comes.
        rig.pty.send("ab\r");
        char reply[3] = {};
        EXPECT_FALSE(raised([&] { line.Read(reply, 3, true); }));
        EXPECT_EQ(std::string(reply, 3), "ab\r");

        rig.pty.send(all);
        std::string received(all.size(), '\0');
        EXPECT_FALSE(
            raised([&] { line.Read(received.data(), static_cast<int32_t>(received.size()), true); }));
        EXPECT_EQ(received, all);

        // Nothing of the input came back, and what the port writes leaves as written.
        EXPECT_FALSE(raised([&] { line.Write(all.data(), static_cast<int32_t>(all.size()), true); }));
        EXPECT_EQ(rig.pty.receive(all.size(), 2s), all);
        EXPECT_FALSE(raised([&] { line.Write("\n", 1, true); }));
        EXPECT_EQ(rig.pty.receive(1, 2s), "\n");
        EXPECT_EQ(rig.pty.receive(1, 50ms), "");
    }
}

// Only the interactive default goes: XON/XOFF that a line was set up with, or that the
// port asks for, stays.
TEST_F(ComPortFaults, XonXoffAskedForOrSetUpStaysOnALineOutOfLineMode) {
    termios settings{};
    ASSERT_EQ(::tcgetattr(pty.holder(), &settings), 0);
    settings.c_iflag |= IXON;
    ASSERT_EQ(::tcsetattr(pty.holder(), TCSANOW, &settings), 0);
    port->Open();
    ASSERT_EQ(::tcgetattr(pty.holder(), &settings), 0);
    EXPECT_NE(settings.c_iflag & IXON, 0u);
    port->Close();

    settings = freshTerminalSettings();
    ASSERT_EQ(::tcsetattr(pty.holder(), TCSANOW, &settings), 0);
    port->FlowControl()->SetXOnXOff(xcOutput);
    port->Open();
    ASSERT_EQ(::tcgetattr(pty.holder(), &settings), 0);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON));
    EXPECT_EQ(settings.c_lflag & ICANON, 0u);
}

TEST_F(ComPortFaults, AClosedPortHoldsNoMemoryForInputReadAhead) {
    port->OnRxChar = [](TObject*) {}; // takes nothing: the bytes wait in the port
    EXPECT_EQ(port->ReadAheadMemory(), 0u);
    const auto readAhead = [&](int32_t count) {
        return runUntil([&] { return port->InputCount() == count && pty.unread() == 0; });
    };
    port->Open();
    pty.send("held");
    ASSERT_TRUE(readAhead(4));
    EXPECT_GT(port->ReadAheadMemory(), 0u);
    port->Close();
    EXPECT_EQ(port->ReadAheadMemory(), 0u);

    // Closed by the other side hanging up, with bytes still held at that moment.
    port->OnError = [](TCustomComPort*, EComError&, TComAction& action) { action = caAbort; };
    port->Open();
    pty.send("held again");
    ASSERT_TRUE(readAhead(10));
    ASSERT_GT(port->ReadAheadMemory(), 0u);
    port->OnRxChar = [&](TObject*) { port->ReadString(); };
    pty.hangUp();
    ASSERT_TRUE(runUntil([&] { return !port->Active(); }));
    EXPECT_EQ(port->ReadAheadMemory(), 0u);
}

TEST_F(ComPortFaults, InputHeldOffByAFullStoreComesOnceReadAvailableMakesRoom) {
    bool taking = false;
    std::string received;
    // As the serial transport reads: at most a buffer a call, again while it fills up.
    port->OnRxChar = [&](TObject*) {
        if (!taking)
            return;
        char buffer[4096];
        int32_t got = 0;
        do {
            got = port->ReadAvailable(buffer, sizeof buffer);
            received.append(buffer, static_cast<std::size_t>(got));
        } while (got == static_cast<int32_t>(sizeof buffer));
    };
    port->Open();
    std::string numbered;
    for (int i = 0; numbered.size() < 512 * 1024; ++i)
        numbered += std::to_string(i) + ";";
    const std::size_t sent = pty.sendUntilHeldOff(numbered, 500ms);
    ASSERT_GT(sent, TComInputStore::kCapacity);
    ASSERT_LT(sent, numbered.size());
    // Every announcement so far has run and taken nothing.
    ASSERT_TRUE(runUntil([&] { return port->PostedEvents() == 0; }));

    char first[1000];
    ASSERT_EQ(port->ReadAvailable(first, sizeof first), static_cast<int32_t>(sizeof first));
    received.assign(first, sizeof first);
    taking = true;
    EXPECT_TRUE(runUntil([&] { return received.size() >= sent; }, 5s)) << received.size() << " of " << sent;
    EXPECT_TRUE(received == numbered.substr(0, sent));
}

// A read that waits for more than has come ends at once when the other side hangs
// up, whoever watches the line: nobody, the event thread reading ahead for a
// main-thread port, or a handler on the event thread.
TEST_F(ComPortFaults, AWaitingReadEndsAtOnceWhenTheOtherSideHangsUp) {
    enum class Watch { None, ReadAhead, Direct };
    for (const Watch watch : {Watch::None, Watch::ReadAhead, Watch::Direct}) {
        SCOPED_TRACE(static_cast<int>(watch));
        PortOnPty rig;
        TComPort& line = *rig.port;
        if (watch == Watch::Direct)
            line.SetSynchronizeEvents(false);
        if (watch != Watch::None)
            line.OnRxChar = [](TObject*) {};
        line.OnError = [](TCustomComPort*, EComError&, TComAction&) {};
        line.Timeouts()->SetReadConstant(10000);
        line.Open();
        // Part of what the read asks for comes once it has begun; then the other side goes.
        std::thread other;
        line.BeforeRead = [&](TObject*, void*, int32_t, bool) {
            if (!other.joinable())
                other = std::thread([&] {
                    rig.pty.send("12345");
                    SerialTests::busyUntil([&] { return rig.pty.unread() == 0; });
                    rig.pty.hangUp();
                });
        };
        char buffer[10] = {};
        const auto started = std::chrono::steady_clock::now();
        const auto error = raised([&] { line.Read(buffer, sizeof buffer, true); });
        const auto took = std::chrono::steady_clock::now() - started;
        if (other.joinable())
            other.join();
        EXPECT_LT(took, 2s);
        EXPECT_EQ(error, std::make_pair(EIO, std::string("Input/output error")));
        EXPECT_FALSE(line.Active());
        ASSERT_TRUE(runUntil([] { return TComThread::LiveThreads() == 0; }, 5s));
    }

    // Without any time-out a read waits for ever, but not for a line that has gone.
    port->OnRxChar = [](TObject*) {};
    port->Open();
    std::thread other;
    // ReadLine reads a character at a time: the other side starts with the first.
    port->BeforeRead = [&](TObject*, void*, int32_t, bool) {
        if (!other.joinable())
            other = std::thread([&] {
                pty.send("no line end");
                SerialTests::busyUntil([&] { return pty.unread() == 0; });
                pty.hangUp();
            });
    };
    std::optional<std::pair<int, std::string>> error;
    TestSupport::endsWithin(5s, "ReadLine on a line that hung up",
                            [&] { error = raised([&] { port->ReadLine(); }); });
    if (other.joinable())
        other.join();
    EXPECT_EQ(error, std::make_pair(EIO, std::string("Input/output error")));
}

// ReadPending and WritePending only ask: they complete what they can, and a transfer
// that the device failed is no longer pending; its failure is raised by the wait for
// it (or the next transfer).
TEST_F(ComPortFaults, PendingTransfersAreAskedAboutWithoutRaising) {
    int errors = 0;
    port->OnError = [&](TCustomComPort*, EComError&, TComAction&) { ++errors; };
    EXPECT_FALSE(port->ReadPending()); // closed
    EXPECT_FALSE(port->WritePending());
    port->Open();

    char buffer[8] = {};
    port->Read(buffer, 4, false);
    EXPECT_TRUE(port->ReadPending());
    pty.send("wxyz");
    EXPECT_TRUE(runUntil([&] { return !port->ReadPending(); }));
    EXPECT_EQ(std::string(buffer, 4), "wxyz");

    // A write that the line cannot take at once, and a read still waiting, when the
    // other side goes.
    const std::string block(256 * 1024, 'x');
    port->Write(block.data(), static_cast<int32_t>(block.size()), false);
    ASSERT_TRUE(port->WritePending());
    port->Read(buffer, 4, false);
    ASSERT_TRUE(port->ReadPending());
    pty.hangUp();
    bool readPending = true;
    bool writePending = true;
    EXPECT_FALSE(raised([&] { readPending = port->ReadPending(); }));
    EXPECT_FALSE(raised([&] { writePending = port->WritePending(); }));
    EXPECT_EQ(errors, 0);
    EXPECT_FALSE(readPending);
    EXPECT_FALSE(writePending);
    EXPECT_EQ(raised([&] { port->WaitForReadCompletion(); }),
              std::make_pair(EIO, std::string("Input/output error")));
    EXPECT_EQ(errors, 1);
    EXPECT_FALSE(port->Active());
    EXPECT_FALSE(raised([&] { port->ReadPending(); }));
    EXPECT_FALSE(raised([&] { port->WritePending(); }));
}

} // namespace
