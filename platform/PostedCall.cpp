#include "PostedCall.h"

namespace NorvEngineering::Platform {

namespace {
constexpr uint32_t kRunPostedCall = WM_USER + 0x50;
}

bool TPostedCall::request() {
    if (m_pending_.exchange(true, std::memory_order_acq_rel))
        return true;
    if (postMessage(handle(), kRunPostedCall))
        return true;
    m_pending_.store(false, std::memory_order_release);
    return false;
}

void TPostedCall::handleMessage(TMessage& message) {
    if (message.message != kRunPostedCall)
        return;
    // Cleared before the call, so that a request made while it runs (news that the
    // call may already have missed) queues it again.
    m_pending_.store(false, std::memory_order_release);
    m_call_();
}

} // namespace NorvEngineering::Platform
