#pragma once

#include <cstdint>
#include <string>

namespace NorvEngineering::Platform {

// The system's text for an error number (strerror), empty when it has none.
std::string SysErrorMessage(int code);

// Milliseconds of a monotonic clock, for time-outs.
uint64_t tickCountMs();

} // namespace NorvEngineering::Platform
