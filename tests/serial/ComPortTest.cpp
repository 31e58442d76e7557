#include "ComPort.h"
#include "ComDevices.h"
#include "ComRaised.h"
#include "PortOnPty.h"
#include "Termios2.h"

#include "Exception.h"
#include "StringList.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace NorvEngineering::Serial;
using NorvEngineering::Platform::EAbort;
using SerialTests::PortOnPty;
using SerialTests::PtyPair;
using namespace std::chrono_literals;

using SerialTests::deviceRate;
using SerialTests::raised;

namespace {

termios deviceSettings(const PtyPair& pty) {
    termios settings{};
    tcgetattr(pty.holder(), &settings);
    return settings;
}

struct OpenPort : PortOnPty {
    TComPort& port = *PortOnPty::port;
    OpenPort() { port.Open(); }
};

TEST(ComPort, AClosedPortRefusesTransfersButPurgesQuietly) {
    TComPort port(nullptr);
    EXPECT_EQ(port.DeviceName(), "COM2");
    EXPECT_FALSE(port.Active());
    char buffer[4];
    EXPECT_EQ(raised([&] { port.Read(buffer, 4, true); }),
              std::make_pair(0, std::string("Can't perform this operation on a closed port")));
    EXPECT_EQ(raised([&] { port.Write("ab", 2, true); })->second, kClosedPortMessage);
    port.PurgeInput();
    port.PurgeOutput();
    port.Flush();
    port.SetActive(false);
    // The counts ask the device; a closed port has none.
    EXPECT_EQ(raised([&] { port.InputCount(); }), std::make_pair(EBADF, std::string("Bad file descriptor")));
}

TEST(ComPort, OpenOnceCloseOnceWithTheEventsAroundAndSettingsThatWaitForClosed) {
    PortOnPty rig;
    TComPort& port = *rig.port;
    std::vector<std::string> events;
    port.BeforeOpen = [&](TCustomComPort*) { events.push_back("before open"); };
    port.AfterOpen = [&](TCustomComPort* sender) {
        EXPECT_TRUE(sender->Active());
        events.push_back("after open");
    };
    port.BeforeClose = [&](TCustomComPort*) { events.push_back("before close"); };
    port.AfterClose = [&](TCustomComPort*) { events.push_back("after close"); };
    port.SetActive(true);
    port.SetActive(true);
    EXPECT_TRUE(port.Active());
    EXPECT_GE(port.Handle(), 0);
    // The device name, synchronisation and priority class change only while closed.
    EXPECT_EQ(raised([&] { port.SetDeviceName("/dev/null"); })->second, kOpenPortMessage);
    EXPECT_EQ(port.DeviceName(), rig.pty.path());
    port.SetDeviceName(rig.pty.path()); // the same name is no change
    EXPECT_TRUE(raised([&] { port.SetSynchronizeEvents(false); }));
    EXPECT_TRUE(raised([&] { port.SetPriorityClass(pcHigh); }));
    port.SetActive(false);
    port.SetActive(false);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(events, (std::vector<std::string>{"before open", "after open", "before close", "after close"}));
    port.SetSynchronizeEvents(false); // closed again: allowed
}

TEST(ComPort, WhatIsNoTerminalFailsToOpenWithTheSystemsCodeAndStaysClosed) {
    for (const auto& [device, code, text] :
         {std::tuple{"/dev/no-such-serial-device", ENOENT, "No such file or directory"},
          std::tuple{"/dev/null", ENOTTY, "Inappropriate ioctl for device"}}) {
        TComPort port(nullptr);
        port.SetDeviceName(device);
        int afterOpen = 0;
        port.AfterOpen = [&](TCustomComPort*) { ++afterOpen; };
        EXPECT_EQ(raised([&] { port.Open(); }), std::make_pair(code, std::string(text))) << device;
        EXPECT_FALSE(port.Active());
        EXPECT_EQ(afterOpen, 0);
    }
}

TEST(ComPort, OpenIsExclusive) {
    PortOnPty first;
    first.port->Open();
    TComPort second(nullptr);
    second.SetDeviceName(first.pty.path());
    EXPECT_EQ(raised([&] { second.Open(); }), std::make_pair(EBUSY, std::string("Device or resource busy")));
    EXPECT_FALSE(second.Active());
    EXPECT_TRUE(first.port->Active());

    // Programs that take no lock are kept out by the terminal's exclusive flag, which
    // root passes: ask as an ordinary user.
    if (::geteuid() == 0) {
        ::chmod(first.pty.path().c_str(), 0666);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(100);
            const int fd = ::open(first.pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ::_exit(fd >= 0 ? 0 : errno);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), EBUSY);
    }

