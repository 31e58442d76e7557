#include "Synchronize.h"

#include "MessageQueue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

namespace NorvEngineering::Platform {

namespace {

// One waiting call. The caller sleeps on its own word, so finishing the call wakes
// exactly that caller and nobody else.
struct Request {
    const std::function<void()>* call;
    ThreadId caller;
    std::exception_ptr error;
    std::atomic<uint32_t> done{0};
};

void futexWait(std::atomic<uint32_t>& word, uint32_t expected) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr,
              0);
}

#ifndef NDEBUG
void futexWaitFor(std::atomic<uint32_t>& word, uint32_t expected, std::chrono::nanoseconds timeout) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec relative{static_cast<time_t>(seconds.count()),
                            static_cast<long>((timeout - seconds).count())};
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, &relative, nullptr,
              0);
}
#endif

void futexWakeOne(std::atomic<uint32_t>& word) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Never destroyed: a worker may still synchronise while static destructors run.
struct SyncQueue {
    std::mutex mutex;
    std::deque<Request*> waiting;
    std::atomic<std::size_t> count{0};
};
SyncQueue& syncQueue() {
    static auto* instance = new SyncQueue();
    return *instance;
}

// The main thread's queue, looked up once: every hand-over may have to wake it.
ThreadMessageQueue& mainQueue() {
    static auto* queue = new std::shared_ptr<ThreadMessageQueue>(ThreadMessageQueue::of(mainThreadId()));
    return **queue;
}

// The callers whose calls the main thread runs now, innermost last (a call may wait
// and so run further calls inside itself). Touched by the main thread only.
std::vector<ThreadId>& runningCallers() {
    static auto* instance = new std::vector<ThreadId>();
    return *instance;
}

#ifndef NDEBUG
// A program that never pumps the main thread would otherwise just hang, silently, at
// its first synchronised event. The main thread counts its looks for calls; a caller
// that has waited long while the count stood still says so.
std::atomic<uint64_t> g_mainLooks{0};
std::atomic<int64_t> g_unpumpedWarningMs{5000};
std::atomic<bool> g_unpumpedWarned{false};

void waitNoticingAnUnpumpedMainThread(Request& request, uint64_t looksBefore) {
    const auto delay = std::chrono::milliseconds(g_unpumpedWarningMs.load(std::memory_order_relaxed));
    const auto deadline = std::chrono::steady_clock::now() + delay;
    bool looked = g_unpumpedWarned.load(std::memory_order_relaxed);
    while (request.done.load(std::memory_order_acquire) == 0) {
        if (looked) {
            futexWait(request.done, 0);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now < deadline) {
            futexWaitFor(request.done, 0, deadline - now);
            continue;
        }
        looked = true;
        if (g_mainLooks.load(std::memory_order_relaxed) == looksBefore &&
            !g_unpumpedWarned.exchange(true, std::memory_order_relaxed))
            std::fprintf(
                stderr,
                "sensorlib: a worker thread has waited %lld ms for the main thread to run its "
                "synchronised call, and the main thread has not processed messages meanwhile: the main "
                "thread must run Application().Run(), RunUntil() or ProcessMessages(), or watch "
                "Application().EventDescriptor() and call ProcessDue() (debug builds only)\n",
                static_cast<long long>(delay.count()));
    }
}
#endif

} // namespace

void synchronize(const std::function<void()>& call) {
    if (isMainThread()) {
        call();
        return;
    }
    Request request;
    request.call = &call;
    request.caller = currentThreadId();
    auto& queue = syncQueue();
    {
        std::lock_guard lock(queue.mutex);
        queue.waiting.push_back(&request);
        queue.count.fetch_add(1, std::memory_order_seq_cst);
    }
#ifndef NDEBUG
    // Counted after the request is in: a look that this load misses sees the request.
    const uint64_t looksBefore = g_mainLooks.load(std::memory_order_seq_cst);
#endif
    mainQueue().wakeIfSleeping();
    // The word is 1 once the main thread has finished with the request; a spurious
    // return from the wait just looks again.
#ifndef NDEBUG
    waitNoticingAnUnpumpedMainThread(request, looksBefore);
#else
    while (request.done.load(std::memory_order_acquire) == 0)
        futexWait(request.done, 0);
#endif
    if (request.error)
        std::rethrow_exception(request.error);
}

bool synchronizePending() {
    return syncQueue().count.load(std::memory_order_seq_cst) != 0;
}

bool checkSynchronize() {
    if (!isMainThread())
        return false;
#ifndef NDEBUG
    g_mainLooks.fetch_add(1, std::memory_order_seq_cst);
#endif
    auto& queue = syncQueue();
    if (queue.count.load(std::memory_order_seq_cst) == 0)
        return false;
    bool ran = false;
    for (std::size_t turn = 0; turn < kSynchronizeBatch; ++turn) {
        Request* request = nullptr;
        {
            std::lock_guard lock(queue.mutex);
            if (queue.waiting.empty())
                break;
            request = queue.waiting.front();
            queue.waiting.pop_front();
            queue.count.fetch_sub(1, std::memory_order_seq_cst);
        }
        runningCallers().push_back(request->caller);
        try {
            (*request->call)();
        } catch (...) {
            request->error = std::current_exception();
        }
        runningCallers().pop_back();
        // After the store the caller may return and its request vanish; the wake only
        // names the address, which at worst wakes a waiter there spuriously.
        request->done.store(1, std::memory_order_release);
        futexWakeOne(request->done);
        ran = true;
    }
    return ran;
}

namespace Detail {
bool isRunningCallOf(ThreadId thread) {
    if (!isMainThread())
        return false;
    const auto& callers = runningCallers();
    return std::find(callers.begin(), callers.end(), thread) != callers.end();
}

void setUnpumpedWarningDelay([[maybe_unused]] std::chrono::milliseconds delay) {
#ifndef NDEBUG
    g_unpumpedWarningMs.store(delay.count(), std::memory_order_relaxed);
#endif
}
} // namespace Detail

} // namespace NorvEngineering::Platform
