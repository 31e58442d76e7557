#pragma once

#include <functional>

namespace NorvEngineering::Platform {

// Runs the call on the main thread and waits for it; an exception thrown by the call
// is thrown again in the calling thread. On the main thread the call runs at once.
// The main thread runs waiting calls whenever it waits for messages, processes
// messages, or calls checkSynchronize.
void synchronize(const std::function<void()>& call);

// Runs every waiting synchronised call; only the main thread does anything here.
// Returns whether any call ran.
bool checkSynchronize();

} // namespace NorvEngineering::Platform
