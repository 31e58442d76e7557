#pragma once

#include "Application.h"

#include <chrono>
#include <functional>

namespace TestSupport {

// Processes the main thread's messages until the condition holds (true) or the
// time-out passes (false).
inline bool runUntil(const std::function<bool()>& condition,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return NorvEngineering::Platform::Application().RunUntil(condition, timeout);
}

// Processes messages for a while: for notifications that must not come.
inline void pumpFor(std::chrono::milliseconds span) {
    NorvEngineering::Platform::Application().RunUntil([] { return false; }, span);
}

} // namespace TestSupport
