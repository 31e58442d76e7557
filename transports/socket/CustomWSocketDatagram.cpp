// Datagram sockets: the connect that only binds and sets the multicast and broadcast
// options, and sending to and receiving from explicit addresses.
#include "AsyncSelect.h"
#include "CustomWSocket.h"
#include "WSocketErrors.h"
#include "WSocketResolve.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>

namespace NorvEngineering::Sockets {

namespace {
constexpr uint32_t kDatagramEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE; // 59
}

void TCustomWSocket::ConnectDatagram() {
    const TSocket s = m_hSocket_;
    BindSocket();
    if (m_hSocket_ != s || m_state_ != wsOpened)
        return; // reported, or a handler closed the socket
    if (m_multiCast_) {
        if (m_multiCastIpTTL_ != 1) {
            const int ttl = m_multiCastIpTTL_;
            if (WSocket_setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
                SocketError("setsockopt(IP_MULTICAST_TTL)");
                return;
            }
        }
        if (m_localAddr_ != "0.0.0.0") {
            in_addr outgoing{};
            try {
                outgoing.s_addr = WSocketResolveHostInternal(m_localAddr_);
            } catch (const std::exception& e) {
                RaiseException(std::string("connect: ") + e.what());
                return;
            }
            if (WSocket_setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
                SocketError("setsockopt(IP_MULTICAST_IF)");
                return;
            }
        }
    }
    if (m_sockAddr_.sin_addr.s_addr == INADDR_BROADCAST) {
        const int on = 1;
        if (WSocket_setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            SocketError("setsockopt(SO_BROADCAST)");
            return;
        }
    }
    m_selectEvent_ = kDatagramEvents;
    if (!StartSelect(m_selectEvent_)) {
        SocketError("WSAAsyncSelect");
        return;
    }
    ChangeState(wsConnected);
    TriggerSessionConnectedSpecial(0);
}

int TCustomWSocket::SendTo(const sockaddr_in& dest, int destLen, const void* data, int len) {
    const int sent =
        WSocket_sendto(m_hSocket_, data, len, m_sendFlags_, reinterpret_cast<const sockaddr*>(&dest),
                       std::min<int>(destLen, sizeof dest));
    if (sent > 0) {
        TriggerSendData(sent);
        if (m_allSent_ && m_socketType_ == SOCK_DGRAM)
            PostSelectReply(FD_WRITE, 0);
    }
    return sent;
}

int TCustomWSocket::DoRecvFrom(TSocket s, void* buffer, int len, int flags, sockaddr_in& from, int& fromLen) {
    // The address is written into `from`, never past it, whatever length the caller gave.
    fromLen = std::clamp<int>(fromLen, 0, sizeof from);
    return WSocket_recvfrom(s, buffer, len, flags, reinterpret_cast<sockaddr*>(&from), &fromLen);
}

int TCustomWSocket::ReceiveFrom(void* buffer, int len, sockaddr_in& from, int& fromLen) {
    const int count = DoRecvFrom(m_hSocket_, buffer, len, 0, from, fromLen);
    if (count >= 0)
        m_readCount_ += count;
    else
        m_lastError_ = WSocket_WSAGetLastError();
    return count;
}

} // namespace NorvEngineering::Sockets
