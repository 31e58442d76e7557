#include "Synchronize.h"

#include "MessageQueue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
    mainQueue().wakeIfSleeping();
    // The word is 1 once the main thread has finished with the request; a spurious
    // return from the wait just looks again.
    while (request.done.load(std::memory_order_acquire) == 0)
        futexWait(request.done, 0);
    if (request.error)
        std::rethrow_exception(request.error);
}

bool synchronizePending() {
    return syncQueue().count.load(std::memory_order_seq_cst) != 0;
}

bool checkSynchronize() {
    if (!isMainThread())
        return false;
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
} // namespace Detail

} // namespace NorvEngineering::Platform
