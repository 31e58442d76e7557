#include "Synchronize.h"

#include "MessageQueue.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace NorvEngineering::Platform {

namespace {

struct Request {
    const std::function<void()>* call;
    std::exception_ptr error;
    bool done = false;
};

// Never destroyed: a worker may still synchronise while static destructors run.
struct SyncQueue {
    std::mutex mutex;
    std::condition_variable finished;
    std::deque<Request*> waiting;
};
SyncQueue& syncQueue() {
    static auto* instance = new SyncQueue();
    return *instance;
}

} // namespace

void synchronize(const std::function<void()>& call) {
    if (isMainThread()) {
        call();
        return;
    }
    Request request{&call, nullptr, false};
    auto& queue = syncQueue();
    {
        std::lock_guard lock(queue.mutex);
        queue.waiting.push_back(&request);
    }
    if (const auto mainQueue = ThreadMessageQueue::of(mainThreadId()))
        mainQueue->wake();
    {
        std::unique_lock lock(queue.mutex);
        queue.finished.wait(lock, [&] { return request.done; });
    }
    if (request.error)
        std::rethrow_exception(request.error);
}

bool checkSynchronize() {
    if (!isMainThread())
        return false;
    auto& queue = syncQueue();
    bool ran = false;
    for (;;) {
        Request* request = nullptr;
        {
            std::lock_guard lock(queue.mutex);
            if (queue.waiting.empty())
                break;
            request = queue.waiting.front();
            queue.waiting.pop_front();
        }
        try {
            (*request->call)();
        } catch (...) {
            request->error = std::current_exception();
        }
        {
            std::lock_guard lock(queue.mutex);
            request->done = true;
        }
        queue.finished.notify_all();
        ran = true;
    }
    return ran;
}

} // namespace NorvEngineering::Platform
