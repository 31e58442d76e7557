#pragma once

#include "DriverTraits.h"
#include "FakeInterface.h"
#include "RecordingSink.h"

#include <sstream>
#include <string>
#include <vector>

namespace Vkr25Family {

using Writes = std::vector<std::string>;

// Every value of a parameter set, one field each ("SA 5", "AC 2.5 '2.5'"): numbers
// beside the texts they were read from, so that comparing them checks everything.
template <class Traits>
std::vector<std::string> configFields(const typename Traits::Config& c) {
    using Driver = typename Traits::Driver;
    const auto real = [](double value, int digits) {
        std::ostringstream text;
        text.precision(digits);
        text << value;
        return text.str();
    };
    const auto pair = [&](float value, const std::string& text) {
        return real(value, 7) + " '" + text + "'";
    };
    const auto mode = c.getAutostartMode();
    std::vector<std::string> fields = {
        "SA " + std::to_string(c.getAverage()),
        std::string("SD ") + (c.getDisplayFormat() == '\0' ? '-' : c.getDisplayFormat()),
        "ST " + std::to_string(c.getMeasureTime()),
        "SF " + real(c.getScaleFactor(), 15) + " '" + c.getStrScaleFactor() + "'",
        "SE " + std::to_string(c.getErrorMode()),
        "AC " + pair(c.getAlarmCenter(), c.getStrAlarmCenter()),
        "AH " + pair(c.getAlarmHysteresis(), c.getStrAlarmHysteresis()),
        "AW " + pair(c.getAlarmWidth(), c.getStrAlarmWidth()),
        "RB " + pair(c.getRangeBegin(), c.getStrRangeBegin()),
        "RE " + pair(c.getRangeEnd(), c.getStrRangeEnd()),
        "RM '" + c.getRemoveMeasurement() + "'",
        "TD '" + c.getTriggerDelay() + "'",
        "TM '" + c.getTriggerMode() + "'",
        "BR " + std::to_string(c.getBaudRate()),
        "AS " + (mode == Driver::lmNone ? std::string("none") : Driver::getModeText(mode)),
        "OF " + real(c.getOffset(), 15) + " '" + c.getStrOffset() + "'",
    };
    if constexpr (requires { c.getAlarm2(); }) {
        fields.push_back("FA " + pair(c.getAlarm2(), c.getStrAlarm2()));
        fields.push_back("FB " + pair(c.getAlarm3(), c.getStrAlarm3()));
    }
    return fields;
}

template <class Traits>
std::string configText(const typename Traits::Config& c) {
    std::string text;
    for (const std::string& field : configFields<Traits>(c))
        text += (text.empty() ? "" : " ") + field;
    return text;
}

// A driver of the family wired to a recording transport and sink.
template <class Traits>
struct Rig {
    using Driver = typename Traits::Driver;
    using Mode = typename Driver::ELaserMode;
    TestSupport::RecordingSink sink;
    TestSupport::FakeInterface iface;
    Driver driver{&sink};
    std::vector<std::string> fieldsBefore = configFields<Traits>(config());

    Rig() { driver.setInterface(&iface); }
    void feed(const std::string& bytes) { iface.deliver(bytes); }
    typename Traits::Config& config() { return Traits::config(driver); }
    std::string values() { return configText<Traits>(config()); }

    // Runs the start sequence up to the dump and forgets what it wrote and reported.
    void beginDump() {
        driver.initialize();
        feed(Traits::kIdLine + kPromptLine);
        forget();
    }
    // The whole start sequence (auto-start as the dump says), then forgets.
    void start() {
        beginDump();
        feed(Traits::kDump);
        forget();
    }

