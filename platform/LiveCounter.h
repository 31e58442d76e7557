#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace NorvEngineering::Platform {

// Counts the live instances of one kind of worker, so that an owner, a test or the
// end of a program can wait until every one of them has ended.
class TLiveCounter {
public:
    void enter();
    // Wakes every waiter, the main thread's queue included.
    void leave();
    int count() const;
    // Waits until none is live. On the main thread synchronised calls keep running
    // meanwhile, so a worker blocked in Synchronize can still end.
    bool waitForNone(std::chrono::milliseconds timeout);

private:
    mutable std::mutex m_mutex_;
    std::condition_variable m_changed_;
    int m_count_ = 0;
};

} // namespace NorvEngineering::Platform
