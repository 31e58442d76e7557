#include "../serial/PortOnPty.h"
#include "ComPort.h"
#include "Raised.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>

using namespace NorvEngineering::Serial;

namespace {

auto properties(const TCustomComPort& port) {
    const TFlowControl& flow = *port.FlowControl();
    const TCharacters& characters = *port.Characters();
    return std::make_tuple(port.BaudRate(), port.CustomBaudRate(), port.DataBits(), port.Parity(),
                           port.StopBits(), port.Options().bits(), flow.DTR(), flow.RTS(), flow.XOnXOff(),
                           flow.XOnLimit(), flow.XOffLimit(), characters.XOn(), characters.XOff(),
                           characters.Error(), characters.Eof(), characters.Event());
}

// A port with settings away from every default.
void setAwayFromDefaults(TCustomComPort& port) {
    port.SetBaudRate(br19200);
    port.SetDataBits(db7);
    port.SetParity(paEven);
    port.SetStopBits(sb2);
    port.SetOptions({opCheckParity, opOutputCTSFlow});
    port.FlowControl()->SetDTR(dcEnable);
    port.FlowControl()->SetRTS(rcHandshake);
    port.FlowControl()->SetXOnXOff(xcInput);
    port.FlowControl()->SetXOnLimit(100);
    port.FlowControl()->SetXOffLimit(200);
    port.Characters()->SetXOn(0x01);
    port.Characters()->SetEof(0x1a);
}

TEST(ComConfig, CopyDCBTakesTheNamedValueWhereADefaultSharesIt) {
    TComPort port(nullptr);
    TComConfig config;
    config.BaudRate = 4800;
    config.ByteSize = 8;
    config.Parity = TComConfig::kNoParity;
    config.StopBits = TComConfig::kOneStopBit;
    config.DtrControl = TComConfig::kControlDisable;
    config.RtsControl = TComConfig::kControlDisable;
    config.InX = config.OutX = false;
    port.CopyDCB(config);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 4800);
    EXPECT_EQ(port.DataBits(), db8);
    EXPECT_EQ(port.Parity(), paNone);
    EXPECT_EQ(port.StopBits(), sb1);
    EXPECT_EQ(port.FlowControl()->DTR(), dcDisable);
    EXPECT_EQ(port.FlowControl()->RTS(), rcDisable);
    EXPECT_EQ(port.FlowControl()->XOnXOff(), xcDisable);
    EXPECT_TRUE(port.Options().empty());

    // A value that no setting names leaves the device's own.
    config.ByteSize = 9;
    port.CopyDCB(config);
    EXPECT_EQ(port.DataBits(), dbDefault);

    // Properties through a record and back are the same properties.
    TComPort source(nullptr);
    setAwayFromDefaults(source);
    source.SetOptions({opCheckParity, opOutputCTSFlow, opTXContinueOnXOff, opAbortOnError});
    source.FlowControl()->SetXOnXOff(xcInputOutput);
    TComConfig record;
    source.CopyDCBTo(record);
    port.CopyDCB(record);
    auto expected = properties(source);
    std::get<0>(expected) = brCustom; // the rate comes back as a number
    EXPECT_EQ(properties(port), expected);
}

TEST(ComConfig, WithoutADialogNothingChangesAndOnErrorHearsWhy) {
    SerialTests::PortOnPty rig;
    std::string reported;
    rig.port->OnError = [&](TCustomComPort*, EComError& error, TComAction&) { reported = error.Message(); };
    const auto before = properties(*rig.port);
    EXPECT_FALSE(rig.port->ConfigDialog());
    EXPECT_FALSE(rig.port->DefaultConfigDialog());
    EXPECT_EQ(reported, "No configuration dialog is set for this port");
    EXPECT_EQ(properties(*rig.port), before);
}

