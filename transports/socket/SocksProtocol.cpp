#include "SocksProtocol.h"

#include <stdexcept>

namespace NorvEngineering::Sockets {

namespace {

void appendField(std::string& request, const std::string& field, const char* name) {
    if (field.size() > kSocksFieldMax)
        throw std::length_error(std::string(name) + " is longer than 255 bytes");
    request += static_cast<char>(field.size());
    request += field;
}

void appendPort(std::string& request, uint16_t port) {
    request += static_cast<char>(port >> 8);
    request += static_cast<char>(port & 0xFF);
}

TSocksReply failed(uint16_t code, std::string text) {
    TSocksReply reply;
    reply.status = TSocksReply::Failed;
    reply.code = code;
    reply.text = std::move(text);
    return reply;
}

TSocksReply done(std::size_t length) {
    TSocksReply reply;
    reply.status = TSocksReply::Done;
    reply.length = length;
    return reply;
}

TSocksReply versionError() {
    return failed(kSocksVersionError, "socks version error");
}

TSocksReply readMethodChoice(const uint8_t* data, std::size_t count) {
    if (count < 2)
        return {};
    if (data[0] != 5)
        return versionError();
    // Nothing may follow the choice before the client has sent its next request.
    if (count > 2)
        return failed(kSocksLogicError, "too much data availaible");
    if (data[1] != 0 && data[1] != 2)
        return failed(kSocksMethodNotAcceptable, "authentification method not acceptable");
    TSocksReply reply = done(2);
    reply.method = data[1];
    return reply;
}

TSocksReply readAuthStatus(const uint8_t* data, std::size_t count) {
    if (count < 1)
        return {};
    if (data[0] != 1)
        return versionError();
    if (count > 2)
        return failed(kSocksLogicError, "too much data availaible");
    if (count < 2)
        return {};
    if (data[1] != 0)
        return failed(kSocksAuthenticationFailed, "socks authentication failed");
    return done(2);
}

TSocksReply readSocks5Connect(const uint8_t* data, std::size_t count) {
    if (count < 1)
        return {};
    if (data[0] != 5)
        return versionError();
    if (count < 2)
        return {};
    if (data[1] != 0)
        return failed(Socks5ReplyErrorCode(data[1]), Socks5ReplyErrorText(data[1]));
    if (count < 5)
        return {};
    const uint8_t type = data[3];
    if (type != 1 && type != 3)
        return failed(kSocksAddressTypeNotSupported, "address type not supported");
    const std::size_t length = type == 1 ? 10 : 7u + data[4];
    if (count < length)
        return {};
    TSocksReply reply = done(length);
    std::size_t portAt = 0;
    if (type == 1) {
        reply.boundAddr = std::to_string(data[4]) + "." + std::to_string(data[5]) + "." +
                          std::to_string(data[6]) + "." + std::to_string(data[7]);
        portAt = 8;
    } else {
        reply.boundAddr.assign(reinterpret_cast<const char*>(data + 5), data[4]);
        portAt = 5u + data[4];
    }
    reply.boundPort = std::to_string((data[portAt] << 8) | data[portAt + 1]);
    return reply;
}

TSocksReply readSocks4Connect(const uint8_t* data, std::size_t count) {
    if (count < kSocks4ReplySize)
        return {};
    if (data[0] != 0)
        return versionError();
    switch (data[1]) {
    case 90:
        return done(kSocks4ReplySize);
    case 91:
        return failed(kSocksRequestRejected, "request rejected or failed");
    case 92:
        return failed(Socks5ReplyErrorCode(5), "connection refused");
    case 93:
        return failed(kSocksAuthenticationFailed, "authentification failed");
    default:
        return failed(kSocksUnassignedError, "unassigned error #" + std::to_string(data[1]));
    }
}

} // namespace

std::string SocksMethodRequest(uint8_t method) {
    return std::string{'\x05', '\x01', static_cast<char>(method)};
}

std::string SocksAuthRequest(const std::string& usercode, const std::string& password) {
    std::string request(1, '\x01');
    appendField(request, usercode, "Socks user code");
    appendField(request, password, "Socks password");
    return request;
}

std::string Socks5ConnectRequest(const std::string& host, uint16_t port) {
    std::string request{'\x05', '\x01', '\x00', '\x03'};
    appendField(request, host, "Host name");
    appendPort(request, port);
    return request;
}

std::string Socks4ConnectRequest(uint16_t port, uint32_t addrNetOrder, const std::string& usercode,
                                 const std::string* host4a) {
    // The fields end at a NUL, so one inside a field would cut the request short.
    if (usercode.size() > kSocksFieldMax || usercode.find('\0') != std::string::npos)
        throw std::length_error("Socks user code is longer than 255 bytes or holds a NUL byte");
    if (host4a != nullptr && (host4a->size() > kSocksFieldMax || host4a->find('\0') != std::string::npos))
        throw std::length_error("Host name is longer than 255 bytes or holds a NUL byte");
    std::string request{'\x04', '\x01'};
    appendPort(request, port);
    const auto* address = reinterpret_cast<const char*>(&addrNetOrder);
    request.append(address, 4);
    request += usercode;
    request += '\0';
    if (host4a != nullptr) {
        request += *host4a;
        request += '\0';
    }
    return request;
}

TSocksReply SocksReadReply(TSocksReplyKind kind, const uint8_t* data, std::size_t count) {
    switch (kind) {
    case TSocksReplyKind::MethodChoice:
        return readMethodChoice(data, count);
    case TSocksReplyKind::AuthStatus:
        return readAuthStatus(data, count);
    case TSocksReplyKind::Socks5Connect:
        return readSocks5Connect(data, count);
    case TSocksReplyKind::Socks4Connect:
        return readSocks4Connect(data, count);
    }
    return failed(kSocksInternalError, "internal error");
}

uint16_t Socks5ReplyErrorCode(uint8_t reply) {
    return reply >= 1 && reply <= 8 ? static_cast<uint16_t>(20003 + reply) : kSocksUnassignedError;
}

std::string Socks5ReplyErrorText(uint8_t reply) {
    static const char* const texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                                        "network unreachable",          "host unreachable",
                                        "connection refused",           "time to live expired",
                                        "command not supported",        "address type not supported"};
    if (reply >= 1 && reply <= 8)
        return texts[reply - 1];
    return "unassigned error #" + std::to_string(reply);
}

} // namespace NorvEngineering::Sockets