    first.port->Close();
    second.Open();
    EXPECT_TRUE(second.Active());
}

TEST(ComPort, APriorityClassRaisesEveryThreadAndAnyThreadsCloseLowersThemAgain) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "raising a priority needs a privilege";
    const auto levelOf = [](pid_t thread) {
        errno = 0;
        return ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    };
    const int before = levelOf(::gettid());
    PortOnPty rig;
    // A thread from before the open, which closes the port later; and one started
    // while it is open.
    std::promise<pid_t> closerStarted, laterStarted;
    std::promise<void> closeNow, laterEnds;
    int closersLevelAfterClose = 0;
    std::thread closer([&, go = closeNow.get_future()] {
        closerStarted.set_value(::gettid());
        go.wait();
        rig.port->Close();
        closersLevelAfterClose = levelOf(::gettid());
    });
    const pid_t closerThread = closerStarted.get_future().get();

    rig.port->SetPriorityClass(pcHigh);
    rig.port->Open();
    EXPECT_EQ(levelOf(::gettid()), -10);
    EXPECT_EQ(levelOf(closerThread), -10);
    std::thread later([&, end = laterEnds.get_future()] {
        laterStarted.set_value(::gettid());
        end.wait();
    });
    const pid_t laterThread = laterStarted.get_future().get();
    EXPECT_EQ(levelOf(laterThread), -10);

    closeNow.set_value();
    closer.join();
    EXPECT_FALSE(rig.port->Active());
    EXPECT_EQ(closersLevelAfterClose, before);
    EXPECT_EQ(levelOf(::gettid()), before);
    EXPECT_EQ(levelOf(laterThread), before);
    laterEnds.set_value();
    later.join();
}

TEST(ComPort, LineSettingsReachTheDevice) {
    PortOnPty rig;
    TComPort& port = *rig.port;
    port.SetBaudRate(br19200);
    port.SetStopBits(sb2);
    port.SetParity(paOdd);
    port.SetDataBits(db8);
    port.FlowControl()->SetXOnXOff(xcInputOutput);
    port.Characters()->SetXOn('A');
    port.Characters()->SetXOff('B');
    port.Open();
    termios settings = deviceSettings(rig.pty);
    EXPECT_EQ(cfgetospeed(&settings), B19200);
    EXPECT_EQ(deviceRate(rig.pty), 19200u);
    EXPECT_EQ(settings.c_cc[VSTART], 'A');
    EXPECT_EQ(settings.c_cc[VSTOP], 'B');

    // Read back as opened, then after each change on the open port, which applies at once.
    struct Step {
        const char* what;
        std::function<void()> change;
        tcflag_t termios::*flags;
        tcflag_t mask;
        tcflag_t expected;
    };
    const std::vector<Step> steps = {
        {"2 stop bits", nullptr, &termios::c_cflag, CSTOPB, CSTOPB},
        // A pty keeps the parity's kind, though it clears the enable bit.
        {"odd parity", nullptr, &termios::c_cflag, PARODD | CMSPAR, PARODD},
        {"8 data bits", nullptr, &termios::c_cflag, CSIZE, CS8},
        {"XON/XOFF both ways", nullptr, &termios::c_iflag, IXON | IXOFF, IXON | IXOFF},
        {"raw: no line discipline", nullptr, &termios::c_lflag, ICANON | ECHO | ISIG, 0},
        {"raw: no output processing", nullptr, &termios::c_oflag, OPOST, 0},
        {"raw: no CR/LF translation", nullptr, &termios::c_iflag, ICRNL | INLCR | IGNCR, 0},
        {"mark parity", [&] { port.SetParity(paMark); }, &termios::c_cflag, CMSPAR | PARODD, CMSPAR | PARODD},
        {"space parity", [&] { port.SetParity(paSpace); }, &termios::c_cflag, CMSPAR | PARODD, CMSPAR},
        {"no parity", [&] { port.SetParity(paNone); }, &termios::c_cflag, CMSPAR | PARODD, 0},
        {"1 stop bit", [&] { port.SetStopBits(sb1); }, &termios::c_cflag, CSTOPB, 0},
        {"no XON/XOFF", [&] { port.FlowControl()->SetXOnXOff(xcDisable); }, &termios::c_iflag, IXON | IXOFF,
         0},
        {"CTS flow", [&] { port.SetOptions({opOutputCTSFlow}); }, &termios::c_cflag, CRTSCTS, CRTSCTS},
        {"no CTS flow", [&] { port.SetOptions({}); }, &termios::c_cflag, CRTSCTS, 0},
    };
    for (const auto& step : steps) {
        if (step.change)
            step.change();
        EXPECT_EQ(deviceSettings(rig.pty).*step.flags & step.mask, step.expected) << step.what;
    }
    port.SetBaudRate(br115200);
    EXPECT_EQ(deviceRate(rig.pty), 115200u);
}

