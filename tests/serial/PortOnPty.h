#pragma once

#include "ComPort.h"
#include "ComThread.h"
#include "PtyPair.h"
#include "RunUntil.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

namespace SerialTests {

// The rate the device side of `pty` is set to (input and output alike).
inline uint32_t deviceRate(const PtyPair& pty) {
    uint32_t input = 0;
    uint32_t output = 0;
    EXPECT_EQ(NorvEngineering::Serial::Termios2::readRates(pty.holder(), input, output), 0);
    EXPECT_EQ(input, output);
    return output;
}

// A port set to a fresh pseudo-terminal's device side, not opened yet.
struct PortOnPty {
    PtyPair pty;
    std::unique_ptr<NorvEngineering::Serial::TComPort> port =
        std::make_unique<NorvEngineering::Serial::TComPort>(nullptr);

    PortOnPty() { port->SetDeviceName(pty.path()); }
    // The device has the bytes once the port's input queue shows them.
    bool waitForInput(int32_t count) {
        return TestSupport::runUntil([&] { return port->InputCount() >= count; }, std::chrono::seconds(5));
    }
    // Everything the port holds now, as a handler reads it.
    std::string readAll() {
        const int32_t count = port->InputCount();
        std::string bytes(static_cast<std::size_t>(count), '\0');
        if (count > 0)
            port->Read(bytes.data(), count, true);
        return bytes;
    }
    // At most `most` bytes of what the port holds now.
    std::string take(int32_t most) {
        std::string bytes(static_cast<std::size_t>(std::max(most, 1)), '\0');
        bytes.resize(static_cast<std::size_t>(std::max(port->ReadAvailable(bytes.data(), most), 0)));
        return bytes;
    }
};

// A test of a port on a pseudo-terminal whose event thread does not outlive it.
class PortOnPtyTest : public ::testing::Test, protected PortOnPty {
protected:
    void TearDown() override {
        port.reset();
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(std::chrono::seconds(5)));
    }
};

} // namespace SerialTests
