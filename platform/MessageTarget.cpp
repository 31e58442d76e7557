#include "MessageTarget.h"

#include "MessageQueue.h"

#include <atomic>
#include <map>
#include <mutex>
#include <shared_mutex>

namespace NorvEngineering::Platform {

namespace {

struct TargetEntry {
    TMessageTarget* target;
    ThreadId owner;
};

// Never destroyed: a target may outlive static destruction order. Every thread reads
// it for every message it posts or dispatches, while targets come and go rarely:
// readers must not queue up behind one another.
struct TargetRegistry {
    std::shared_mutex mutex;
    std::map<TWindowHandle, TargetEntry> targets;
    TWindowHandle next = 1;
};
TargetRegistry& targets() {
    static auto* instance = new TargetRegistry();
    return *instance;
}

} // namespace

TMessageTarget::TMessageTarget() {
    std::lock_guard lock(targets().mutex);
    m_handle_ = targets().next++;
    targets().targets[m_handle_] = TargetEntry{this, currentThreadId()};
}

TMessageTarget::~TMessageTarget() {
    std::lock_guard lock(targets().mutex);
    targets().targets.erase(m_handle_);
}

ThreadId TMessageTarget::ownerThread() const {
    std::shared_lock lock(targets().mutex);
    const auto found = targets().targets.find(m_handle_);
    return found == targets().targets.end() ? 0 : found->second.owner;
}

void TMessageTarget::attachToThread(ThreadId owner) {
    std::lock_guard lock(targets().mutex);
    targets().targets[m_handle_] = TargetEntry{this, owner};
}

bool postMessage(TWindowHandle target, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    ThreadId owner = 0;
    {
        std::shared_lock lock(targets().mutex);
        const auto found = targets().targets.find(target);
        if (found == targets().targets.end())
            return false;
        owner = found->second.owner;
    }
    const auto queue = ThreadMessageQueue::of(owner);
    if (!queue)
        return false;
    queue->post(TMessage{target, message, wParam, lParam});
    return true;
}

namespace Detail {
TMessageTarget* findLocalTarget(TWindowHandle handle) {
    std::shared_lock lock(targets().mutex);
    const auto found = targets().targets.find(handle);
    if (found == targets().targets.end() || found->second.owner != currentThreadId())
        return nullptr;
    return found->second.target;
}
} // namespace Detail

} // namespace NorvEngineering::Platform
