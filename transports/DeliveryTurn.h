#pragma once

#include "Messages.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace NorvEngineering::SensorLib {

// One notification of a transport at a time, on whatever thread it runs and whatever
// its handler does (pump the main thread's loop, write, switch the delivery, release).
// Whoever delivers holds the turn from before it reads or hands the reading over until
// its notification has returned.
//
// A worker thread waits for the turn. The main thread never does: it may be the holder
// itself, pumping its loop inside a handler, or the holder may be a worker waiting for
// the main thread. A read it cannot start is noted instead, and whoever lets go asks
// for it again. A switch to direct delivery that finds the turn held is noted too: the
// holder hands the reading back before it lets go, so the switch takes effect for the
// next notification, never inside the running one.
//
// The transport and its client threads share it, so that letting go is safe after a
// handler destroyed the transport.
class TDeliveryTurn {
public:
    enum class EEnter : uint8_t {
        entered,
        nested,   // this thread holds the turn already: its own message processing
        cancelled // the connection was released or replaced while this thread waited
    };

    // For a worker: waits while another thread holds the turn.
    EEnter enter(uint64_t connection);
    // Never waits. False when anybody holds the turn; then the read is noted as missed.
    bool tryEnterToRead();
    // Never waits. False when anybody holds the turn; then the hand-back is noted as
    // wanted, and the holder makes it before it lets go.
    bool tryEnterToHandBack();
    // Lets go, unless a hand-back was asked for meanwhile: then false, and the caller,
    // still the holder, makes it and calls again. `missedRead` tells whether a read of
    // the main thread was missed while the turn was held.
    bool leave(bool& missedRead);

    // A release or an open: whoever waits for an older connection gives up.
    uint64_t newConnection();
    // Waits while another thread holds the turn: a release from another thread lets
    // the notification running now end, and none starts after it.
    void waitUntilFree();
    // The connection whose deliveries may still wait for the turn.
    uint64_t connection() const;

    // The transport has gone (its destructor, once no other thread delivers): whoever
    // still holds the turn lets go without touching it.
    void markGone();
    bool gone() const;

private:
    // Sets `noteWhenHeld` when the turn is held.
    bool tryEnter_(uint32_t noteWhenHeld);
    template <typename Condition>
    void waitUntil_(Condition condition);
    void wakeWaiters_();

    // What every notification touches comes first, in one word: held, a read missed, a
    // hand-back wanted, somebody waiting. The lock is for waiting threads only.
    std::atomic<uint32_t> m_state_{0};
    // Read without the lock: whoever looks either is the thread that destroyed the
    // transport, or holds it alive (a pin, the main thread's own callback).
    std::atomic<bool> m_gone_{false};
    std::atomic<Platform::ThreadId> m_holder_{0};
    std::atomic<uint64_t> m_connection_{0};
    std::mutex m_mutex_;
    std::condition_variable m_free_;
    int m_waiters_ = 0; // guarded by m_mutex_
};

} // namespace NorvEngineering::SensorLib
