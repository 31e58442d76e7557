#include "DeliveryTurn.h"

namespace NorvEngineering::SensorLib {

namespace {
constexpr uint32_t kHeld = 1;
constexpr uint32_t kMissedRead = 2;
constexpr uint32_t kHandBackWanted = 4;
constexpr uint32_t kWaiters = 8;
} // namespace

TDeliveryTurn::EEnter TDeliveryTurn::enter(uint64_t connection) {
    const Platform::ThreadId self = Platform::currentThreadId();
    if ((m_state_.load(std::memory_order_acquire) & kHeld) != 0 &&
        m_holder_.load(std::memory_order_relaxed) == self)
        return EEnter::nested;
    for (;;) {
        if (m_connection_.load(std::memory_order_seq_cst) != connection)
            return EEnter::cancelled;
        uint32_t state = m_state_.load(std::memory_order_relaxed);
        if ((state & kHeld) == 0) {
            if (m_state_.compare_exchange_weak(state, state | kHeld, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
                m_holder_.store(self, std::memory_order_relaxed);
                return EEnter::entered;
            }
            continue;
        }
        waitUntil_([&] {
            return (m_state_.load(std::memory_order_seq_cst) & kHeld) == 0 ||
                   m_connection_.load(std::memory_order_seq_cst) != connection;
        });
    }
}

void TDeliveryTurn::waitUntilFree() {
    const Platform::ThreadId self = Platform::currentThreadId();
    waitUntil_([&] {
        return (m_state_.load(std::memory_order_seq_cst) & kHeld) == 0 ||
               m_holder_.load(std::memory_order_relaxed) == self;
    });
}

template <typename Condition>
void TDeliveryTurn::waitUntil_(Condition condition) {
    std::unique_lock lock(m_mutex_);
    ++m_waiters_;
    // Announced before the condition is looked at: whoever changes it afterwards sees
    // the announcement and wakes this thread through the lock.
    m_state_.fetch_or(kWaiters, std::memory_order_seq_cst);
    m_free_.wait(lock, condition);
    if (--m_waiters_ == 0)
        m_state_.fetch_and(~kWaiters, std::memory_order_seq_cst);
}

void TDeliveryTurn::wakeWaiters_() {
    // Through the lock: a waiter is either still to look at its condition, or asleep.
    { std::lock_guard lock(m_mutex_); }
    m_free_.notify_all();
}

bool TDeliveryTurn::tryEnter_(uint32_t noteWhenHeld) {
    uint32_t state = m_state_.load(std::memory_order_relaxed);
    for (;;) {
        if ((state & kHeld) != 0) {
            if (m_state_.compare_exchange_weak(state, state | noteWhenHeld, std::memory_order_acq_rel,
                                               std::memory_order_relaxed))
                return false;
        } else if (m_state_.compare_exchange_weak(state, state | kHeld, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
            m_holder_.store(Platform::currentThreadId(), std::memory_order_relaxed);
            return true;
        }
    }
}

bool TDeliveryTurn::tryEnterToRead() {
    return tryEnter_(kMissedRead);
}

bool TDeliveryTurn::tryEnterToHandBack() {
    return tryEnter_(kHandBackWanted);
}

bool TDeliveryTurn::leave(bool& missedRead) {
    uint32_t state = m_state_.load(std::memory_order_relaxed);
    for (;;) {
        if ((state & kHandBackWanted) != 0 && !gone()) {
            if (m_state_.compare_exchange_weak(state, state & ~kHandBackWanted, std::memory_order_acq_rel,
                                               std::memory_order_relaxed))
                return false;
            continue;
        }
        m_holder_.store(0, std::memory_order_relaxed);
        if (m_state_.compare_exchange_weak(state, state & ~(kHeld | kMissedRead | kHandBackWanted),
                                           std::memory_order_seq_cst, std::memory_order_relaxed))
            break;
    }
    missedRead = (state & kMissedRead) != 0;
    if ((state & kWaiters) != 0)
        wakeWaiters_();
    return true;
}

uint64_t TDeliveryTurn::newConnection() {
    const uint64_t connection = m_connection_.fetch_add(1, std::memory_order_seq_cst) + 1;
    if ((m_state_.load(std::memory_order_seq_cst) & kWaiters) != 0)
        wakeWaiters_();
    return connection;
}

uint64_t TDeliveryTurn::connection() const {
    return m_connection_.load(std::memory_order_seq_cst);
}

void TDeliveryTurn::markGone() {
    m_gone_.store(true, std::memory_order_release);
}

bool TDeliveryTurn::gone() const {
    return m_gone_.load(std::memory_order_acquire);
}

} // namespace NorvEngineering::SensorLib
