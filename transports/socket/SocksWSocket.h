#pragma once

#include "CustomWSocket.h"

namespace NorvEngineering::Sockets {

// The SOCKS client layer. With no SOCKS server set it passes every operation to the
// socket below unchanged, which is how the transports use it.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(Platform::TComponent* owner) : TCustomWSocket(owner) {}
};

} // namespace NorvEngineering::Sockets
