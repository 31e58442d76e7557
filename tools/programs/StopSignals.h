#pragma once

#include "SensorPlatform.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace Programs {

// Ctrl-C, SIGTERM and SIGHUP ask a program to end the way it ends by itself; a second
// one ends it at once with 128 + the signal's number (130 for Ctrl-C).
//
// The signals are blocked in every thread and taken by one thread of this object's
// own with sigwait, so no handler interrupts the library's threads and the stop
// request is an ordinary flag plus a wake-up of the main thread's message loop. Make
// the object first thing in main, before any thread exists: threads inherit the mask.
class CStopSignals {
public:
    // What goes in front of the lines it prints (the program's time prefix); it runs
    // on this object's thread.
    using Prefix = std::function<std::string()>;

    explicit CStopSignals(Prefix prefix = {}) : m_prefix_(std::move(prefix)) {
        sigset_t set = signalSet_();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        // The main thread's queue exists before anyone needs to wake it.
        NorvEngineering::Platform::ThreadMessageQueue::current();
        m_thread_ = std::thread([this] { run_(); });
    }
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;
    ~CStopSignals() {
        pthread_kill(m_thread_.native_handle(), kEndSignal);
        m_thread_.join();
    }

    bool requested() const { return m_requested_.load() != 0; }

private:
    static constexpr int kEndSignal = SIGUSR1; // this object's own: ends the thread

    static sigset_t signalSet_() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, kEndSignal})
            sigaddset(&set, signal);
        return set;
    }

    void run_() {
        const sigset_t set = signalSet_();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                return;
            if (signal == kEndSignal)
                break;
            take_(signal);
        }
        // The kernel hands this thread the end signal, sent to it alone, before stop
        // signals sent to the process earlier; those came before the end and count, or
        // a second Ctrl-C that came while the first was being taken would be lost.
        sigset_t stops = set;
        sigdelset(&stops, kEndSignal);
        const timespec noWait{};
        for (int signal = 0; (signal = sigtimedwait(&stops, nullptr, &noWait)) > 0;)
            take_(signal);
    }

    void take_(int signal) {
        if (m_requested_.exchange(signal) != 0)
            ::_exit(128 + signal); // what was printed is out already: stdout is line-buffered
        const std::string prefix = m_prefix_ ? m_prefix_() : std::string();
        if (signal == SIGINT)
            std::fprintf(stderr, "%sstopping; Ctrl-C again ends at once\n", prefix.c_str());
        else
            std::fprintf(stderr, "%sstopping on %s; a second stop signal ends at once\n", prefix.c_str(),
                         signal == SIGTERM ? "SIGTERM" : "SIGHUP");
        if (const auto queue =
                NorvEngineering::Platform::ThreadMessageQueue::of(NorvEngineering::Platform::mainThreadId()))
            queue->wake();
    }

    Prefix m_prefix_;
    std::atomic<int> m_requested_{0};
    std::thread m_thread_;
};

} // namespace Programs
