#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace TestSupport {

// What is written to standard error while `run` goes on and after it, until a line has
// come or the time-out has passed (0: only what came during `run`).
std::string standardErrorLine(const std::function<void()>& run, std::chrono::milliseconds timeout);

} // namespace TestSupport
