#pragma once

#include "Event.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>

namespace NorvEngineering::Platform {

// The main thread's message processing: posted messages, synchronised calls from
// worker threads, and the handling of exceptions that escape a handler.
class TApplication {
public:
    // Handles every message waiting on the calling thread, and on the main thread
    // every synchronised call; never blocks.
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
    void Terminate() { m_terminated_ = true; }
    bool Terminated() const { return m_terminated_; }
    void ResetTerminated() { m_terminated_ = false; }

    // The silent abort is dropped; anything else goes to OnException, or to standard
    // error when nothing is bound.
    void HandleException(std::exception_ptr error);
    TEvent<void(std::exception_ptr)> OnException;

private:
    bool dispatchOne(bool wait, bool poll = true);
    void processMessages(bool poll);
    std::atomic<bool> m_terminated_{false};
};

TApplication& Application();

} // namespace NorvEngineering::Platform
