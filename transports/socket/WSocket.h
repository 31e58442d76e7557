#pragma once

// The socket component: an event-driven, non-blocking TCP socket whose notifications
// run on the thread that created it.

#include "AsyncSelect.h"
#include "CustomWSocket.h"
#include "SocketException.h"
#include "SyncWSocket.h"
#include "WSocketBinding.h"
#include "WSocketErrors.h"
#include "WSocketResolve.h"

namespace NorvEngineering::Sockets {

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(Platform::TComponent* owner) : TCustomSyncWSocket(owner) {}
};

} // namespace NorvEngineering::Sockets
