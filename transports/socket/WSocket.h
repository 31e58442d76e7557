#pragma once

// The socket component: an event-driven, non-blocking socket (TCP client or server,
// UDP, raw) whose notifications and look-up results run on the thread that created it.

#include "AsyncSelect.h"
#include "CustomWSocket.h"
#include "SocketException.h"
#include "SocketLogger.h"
#include "SyncWSocket.h"
#include "WSocketAsyncLookup.h"
#include "WSocketBinding.h"
#include "WSocketErrors.h"
#include "WSocketHostInfo.h"
#include "WSocketResolve.h"

namespace NorvEngineering::Sockets {

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(Platform::TComponent* owner) : TCustomSyncWSocket(owner) {}
};

} // namespace NorvEngineering::Sockets
