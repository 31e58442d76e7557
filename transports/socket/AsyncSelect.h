#pragma once

#include "Messages.h"
#include "WSocketBinding.h"

#include <cstdint>

namespace NorvEngineering::Sockets {

// Network events of asynchronous selection.
inline constexpr uint32_t FD_READ = 0x01;
inline constexpr uint32_t FD_WRITE = 0x02;
inline constexpr uint32_t FD_OOB = 0x04;
inline constexpr uint32_t FD_ACCEPT = 0x08;
inline constexpr uint32_t FD_CONNECT = 0x10;
inline constexpr uint32_t FD_CLOSE = 0x20;

// The LParam of a notification: the event in the low word, the Winsock error in the high.
inline constexpr intptr_t WSAMakeSelectReply(uint32_t event, int32_t error, uint32_t tag = 0) {
    return static_cast<intptr_t>((static_cast<uint64_t>(tag) << 32) |
                                 ((static_cast<uint32_t>(error) & 0xFFFF) << 16) | (event & 0xFFFF));
}
inline constexpr uint32_t WSAGetSelectTag(intptr_t lParam) {
    return static_cast<uint32_t>(static_cast<uint64_t>(lParam) >> 32);
}
inline constexpr uint32_t WSAGetSelectEvent(intptr_t lParam) {
    return static_cast<uint32_t>(lParam) & 0xFFFF;
}
inline constexpr int32_t WSAGetSelectError(intptr_t lParam) {
    return static_cast<int32_t>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFF);
}

// Asks for the socket's network events as messages `message` (WParam the socket,
// LParam the reply above) to `target`, which must belong to the calling thread: the
// socket is watched in that thread's message wait, so an idle socket costs nothing.
// Message 0 or mask 0 stops the notifications. Makes the socket non-blocking.
// As in Winsock, each event is reported once and then waits for its re-enabling call:
// FD_READ for a recv, FD_WRITE for a send that would block, FD_ACCEPT for an accept;
// FD_CONNECT comes once when a connect ends and FD_CLOSE once when the peer has closed.
// `tag` goes into the upper half of a 64-bit LParam, so that a receiver can tell the
// notifications of its current socket from those of an earlier one with the same number.
int WSocket_WSAAsyncSelect(TSocket s, Platform::TWindowHandle target, uint32_t message, uint32_t mask,
                           uint32_t tag = 0);

namespace Detail {
// The binding's re-enabling hooks; they do nothing for a socket without selection.
// `filled`: a read that re-enables FD_READ filled its whole buffer (more may wait).
void asyncSelectReenable(TSocket s, uint32_t event, bool filled = false);
// Whether the last read of the socket may have left data behind (asked once per read).
bool asyncSelectTakeMoreToRead(TSocket s);
void asyncSelectConnectStarted(TSocket s, bool finishedAtOnce);
// Another thread watches the connection's data (`away`): the owner's wait leaves the
// socket's data out, so that arriving data never wakes the owner, and FD_READ stays
// off. Given back (`away` false), the data counts again; FD_READ is re-enabled by the
// caller.
void asyncSelectReadElsewhere(TSocket s, bool away);
// Drops the selection of a socket that is being closed.
void asyncSelectForget(TSocket s);
} // namespace Detail

} // namespace NorvEngineering::Sockets
