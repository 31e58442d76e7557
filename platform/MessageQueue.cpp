#include "MessageQueue.h"

#include "MessageTarget.h"
#include "Synchronize.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace NorvEngineering::Platform {

namespace {

// Never destroyed: threads may post while static destructors run. Looked up for
// every message posted to another thread, by many threads at once.
struct QueueRegistry {
    std::shared_mutex mutex;
    std::map<ThreadId, std::shared_ptr<ThreadMessageQueue>> queues;
};
QueueRegistry& registry() {
    static auto* instance = new QueueRegistry();
    return *instance;
}

// Drops the thread's queue from the registry when the thread ends.
struct QueueHolder {
    std::shared_ptr<ThreadMessageQueue> queue;
    ~QueueHolder() { end(); }
    void end() {
        if (!queue)
            return;
        {
            std::lock_guard lock(registry().mutex);
            registry().queues.erase(queue->owner());
        }
        // From here on the thread has no queue for others, nor for itself.
        queue.reset();
    }
};
thread_local QueueHolder t_queue;

} // namespace

ThreadId currentThreadId() {
    thread_local const ThreadId id = static_cast<ThreadId>(::syscall(SYS_gettid));
    return id;
}
ThreadId mainThreadId() {
    static const ThreadId id = currentThreadId();
    return id;
}
bool isMainThread() {
    return currentThreadId() == mainThreadId();
}

namespace {
// Pins the main thread during static initialisation, whoever asks first later.
[[maybe_unused]] const ThreadId g_mainThreadPin = mainThreadId();
} // namespace

ThreadMessageQueue& ThreadMessageQueue::current() {
    if (!t_queue.queue) {
        const ThreadId self = currentThreadId();
        std::lock_guard lock(registry().mutex);
        const auto found = registry().queues.find(self);
        // A queue that cannot be made (descriptors used up) leaves no empty entry behind.
        t_queue.queue = found != registry().queues.end() && found->second
                            ? found->second
                            : std::make_shared<ThreadMessageQueue>(self);
        registry().queues[self] = t_queue.queue;
    }
    return *t_queue.queue;
}

void ThreadMessageQueue::endCurrent() {
    t_queue.end();
}

std::shared_ptr<ThreadMessageQueue> ThreadMessageQueue::of(ThreadId thread) {
    if (thread == currentThreadId() && t_queue.queue)
        return t_queue.queue;
    {
        std::shared_lock lock(registry().mutex);
        const auto found = registry().queues.find(thread);
        if (found != registry().queues.end())
            return found->second;
    }
    if (thread != mainThreadId())
        return nullptr;
    std::lock_guard lock(registry().mutex);
    const auto found = registry().queues.find(thread);
    if (found != registry().queues.end())
        return found->second;
    // The main thread's queue may be needed by a worker before the main thread has
    // touched it; it lives as long as the process.
    auto queue = std::make_shared<ThreadMessageQueue>(thread);
    registry().queues[thread] = queue;
    return queue;
}

ThreadMessageQueue::ThreadMessageQueue(ThreadId owner) : m_owner_(owner) {
    m_epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd_ = m_epollFd_ >= 0 ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (m_epollFd_ < 0 || m_wakeFd_ < 0) {
        const int error = errno;
        if (m_epollFd_ >= 0)
            ::close(m_epollFd_);
        throw std::system_error(error, std::generic_category(), "message queue");
    }
    epoll_event event{};
    // Edge-triggered: every wake-up is one event, and the counter need not be read
    // back (it would take 2^64 wake-ups to fill it).
    event.events = EPOLLIN | EPOLLET;
    event.data.ptr = nullptr;
    if (::epoll_ctl(m_epollFd_, EPOLL_CTL_ADD, m_wakeFd_, &event) != 0) {
        const int error = errno;
        ::close(m_wakeFd_);
        ::close(m_epollFd_);
        throw std::system_error(error, std::generic_category(), "message queue");
    }
}

ThreadMessageQueue::~ThreadMessageQueue() {
    if (m_externalFd_ >= 0) {
        ::close(m_externalFd_);
        ::close(m_dueFd_);
    }
    ::close(m_wakeFd_);
    ::close(m_epollFd_);
}

void ThreadMessageQueue::post(const TMessage& message) {
    {
        std::lock_guard lock(m_mutex_);
        m_messages_.push_back(message);
    }
    // The owner itself looks at its queue before it sleeps again, unless it sleeps in
    // another loop: then only the end of a turn of that loop looks.
    if (currentThreadId() != m_owner_)
        wakeIfSleeping();
    else if (!m_inDueTurn_ && m_external_.load(std::memory_order_relaxed))
        markDue();
}

