#pragma once

#include "Exception.h"

#include <cstdint>
#include <string>

namespace NorvEngineering::Serial {

// A failure of the serial-port component. Code is the system's error number of a
// failed call, or 0 for the component's own errors ("Timeout", "Can't perform this
// operation on a closed port", settings a Linux serial line cannot take ...).
class EComError : public Platform::Exception {
public:
    EComError(int32_t code, const std::string& message) : Platform::Exception(message), m_code_(code) {}

    int32_t Code() const { return m_code_; }

private:
    int32_t m_code_;
};

// What an OnError handler decides: let the error go on to the caller, or end the
// failing operation with the silent abort.
enum TComAction : uint8_t { caFail = 0, caAbort = 1 };

// The system's text for an error number without trailing blanks, line ends or full
// stops; empty when the system has none.
std::string ComErrorText(int code);

// Whether an error number says that the device itself has gone (a USB adapter
// unplugged, the other side of a pseudo-terminal closed).
bool IsDeviceGoneError(int code);

// The component's own messages.
inline constexpr const char* kClosedPortMessage = "Can't perform this operation on a closed port";
inline constexpr const char* kOpenPortMessage = "Can't perform this operation on an open port";
inline constexpr const char* kCreateThreadMessage = "Can't create thread";
inline constexpr const char* kTimeoutMessage = "Timeout";

} // namespace NorvEngineering::Serial
