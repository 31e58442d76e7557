#pragma once

#include "FakeInterface.h"
#include "RecordingSink.h"
#include "SensorLib.h"

#include <string>

namespace Vkr25XtTest {

using NorvEngineering::SensorLib::CVkr25Xt;

// A start-up exchange as a Vkr27 sends it: identity, reset prompt, parameter dump
// with the alarm 2 and 3 lines before the offset.
inline const std::string kIdLine = "VKR27,SN 12345,V7.03\r\n";
inline const std::string kPromptLine = "Reset all parameters with PR[Enter]\r\n";
inline const std::string kFaLine = "[FA] Alarm 2..................3.5\r\n";
inline const std::string kFbLine = "[FB] Alarm 3..................4.5\r\n";
inline const std::string kDumpHead = "[SA] Average value............5\r\n"
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
                                     "[AS] Autostart................dt\r\n";
inline const std::string kOfLine = "[OF] Offset...................-0.25\r\n";
inline const std::string kDump = kDumpHead + kFaLine + kFbLine + kOfLine;

// A driver wired to a recording transport and sink.
struct Rig {
    TestSupport::RecordingSink sink;
    TestSupport::FakeInterface iface;
    CVkr25Xt driver{&sink};

    Rig() { driver.setInterface(&iface); }

    void feed(const std::string& bytes) { iface.deliver(bytes); }

    CVkr25Xt::CVkr25XtConfig& config() { return *driver.getConfig(); }

    // Runs the start sequence through the first dump (auto-start as the dump says)
    // and forgets what it wrote and reported.
    void start(const std::string& dump = kDump) {
        driver.initialize();
        feed(kIdLine + kPromptLine + dump);
        forget();
    }

    // Active with an empty queue and the given display format, nothing recorded yet:
    // the state after a start-up whose sensor has no auto-start mode.
    void makeActive(char displayFormat = 'd') {
        driver.setActive(1);
        config().setDisplayFormat(displayFormat);
        forget();
    }

    // Queues `mode` on an active driver with an empty queue and forgets the write.
    void startWith(CVkr25Xt::ELaserMode mode, const std::string& argument = std::string()) {
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

    CVkr25Xt::ELaserMode head() const {
        return driver.getQueue().empty() ? CVkr25Xt::lmNone : driver.getQueue().front().getId();
    }
};

} // namespace Vkr25XtTest