void ThreadMessageQueue::wakeIfSleeping() {
    if (m_sleeping_.load(std::memory_order_seq_cst))
        wake();
    // Outside its own waits the owner may sleep in another loop at any moment.
    if (m_external_.load(std::memory_order_seq_cst))
        markDue();
}

void ThreadMessageQueue::markDue() {
    if (m_due_.exchange(true, std::memory_order_seq_cst))
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_dueFd_, &one, sizeof one);
}

bool ThreadMessageQueue::hasDueWork() const {
    return !empty() || (m_owner_ == mainThreadId() && synchronizePending());
}

int ThreadMessageQueue::eventDescriptor() {
    if (currentThreadId() != m_owner_)
        throw std::logic_error("eventDescriptor: only the queue's own thread may drive it");
    if (m_externalFd_ >= 0)
        return m_externalFd_;
    const int due = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int external = due >= 0 ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
    bool added = external >= 0;
    // Level-triggered both: the other loop sees the descriptor readable until a turn
    // has taken what is due, however often it looks.
    for (const int fd : {m_epollFd_, due}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        added = added && ::epoll_ctl(external, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    if (!added) {
        const int error = errno;
        if (external >= 0)
            ::close(external);
        if (due >= 0)
            ::close(due);
        throw std::system_error(error, std::generic_category(), "event descriptor");
    }
    m_dueFd_ = due;
    m_externalFd_ = external;
    m_external_.store(true, std::memory_order_seq_cst);
    // What was posted before the switch woke nobody.
    if (hasDueWork())
        markDue();
    return m_externalFd_;
}

void ThreadMessageQueue::endDueTurn() {
    m_inDueTurn_ = false;
    if (!m_external_.load(std::memory_order_relaxed))
        return;
    // Cleared before the last look, so a poster either finds the mark cleared and
    // sets it again, or has queued its work where that look finds it.
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(m_dueFd_, &count, sizeof count);
    m_due_.store(false, std::memory_order_seq_cst);
    if (hasDueWork())
        markDue();
}

void ThreadMessageQueue::wake() {
    const uint64_t one = 1;
    // A full counter still leaves the descriptor readable, which is all we need.
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd_, &one, sizeof one);
}

bool ThreadMessageQueue::empty() const {
    std::lock_guard lock(m_mutex_);
    return m_messages_.empty();
}

std::size_t ThreadMessageQueue::size() const {
    std::lock_guard lock(m_mutex_);
    return m_messages_.size();
}

void ThreadMessageQueue::freeRetiredWatches() {
    if (!m_anyRetired_.load(std::memory_order_acquire))
        return;
    std::vector<std::unique_ptr<Watch>> retired;
    {
        std::lock_guard lock(m_mutex_);
        retired.swap(m_retired_);
        m_anyRetired_.store(false, std::memory_order_relaxed);
    }
    // Freed outside the lock: a callback may own what it watched, and its end may post.
}

void ThreadMessageQueue::pollOnce(int timeoutMs) {
    // A poll inside a callback (a handler that waits) must not free the records that
    // the events of the polls around it still name.
    if (m_pollDepth_ == 0)
        freeRetiredWatches();
    ++m_pollDepth_;
    struct Depth {
        int& depth;
        ~Depth() { --depth; }
    } depth{m_pollDepth_};
    m_takenWithoutPoll_ = 0;
    if (timeoutMs != 0) {
        // Announced before the last look, so a poster either sees the flag and wakes
        // us, or has queued its work where that look finds it.
        m_sleeping_.store(true, std::memory_order_seq_cst);
        if (!empty() || (m_owner_ == mainThreadId() && synchronizePending()))
            timeoutMs = 0;
    }
    // Enough for a thousand busy connections to need few waits, few enough that the
    // thread's messages and synchronised calls are looked at between batches.
    constexpr int kEventsPerWait = 128;
    epoll_event events[kEventsPerWait];
    const int count = ::epoll_wait(m_epollFd_, events, kEventsPerWait, timeoutMs);
    m_sleeping_.store(false, std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
        if (events[i].data.ptr == nullptr)
            continue; // a wake-up
        const auto* watch = static_cast<const Watch*>(events[i].data.ptr);
        // Unwatched meanwhile (by an earlier callback of this batch, or another thread).
        if (!watch->live.load(std::memory_order_acquire))
            continue;
        watch->callback(events[i].events);
    }
}

bool ThreadMessageQueue::peek(TMessage& message, bool remove, bool poll) {
    if (m_owner_ == mainThreadId())
        checkSynchronize();
    if (poll)
        pollOnce(0);
    std::lock_guard lock(m_mutex_);
    if (m_messages_.empty())
        return false;
    message = m_messages_.front();
    if (remove)
        m_messages_.pop_front();
    return true;
}

bool ThreadMessageQueue::get(TMessage& message) {
    for (;;) {
        if (m_owner_ == mainThreadId())
            checkSynchronize();
        // A queue that never runs empty (a steady stream of posted work) must not keep
        // the watched descriptors, timers among them, from being looked at.
        if (m_takenWithoutPoll_ >= kMessagesBetweenPolls)
            pollOnce(0);
        {
            std::lock_guard lock(m_mutex_);
            if (!m_messages_.empty()) {
                message = m_messages_.front();
                m_messages_.pop_front();
                ++m_takenWithoutPoll_;
                return message.message != WM_QUIT;
            }
        }
        m_loopWaiting_ = true;
        struct EndWait {
            bool& flag;
            ~EndWait() { flag = false; }
        } endWait{m_loopWaiting_};
        pollOnce(-1);
    }
}

namespace {
// Whether the message had a target of the calling thread to go to.
bool dispatchToLocalTarget(const TMessage& message) {
    if (message.hwnd == 0)
        return false;
    TMessageTarget* target = Detail::findLocalTarget(message.hwnd);
    if (target == nullptr)
        return false;
    TMessage copy = message;
    target->handleMessage(copy);
    return true;
}
} // namespace

bool ThreadMessageQueue::dispatchAtOnce(const TMessage& message) {
    if (!m_loopWaiting_ || currentThreadId() != m_owner_ || m_owner_ == mainThreadId() || !empty())
        return false;
    // Waits inside the handler queue their messages as usual; the rest of this wait's
    // batch may come at once again when the handler left nothing queued.
    m_loopWaiting_ = false;
    struct Restore {
        bool& flag;
        ~Restore() { flag = true; }
    } restore{m_loopWaiting_};
    // A target of another thread is left to the caller's post.
    return dispatchToLocalTarget(message);
}

bool ThreadMessageQueue::wait(std::chrono::milliseconds timeout) {
    if (m_owner_ == mainThreadId() && checkSynchronize())
        return !empty();
    if (!empty())
        return true;
    const auto ms =
        timeout.count() < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeout.count(), INT32_MAX));
    pollOnce(ms);
    if (m_owner_ == mainThreadId())
        checkSynchronize();
    return !empty();
}

