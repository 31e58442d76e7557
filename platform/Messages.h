#pragma once

#include <cstdint>

namespace NorvEngineering::Platform {

// Kernel thread id of a thread (gettid), the id that messages are posted to.
using ThreadId = int64_t;
// Identifies a message target; 0 is none. Handles are never reused.
using TWindowHandle = uint64_t;

struct TMessage {
    TWindowHandle hwnd = 0; // 0: a message for the thread itself
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

inline constexpr uint32_t WM_NULL = 0x0000;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_USER = 0x0400;

ThreadId currentThreadId();
// The thread that ran static initialisation: the one that runs Synchronize'd calls.
ThreadId mainThreadId();
bool isMainThread();

} // namespace NorvEngineering::Platform
