#pragma once

#include "Application.h"

#include <algorithm>
#include <chrono>
#include <functional>

namespace TestSupport {

// Processes the main thread's messages until the condition holds (true) or the
// time-out passes (false). Test conditions also look at peers that run in threads of
// their own and never wake the main thread, so the condition is looked at again at
// least every 50 ms.
inline bool runUntil(const std::function<bool()>& condition,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (NorvEngineering::Platform::Application().RunUntil(
                condition, std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(50))))
            return true;
        if (left <= std::chrono::milliseconds(50))
            return false;
    }
}

// Processes messages for a while: for notifications that must not come.
inline void pumpFor(std::chrono::milliseconds span) {
    NorvEngineering::Platform::Application().RunUntil([] { return false; }, span);
}

} // namespace TestSupport
