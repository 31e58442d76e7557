#pragma once

#include "ComPort.h"
#include "PtyPair.h"
#include "RunUntil.h"

#include <chrono>
#include <memory>

namespace SerialTests {

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
};

} // namespace SerialTests
