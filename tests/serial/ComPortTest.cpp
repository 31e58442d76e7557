#include "ComPort.h"
#include "ComDevices.h"
#include "PtyPair.h"
#include "Termios2.h"

#include "Exception.h"
#include "StringList.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

using namespace NorvEngineering::Serial;
using NorvEngineering::Platform::EAbort;
using SerialTests::PtyPair;

namespace {

// The error a call raises, or none.
template <typename Call>
std::optional<std::pair<int, std::string>> raised(Call call) {
    try {
        call();
    } catch (const EComError& error) {
        return std::make_pair(error.Code(), error.Message());
    }
    return std::nullopt;
}

termios deviceSettings(const PtyPair& pty) {
    termios settings{};
    tcgetattr(pty.holder(), &settings);
    return settings;
}

uint32_t deviceRate(const PtyPair& pty) {
    uint32_t input = 0;
    uint32_t output = 0;
    EXPECT_EQ(Termios2::readRates(pty.holder(), input, output), 0);
    EXPECT_EQ(input, output);
    return output;
}

TEST(ComPort, FreshPortHasItsDefaultsAndIsClosed) {
    TComPort port(nullptr);
    EXPECT_EQ(port.DeviceName(), "COM2");
    EXPECT_EQ(port.BufferSizes()->Input(), 4096);
    EXPECT_EQ(port.BufferSizes()->Output(), 2048);
    EXPECT_EQ(port.Characters()->XOn(), 0x11);
    EXPECT_EQ(port.Characters()->XOff(), 0x13);
    EXPECT_EQ(port.Timeouts()->ReadInterval(), 0);
    EXPECT_EQ(port.Timeouts()->WriteConstant(), 0);
    EXPECT_EQ(port.ThreadPriority(), NorvEngineering::Platform::tpTimeCritical);
    EXPECT_TRUE(port.SynchronizeEvents());
    EXPECT_EQ(port.BaudRate(), brDefault);
    EXPECT_EQ(port.CustomBaudRate(), 0);
    EXPECT_FALSE(port.Active());
    EXPECT_FALSE(port.About().empty());
}

TEST(ComPort, ClosedPortRefusesTransfersButPurgesQuietly) {
    TComPort port(nullptr);
    char buffer[4];
    EXPECT_EQ(raised([&] { port.Read(buffer, 4, true); }),
              std::make_pair(0, std::string("Can't perform this operation on a closed port")));
    EXPECT_EQ(raised([&] { port.Write("ab", 2, true); })->second, kClosedPortMessage);
    port.PurgeInput();
    port.PurgeOutput();
    port.Flush();
    port.SetActive(false);
    // The counts ask the device; a closed port has none.
    const auto error = raised([&] { port.InputCount(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, EBADF);
    EXPECT_EQ(error->second, "Bad file descriptor");
}

TEST(ComPort, OpenOnceCloseOnceWithTheEventsAround) {
    PtyPair pty;
    TComPort port(nullptr);
    port.SetDeviceName(pty.path());
    int beforeOpen = 0;
    int afterOpen = 0;
    int beforeClose = 0;
    int afterClose = 0;
    port.BeforeOpen = [&](TCustomComPort*) { ++beforeOpen; };
    port.AfterOpen = [&](TCustomComPort* sender) {
        EXPECT_TRUE(sender->Active());
        ++afterOpen;
    };
    port.BeforeClose = [&](TCustomComPort*) { ++beforeClose; };
    port.AfterClose = [&](TCustomComPort*) { ++afterClose; };
    port.SetActive(true);
    port.SetActive(true);
    EXPECT_TRUE(port.Active());
    EXPECT_GE(port.Handle(), 0);
    EXPECT_EQ(beforeOpen, 1);
    EXPECT_EQ(afterOpen, 1);
    port.SetActive(false);
    port.SetActive(false);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(beforeClose, 1);
    EXPECT_EQ(afterClose, 1);
}

TEST(ComPort, DeviceNameSynchronizeAndPriorityClassChangeOnlyWhileClosed) {
    PtyPair pty;
    TComPort port(nullptr);
    port.SetDeviceName(pty.path());
    port.Open();
    EXPECT_EQ(raised([&] { port.SetDeviceName("/dev/null"); })->second, kOpenPortMessage);
    EXPECT_EQ(port.DeviceName(), pty.path());
    port.SetDeviceName(pty.path()); // the same name is no change
    EXPECT_TRUE(raised([&] { port.SetSynchronizeEvents(false); }));
    EXPECT_TRUE(raised([&] { port.SetPriorityClass(pcHigh); }));
    port.Close();
    port.SetSynchronizeEvents(false);
    EXPECT_FALSE(port.SynchronizeEvents());
}

TEST(ComPort, MissingDeviceFailsWithTheSystemsCodeAndStaysClosed) {
    TComPort port(nullptr);
    port.SetDeviceName("/dev/no-such-serial-device");
    int afterOpen = 0;
    port.AfterOpen = [&](TCustomComPort*) { ++afterOpen; };
    const auto error = raised([&] { port.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, ENOENT);
    EXPECT_EQ(error->second, "No such file or directory");
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(afterOpen, 0);
}

TEST(ComPort, ADeviceThatIsNoTerminalIsRefused) {
    TComPort port(nullptr);
    port.SetDeviceName("/dev/null");
    const auto error = raised([&] { port.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, ENOTTY);
    EXPECT_FALSE(port.Active());
}

TEST(ComPort, OpenIsExclusive) {
    PtyPair pty;
    TComPort first(nullptr);
    first.SetDeviceName(pty.path());
    first.Open();

    TComPort second(nullptr);
    second.SetDeviceName(pty.path());
    const auto error = raised([&] { second.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, EBUSY);
    EXPECT_EQ(error->second, "Device or resource busy");
    EXPECT_FALSE(second.Active());
    EXPECT_TRUE(first.Active());

    // Programs that take no lock are kept out by the terminal's exclusive flag, which
    // root passes: ask as an ordinary user.
    if (::geteuid() == 0) {
        ::chmod(pty.path().c_str(), 0666);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(100);
            const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ::_exit(fd >= 0 ? 0 : errno);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), EBUSY);
    }

    first.Close();
    second.Open();
    EXPECT_TRUE(second.Active());
}

TEST(ComPort, LineSettingsReachTheDevice) {
    PtyPair pty;
    TComPort port(nullptr);
    port.SetDeviceName(pty.path());
    port.SetBaudRate(br19200);
    port.SetStopBits(sb2);
    port.SetParity(paOdd);
    port.SetDataBits(db8);
    port.FlowControl()->SetXOnXOff(xcInputOutput);
    port.Characters()->SetXOn('A');
    port.Characters()->SetXOff('B');
    port.Open();

    termios settings = deviceSettings(pty);
    EXPECT_EQ(cfgetospeed(&settings), B19200);
    EXPECT_EQ(deviceRate(pty), 19200u);
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    // A pty keeps the parity's kind, though it clears the enable bit.
    EXPECT_NE(settings.c_cflag & PARODD, 0u);
    EXPECT_EQ(settings.c_cflag & CMSPAR, 0u);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(settings.c_iflag & IXON, 0u);
    EXPECT_NE(settings.c_iflag & IXOFF, 0u);
    EXPECT_EQ(settings.c_cc[VSTART], 'A');
    EXPECT_EQ(settings.c_cc[VSTOP], 'B');
    // A raw byte stream.
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR), 0u);

    // Changes on an open port apply at once.
    port.SetParity(paMark);
    settings = deviceSettings(pty);
    EXPECT_NE(settings.c_cflag & CMSPAR, 0u);
    EXPECT_NE(settings.c_cflag & PARODD, 0u);
    port.SetParity(paSpace);
    settings = deviceSettings(pty);
    EXPECT_NE(settings.c_cflag & CMSPAR, 0u);
    EXPECT_EQ(settings.c_cflag & PARODD, 0u);
    port.SetParity(paNone);
    settings = deviceSettings(pty);
    EXPECT_EQ(settings.c_cflag & (CMSPAR | PARODD), 0u);
    port.SetStopBits(sb1);
    EXPECT_EQ(deviceSettings(pty).c_cflag & CSTOPB, 0u);
    port.FlowControl()->SetXOnXOff(xcDisable);
    EXPECT_EQ(deviceSettings(pty).c_iflag & (IXON | IXOFF), 0u);
    port.SetOptions({opOutputCTSFlow});
    EXPECT_NE(deviceSettings(pty).c_cflag & CRTSCTS, 0u);
    port.SetOptions({});
    EXPECT_EQ(deviceSettings(pty).c_cflag & CRTSCTS, 0u);
    port.SetBaudRate(br115200);
    EXPECT_EQ(deviceRate(pty), 115200u);
}

TEST(ComPort, RatesThatTermiosLacksAndCustomRates) {
    PtyPair pty;
    TComPort port(nullptr);
    port.SetDeviceName(pty.path());
    port.Open();
    for (const TBaudRate rate : {br2000, br3600, br7200, br10400, br14400, br15625, br28800, br56000,
                                 br128000, br256000, br50, br9600}) {
        port.SetBaudRate(rate);
        EXPECT_EQ(deviceRate(pty), static_cast<uint32_t>(baudRateValue(rate))) << int(rate);
    }
    port.SetCustomBaudRate(31250);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 31250);
    EXPECT_EQ(deviceRate(pty), 31250u);
    // Back to a rate with a classic constant, through termios.
    port.SetBaudRate(br4800);
    EXPECT_EQ(port.CustomBaudRate(), 4800);
    EXPECT_EQ(deviceRate(pty), 4800u);
}

TEST(ComPort, ClosedPortOnlyStoresAndDefaultsLeaveTheDeviceAlone) {
    PtyPair pty;
    termios before = deviceSettings(pty);
    cfsetispeed(&before, B4800);
    cfsetospeed(&before, B4800);
    before.c_cflag |= CSTOPB;
    tcsetattr(pty.holder(), TCSANOW, &before);

    TComPort port(nullptr);
    port.SetDeviceName(pty.path());
    port.SetBaudRate(br57600);
    EXPECT_EQ(deviceRate(pty), 4800u); // only stored
    port.SetBaudRate(brDefault);
    port.Open();
    EXPECT_EQ(deviceRate(pty), 4800u);
    EXPECT_NE(deviceSettings(pty).c_cflag & CSTOPB, 0u);
}

TEST(ComPort, SettingsLinuxCannotGiveAreRefusedClearly) {
    PtyPair pty;
    TComPort port(nullptr);
    port.SetDeviceName(pty.path());
    port.SetDataBits(db4);
    auto error = raised([&] { port.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, 0);
    EXPECT_NE(error->second.find("4 data bits"), std::string::npos);
    EXPECT_FALSE(port.Active()); // a failed open leaves nothing open

    port.SetDataBits(db8);
    port.Open();
    error = raised([&] { port.SetStopBits(sb1_5); });
    ASSERT_TRUE(error);
    EXPECT_NE(error->second.find("1.5 stop bits"), std::string::npos);
    port.SetStopBits(sb1);
    port.SetDataBits(db5);
    port.SetStopBits(sb1_5); // five data bits with 1.5 stop bits is a real line
    EXPECT_NE(deviceSettings(pty).c_cflag & CSTOPB, 0u);

    error = raised([&] { port.FlowControl()->SetDTR(dcHandshake); });
    ASSERT_TRUE(error);
    EXPECT_NE(error->second.find("DTR handshake"), std::string::npos);
    port.FlowControl()->SetDTR(dcEnable); // no modem lines on a pty: nothing to do, no error
    error = raised([&] { port.SetOptions({opDSRSensitivity}); });
    EXPECT_TRUE(error);
    port.SetOptions({});
    error = raised([&] { port.SetCustomBaudRate(-5); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, EINVAL);
}

TEST(ComPort, OnErrorMayTurnAFailureIntoTheSilentAbort) {
    TComPort port(nullptr);
    std::vector<std::pair<int, std::string>> seen;
    TComAction verdict = caAbort;
    port.OnError = [&](TCustomComPort* sender, EComError& error, TComAction& action) {
        EXPECT_EQ(sender, &port);
        EXPECT_EQ(action, caFail);
        seen.emplace_back(error.Code(), error.Message());
        action = verdict;
    };
    EXPECT_THROW(port.Write("x", 1, true), EAbort);
    verdict = caFail;
    EXPECT_THROW(port.Write("x", 1, true), EComError);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(0, std::string(kClosedPortMessage)));
}

TEST(ComDevices, ComNamesMapToSerialDevicesAndPathsStay) {
    EXPECT_EQ(ComDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ComDevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(ComDevicePath("\\\\.\\COM12"), "/dev/ttyS11");
    EXPECT_EQ(ComDevicePath("com3"), "com3");
    EXPECT_EQ(ComDevicePath("COM0"), "COM0");
    EXPECT_EQ(ComDevicePath("COM"), "COM");
    EXPECT_EQ(ComDevicePath("COM1x"), "COM1x");
    EXPECT_EQ(ComDevicePath("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

TEST(ComDevices, TerminalsAreToldApartWithoutOpeningThem) {
    PtyPair pty;
    EXPECT_TRUE(IsTerminalDevice(pty.path()));
    EXPECT_FALSE(IsTerminalDevice("/dev/null"));
    EXPECT_FALSE(IsTerminalDevice("/dev/no-such-device"));
    EXPECT_FALSE(IsTerminalDevice("/tmp"));
    EXPECT_FALSE(IsTerminalDevice(""));
}

TEST(ComDevices, EnumerationListsTerminalPathsInAStableOrder) {
    TComPort port(nullptr);
    NorvEngineering::Platform::TStrings first;
    NorvEngineering::Platform::TStrings second;
    port.EnumComDevices(&first);
    port.EnumComDevices(&second);
    EXPECT_EQ(first.items(), second.items());
    for (const auto& path : first.items()) {
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
        EXPECT_EQ(ComDevicePath(path), path);
    }
    port.EnumComDevices(nullptr);
}

} // namespace
