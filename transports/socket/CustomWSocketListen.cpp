// The server side of the socket component: listening (stream, datagram and raw
// sockets), accepting, and taking over an accepted connection.
#include "AsyncSelect.h"
#include "CustomWSocket.h"
#include "WSocketErrors.h"
#include "WSocketResolve.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace NorvEngineering::Sockets {

namespace {

// "raw_" followed by a protocol name asks for a raw socket of that protocol.
bool isRawProto(const std::string& proto) {
    if (proto.size() < 4)
        return false;
    std::string head = proto.substr(0, 4);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return head == "raw_";
}

} // namespace

void TCustomWSocket::ListenError(const std::string& operation) {
    const int code = WSocket_WSAGetLastError();
    if (m_state_ != wsClosed)
        Close();
    else
        CloseHandle(); // bound to nothing yet: there is no session to close
    WSocket_WSASetLastError(code);
    SocketError(operation);
}

void TCustomWSocket::Listen() {
    // A second socket would leave the first one open for good.
    if (m_hSocket_ != INVALID_SOCKET && m_state_ != wsClosed) {
        RaiseException("Listen: Socket already in use");
        return;
    }
    const std::pair<bool, const char*> checks[] = {{m_portAssigned_, "listen: port not assigned"},
                                                   {m_protoAssigned_, "listen: protocol not assigned"},
                                                   {m_addrAssigned_, "listen: address not assigned"}};
    for (const auto& [assigned, text] : checks) {
        if (!assigned) {
            WSocket_WSASetLastError(WSAEINVAL);
            SocketError(text);
            return;
        }
    }
    try {
        if (!m_protoResolved_) {
            if (isRawProto(m_protoStr_)) {
                m_socketType_ = SOCK_RAW;
                m_protoNum_ = WSocketResolveProtoInternal(m_protoStr_.substr(4, 10));
            } else {
                m_protoNum_ = WSocketResolveProtoInternal(m_protoStr_);
                m_socketType_ = m_protoNum_ == 17 ? SOCK_DGRAM : SOCK_STREAM;
            }
            m_protoResolved_ = true;
        }
        if (!m_portResolved_) {
            m_portNum_ = WSocketResolvePortInternal(m_portStr_, m_protoStr_);
            m_sockAddr_.sin_port = htons(m_portNum_);
            m_portResolved_ = true;
        }
        if (!m_addrResolved_) {
            m_sockAddr_.sin_addr.s_addr = WSocketResolveHostInternal(m_addrStr_);
            m_addrResolved_ = true;
        }
    } catch (const std::exception& e) {
        RaiseException(std::string("Listen: ") + e.what());
        return;
    }

    DeleteBufferedData();
    if (m_hSocket_ != INVALID_SOCKET)
        CloseHandle(); // left by an earlier failure
    const TSocket s = WSocket_socket(m_addrFormat_, m_socketType_, m_protoNum_);
    if (s == INVALID_SOCKET) {
        SocketError("socket");
        return;
    }
    AdoptHandle(s);
    const bool datagram = m_socketType_ == SOCK_DGRAM;
    // Windows lets a server bind its port again while old connections linger in
    // TIME_WAIT; Linux needs SO_REUSEADDR for that (it still refuses a second listener).
    if ((datagram && m_reuseAddr_) || m_socketType_ == SOCK_STREAM) {
        const int on = -1;
        if (WSocket_setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            ListenError("setsockopt(SO_REUSEADDR)");
            return;
        }
    }
    sockaddr_in local = m_sockAddr_;
    const uint32_t group = WSocket_inet_addr(m_multiCastAddrStr_.c_str());
    // Linux hands a group's datagrams only to sockets bound to the group or to the
    // wildcard address; the address given names the interface that joins the group.
    if (datagram && m_multiCast_ && IN_MULTICAST(ntohl(group)))
        local.sin_addr.s_addr = group;
    if (WSocket_bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ListenError("Bind");
        return;
    }
    ChangeState(wsBound);

    switch (m_socketType_) {
    case SOCK_STREAM:
        if (WSocket_listen(s, m_listenBacklog_) != 0) {
            SocketError("Listen");
            return;
        }
        ChangeState(wsListening);
        break;
    case SOCK_DGRAM:
    case SOCK_RAW:
        if (datagram && m_multiCast_) {
            ip_mreq request{};
            request.imr_multiaddr.s_addr = group;
            request.imr_interface = m_sockAddr_.sin_addr;
            if (WSocket_setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
                SocketError("setsockopt(IP_ADD_MEMBERSHIP)");
                return;
            }
        }
        if (!datagram && m_options_.contains(wsoSIO_RCVALL)) {
            // Linux has no receive-all request for a raw socket (a packet socket does that).
            const uint32_t on = 1;
            uint32_t out = 0;
            uint32_t returned = 0;
            if (WSocket_WSAIoctl(s, SIO_RCVALL, &on, sizeof on, &out, sizeof out, &returned) != 0) {
                ListenError("WSAIoctl(SIO_RCVALL): no receive-all mode on this system");
                return;
            }
        }
        ChangeState(wsListening);
        ChangeState(wsConnected);
        TriggerSessionConnectedSpecial(0);
        break;
    default:
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError("Listen: unexpected protocol.");
        return;
    }
    if (m_hSocket_ == INVALID_SOCKET)
        return; // a handler closed it
    m_selectEvent_ = FD_ACCEPT | FD_CLOSE;
    if (m_socketType_ != SOCK_STREAM)
        m_selectEvent_ |= FD_READ | FD_WRITE;
    if (!StartSelect(m_selectEvent_))
        SocketError("WSAASyncSelect");
}

TSocket TCustomWSocket::Accept() {
    if (m_state_ != wsListening) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int length = sizeof m_sockAddr_;
    m_acceptedSocket_ = WSocket_accept(m_hSocket_, reinterpret_cast<sockaddr*>(&m_sockAddr_), &length);
    if (m_acceptedSocket_ == INVALID_SOCKET) {
        SocketError("Accept");
        return INVALID_SOCKET;
    }
    return m_acceptedSocket_;
}

void TCustomWSocket::Dup(TSocket newHSocket) {
    if (newHSocket == 0 || newHSocket == INVALID_SOCKET) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError("Dup");
        return;
    }
    if (m_state_ != wsClosed || m_hSocket_ != INVALID_SOCKET) {
        if (CloseHandle() != 0) {
            SocketError("Dup (closesocket)");
            return;
        }
        ChangeState(wsClosed);
    }
    AdoptHandle(newHSocket);
    m_closeInvoked_ = false; // a new session
    m_paused_ = false;
    if (!ReadBufferSizes())
        return;
    SetLingerOption();
    m_selectEvent_ = FD_READ | FD_WRITE | FD_CLOSE;
    if (!StartSelect(m_selectEvent_)) {
        SocketError("WSAAsyncSelect");
        return;
    }
    DupConnected();
}

void TCustomWSocket::DupConnected() {
    ChangeState(wsConnected);
}

} // namespace NorvEngineering::Sockets
