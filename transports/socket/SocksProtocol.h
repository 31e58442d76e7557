#pragma once

// The bytes of the SOCKS 4, 4A and 5 client protocol (RFC 1928, RFC 1929): the
// requests a client sends and the reading of the server's replies. Nothing here
// touches a socket, so the SOCKS layer and its fuzz target share one reading.

#include <cstddef>
#include <cstdint>
#include <string>

namespace NorvEngineering::Sockets {

// The longest user code, password or host name one request field can carry.
inline constexpr std::size_t kSocksFieldMax = 255;
// Room for the longest reply (a SOCKS 5 reply naming a 255-byte domain is 262 bytes)
// and the application bytes that may come in the same read.
inline constexpr std::size_t kSocksReplyBufferSize = 512;
// A SOCKS 4 reply has a fixed size; nothing after it is read with it.
inline constexpr std::size_t kSocks4ReplySize = 8;

// The SOCKS error codes reported through OnSocksError and as the connect result.
inline constexpr uint16_t kSocksLogicError = 20001;
inline constexpr uint16_t kSocksVersionError = 20002;
inline constexpr uint16_t kSocksMethodNotAcceptable = 20003;
inline constexpr uint16_t kSocksAddressTypeNotSupported = 20011;
inline constexpr uint16_t kSocksUnassignedError = 20012;
inline constexpr uint16_t kSocksInternalError = 20013;
inline constexpr uint16_t kSocksAuthenticationFailed = 20015;
inline constexpr uint16_t kSocksRequestRejected = 20016;
inline constexpr uint16_t kSocksResolveFailed = 20017;

// Requests. They raise std::length_error when a field is longer than the protocol allows.
std::string SocksMethodRequest(uint8_t method);
std::string SocksAuthRequest(const std::string& usercode, const std::string& password);
std::string Socks5ConnectRequest(const std::string& host, uint16_t port);
// `addrNetOrder` is the IPv4 address in network order; `host4a` is the host name of
// a SOCKS 4A request (null for SOCKS 4).
std::string Socks4ConnectRequest(uint16_t port, uint32_t addrNetOrder, const std::string& usercode,
                                 const std::string* host4a);

enum class TSocksReplyKind { MethodChoice, AuthStatus, Socks5Connect, Socks4Connect };

struct TSocksReply {
    enum Status { NeedMore, Done, Failed };
    Status status = NeedMore;
    uint16_t code = 0;      // Failed: the SOCKS error code
    std::string text;       // Failed: its text
    uint8_t method = 0;     // MethodChoice: the method the server chose
    std::size_t length = 0; // Done: the bytes of the reply; what follows is application data
    std::string boundAddr;  // Socks5Connect
    std::string boundPort;  // Socks5Connect
};

// Reads the reply gathered so far; the same bytes plus more give the same answer, so
// it can be asked again after every read.
TSocksReply SocksReadReply(TSocksReplyKind kind, const uint8_t* data, std::size_t count);

// The text of a SOCKS 5 reply code other than 0, with its error code.
uint16_t Socks5ReplyErrorCode(uint8_t reply);
std::string Socks5ReplyErrorText(uint8_t reply);

} // namespace NorvEngineering::Sockets
