#include "Thread.h"

#include "MessageQueue.h"

#include <sys/resource.h>

namespace NorvEngineering::Platform {

void TThreadCompletion::finish() {
    {
        std::lock_guard lock(m_mutex_);
        m_finished_ = true;
    }
    m_done_.notify_all();
    // A main thread waiting here sleeps in its queue's wait, not on the condition.
    if (const auto mainQueue = ThreadMessageQueue::of(mainThreadId()))
        mainQueue->wake();
}

bool TThreadCompletion::finished() const {
    std::lock_guard lock(m_mutex_);
    return m_finished_;
}

bool TThreadCompletion::wait(std::chrono::milliseconds timeout) {
    const bool forever = timeout.count() < 0;
    const auto deadline =
        std::chrono::steady_clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
    if (!isMainThread()) {
        std::unique_lock lock(m_mutex_);
        if (forever) {
            m_done_.wait(lock, [&] { return m_finished_; });
            return true;
        }
        return m_done_.wait_until(lock, deadline, [&] { return m_finished_; });
    }
    auto& queue = ThreadMessageQueue::current();
    for (;;) {
        checkSynchronize();
        if (finished())
            return true;
        auto remaining = std::chrono::milliseconds(-1);
        if (!forever) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return false;
            remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        }
        queue.waitEvents(remaining);
    }
}

TThread::TThread() : m_pCompletion_(std::make_shared<TThreadCompletion>()) {
    m_thread_ = std::thread(&TThread::run, this);
    std::unique_lock lock(m_mutex_);
    m_changed_.wait(lock, [&] { return m_idKnown_; });
}

TThread::~TThread() {
    if (!m_thread_.joinable())
        return;
    if (m_thread_.get_id() == std::this_thread::get_id()) {
        m_thread_.detach();
        return;
    }
    TerminateAndWaitFor();
    m_thread_.join();
}

void TThread::TerminateAndWaitFor() {
    Terminate();
    {
        std::lock_guard lock(m_mutex_);
        if (m_start_ == StartState::Suspended)
            m_start_ = StartState::Cancelled;
        m_changed_.notify_all();
    }
    m_pCompletion_->wait(std::chrono::milliseconds(-1));
}

void TThread::run(TThread* self) {
    std::shared_ptr<TThreadCompletion> completion = self->m_pCompletion_;
    {
        std::lock_guard lock(self->m_mutex_);
        self->m_threadId_ = currentThreadId();
        ThreadMessageQueue::current();
        self->m_idKnown_ = true;
        self->m_changed_.notify_all();
    }
    {
        std::unique_lock lock(self->m_mutex_);
        self->m_changed_.wait(lock, [&] { return self->m_start_ != StartState::Suspended; });
        if (self->m_start_ == StartState::Cancelled) {
            lock.unlock();
            completion->finish();
            return;
        }
    }
    self->applyPriority();
    try {
        self->Execute();
    } catch (...) {
        self->m_fatal_ = std::current_exception();
    }
    if (self->m_freeOnTerminate_) {
        self->m_thread_.detach();
        delete self;
    }
    completion->finish();
}

void TThread::Resume() {
    // Notified under the lock: a free-on-terminate thread may run to its end and
    // delete this object as soon as the lock is released.
    std::lock_guard lock(m_mutex_);
    if (m_start_ != StartState::Suspended)
        return;
    m_start_ = StartState::Resumed;
    m_changed_.notify_all();
}

void TThread::Terminate() {
    m_terminated_ = true;
}

bool TThread::Terminated() const {
    return m_terminated_;
}

void TThread::WaitFor() {
    m_pCompletion_->wait(std::chrono::milliseconds(-1));
}

void TThread::SetPriority(TThreadPriority priority) {
    m_priority_ = priority;
    bool started = false;
    {
        std::lock_guard lock(m_mutex_);
        started = m_start_ == StartState::Resumed;
    }
    if (started)
        applyPriority();
}

void TThread::applyPriority() {
    static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -15};
    // Raising a priority needs a privilege that an ordinary user lacks; the thread
    // then simply runs at the normal priority.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(m_threadId_), kNice[m_priority_]);
}

} // namespace NorvEngineering::Platform
