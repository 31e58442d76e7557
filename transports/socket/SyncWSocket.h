#pragma once

#include "LineWSocket.h"

namespace NorvEngineering::Sockets {

// The layer of blocking waits on top of line mode; it adds nothing to the plain path.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(Platform::TComponent* owner) : TCustomLineWSocket(owner) {}
};

} // namespace NorvEngineering::Sockets
