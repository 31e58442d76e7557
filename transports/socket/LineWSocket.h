#pragma once

#include "SocksWSocket.h"

namespace NorvEngineering::Sockets {

// The line-mode layer. With line mode off received bytes pass through untouched.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(Platform::TComponent* owner) : TCustomSocksWSocket(owner) {}
};

} // namespace NorvEngineering::Sockets
