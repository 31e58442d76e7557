#pragma once

#include "CustomWSocket.h"
#include "SocksProtocol.h"

#include <array>
#include <cstdint>
#include <string>

namespace NorvEngineering::Sockets {

enum TSocksState : uint8_t { socksData, socksNegociateMethods, socksAuthenticate, socksConnect };
enum TSocksAuthentication : uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState : uint8_t { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

// The SOCKS client layer: a TCP connection through a SOCKS 4, 4A or 5 server, with
// the user-name and password method of RFC 1929. With no SOCKS server set it passes
// every operation to the socket below unchanged, which is how the transports use it.
//
// The connection is reported (OnSessionConnected with 0) only once the server has
// said the target is reached; before that OnSocksConnected tells that the server
// itself answered. A failure is reported three ways, in this order: OnSocksError
// with the SOCKS code and text, OnSessionConnected with the same code, and
// OnSessionClosed from the close, all after OnSocksAuthState(socksAuthFailure) when the
// authentication was under way; a server that hangs up before its answer fails the
// connect with 10054 (WSAECONNRESET). The server settings are forgotten at every close,
// like the target's address and port.
//
// User code, password and host name are sent whole up to the 255 bytes a request
// field holds; a longer one is refused by Connect before anything is sent.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TSocksErrorEvent =
        Platform::TEvent<void(TCustomWSocket* sender, uint16_t error, const std::string& msg)>;
    using TSocksAuthStateEvent = Platform::TEvent<void(TCustomWSocket* sender, TSocksAuthState authState)>;

    explicit TCustomSocksWSocket(Platform::TComponent* owner);

    std::string GetSocksLevel() const { return m_socksLevel_; }
    void SetSocksLevel(const std::string& value);
    std::string GetSocksServer() const { return m_socksServer_; }
    virtual void SetSocksServer(const std::string& value);
    std::string GetSocksPort() const { return m_socksPortStr_; }
    virtual void SetSocksPort(const std::string& value);
    std::string GetSocksUsercode() const { return m_socksUsercode_; }
    void SetSocksUsercode(const std::string& value) { m_socksUsercode_ = value; }
    std::string GetSocksPassword() const { return m_socksPassword_; }
    void SetSocksPassword(const std::string& value) { m_socksPassword_ = value; }
    TSocksAuthentication GetSocksAuthentication() const { return m_socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication value) { m_socksAuthentication_ = value; }
    // The address and port the server reported in its SOCKS 5 reply.
    std::string GetBoundAddr() const { return m_boundAddr_; }
    std::string GetBoundPort() const { return m_boundPort_; }

    void Connect() override;
    void Listen() override;

    TSessionEvent OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void AssignDefaultValue() override;
    void TriggerSessionConnectedSpecial(uint16_t errCode) override;
    void TriggerSessionClosed(uint16_t errCode) override;
    void Do_FD_CLOSE(uint16_t error) override;
    bool TriggerDataAvailable(uint16_t errCode) override;
    int32_t GetRcvdCount() override;
    int DoRecv(void* buffer, int len, int flags) override;

    virtual void TriggerSocksConnected(uint16_t errCode);
    virtual void TriggerSocksError(uint16_t error, const std::string& msg);
    void TriggerSocksAuthState(TSocksAuthState authState);
    void SocksDoAuthenticate();
    void SocksDoConnect();
    // Reports a failed negotiation the three ways and closes the socket.
    void DataAvailableError(uint16_t code, const std::string& message);

    TSocksState SocksState() const { return m_socksState_; }

private:
    bool UsesSocks4() const { return m_socksLevel_[0] == '4'; }
    // Sends a request; a failing send leaves the socket waiting for its close.
    void SendRequest(const std::string& request);
    // Reads what the current reply still lacks; false when nothing could be read.
    bool GatherReply();
    void ReplyComplete(std::size_t replyLength);

    TSocksState m_socksState_ = socksData;
    std::string m_socksServer_;
    std::string m_socksLevel_ = "5";
    std::string m_socksPortStr_;
    bool m_socksPortAssigned_ = false;
    bool m_socksServerAssigned_ = false;
    std::string m_socksUsercode_;
    std::string m_socksPassword_;
    TSocksAuthentication m_socksAuthentication_ = socksNoAuthentication;
    uint8_t m_socksAuthNumber_ = 0;
    uint16_t m_targetPort_ = 0;
    std::string m_boundAddr_;
    std::string m_boundPort_;
    std::array<uint8_t, kSocksReplyBufferSize> m_rcvBuf_{};
    std::size_t m_rcvCnt_ = 0;
    bool m_peerClosed_ = false; // the last read met the end of the connection
    // Application bytes that came in the same read as the SOCKS 5 reply.
    std::size_t m_pendingCnt_ = 0;
    std::size_t m_pendingPos_ = 0;
};

class TSocksWSocket : public TCustomSocksWSocket {
public:
    using TCustomSocksWSocket::TCustomSocksWSocket;
};

} // namespace NorvEngineering::Sockets
