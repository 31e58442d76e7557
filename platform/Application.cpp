#include "Application.h"

#include "Exception.h"
#include "MessageQueue.h"
#include "Synchronize.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace NorvEngineering::Platform {

TApplication& Application() {
    static auto* instance = new TApplication();
    return *instance;
}

namespace {

// A handler's exception ends that message, not the loop.
void dispatchGuarded(TApplication& application, const TMessage& message) {
    try {
        dispatchMessage(message);
    } catch (...) {
        application.HandleException(std::current_exception());
    }
}

} // namespace

bool TApplication::dispatchOne(bool wait, bool poll) {
    auto& queue = ThreadMessageQueue::current();
    TMessage message;
    if (wait) {
        if (!queue.get(message))
            return false;
    } else if (!queue.peek(message, true, poll)) {
        return false;
    } else if (message.message == WM_QUIT) {
        return false;
    }
    dispatchGuarded(*this, message);
    return true;
}

void TApplication::ProcessMessages() {
    processMessages(true, SIZE_MAX);
}

void TApplication::processMessages(bool poll, std::size_t most) {
    // The descriptors are polled once per call: what they post comes in the same call.
    // What the handlers post meanwhile waits for the next call: a handler that asks to
    // run again and again (a posted call that reads a flooded connection chunk by
    // chunk) must not keep the caller from its own work for good.
    if (dispatchOne(false, poll)) {
        std::size_t due = std::min(ThreadMessageQueue::current().size(), most - 1);
        while (due > 0 && dispatchOne(false, false))
            --due;
    }
    checkSynchronize();
}

int TApplication::EventDescriptor() {
    return ThreadMessageQueue::current().eventDescriptor();
}

bool TApplication::ProcessDue() {
    auto& queue = ThreadMessageQueue::current();
    struct Turn {
        ThreadMessageQueue& queue;
        explicit Turn(ThreadMessageQueue& q) : queue(q) { queue.beginDueTurn(); }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        // Also when a watch callback throws: the descriptor must still tell the truth.
        ~Turn() { queue.endDueTurn(); }
    } turn(queue);
    queue.waitEvents(std::chrono::milliseconds(0));
    // Only what is queued now: a handler that posts again and again must not keep the
    // other loop from its own work.
    for (std::size_t due = queue.size(); due > 0; --due) {
        TMessage message;
        if (!queue.peek(message, true, false))
            break;
        if (message.message == WM_QUIT)
            return false;
        dispatchGuarded(*this, message);
    }
    return true;
}

bool TApplication::HandleMessage() {
    checkSynchronize();
    return dispatchOne(true);
}

void TApplication::Run() {
    while (!Terminated() && HandleMessage()) {
    }
}

bool TApplication::RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto& queue = ThreadMessageQueue::current();
    // After a wait the descriptors have just been polled; no need to look again. A
    // wait returns at once, without that look, when work is waiting already: then the
    // next turn looks, so that a steady stream of posted work never keeps the watched
    // descriptors (timers among them) from being looked at.
    for (bool poll = true;;) {
        // A bounded batch per turn, as for synchronised calls: with many connections
        // posting, the descriptors and the condition are still looked at often.
        processMessages(poll, kSynchronizeBatch);
        if (condition())
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        poll = !queue.empty() || synchronizePending();
        // No periodic look: an idle main thread sleeps until something wakes it.
        queue.wait(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
}

void TApplication::HandleException(std::exception_ptr error) {
    if (!error)
        return;
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return;
    } catch (...) {
    }
    if (OnException) {
        OnException(error);
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "unhandled exception: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "unhandled exception of unknown type\n");
    }
}

} // namespace NorvEngineering::Platform
