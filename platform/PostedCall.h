#pragma once

#include "MessageTarget.h"

#include <atomic>
#include <functional>

namespace NorvEngineering::Platform {

// A call that any thread asks the main thread to run, without waiting for it: a worker
// hands news to the main thread for the price of one queued message, and only while
// nothing of it is pending. Requests made while one is pending merge into it, so the
// call runs at least once after every request, after the messages queued before that
// request, and never on memory that is gone: destroying it (on the main thread) drops
// what is pending. An exception of the call goes to the main thread's message loop
// like any message handler's. It may be made on any thread (an owner built by a
// worker still hears on the main thread, as from Synchronize).
class TPostedCall : private TMessageTarget {
public:
    explicit TPostedCall(std::function<void()> call) : m_call_(std::move(call)) {
        attachToThread(mainThreadId());
    }

    // Any thread; never blocks. False when the owning thread has no queue any more.
    bool request();
    bool pending() const { return m_pending_.load(std::memory_order_acquire); }

private:
    void handleMessage(TMessage& message) override;

    const std::function<void()> m_call_;
    std::atomic<bool> m_pending_{false};
};

} // namespace NorvEngineering::Platform