TEST(ComPort, RatesThatTermiosLacksAndCustomRates) {
    PortOnPty rig;
    TComPort& port = *rig.port;
    port.Open();
    for (const TBaudRate rate : {br2000, br3600, br7200, br10400, br14400, br15625, br28800, br56000,
                                 br128000, br256000, br50, br9600}) {
        port.SetBaudRate(rate);
        EXPECT_EQ(deviceRate(rig.pty), static_cast<uint32_t>(baudRateValue(rate))) << int(rate);
    }
    port.SetCustomBaudRate(31250);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 31250);
    EXPECT_EQ(deviceRate(rig.pty), 31250u);
    // Back to a rate with a classic constant, through termios.
    port.SetBaudRate(br4800);
    EXPECT_EQ(port.CustomBaudRate(), 4800);
    EXPECT_EQ(deviceRate(rig.pty), 4800u);
}

TEST(ComPort, ClosedPortOnlyStoresAndDefaultsLeaveTheDeviceAlone) {
    PortOnPty rig;
    termios before = deviceSettings(rig.pty);
    cfsetispeed(&before, B4800);
    cfsetospeed(&before, B4800);
    before.c_cflag |= CSTOPB;
    tcsetattr(rig.pty.holder(), TCSANOW, &before);

    rig.port->SetBaudRate(br57600);
    EXPECT_EQ(deviceRate(rig.pty), 4800u); // only stored
    rig.port->SetBaudRate(brDefault);
    rig.port->Open();
    EXPECT_EQ(deviceRate(rig.pty), 4800u);
    EXPECT_NE(deviceSettings(rig.pty).c_cflag & CSTOPB, 0u);
}

TEST(ComPort, SettingsLinuxCannotGiveAreRefusedClearly) {
    PortOnPty rig;
    TComPort& port = *rig.port;
    const auto refusal = [](const auto& call) {
        return raised(call).value_or(std::make_pair(-1, "no error"));
    };
    port.SetDataBits(db4);
    auto error = refusal([&] { port.Open(); });
    EXPECT_EQ(error.first, 0);
    EXPECT_NE(error.second.find("4 data bits"), std::string::npos) << error.second;
    EXPECT_FALSE(port.Active()); // a failed open leaves nothing open

    port.SetDataBits(db8);
    port.Open();
    error = refusal([&] { port.SetStopBits(sb1_5); });
    EXPECT_NE(error.second.find("1.5 stop bits"), std::string::npos) << error.second;
    port.SetStopBits(sb1);
    port.SetDataBits(db5);
    port.SetStopBits(sb1_5); // five data bits with 1.5 stop bits is a real line
    EXPECT_NE(deviceSettings(rig.pty).c_cflag & CSTOPB, 0u);

    error = refusal([&] { port.FlowControl()->SetDTR(dcHandshake); });
    EXPECT_NE(error.second.find("DTR handshake"), std::string::npos) << error.second;
    port.FlowControl()->SetDTR(dcEnable); // no modem lines on a pty: nothing to do, no error
    EXPECT_TRUE(raised([&] { port.SetOptions({opDSRSensitivity}); }));
    port.SetOptions({});
    EXPECT_EQ(refusal([&] { port.SetCustomBaudRate(-5); }).first, EINVAL);
}