void ThreadMessageQueue::waitEvents(std::chrono::milliseconds timeout) {
    const auto ms =
        timeout.count() < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeout.count(), INT32_MAX));
    pollOnce(ms);
    if (m_owner_ == mainThreadId())
        checkSynchronize();
}

ThreadMessageQueue::WatchId ThreadMessageQueue::watch(int fd, uint32_t events, WatchCallback callback) {
    auto record = std::make_unique<Watch>(fd, std::move(callback));
    std::lock_guard lock(m_mutex_);
    const WatchId id = m_nextWatch_++;
    epoll_event event{};
    event.events = events;
    event.data.ptr = record.get();
    if (::epoll_ctl(m_epollFd_, EPOLL_CTL_ADD, fd, &event) != 0)
        throw std::system_error(errno, std::generic_category(), "watch");
    m_watches_[id] = std::move(record);
    return id;
}

void ThreadMessageQueue::modifyWatch(WatchId id, uint32_t events) {
    std::lock_guard lock(m_mutex_);
    const auto found = m_watches_.find(id);
    if (found == m_watches_.end())
        return;
    epoll_event event{};
    event.events = events;
    event.data.ptr = found->second.get();
    ::epoll_ctl(m_epollFd_, EPOLL_CTL_MOD, found->second->fd, &event);
}

void ThreadMessageQueue::unwatch(WatchId id) {
    std::lock_guard lock(m_mutex_);
    const auto found = m_watches_.find(id);
    if (found == m_watches_.end())
        return;
    // The descriptor may already be closed; then the kernel has dropped it already.
    ::epoll_ctl(m_epollFd_, EPOLL_CTL_DEL, found->second->fd, nullptr);
    found->second->live.store(false, std::memory_order_release);
    m_retired_.push_back(std::move(found->second));
    m_anyRetired_.store(true, std::memory_order_release);
    m_watches_.erase(found);
}

void wakeMainThread() {
    if (const auto queue = ThreadMessageQueue::of(mainThreadId()))
        queue->wake();
}

bool postThreadMessage(ThreadId thread, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    const auto queue = ThreadMessageQueue::of(thread);
    if (!queue)
        return false;
    queue->post(TMessage{0, message, wParam, lParam});
    return true;
}

bool getMessage(TMessage& message) {
    return ThreadMessageQueue::current().get(message);
}

bool peekMessage(TMessage& message, bool remove) {
    return ThreadMessageQueue::current().peek(message, remove);
}

void dispatchMessage(const TMessage& message) {
    dispatchToLocalTarget(message);
}

} // namespace NorvEngineering::Platform
