#pragma once

#include "Messages.h"

#include <cstdint>
#include <string>
#include <vector>

namespace NorvEngineering::Sockets {

// Asynchronous host look-ups for the socket component. The system's resolver blocks,
// so look-ups run on a small process-wide pool of worker threads that exists only
// while look-ups are waiting or running: the last worker ends when the queue runs
// empty. A finished look-up posts `message` to `target` (WParam the look-up's handle,
// LParam the Winsock error in its high word), so the reply is handled on the target's
// own thread; the result stays with the pool until that thread takes it. Cancelling a
// look-up, running or not, drops its result: nothing is posted for it afterwards, and
// a reply already on its way finds no result to take.

using TLookupHandle = uintptr_t;

struct TLookupResult {
    int32_t error = 0;
    // Dotted addresses for a look-up by name; the host name and its aliases for one by address.
    std::vector<std::string> names;
};

// Both return 0 when the look-up cannot start (no target); the last error holds why.
TLookupHandle WSocket_WSAAsyncGetHostByName(Platform::TWindowHandle target, uint32_t message,
                                            const std::string& name);
// `address` in network order.
TLookupHandle WSocket_WSAAsyncGetHostByAddr(Platform::TWindowHandle target, uint32_t message,
                                            uint32_t address);
// 0 when the look-up was known (it will report nothing), SOCKET_ERROR otherwise.
int WSocket_WSACancelAsyncRequest(TLookupHandle handle);
// Takes the result of a finished look-up; false when there is none for the handle.
bool WSocketTakeLookupResult(TLookupHandle handle, TLookupResult& result);
// Sends the reply of a look-up to another target, at once when it has finished; target
// 0 holds the result until a later call names one (its owner moves between threads).
// False when the look-up is not known.
bool WSocketRetargetLookup(TLookupHandle handle, Platform::TWindowHandle target);
// The workers alive now; 0 whenever no look-up waits or runs (after the last has ended).
int WSocketLookupThreadCount();

} // namespace NorvEngineering::Sockets
