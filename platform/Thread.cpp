#include "Thread.h"

#include "MessageQueue.h"

#include <sys/resource.h>

#include <system_error>

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

TThread::TThread(bool withMessageQueue)
    : m_pCompletion_(std::make_shared<TThreadCompletion>()), m_withMessageQueue_(withMessageQueue) {
    pthread_attr_t attributes;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setstacksize(&attributes, kThreadStackSize);
    const int error = ::pthread_create(&m_thread_, &attributes, &TThread::entry, this);
    ::pthread_attr_destroy(&attributes);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "thread");
    m_joinable_ = true;
    int startError = 0;
    {
        std::unique_lock lock(m_mutex_);
        m_changed_.wait(lock, [&] { return m_idKnown_; });
        startError = m_startError_;
    }
    if (startError != 0) {
        ::pthread_join(m_thread_, nullptr);
        m_joinable_ = false;
        throw std::system_error(startError, std::generic_category(), "thread");
    }
}

TThread::~TThread() {
    if (!m_joinable_)
        return;
    if (::pthread_equal(m_thread_, ::pthread_self()) != 0) {
        ::pthread_detach(m_thread_);
        m_joinable_ = false;
        return;
    }
    TerminateAndWaitFor();
    ::pthread_join(m_thread_, nullptr);
    m_joinable_ = false;
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

void* TThread::entry(void* self) {
    run(static_cast<TThread*>(self));
    return nullptr;
}

void TThread::run(TThread* self) {
    std::shared_ptr<TThreadCompletion> completion = self->m_pCompletion_;
    {
        std::lock_guard lock(self->m_mutex_);
        self->m_threadId_ = currentThreadId();
        if (self->m_withMessageQueue_) {
            try {
                ThreadMessageQueue::current();
            } catch (const std::system_error& e) {
                self->m_startError_ = e.code().value();
            }
        }
        self->m_idKnown_ = true;
        self->m_changed_.notify_all();
        // The constructor joins this thread and throws; the object is not ours to touch.
        if (self->m_startError_ != 0)
            return;
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
        ::pthread_detach(self->m_thread_);
        self->m_joinable_ = false;
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