TEST(ComConfig, ACancelledDialogChangesNothingAndAConfirmedOneAppliesTheRecord) {
    SerialTests::PortOnPty rig;
    TComPort& port = *rig.port;
    port.SetBaudRate(br19200);
    port.Open();
    const auto before = properties(port);
    TComConfig shown;
    bool confirm = false;
    port.OnConfigDialog = [&](TCustomComPort* sender, const std::string& device, TComConfig& config) {
        EXPECT_EQ(sender, &port);
        EXPECT_EQ(device, rig.pty.path());
        shown = config;
        config.BaudRate = 4800;
        config.StopBits = TComConfig::kTwoStopBits;
        config.InX = true;
        return confirm;
    };
    EXPECT_FALSE(port.ConfigDialog());
    EXPECT_EQ(properties(port), before);
    EXPECT_EQ(shown.BaudRate, 19200U); // the properties overlay the device's settings
    EXPECT_EQ(shown.XonChar, 0x11);

    confirm = true;
    EXPECT_TRUE(port.ConfigDialog());
    EXPECT_EQ(port.CustomBaudRate(), 4800);
    EXPECT_EQ(port.StopBits(), sb2);
    EXPECT_EQ(port.FlowControl()->XOnXOff(), xcInput);
    termios device{};
    ASSERT_EQ(::tcgetattr(rig.pty.holder(), &device), 0);
    EXPECT_EQ(::cfgetospeed(&device), B4800);
    EXPECT_NE(device.c_cflag & CSTOPB, 0U);
    EXPECT_NE(device.c_iflag & IXOFF, 0U);
}

TEST(ComConfig, DefaultConfigDialogStoresTheDeviceSettingsAndLeavesThePortAlone) {
    SerialTests::PortOnPty rig;
    TComPort& port = *rig.port;
    setAwayFromDefaults(port);
    const auto before = properties(port);
    TComConfig stored;
    port.OnConfigDialog = [&](TCustomComPort*, const std::string&, TComConfig& config) {
        config.BaudRate = 15625;
        config.StopBits = TComConfig::kTwoStopBits;
        config.XonChar = 0x05;
        config.OutX = true;
        config.OutxCtsFlow = true;
        stored = config;
        return true;
    };
    EXPECT_TRUE(port.DefaultConfigDialog());
    EXPECT_EQ(properties(port), before);
    EXPECT_FALSE(port.Active());

    termios device{};
    ASSERT_EQ(::tcgetattr(rig.pty.holder(), &device), 0);
    uint32_t input = 0;
    uint32_t output = 0;
    ASSERT_EQ(Termios2::readRates(rig.pty.holder(), input, output), 0);
    EXPECT_EQ(output, 15625U);
    EXPECT_NE(device.c_cflag & CSTOPB, 0U);
    EXPECT_NE(device.c_cflag & CRTSCTS, 0U);
    EXPECT_NE(device.c_iflag & IXON, 0U);
    EXPECT_EQ(device.c_cc[VSTART], 0x05);
    // What was stored is what the device now reports as its default.
    TComConfig reread = port.DefaultConfig();
    reread.RtsControl = stored.RtsControl; // CTS flow reads back as RTS handshake
    EXPECT_EQ(reread, stored);

    // A record the line cannot take is refused before the device is touched.
    stored.ByteSize = 4;
    EXPECT_EQ(TestSupport::whatRaised<EComError>([&] { port.SetDefaultConfig(stored); }),
              "4 data bits are not available on a Linux serial line");
    // Another port holding the device keeps its settings from being stored.
    TComPort holder(nullptr);
    holder.SetDeviceName(rig.pty.path());
    holder.Open();
    stored.ByteSize = 8;
    EXPECT_EQ(TestSupport::whatRaised<EComError>([&] { port.SetDefaultConfig(stored); }),
              std::strerror(EBUSY));
}

TEST(ComConfig, EnumDevicesListsEveryTerminalBeyondTheSerialPorts) {
    TComPort port(nullptr);
    NorvEngineering::Platform::TStrings serial;
    NorvEngineering::Platform::TStrings all;
    port.EnumComDevices(&serial);
    port.EnumDevices(&all);
    EXPECT_GT(all.Count(), serial.Count());
    for (const auto& name : serial.items())
        EXPECT_NE(all.IndexOf(name), -1) << name;
    SerialTests::PtyPair pty;
    all.Clear();
    port.EnumDevices(&all);
    EXPECT_NE(all.IndexOf(pty.path()), -1);
}

} // namespace
