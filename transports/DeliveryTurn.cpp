#include "DeliveryTurn.h"

namespace NorvEngineering::SensorLib {

TDeliveryTurn::EEnter TDeliveryTurn::enter(uint64_t connection) {
    const Platform::ThreadId self = Platform::currentThreadId();
    std::unique_lock lock(m_mutex_);
    if (m_held_ && m_holder_ == self)
        return EEnter::nested;
    ++m_waiters_;
    m_free_.wait(lock, [&] { return !m_held_ || m_connection_ != connection; });
    --m_waiters_;
    if (m_connection_ != connection)
        return EEnter::cancelled;
    m_held_ = true;
    m_holder_ = self;
    return EEnter::entered;
}

bool TDeliveryTurn::tryEnter_(bool& noteWhenHeld) {
    std::lock_guard lock(m_mutex_);
    if (m_held_) {
        noteWhenHeld = true;
        return false;
    }
    m_held_ = true;
    m_holder_ = Platform::currentThreadId();
    return true;
}

bool TDeliveryTurn::tryEnterToRead() {
    return tryEnter_(m_missedRead_);
}

bool TDeliveryTurn::tryEnterToHandBack() {
    return tryEnter_(m_handBackWanted_);
}

bool TDeliveryTurn::leave(bool& missedRead) {
    bool waiters = false;
    {
        std::lock_guard lock(m_mutex_);
        if (m_handBackWanted_ && !gone()) {
            m_handBackWanted_ = false;
            return false;
        }
        m_handBackWanted_ = false;
        missedRead = m_missedRead_;
        m_missedRead_ = false;
        m_held_ = false;
        m_holder_ = 0;
        waiters = m_waiters_ != 0;
    }
    if (waiters)
        m_free_.notify_all();
    return true;
}

uint64_t TDeliveryTurn::newConnection() {
    uint64_t connection = 0;
    bool waiters = false;
    {
        std::lock_guard lock(m_mutex_);
        connection = ++m_connection_;
        waiters = m_waiters_ != 0;
    }
    if (waiters)
        m_free_.notify_all();
    return connection;
}

void TDeliveryTurn::waitUntilFree() {
    const Platform::ThreadId self = Platform::currentThreadId();
    std::unique_lock lock(m_mutex_);
    ++m_waiters_;
    m_free_.wait(lock, [&] { return !m_held_ || m_holder_ == self; });
    --m_waiters_;
}

uint64_t TDeliveryTurn::connection() const {
    std::lock_guard lock(m_mutex_);
    return m_connection_;
}

void TDeliveryTurn::markGone() {
    m_gone_.store(true, std::memory_order_release);
}

bool TDeliveryTurn::gone() const {
    return m_gone_.load(std::memory_order_acquire);
}

} // namespace NorvEngineering::SensorLib