TEST(ComDevices, ComNamesMapToSerialDevicesAndPathsStay) {
    const std::pair<const char*, const char*> paths[] = {{"COM1", "/dev/ttyS0"},
                                                         {"COM12", "/dev/ttyS11"},
                                                         {"\\\\.\\COM12", "/dev/ttyS11"},
                                                         {"com3", "com3"},
                                                         {"COM0", "COM0"},
                                                         {"COM", "COM"},
                                                         {"COM1x", "COM1x"},
                                                         {"/dev/ttyUSB0", "/dev/ttyUSB0"}};
    for (const auto& [name, path] : paths)
        EXPECT_EQ(ComDevicePath(name), path) << name;
}

TEST(ComDevices, TerminalsAreToldApartWithoutOpeningThemAndListedInAStableOrder) {
    PtyPair pty;
    EXPECT_TRUE(IsTerminalDevice(pty.path()));
    for (const char* other : {"/dev/null", "/dev/no-such-device", "/tmp", ""})
        EXPECT_FALSE(IsTerminalDevice(other)) << other;

    TComPort port(nullptr);
    NorvEngineering::Platform::TStrings first, second, all;
    port.EnumComDevices(&first);
    port.EnumComDevices(&second);
    EXPECT_EQ(first.items(), second.items());
    for (const auto& path : first.items()) {
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
        EXPECT_EQ(ComDevicePath(path), path);
    }
    port.EnumComDevices(nullptr);
    // Every terminal, the serial ports among them and the pty beyond them.
    port.EnumDevices(&all);
    EXPECT_GT(all.Count(), first.Count());
    for (const auto& name : first.items())
        EXPECT_NE(all.IndexOf(name), -1) << name;
    EXPECT_NE(all.IndexOf(pty.path()), -1);
}

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
    EXPECT_EQ(raised([&] { rig.port.Read(buffer, 5, true); }), std::make_pair(0, std::string("Timeout")));
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

TEST(ComTransfer, TheReadIntervalCountsOnlyFromTheFirstCharacter) {
    OpenPort rig;
    rig.port.Timeouts()->SetReadInterval(20);
    // The gap before the first character is what is tested: far longer than the interval.
    std::thread sender([&] {
        std::this_thread::sleep_for(200ms);
        rig.pty.send("late");
    });
    char buffer[4] = {};
    EXPECT_NO_THROW(rig.port.Read(buffer, 4, true));
    sender.join();
    EXPECT_EQ(std::string(buffer, 4), "late");
}

TEST(ComTransfer, ReadAvailableTellsNothingWaitingFromTheOtherSideGoingAway) {
    OpenPort rig;
    char buffer[16];
    EXPECT_EQ(rig.port.ReadAvailable(buffer, sizeof buffer), 0);
    rig.pty.send("ab");
    ASSERT_TRUE(rig.waitForInput(2));
    EXPECT_EQ(rig.port.ReadAvailable(buffer, sizeof buffer), 2);
    rig.pty.hangUp(); // a read now finds the end of the line
    EXPECT_EQ(raised([&] { rig.port.ReadAvailable(buffer, sizeof buffer); }),
              std::make_pair(EIO, std::string("Input/output error")));
    EXPECT_FALSE(rig.port.Active());
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
    rig.port.OnError = [&](TCustomComPort* sender, EComError& error, TComAction& action) {
        EXPECT_EQ(sender, &rig.port);
        EXPECT_EQ(action, caFail); // unless the handler says otherwise
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

    // The same through Flush, and with the silent abort chosen instead of the error.
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

TEST(ComTransfer, CloseSendsWhatAWriteWithoutWaitStillHolds) {
    OpenPort rig;
    const std::string block(256 * 1024, 'c');
    rig.port.Write(block.data(), static_cast<int32_t>(block.size()), false);
    ASSERT_TRUE(rig.port.WritePending()); // more than the line takes at once
    std::string received;
    std::thread reader([&] { received = rig.pty.receive(block.size(), 10s); });
    rig.port.Close();
    reader.join();
    EXPECT_EQ(received.size(), block.size());
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
