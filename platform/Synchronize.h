#pragma once

#include "Messages.h"

#include <cstddef>
#include <functional>

namespace NorvEngineering::Platform {

// Runs the call on the main thread and waits for it; an exception thrown by the call
// is thrown again in the calling thread. On the main thread the call runs at once.
// The main thread runs waiting calls whenever it waits for messages, processes
// messages, or calls checkSynchronize. A finished call wakes its own caller only.
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
} // namespace Detail

} // namespace NorvEngineering::Platform
