#include "Lifetime.h"

#include "MessageQueue.h"
#include "Messages.h"
#include "Synchronize.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace NorvEngineering::Platform {

namespace Detail {

class LifetimeState {
public:
    LifetimeState() { m_holders_.reserve(4); }

    bool ended() const { return m_ended_.load(std::memory_order_acquire); }

    bool pin() {
        std::lock_guard lock(m_mutex_);
        if (ended())
            return false;
        const ThreadId self = currentThreadId();
        for (auto& holder : m_holders_)
            if (holder.thread == self) {
                ++holder.count;
                return true;
            }
        m_holders_.push_back(Holder{self, 1});
        return true;
    }

    void unpin() {
        bool wake = false;
        {
            std::lock_guard lock(m_mutex_);
            const ThreadId self = currentThreadId();
            for (auto it = m_holders_.begin(); it != m_holders_.end(); ++it)
                if (it->thread == self) {
                    if (--it->count == 0)
                        m_holders_.erase(it);
                    break;
                }
            wake = m_ending_ > 0;
        }
        if (!wake)
            return;
        m_released_.notify_all();
        if (m_mainEnding_.load())
            wakeMainThread();
    }

    void end() {
        std::unique_lock lock(m_mutex_);
        m_ended_.store(true, std::memory_order_release);
        ++m_ending_;
        const bool onMain = isMainThread();
        if (onMain)
            m_mainEnding_ = true;
        while (!onlyExcusedHolders()) {
            if (!onMain) {
                m_released_.wait(lock);
                continue;
            }
            lock.unlock();
            auto& queue = ThreadMessageQueue::current();
            if (!checkSynchronize())
                queue.waitEvents(std::chrono::milliseconds(-1));
            lock.lock();
        }
        if (onMain)
            m_mainEnding_ = false;
        --m_ending_;
    }

private:
    struct Holder {
        ThreadId thread;
        int count;
    };

    bool onlyExcusedHolders() const {
        const ThreadId self = currentThreadId();
        for (const auto& holder : m_holders_)
            if (holder.thread != self && !Detail::isRunningCallOf(holder.thread))
                return false;
        return true;
    }

    std::mutex m_mutex_;
    std::condition_variable m_released_;
    std::vector<Holder> m_holders_;
    std::atomic<bool> m_ended_{false};
    std::atomic<bool> m_mainEnding_{false};
    int m_ending_ = 0;
};

} // namespace Detail

TLifetimePin& TLifetimePin::operator=(TLifetimePin&& other) noexcept {
    if (this != &other) {
        release();
        m_pState_ = std::move(other.m_pState_);
    }
    return *this;
}

void TLifetimePin::release() {
    if (m_pState_) {
        m_pState_->unpin();
        m_pState_.reset();
    }
}

bool TLifetimeRef::ended() const {
    return !m_pState_ || m_pState_->ended();
}

TLifetimePin TLifetimeRef::pin() const {
    if (m_pState_ && m_pState_->pin())
        return TLifetimePin(m_pState_);
    return TLifetimePin();
}

TLifetime::TLifetime() : m_pState_(std::make_shared<Detail::LifetimeState>()) {}

void TLifetime::end() {
    m_pState_->end();
}

bool TLifetime::ended() const {
    return m_pState_->ended();
}

} // namespace NorvEngineering::Platform
