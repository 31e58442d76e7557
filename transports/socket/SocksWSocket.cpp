#include "SocksWSocket.h"

#include "WSocketErrors.h"
#include "WSocketResolve.h"
#include "WSocketUnit.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace NorvEngineering::Sockets {

namespace {

// The server and port texts lose control characters and blanks at both ends.
std::string trimControls(const std::string& text) {
    const auto kept = [](char c) { return static_cast<unsigned char>(c) >= 33; };
    const auto first = std::find_if(text.begin(), text.end(), kept);
    const auto last = std::find_if(text.rbegin(), text.rend(), kept).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string exceptionName(const std::exception& e) {
    return dynamic_cast<const ESocketException*>(&e) != nullptr ? "ESocketException" : "Exception";
}

} // namespace

TCustomSocksWSocket::TCustomSocksWSocket(Platform::TComponent* owner) : TCustomWSocket(owner) {
    WSocketUnitStartup();
}

void TCustomSocksWSocket::AssignDefaultValue() {
    TCustomWSocket::AssignDefaultValue();
    m_socksState_ = socksData;
    m_socksServer_.clear();
    m_socksPortStr_.clear();
    m_socksLevel_.assign(1, '5');
    m_rcvCnt_ = 0;
    m_pendingCnt_ = 0;
    m_pendingPos_ = 0;
    m_socksPortAssigned_ = false;
    m_socksServerAssigned_ = false;
}

// ---- properties ------------------------------------------------------------------

void TCustomSocksWSocket::SetSocksLevel(const std::string& value) {
    if (GetState() != wsClosed) {
        RaiseException("Can't change socks level if not closed");
        return;
    }
    std::string level = value;
    for (char& c : level)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (level != "4" && level != "5" && level != "4A") {
        RaiseException("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    m_socksLevel_ = level;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value) {
    if (GetState() != wsClosed) {
        RaiseException("Can't change socks server if not closed");
        return;
    }
    m_socksServer_ = trimControls(value);
    m_socksServerAssigned_ = !m_socksServer_.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value) {
    if (GetState() != wsClosed) {
        RaiseException("Can't change socks port if not closed");
        return;
    }
    m_socksPortStr_ = trimControls(value);
    m_socksPortAssigned_ = !m_socksPortStr_.empty();
}

// ---- connect and requests --------------------------------------------------------

void TCustomSocksWSocket::Listen() {
    // The negotiation only knows how to ask the server for an outgoing connection.
    if (m_socksServerAssigned_) {
        RaiseException("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::Connect() {
    // A socket in use keeps its negotiation, and a target without address or port
    // gets the base's own refusal.
    if (!m_socksServerAssigned_ || (HSocket() != INVALID_SOCKET && GetState() != wsClosed) ||
        !m_portAssigned_ || !m_addrAssigned_ || !m_protoAssigned_) {
        TCustomWSocket::Connect();
        return;
    }
    const std::string proto = GetProto();
    if (lowerCase(proto) != "tcp" && WSocketTrimmed(proto) != "6") {
        RaiseException("TCP is the only protocol supported thru socks server");
        return;
    }
    try {
        // The requests are built once here so that a field the protocol cannot carry
        // is refused before anything goes out.
        if (UsesSocks4()) {
            const std::string host = GetAddr();
            Socks4ConnectRequest(0, 0, m_socksUsercode_, m_socksLevel_ == "4A" ? &host : nullptr);
        } else {
            Socks5ConnectRequest(GetAddr(), 0);
            if (m_socksAuthentication_ == socksAuthenticateUsercode)
                SocksAuthRequest(m_socksUsercode_, m_socksPassword_);
        }
        if (!m_portResolved_) {
            m_portNum_ = WSocketResolvePortInternal(m_socksPortStr_, proto);
            m_sockAddr_.sin_port = htons(m_portNum_);
            m_portResolved_ = true;
        }
        if (!m_addrResolved_) {
            m_sockAddr_.sin_addr.s_addr = WSocketResolveHostInternal(m_socksServer_);
            m_addrResolved_ = true;
        }
        m_targetPort_ = WSocketResolvePortInternal(GetPort(), proto);
    } catch (const std::exception& e) {
        RaiseException(std::string("Connect: ") + e.what());
        return;
    }
    m_socksState_ = socksNegociateMethods;
    m_rcvCnt_ = 0;
    m_pendingCnt_ = 0;
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::SendRequest(const std::string& request) {
    try {
        SendStr(request);
    } catch (...) {
        // The close that follows a failed send ends the wait for the reply.
    }
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
    m_socksState_ = socksAuthenticate;
    m_rcvCnt_ = 0;
    TriggerSocksAuthState(socksAuthStart);
    SendRequest(SocksAuthRequest(m_socksUsercode_, m_socksPassword_));
}

void TCustomSocksWSocket::SocksDoConnect() {
    m_socksState_ = socksConnect;
    m_rcvCnt_ = 0;
    const std::string host = GetAddr();
    std::string request;
    if (!UsesSocks4()) {
        request = Socks5ConnectRequest(host, m_targetPort_);
    } else if (m_socksLevel_ == "4A") {
        request = Socks4ConnectRequest(m_targetPort_, htonl(1), m_socksUsercode_, &host);
    } else {
        uint32_t address = 0;
        try {
            address = WSocketResolveHostInternal(host);
        } catch (const std::exception& e) {
            DataAvailableError(kSocksResolveFailed, exceptionName(e) + " " + e.what());
            return;
        }
        request = Socks4ConnectRequest(m_targetPort_, address, m_socksUsercode_, nullptr);
    }
    SendRequest(request);
}

void TCustomSocksWSocket::TriggerSessionConnectedSpecial(uint16_t errCode) {
    if (m_socksState_ != socksNegociateMethods) {
        TCustomWSocket::TriggerSessionConnectedSpecial(errCode);
        return;
    }
    // The TCP connection to the SOCKS server is made, or failed.
    TriggerSocksConnected(errCode);
    if (errCode != 0) {
        TCustomWSocket::TriggerSessionConnectedSpecial(errCode);
        return;
    }
    if (UsesSocks4()) {
        SocksDoConnect();
        return;
    }
    m_socksAuthNumber_ = m_socksAuthentication_ == socksAuthenticateUsercode ? 2 : 0;
    m_rcvCnt_ = 0;
    SendRequest(SocksMethodRequest(m_socksAuthNumber_));
}

// ---- replies ---------------------------------------------------------------------

bool TCustomSocksWSocket::GatherReply() {
    m_peerClosed_ = false;
    const std::size_t limit =
        UsesSocks4() && m_socksState_ == socksConnect ? kSocks4ReplySize : m_rcvBuf_.size();
    if (m_rcvCnt_ >= limit)
        return true;
    const int got =
        TCustomWSocket::DoRecv(m_rcvBuf_.data() + m_rcvCnt_, static_cast<int>(limit - m_rcvCnt_), 0);
    if (got < 0) {
        if (const int error = WSocket_WSAGetLastError(); error != WSAEWOULDBLOCK)
            SetLastError(error);
        return false;
    }
    m_peerClosed_ = got == 0;
    m_rcvCnt_ += static_cast<std::size_t>(got);
    return true;
}

bool TCustomSocksWSocket::TriggerDataAvailable(uint16_t errCode) {
    if (m_socksState_ == socksData)
        return TCustomWSocket::TriggerDataAvailable(errCode);
    // The layer handles what comes during the negotiation itself; after a failure the
    // socket is closed, so nothing is left for the caller to drain.
    if (errCode != 0) {
        DataAvailableError(errCode, "data receive error");
        return true;
    }
    if (!GatherReply())
        return true;
    if (m_peerClosed_) {
        // The server hung up before it answered: the connect has failed.
        DataAvailableError(static_cast<uint16_t>(WSAECONNRESET), "data receive error");
        return true;
    }

    TSocksReplyKind kind = TSocksReplyKind::MethodChoice;
    switch (m_socksState_) {
    case socksNegociateMethods:
        if (UsesSocks4()) {
            DataAvailableError(kSocksLogicError, "TWSocket logic error");
            return true;
        }
        kind = TSocksReplyKind::MethodChoice;
        break;
    case socksAuthenticate:
        kind = TSocksReplyKind::AuthStatus;
        break;
    case socksConnect:
        kind = UsesSocks4() ? TSocksReplyKind::Socks4Connect : TSocksReplyKind::Socks5Connect;
        break;
    default:
        DataAvailableError(kSocksInternalError, "internal error");
        return true;
    }

    const TSocksReply reply = SocksReadReply(kind, m_rcvBuf_.data(), m_rcvCnt_);
    if (reply.status == TSocksReply::NeedMore)
        return true;
    if (reply.status == TSocksReply::Failed) {
        DataAvailableError(reply.code, reply.text);
        return true;
    }
    switch (m_socksState_) {
    case socksNegociateMethods:
        m_rcvCnt_ = 0;
        if (reply.method == 2) {
            SocksDoAuthenticate();
        } else {
            if (m_socksAuthNumber_ != 0)
                TriggerSocksAuthState(socksAuthNotRequired);
            SocksDoConnect();
        }
        return true;
    case socksAuthenticate:
        m_rcvCnt_ = 0;
        TriggerSocksAuthState(socksAuthSuccess);
        SocksDoConnect();
        return true;
    default:
        m_boundAddr_ = reply.boundAddr;
        m_boundPort_ = reply.boundPort;
        ReplyComplete(reply.length);
        return true;
    }
}

void TCustomSocksWSocket::ReplyComplete(std::size_t replyLength) {
    m_socksState_ = socksData;
    m_pendingPos_ = replyLength;
    m_pendingCnt_ = m_rcvCnt_ > replyLength ? m_rcvCnt_ - replyLength : 0;
    m_rcvCnt_ = 0;
    TCustomWSocket::TriggerSessionConnectedSpecial(0);
    // Application bytes that came with the reply go to the first data notification,
    // through every layer above; a handler that reads them in pieces is asked again.
    while (m_pendingCnt_ > 0 && HSocket() != INVALID_SOCKET) {
        const std::size_t before = m_pendingCnt_;
        if (!TriggerDataAvailable(0)) {
            m_pendingCnt_ = 0; // no handler: dropped like any unread data
            break;
        }
        if (m_pendingCnt_ == before)
            break; // the handler reads nothing; the next notification offers them again
    }
}

void TCustomSocksWSocket::DataAvailableError(uint16_t code, const std::string& message) {
    // Whatever ends the negotiation during the authentication (a refusal, a bad reply,
    // the server hanging up) ends the authentication as failed, and says so first.
    if (m_socksState_ == socksAuthenticate)
        TriggerSocksAuthState(socksAuthFailure);
    TriggerSocksError(code, message);
    m_socksState_ = socksData;
    TriggerSessionConnectedSpecial(code);
    TCustomWSocket::InternalClose(true, code);
}

void TCustomSocksWSocket::Do_FD_CLOSE(uint16_t error) {
    if (m_socksState_ == socksData || GetState() == wsConnecting || HSocket() == INVALID_SOCKET) {
        TCustomWSocket::Do_FD_CLOSE(error);
        return;
    }
    // The server hung up during the negotiation: its last bytes may still finish the
    // reply; otherwise the connect has failed (and the failure has closed the socket).
    TriggerDataAvailable(error);
    if (HSocket() != INVALID_SOCKET && m_socksState_ != socksData)
        DataAvailableError(static_cast<uint16_t>(WSAECONNRESET), "data receive error");
    if (HSocket() != INVALID_SOCKET)
        TCustomWSocket::Do_FD_CLOSE(error);
}

void TCustomSocksWSocket::TriggerSessionClosed(uint16_t errCode) {
    if (m_socksState_ == socksAuthenticate)
        TriggerSocksAuthState(socksAuthFailure);
    TCustomWSocket::TriggerSessionClosed(errCode);
}

int32_t TCustomSocksWSocket::GetRcvdCount() {
    if (m_pendingCnt_ > 0)
        return static_cast<int32_t>(m_pendingCnt_);
    return TCustomWSocket::GetRcvdCount();
}

int TCustomSocksWSocket::DoRecv(void* buffer, int len, int flags) {
    // A look ahead asks the connection itself (WaitForClose: has the peer gone?).
    if (m_pendingCnt_ == 0 || (flags & MSG_PEEK) != 0)
        return TCustomWSocket::DoRecv(buffer, len, flags);
    if (len <= 0)
        return 0;
    const std::size_t count = std::min(m_pendingCnt_, static_cast<std::size_t>(len));
    std::memcpy(buffer, m_rcvBuf_.data() + m_pendingPos_, count);
    m_pendingPos_ += count;
    m_pendingCnt_ -= count;
    return static_cast<int>(count);
}

// ---- events ----------------------------------------------------------------------

void TCustomSocksWSocket::TriggerSocksConnected(uint16_t errCode) {
    OnSocksConnected(this, errCode);
}

void TCustomSocksWSocket::TriggerSocksError(uint16_t error, const std::string& msg) {
    OnSocksError(this, error, msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState authState) {
    OnSocksAuthState(this, authState);
}

} // namespace NorvEngineering::Sockets
