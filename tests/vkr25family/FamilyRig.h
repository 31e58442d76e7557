#pragma once

#include "DriverTraits.h"
#include "FakeInterface.h"
#include "RecordingSink.h"

#include <string>
#include <vector>

namespace Vkr25Family {

using Writes = std::vector<std::string>;

// A driver of the family wired to a recording transport and sink.
template <class Traits>
struct Rig {
    using Driver = typename Traits::Driver;
    using Mode = typename Driver::ELaserMode;

    TestSupport::RecordingSink sink;
    TestSupport::FakeInterface iface;
    Driver driver{&sink};

    Rig() { driver.setInterface(&iface); }

    void feed(const std::string& bytes) { iface.deliver(bytes); }

    typename Traits::Config& config() { return Traits::config(driver); }

    // Runs the start sequence through the first dump (auto-start as the dump says)
    // and forgets what it wrote and reported.
    void start(const std::string& dump = Traits::kDump) {
        driver.initialize();
        feed(Traits::kIdLine + kPromptLine + dump);
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
    void startWith(Mode mode, const std::string& argument = std::string()) {
        driver.setMode(mode, argument);
        forget();
    }

    // Asks for `mode` with DM queued behind it and answers with `reply`, which must
    // complete the command: escape, then DM goes out. Leaves DM done.
    void expectReplyEndsItsCommand(Mode mode, const std::string& reply, const std::string& expectedTrace) {
        driver.setMode(mode);
        driver.setMode(Driver::lmDM);
        forget();
        feed(reply);
        EXPECT_EQ(driver.getCurrentMode(), Driver::lmDM) << reply;
        EXPECT_EQ(driver.getPreviousMode(), Driver::lmEscaped) << reply;
        EXPECT_EQ(iface.writes, (Writes{"DM", "\r"})) << reply;
        EXPECT_EQ(sink.updates, (Writes{expectedTrace})) << reply;
        driver.sendNextQueuedMode();
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

    Mode head() const {
        return driver.getQueue().empty() ? Driver::lmNone : driver.getQueue().front().getId();
    }
};

// The lines of a dump, each with its line end.
inline std::vector<std::string> dumpLines(const std::string& dump) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < dump.size()) {
        const std::size_t end = dump.find('\n', start) + 1;
        lines.push_back(dump.substr(start, end - start));
        start = end;
    }
    return lines;
}

// The dump without the lines that hold `marker`.
inline std::string dumpWithout(const std::string& dump, const std::string& marker) {
    std::string kept;
    for (const std::string& line : dumpLines(dump)) {
        if (line.find(marker) == std::string::npos)
            kept += line;
    }
    return kept;
}

} // namespace Vkr25Family
