// Address queries of the socket component and its timeval helpers.
#include "CustomWSocket.h"
#include "WSocketErrors.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>

namespace NorvEngineering::Sockets {

void TCustomWSocket::QueryError(const std::string& operation) {
    const int code = WSocket_WSAGetLastError();
    m_lastError_ = code;
    RaiseException(WSocketErrorDesc(code) + " (#" + std::to_string(code) + " in " + operation + ")");
}

namespace {
constexpr const char* kNoAddress = "error";
}

bool TCustomWSocket::PeerAddress(sockaddr_in& peer, const char* operation) {
    if (m_state_ != wsConnected)
        return false;
    int length = sizeof peer;
    if (WSocket_getpeername(m_hSocket_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        // A datagram socket has no peer of its own: asking must not end it.
        if (m_socketType_ == SOCK_STREAM)
            SocketError(operation);
        else
            QueryError(operation);
        return false;
    }
    return true;
}

std::string TCustomWSocket::GetPeerAddr() {
    sockaddr_in peer{};
    return PeerAddress(peer, "GetPeerAddr") ? std::string(WSocket_inet_ntoa(peer.sin_addr)) : kNoAddress;
}

std::string TCustomWSocket::GetPeerPort() {
    sockaddr_in peer{};
    return PeerAddress(peer, "GetPeerPort") ? std::to_string(WSocket_ntohs(peer.sin_port)) : kNoAddress;
}

int TCustomWSocket::GetPeerName(sockaddr_in& name, int len) {
    if (m_state_ != wsConnected)
        return SOCKET_ERROR;
    int length = std::clamp<int>(len, 0, sizeof name);
    return WSocket_getpeername(m_hSocket_, reinterpret_cast<sockaddr*>(&name), &length);
}

int TCustomWSocket::GetSockName(sockaddr_in& name, int& len) {
    len = std::clamp<int>(len, 0, sizeof name);
    return WSocket_getsockname(m_hSocket_, reinterpret_cast<sockaddr*>(&name), &len);
}

bool TCustomWSocket::LocalAddress(sockaddr_in& local) {
    const TSocketState state = m_state_;
    if (state != wsBound && state != wsConnected && state != wsListening)
        return false;
    int length = sizeof local;
    return WSocket_getsockname(m_hSocket_, reinterpret_cast<sockaddr*>(&local), &length) == 0;
}

std::string TCustomWSocket::GetXAddr() {
    sockaddr_in local{};
    return LocalAddress(local) ? std::string(WSocket_inet_ntoa(local.sin_addr)) : kNoAddress;
}

std::string TCustomWSocket::GetXPort() {
    sockaddr_in local{};
    return LocalAddress(local) ? std::to_string(WSocket_ntohs(local.sin_port)) : kNoAddress;
}

bool TCustomWSocket::TimerIsSet(const timeval& tv) {
    return tv.tv_sec != 0 || tv.tv_usec != 0;
}

void TCustomWSocket::TimerClear(timeval& tv) {
    tv.tv_sec = 0;
    tv.tv_usec = 0;
}

bool TCustomWSocket::TimerCmp(const timeval& a, const timeval& b, bool isEqual) {
    const bool equal = a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
    return isEqual ? equal : !equal;
}

} // namespace NorvEngineering::Sockets
