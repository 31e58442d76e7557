#pragma once

// The main thread in Application().Run() for as long as a benchmark's own thread is
// busy measuring: the loop ends when that thread's work returns.
#include "Application.h"
#include "MessageQueue.h"

#include <functional>
#include <thread>

namespace Bench {

inline void runMainLoopWhile(const std::function<void()>& work) {
    using namespace NorvEngineering::Platform;
    std::thread other([&] {
        work();
        Application().Terminate();
        postThreadMessage(mainThreadId(), WM_NULL);
    });
    Application().Run();
    other.join();
    Application().ResetTerminated();
}

} // namespace Bench
