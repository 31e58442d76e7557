#include "../serial/PortOnPty.h"
#include "ComPort.h"
#include "Raised.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>

using namespace NorvEngineering::Serial;
using TestSupport::whatRaised;

namespace {

auto properties(const TCustomComPort& port) {
    const TFlowControl& flow = *port.FlowControl();
    const TCharacters& characters = *port.Characters();
    return std::make_tuple(port.BaudRate(), port.CustomBaudRate(), port.DataBits(), port.Parity(),
                           port.StopBits(), port.Options().bits(), flow.DTR(), flow.RTS(), flow.XOnXOff(),
                           flow.XOnLimit(), flow.XOffLimit(), characters.XOn(), characters.XOff(),
                           characters.Error(), characters.Eof(), characters.Event());
}

TEST(ComConfig, CopyDCBTakesTheNamedValueWhereADefaultSharesIt) {
    TComPort port(nullptr);
    TComConfig config; // 8 data bits, no parity, one stop bit, no XON/XOFF
    config.DtrControl = config.RtsControl = TComConfig::kControlDisable;
    port.CopyDCB(config);
    EXPECT_EQ(std::make_tuple(port.BaudRate(), port.CustomBaudRate(), port.DataBits(), port.Parity(),
                              port.StopBits(), port.FlowControl()->DTR(), port.FlowControl()->RTS(),
                              port.FlowControl()->XOnXOff()),
              std::make_tuple(brCustom, 9600, db8, paNone, sb1, dcDisable, rcDisable, xcDisable));
    config.ByteSize = 9; // no setting names it: the device's own stays
    port.CopyDCB(config);
    EXPECT_EQ(port.DataBits(), dbDefault);

    // Properties through a record and back are the same properties.
    TComPort source(nullptr);
    source.SetBaudRate(br19200);
    source.SetDataBits(db7);
    source.SetParity(paMark);
    source.SetStopBits(sb2);
    source.SetOptions({opCheckParity, opOutputCTSFlow, opTXContinueOnXOff, opAbortOnError});
    source.FlowControl()->SetDTR(dcHandshake);
    source.FlowControl()->SetRTS(rcToggle);
    source.FlowControl()->SetXOnXOff(xcInputOutput);
    source.FlowControl()->SetXOffLimit(200);
    source.Characters()->SetEof(0x1a);
    source.CopyDCBTo(config);
    port.CopyDCB(config);
    auto expected = properties(source);
    std::get<0>(expected) = brCustom; // the rate comes back as a number
    EXPECT_EQ(properties(port), expected);
}

TEST(ComConfig, DialogsChangeNothingUnlessConfirmed) {
    SerialTests::PortOnPty rig;
    TComPort& port = *rig.port;
    std::string reported;
    port.OnError = [&](TCustomComPort*, EComError& error, TComAction&) { reported = error.Message(); };
    port.SetBaudRate(br19200);
    port.Open();
    const auto before = properties(port);
    EXPECT_FALSE(port.ConfigDialog());
    EXPECT_FALSE(port.DefaultConfigDialog());
    EXPECT_EQ(reported, "No configuration dialog is set for this port");

    TComConfig shown;
    bool confirm = false;
    port.OnConfigDialog = [&](TCustomComPort*, const std::string& device, TComConfig& config) {
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

    confirm = true;
    EXPECT_TRUE(port.ConfigDialog());
    EXPECT_EQ(std::make_tuple(port.CustomBaudRate(), port.StopBits(), port.FlowControl()->XOnXOff()),
              std::make_tuple(4800, sb2, xcInput));
    termios device{};
    ASSERT_EQ(::tcgetattr(rig.pty.holder(), &device), 0);
    EXPECT_EQ(::cfgetospeed(&device), B4800);
    EXPECT_NE(device.c_cflag & CSTOPB, 0U);
    EXPECT_NE(device.c_iflag & IXOFF, 0U);
}

TEST(ComConfig, DefaultConfigDialogStoresTheDeviceSettingsAndLeavesThePortAlone) {
    SerialTests::PortOnPty rig;
    TComPort& port = *rig.port;
    port.SetParity(paOdd);
    port.FlowControl()->SetXOnXOff(xcInput);
    const auto before = properties(port);
    TComConfig stored;
    port.OnConfigDialog = [&](TCustomComPort*, const std::string&, TComConfig& config) {
        config.BaudRate = 15625;
        config.StopBits = TComConfig::kTwoStopBits;
        config.XonChar = 0x05;
        config.OutX = true;
        config.OutxCtsFlow = true;
        config.RtsControl = TComConfig::kControlHandshake; // what CTS flow reads back as
        stored = config;
        return true;
    };
    EXPECT_TRUE(port.DefaultConfigDialog());
    EXPECT_EQ(properties(port), before);

    termios device{};
    uint32_t input = 0;
    uint32_t output = 0;
    ASSERT_EQ(::tcgetattr(rig.pty.holder(), &device), 0);
    ASSERT_EQ(Termios2::readRates(rig.pty.holder(), input, output), 0);
    EXPECT_EQ(output, 15625U);
    EXPECT_EQ(device.c_cflag & (CSTOPB | CRTSCTS), CSTOPB | CRTSCTS);
    EXPECT_NE(device.c_iflag & IXON, 0U);
    EXPECT_EQ(device.c_cc[VSTART], 0x05);
    EXPECT_EQ(port.DefaultConfig(), stored);

    TComPort holder(nullptr); // another port's device is not for storing
    holder.SetDeviceName(rig.pty.path());
    holder.Open();
    EXPECT_EQ(whatRaised<EComError>([&] { port.SetDefaultConfig(stored); }), std::strerror(EBUSY));
}

} // namespace
