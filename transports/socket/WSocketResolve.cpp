#include "WSocketResolve.h"

#include "SocketException.h"
#include "WSocketBinding.h"
#include "WSocketErrors.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace NorvEngineering::Sockets {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return text;
}

class BindingReference {
public:
    BindingReference() { WSocketAddRef(); }
    ~BindingReference() { WSocketReleaseRef(); }
    BindingReference(const BindingReference&) = delete;
    BindingReference& operator=(const BindingReference&) = delete;
};

} // namespace

bool WSocketIsDigit(char c) {
    return c >= '0' && c <= '9';
}

int WSocketAtoi(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    long long value = 0;
    for (; i < text.size() && WSocketIsDigit(text[i]); ++i)
        value = std::min<long long>(value * 10 + (text[i] - '0'), INT32_MAX);
    return static_cast<int>(value);
}

bool WSocketIsDottedIP(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    if (i < n && text[i] == '.')
        return false;
    int dots = 0;
    long part = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (WSocketIsDigit(c)) {
            part = std::min<long>(part * 10 + (c - '0'), 1000); // only "above 255" matters
        } else if (c == '.') {
            ++dots;
            if (dots > 3 || part > 255 || i + 1 == n || !WSocketIsDigit(text[i + 1]))
                return false;
            part = 0;
        } else {
            break;
        }
    }
    if (i < n) {
        while (i < n && text[i] == ' ')
            ++i;
        if (i < n)
            return false;
    }
    return dots == 3 && part < 256;
}

uint32_t WSocketResolveHostInternal(const std::string& host) {
    if (host.empty() || host.size() >= 257)
        throw ESocketException("Winsock Resolve Host: '" + host + "' Invalid Hostname.");
    const std::string name = WSocketTrimmed(host);
    if (WSocketIsDottedIP(host)) {
        const uint32_t address = WSocket_inet_addr(name.c_str());
        if (address == 0xFFFFFFFFu) {
            if (name == "255.255.255.255")
                return address;
            throw ESocketException("Winsock Resolve Host: '" + host + "' Invalid IP address.");
        }
        return address;
    }
    const hostent* entry = WSocket_gethostbyname(name.c_str());
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + host + "' - " +
                               GetWinsockErr(WSocket_WSAGetLastError()));
    uint32_t address = 0;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    return address;
}

uint16_t WSocketResolvePortInternal(const std::string& port, const std::string& proto) {
    if (port.empty() || port.size() >= 32)
        throw ESocketException("Winsock Resolve Port: Invalid Port.");
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("Winsock Resolve Port: Invalid Proto.");
    if (WSocketIsDigit(port[0])) {
        const int value = WSocketAtoi(port);
        // A number that does not fit a port would otherwise wrap to some other port.
        if (value > 0xFFFF)
            throw ESocketException("Winsock Resolve Port: Invalid Port.");
        return static_cast<uint16_t>(value);
    }
    const std::string service = WSocketTrimmed(port);
    const std::string protocol = WSocketTrimmed(proto);
    const servent* entry =
        WSocket_getservbyname(service.c_str(), protocol.empty() ? nullptr : protocol.c_str());
    if (entry == nullptr)
        throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                               GetWinsockErr(WSocket_WSAGetLastError()));
    return WSocket_ntohs(static_cast<uint16_t>(entry->s_port));
}

int WSocketResolveProtoInternal(const std::string& proto) {
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
    if (WSocketIsDigit(proto[0]))
        return WSocketAtoi(proto);
    const std::string name = lowered(WSocketTrimmed(proto));
    if (name == "tcp")
        return 6;
    if (name == "udp")
        return 17;
    if (name == "raw")
        return 255;
    const protoent* entry = WSocket_getprotobyname(name.c_str());
    if (entry == nullptr)
        throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                               GetWinsockErr(WSocket_WSAGetLastError()));
    return entry->p_proto;
}

uint32_t WSocketResolveHost(const std::string& host) {
    BindingReference reference;
    return WSocketResolveHostInternal(host);
}

uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
    BindingReference reference;
    return WSocketResolvePortInternal(port, proto);
}

int WSocketResolveProto(const std::string& proto) {
    BindingReference reference;
    return WSocketResolveProtoInternal(proto);
}

std::string WSocketTrimmed(const std::string& text) {
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    const auto first = std::find_if_not(text.begin(), text.end(), isBlank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

} // namespace NorvEngineering::Sockets
