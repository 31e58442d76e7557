#include "SystemError.h"

#include <chrono>
#include <cstring>

namespace NorvEngineering::Platform {

std::string SysErrorMessage(int code) {
    char buffer[256] = {};
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    if (text == nullptr)
        return {};
    std::string message(text);
    if (message.rfind("Unknown error", 0) == 0)
        return {};
    return message;
}

uint64_t tickCountMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace NorvEngineering::Platform
