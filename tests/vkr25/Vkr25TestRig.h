#pragma once

#include "FakeInterface.h"
#include "RecordingSink.h"
#include "SensorLib.h"

#include <string>

namespace Vkr25Test {

using NorvEngineering::SensorLib::CVkr25;

// A start-up exchange as a Vkr25 sends it: identity, reset prompt, parameter dump.
inline const std::string kIdLine = "VKR25,SN 12345,V 1.23\r\n";
inline const std::string kPromptLine = "Reset all parameters with PR[Enter]\r\n";
inline const std::string kDump = "[SA] Average value............5\r\n"
                                 "[SD] Display format...........d\r\n"
                                 "[ST] Measure time.............3\r\n"
                                 "[SF] Scale factor.............1.0936\r\n"
                                 "[SE] Error mode...............1\r\n"
                                 "[AC] Alarm centre.............2.5\r\n"
                                 "[AH] Alarm hysteresis.........0.1\r\n"
                                 "[AW] Alarm width..............1.5\r\n"
                                 "[RB] Range begin (4 mA).......0.2\r\n"
                                 "[RE] Range end (20 mA)........10\r\n"
                                 "[RM] Remove measurement.......2 0.5 3\r\n"
                                 "[TD] Trigger delay............10 1\r\n"
                                 "[TM] Trigger mode.............1 0\r\n"
                                 "[BR] Baud rate................19200\r\n"
                                 "[AS] Autostart................dt\r\n"
                                 "[OF] Offset...................-0.25\r\n";

// A driver wired to a recording transport and sink.
struct Rig {
    TestSupport::RecordingSink sink;
    TestSupport::FakeInterface iface;
    CVkr25 driver{&sink};

    Rig() { driver.setInterface(&iface); }

    void feed(const std::string& bytes) { iface.deliver(bytes); }

    // Active with an empty queue and the given display format, nothing recorded yet:
    // the state after a start-up whose sensor has no auto-start mode.
    void makeActive(char displayFormat = 'd') {
        driver.setActive(1);
        driver.getConfig().setDisplayFormat(displayFormat);
        forget();
    }

    // Queues `mode` on an active driver with an empty queue and forgets the write.
    void startWith(CVkr25::ELaserMode mode, const std::string& argument = std::string()) {
        driver.setMode(mode, argument);
        forget();
    }

    void forget() {
        iface.writes.clear();
        sink = TestSupport::RecordingSink();
    }

    std::string trace() const {
        std::string all;
        for (const auto& text : sink.updates)
            all += text;
        return all;
    }

    CVkr25::ELaserMode head() const {
        return driver.getQueue().empty() ? CVkr25::lmNone : driver.getQueue().front().getId();
    }
};

} // namespace Vkr25Test
