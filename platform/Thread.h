#pragma once

#include "Messages.h"
#include "Synchronize.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace NorvEngineering::Platform {

enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Tells when a thread's body has ended; stays valid after a free-on-terminate thread
// has deleted itself, so an owner can wait for it without touching the thread.
class TThreadCompletion {
public:
    void finish();
    bool finished() const;
    // Waits up to the time-out. On the main thread it runs synchronised calls while it
    // waits, so a thread blocked in Synchronize can still finish.
    bool wait(std::chrono::milliseconds timeout);

private:
    mutable std::mutex m_mutex_;
    std::condition_variable m_done_;
    bool m_finished_ = false;
};

namespace Detail {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedStacks = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedStacks = true;
#else
inline constexpr bool kSanitizedStacks = false;
#endif
#else
inline constexpr bool kSanitizedStacks = false;
#endif
} // namespace Detail

// The stack of every TThread: workers here wait and hand over small buffers, so a
// fraction of the system's 8 MiB default is plenty (and hundreds of them fit). The
// sanitizers' instrumented frames are several times larger.
inline constexpr std::size_t kThreadStackSize = std::size_t{256} * 1024 * (Detail::kSanitizedStacks ? 4 : 1);

// A worker thread in the manner of the desktop frameworks: created suspended (a
// derived class calls Resume once it is fully constructed), with a terminate flag, a
// priority, a message queue made before the constructor returns (so a message posted
// to a new thread is never lost; a thread that takes no messages may go without), and
// optionally deleting itself when its body returns. When the system refuses the thread
// or its queue (no threads or descriptors left), the constructor throws
// std::system_error with the system's code.
class TThread {
public:
    explicit TThread(bool withMessageQueue = true);
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Deleting a thread that runs asks it to terminate and waits for it. A derived
    // class whose Execute uses its own members must end the body in its destructor.
    virtual ~TThread();

    void Resume();
    void Terminate();
    bool Terminated() const;
    // Waits for the body to end; on the main thread synchronised calls keep running.
    void WaitFor();
    // Sets the terminate flag, cancels a start that has not happened, and waits for
    // the body to end. For destructors of derived classes whose body uses members.
    void TerminateAndWaitFor();

    void SetFreeOnTerminate(bool value) { m_freeOnTerminate_ = value; }
    bool FreeOnTerminate() const { return m_freeOnTerminate_; }
    // Best effort: a refusal by the system (no privilege) leaves the priority as is.
    void SetPriority(TThreadPriority priority);
    TThreadPriority Priority() const { return m_priority_; }
    ThreadId ThreadID() const { return m_threadId_; }
    std::shared_ptr<TThreadCompletion> Completion() const { return m_pCompletion_; }
    // The exception that ended Execute, if one did.
    std::exception_ptr FatalException() const { return m_fatal_; }

    void Synchronize(const std::function<void()>& call) { synchronize(call); }

protected:
    virtual void Execute() = 0;

private:
    enum class StartState { Suspended, Resumed, Cancelled };
    static void* entry(void* self);
    static void run(TThread* self);
    void applyPriority();

    pthread_t m_thread_{};
    bool m_joinable_ = false;
    std::shared_ptr<TThreadCompletion> m_pCompletion_;
    const bool m_withMessageQueue_;
    int m_startError_ = 0;
    mutable std::mutex m_mutex_;
    std::condition_variable m_changed_;
    StartState m_start_ = StartState::Suspended;
    bool m_idKnown_ = false;
    ThreadId m_threadId_ = 0;
    std::atomic<bool> m_terminated_{false};
    bool m_freeOnTerminate_ = false;
    TThreadPriority m_priority_ = tpNormal;
    std::exception_ptr m_fatal_;
};

} // namespace NorvEngineering::Platform
