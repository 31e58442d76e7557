#pragma once

#include <stdexcept>
#include <string>

namespace NorvEngineering::Platform {

// Base of the components' exceptions; `Message` is what the application shows.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// The silent abort: unwinds to the message loop, which drops it without a report.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

[[noreturn]] inline void Abort() {
    throw EAbort();
}

} // namespace NorvEngineering::Platform
