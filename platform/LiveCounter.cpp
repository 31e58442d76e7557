#include "LiveCounter.h"

#include "MessageQueue.h"
#include "Synchronize.h"

namespace NorvEngineering::Platform {

void TLiveCounter::enter() {
    std::lock_guard lock(m_mutex_);
    ++m_count_;
}

void TLiveCounter::leave() {
    {
        std::lock_guard lock(m_mutex_);
        --m_count_;
    }
    m_changed_.notify_all();
    if (const auto mainQueue = ThreadMessageQueue::of(mainThreadId()))
        mainQueue->wake();
}

int TLiveCounter::count() const {
    std::lock_guard lock(m_mutex_);
    return m_count_;
}

bool TLiveCounter::waitForNone(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!isMainThread()) {
        std::unique_lock lock(m_mutex_);
        return m_changed_.wait_until(lock, deadline, [&] { return m_count_ == 0; });
    }
    auto& queue = ThreadMessageQueue::current();
    for (;;) {
        checkSynchronize();
        if (count() == 0)
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        queue.waitEvents(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
}

} // namespace NorvEngineering::Platform
