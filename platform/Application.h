#pragma once

#include "Event.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>

namespace NorvEngineering::Platform {

// The main thread's message processing: posted messages, synchronised calls from
// worker threads, and the handling of exceptions that escape a handler.
class TApplication {
public:
    // Handles the messages waiting on the calling thread (those that their handlers
    // post come at the next call), and on the main thread the waiting synchronised
    // calls; never blocks.
    void ProcessMessages();
    // Waits for one message (or a synchronised call) and handles it. False on WM_QUIT.
    bool HandleMessage();
    // Handles messages until Terminate or WM_QUIT.
    void Run();
    // Handles messages until the condition holds (true) or the time-out passes
    // (false). The condition is checked after every wake-up of the main thread (a
    // message, a synchronised call, a watched descriptor, a thread's end) and at the
    // time-out, never in between: an idle wait costs nothing. Another thread that
    // changes what the condition looks at, without going through the main thread,
    // wakes it with wakeMainThread().
    bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    // For a program whose own event loop runs the thread (Qt, GLib, Asio, libuv, a
    // plain poll()): instead of Run or RunUntil it watches this descriptor for
    // readability and calls ProcessDue whenever it is readable. The descriptor is
    // level-triggered: readable while something is due (a posted message, a watched
    // socket or device that fired, on the main thread a worker waiting in
    // Synchronize) and no longer readable once ProcessDue has run it; it is readable
    // again at once when a turn leaves work behind. A wake-up of the thread (another
    // thread's end, wakeMainThread) makes it readable too, for a turn that may find
    // nothing to run but lets the loop look at its own conditions. It belongs to the
    // calling thread's queue, which owns it: never close it, never read it. Run,
    // RunUntil and ProcessMessages still work after it has been taken.
    int EventDescriptor();
    // One turn for the other loop: runs the watches that fired, the messages queued by
    // now (what their handlers post comes next turn) and on the main thread a bounded
    // batch of synchronised calls per message; never blocks. False when it took a
    // WM_QUIT (the program should leave its loop).
    bool ProcessDue();
    void Terminate() { m_terminated_ = true; }
    bool Terminated() const { return m_terminated_; }
    void ResetTerminated() { m_terminated_ = false; }

    // The silent abort is dropped; anything else goes to OnException, or to standard
    // error when nothing is bound.
    void HandleException(std::exception_ptr error);
    TEvent<void(std::exception_ptr)> OnException;

private:
    bool dispatchOne(bool wait, bool poll = true);
    // At most `most` messages (at least one), and only those waiting at the start.
    void processMessages(bool poll, std::size_t most);
    std::atomic<bool> m_terminated_{false};
};

TApplication& Application();

} // namespace NorvEngineering::Platform
