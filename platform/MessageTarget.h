#pragma once

#include "Messages.h"

namespace NorvEngineering::Platform {

// Something that receives posted messages on its owning thread: where a desktop
// program would create a hidden window. Messages posted to a target that has since
// been destroyed are dropped at dispatch, never delivered to freed memory. A target
// must be destroyed on its owning thread (or while that thread does not dispatch).
class TMessageTarget {
public:
    TMessageTarget();
    TMessageTarget(const TMessageTarget&) = delete;
    TMessageTarget& operator=(const TMessageTarget&) = delete;
    virtual ~TMessageTarget();

    TWindowHandle handle() const { return m_handle_; }
    ThreadId ownerThread() const;
    // Moves the target to the calling thread: later messages are queued there.
    void attachToCurrentThread() { attachToThread(currentThreadId()); }
    void attachToThread(ThreadId owner);

    virtual void handleMessage(TMessage& message) = 0;

private:
    TWindowHandle m_handle_;
};

// Posts to the target's owning thread; false when the target or its thread is gone.
bool postMessage(TWindowHandle target, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);

namespace Detail {
// Looks up a live target owned by the calling thread.
TMessageTarget* findLocalTarget(TWindowHandle handle);
} // namespace Detail

} // namespace NorvEngineering::Platform
