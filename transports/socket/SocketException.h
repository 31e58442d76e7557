#pragma once

#include "Exception.h"

#include <string>

namespace NorvEngineering::Sockets {

// The socket component's exception; its message is the text that the component
// reports (for example "Connection refused (#10061 in Connect)").
class ESocketException : public Platform::Exception {
public:
    explicit ESocketException(const std::string& message) : Platform::Exception(message) {}
};

} // namespace NorvEngineering::Sockets
