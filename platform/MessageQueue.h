#pragma once

#include "Messages.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace NorvEngineering::Platform {

// The message queue of one thread, and that thread's wait for "a message or a file
// descriptor". Anyone may post or change a watch; only the owning thread takes
// messages and runs watch callbacks, and it does so only while it waits here, so a
// watch callback never races the thread's own code.
class ThreadMessageQueue {
public:
    using WatchId = uint64_t;
    // Called on the owning thread with the epoll events that fired.
    using WatchCallback = std::function<void(uint32_t events)>;

    // The calling thread's queue, created on first use and dropped when the thread ends.
    static ThreadMessageQueue& current();
    // Ends the calling thread's queue before the thread itself ends, as its end would:
    // posts to the thread fail from here on, and its descriptors close (at once, unless
    // a poster holds the queue for the moment of its post). For a thread whose end
    // others wait on, so that they see its descriptors gone.
    static void endCurrent();
    // The queue of another thread; null when that thread has none (never made one, or ended).
    static std::shared_ptr<ThreadMessageQueue> of(ThreadId thread);

    explicit ThreadMessageQueue(ThreadId owner);
    ThreadMessageQueue(const ThreadMessageQueue&) = delete;
    ThreadMessageQueue& operator=(const ThreadMessageQueue&) = delete;
    ~ThreadMessageQueue();

    ThreadId owner() const { return m_owner_; }

    void post(const TMessage& message);
    // Takes (or, without remove, looks at) the first message; polls the watches once
    // without blocking first (unless told not to: the caller has just waited). False
    // when the queue is empty.
    bool peek(TMessage& message, bool remove, bool poll = true);
    // Waits for a message and takes it; false when it is WM_QUIT.
    bool get(TMessage& message);
    // Waits until a message is queued, a callback or Synchronize'd call has run, or the
    // time-out has passed (negative: no time-out). True when a message is queued.
    bool wait(std::chrono::milliseconds timeout);
    // Waits for a wake-up, a watch event (running its callback) or the time-out, and
    // runs waiting synchronised calls on the main thread; leaves queued messages alone.
    void waitEvents(std::chrono::milliseconds timeout);
    // Ends a wait of the owning thread early.
    void wake();
    // Ends the owning thread's wait only when it sleeps or is about to: what a message
    // or a synchronised call needs, since the owner looks for those before it sleeps.
    void wakeIfSleeping();
    bool empty() const;
    std::size_t size() const;

    // For another event loop that drives this queue from the owning thread: a
    // descriptor that is readable while something is due (a queued message, a waiting
    // synchronised call on the main thread, a watched descriptor that fired or a
    // wake-up) and stays readable until that has been run. The first call switches the
    // queue into this mode for good: from then on posters also mark it due when the
    // owner is not sleeping in the queue itself, since it may sleep in the other loop.
    // Only the owning thread may call it; the queue owns the descriptor.
    int eventDescriptor();
    // Bracket one turn of the other loop's processing: posts the owner makes inside
    // the turn mark nothing, and the end leaves the descriptor readable only when
    // something is still due.
    void beginDueTurn() { m_inDueTurn_ = true; }
    void endDueTurn();

    // For a watch callback, on the owning thread: dispatches the message now when the
    // thread waits in its message loop (get) with nothing queued, which is what the loop
    // would do next anyway; false otherwise (the caller then posts it). Not on the main
    // thread, whose loop runs waiting synchronised calls before its messages.
    bool dispatchAtOnce(const TMessage& message);

    WatchId watch(int fd, uint32_t events, WatchCallback callback);
    void modifyWatch(WatchId id, uint32_t events);
    void unwatch(WatchId id);

private:
    // Each fired event names its watch directly (no look-up per event). An unwatched
    // record is only marked dead and kept until no poll of the owner can still hold an
    // event naming it: the next outermost poll frees it.
    struct Watch {
        Watch(int f, WatchCallback c) : fd(f), callback(std::move(c)) {}
        const int fd;
        const WatchCallback callback;
        std::atomic<bool> live{true};
    };
    void freeRetiredWatches();

    void pollOnce(int timeoutMs);
    bool hasDueWork() const;
    void markDue();

    ThreadId m_owner_;
    // Set while the owning thread sleeps in epoll (or is about to); posters wake it
    // only then, so a busy owner is never sent a wake-up it does not need.
    std::atomic<bool> m_sleeping_{false};
    int m_epollFd_ = -1;
    int m_wakeFd_ = -1;
    // The other loop's descriptor: an epoll over m_epollFd_ (the watches and the
    // wake-ups) and m_dueFd_ (set while messages or synchronised calls wait), both
    // level-triggered. m_due_ says m_dueFd_ is set, so that only the first poster
    // after a turn pays for the write.
    std::atomic<bool> m_external_{false};
    std::atomic<bool> m_due_{false};
    bool m_inDueTurn_ = false; // owner only
    // Set while get() sleeps for the next message and may take one dispatched at once
    // instead; owner only.
    bool m_loopWaiting_ = false;
    // Messages get() has taken since the watches were last polled; owner only.
    static constexpr std::size_t kMessagesBetweenPolls = 32;
    std::size_t m_takenWithoutPoll_ = 0;
    int m_dueFd_ = -1;
    int m_externalFd_ = -1;
    mutable std::mutex m_mutex_;
    std::deque<TMessage> m_messages_;
    std::map<WatchId, std::unique_ptr<Watch>> m_watches_;
    std::vector<std::unique_ptr<Watch>> m_retired_; // under m_mutex_
    std::atomic<bool> m_anyRetired_{false};         // so that a poll need not lock to look
    int m_pollDepth_ = 0;                           // owner only: polls running (nested)
    WatchId m_nextWatch_ = 1;
};

// Ends the main thread's current wait at once (for a condition it waits for that
// another thread has changed).
void wakeMainThread();

// Queues a message for another thread (or the calling one). False when that thread has
// no queue, and the message is dropped: the thread has ended, or it has not used its
// queue yet (the main thread's is made on demand). A thread that hands its id out for
// posts makes its queue first (ThreadMessageQueue::current()).
bool postThreadMessage(ThreadId thread, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
// Message operations on the calling thread's queue.
bool getMessage(TMessage& message);
bool peekMessage(TMessage& message, bool remove = true);
// Delivers a message to its target when the target still exists and belongs to the
// calling thread; thread messages and messages of vanished targets are dropped.
void dispatchMessage(const TMessage& message);

} // namespace NorvEngineering::Platform