    // Active with an empty queue and the given display format, nothing recorded yet:
    // the state after a start-up whose sensor has no auto-start mode.
    void makeActive(char displayFormat = 'd') {
        driver.setActive(1);
        config().setDisplayFormat(displayFormat);
        forget();
    }
    // Active in the given format with `modes` requested in turn, the first in flight.
    void run(const std::vector<Mode>& modes, char displayFormat = 'd') {
        makeActive(displayFormat);
        for (const Mode mode : modes)
            driver.setMode(mode);
        forget();
    }
    // Asks for the modes of `script` in turn by their lower-case names, an argument
    // after a colon ("dt sa:5 esc none"); ">" sends the next queued one.
    void request(const std::string& script) {
        std::istringstream in(script);
        for (std::string word; in >> word;) {
            if (word == ">") {
                driver.sendNextQueuedMode();
                continue;
            }
            const std::size_t colon = word.find(':');
            const std::string name = word.substr(0, colon);
            const Mode mode = name == "esc"    ? Driver::lmEscaped
                              : name == "none" ? Driver::lmNone
                                               : Driver::getModeByName(name);
            EXPECT_TRUE(mode != Driver::lmID || name == "id") << "no mode " << name;
            driver.setMode(mode, colon == std::string::npos ? std::string() : word.substr(colon + 1));
        }
    }

    // Asks for `mode` with DM queued behind it and answers with `reply`, which must
    // complete the command: escape, then DM goes out. Leaves DM done.
    void expectReplyEndsItsCommand(Mode mode, const std::string& reply, const std::string& expectedTrace) {
        driver.setMode(mode);
        driver.setMode(Driver::lmDM);
        forget();
        feed(reply);
        EXPECT_EQ(state(), "DM after ESC, queue DM, wrote <DM><\r>") << reply;
        EXPECT_EQ(sink.updates, (Writes{expectedTrace})) << reply;
        driver.sendNextQueuedMode();
    }

    // Forgets what was written and reported, and the parameter values so far.
    void forget() {
        iface.writes.clear();
        sink = TestSupport::RecordingSink();
        fieldsBefore = configFields<Traits>(config());
    }

    static std::string name(Mode mode) {
        if (mode == Driver::lmEscaped || mode == Driver::lmNone)
            return mode == Driver::lmNone ? "none" : "ESC";
        const std::string text = Driver::getModeText(mode);
        return text.empty() ? std::to_string(int(mode)) : text;
    }
    // The command state in one line: "TP after ESC, queue TP DM, wrote <TP><\r>".
    std::string state() const {
        std::string text =
            name(driver.getCurrentMode()) + " after " + name(driver.getPreviousMode()) + ", queue";
        for (const auto& record : driver.getQueue())
            text += ' ' + name(record.getId());
        text += ", wrote ";
        for (const auto& write : iface.writes)
            text += '<' + write + '>';
        return text;
    }

    // The parameter fields changed since the rig last forgot, as they are now.
    std::string changes() {
        const std::vector<std::string> now = configFields<Traits>(config());
        std::string text;
        for (std::size_t i = 0; i < now.size(); ++i)
            if (now[i] != fieldsBefore[i])
                text += (text.empty() ? "" : ", ") + now[i];
        return text;
    }

    // What an owner can read after the replies: the command state, the distance and
    // the temperature (texts and numbers), the errors reported, the parameters that
    // changed and the trace.
    std::string snapshot() {
        std::ostringstream out;
        out.precision(12);
        out << state() << " | distance " << driver.getStrDistance() << ' ' << driver.getDistance()
            << " | temperature " << driver.getStrTemperature() << ' ' << driver.getTemperature()
            << " | errors";
        for (const int code : sink.sensorErrors)
            out << ' ' << code;
        out << " | changed " << changes() << " | trace " << sink.trace();
        return out.str();
    }

    // Everything the driver did that anyone could see.
    std::string transcript() {
        std::string calls;
        for (const auto& call : sink.calls)
            calls += call + ';';
        return calls + '\n' + snapshot() + "\nactive " + std::to_string(driver.getActive()) + '\n' +
               values() + '\n' + config().getIdentification();
    }
};

// The lines of a dump, each with its line end.
inline std::vector<std::string> dumpLines(const std::string& dump) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; start < dump.size(); start = end) {
        end = dump.find('\n', start) + 1;
        lines.push_back(dump.substr(start, end - start));
    }
    return lines;
}

// The dump without the lines that hold `marker`.
inline std::string dumpWithout(const std::string& dump, const std::string& marker) {
    std::string kept;
    for (const std::string& line : dumpLines(dump))
        if (line.find(marker) == std::string::npos)
            kept += line;
    return kept;
}

} // namespace Vkr25Family
