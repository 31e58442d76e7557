#pragma once

#include "Messages.h"

#include <chrono>
#include <cstddef>
#include <functional>

namespace NorvEngineering::Platform {

// Runs the call on the main thread and waits for it; an exception thrown by the call
// is thrown again in the calling thread. On the main thread the call runs at once.
// The main thread runs waiting calls whenever it waits for messages, processes
// messages, or calls checkSynchronize. A finished call wakes its own caller only.
// In debug builds (NDEBUG not defined) a caller that has waited 5 s while the main
// thread has not once looked for calls prints one line to standard error saying
// that the main thread must be pumped; once per process, and nothing of it is
// compiled into a release build.
void synchronize(const std::function<void()>& call);

// How many waiting calls the main thread runs in one turn of its loop, so that a
// steady stream of them never holds up its messages, watches and timers.
inline constexpr std::size_t kSynchronizeBatch = 32;

// Runs the calls that wait now, at most kSynchronizeBatch of them; only the main
// thread does anything here. Returns whether any call ran.
bool checkSynchronize();
// Whether synchronised calls wait to be run (so the main thread must not sleep).
bool synchronizePending();

namespace Detail {
// On the main thread: whether it is running, at this moment, a synchronised call that
// `thread` made (that thread is blocked until the call returns).
bool isRunningCallOf(ThreadId thread);
// How long a caller waits on a main thread that never pumps before the debug builds
// say so (5 s unless set; for tests). No effect in a release build.
void setUnpumpedWarningDelay(std::chrono::milliseconds delay);
} // namespace Detail

} // namespace NorvEngineering::Platform
