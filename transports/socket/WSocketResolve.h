#pragma once

#include <cstdint>
#include <string>

namespace NorvEngineering::Sockets {

// Whether the text is an IPv4 address in dotted form (four parts of at most 255,
// blanks allowed around it).
bool WSocketIsDottedIP(const std::string& text);
// The decimal number at the start of the text after leading blanks; 0 when none.
int WSocketAtoi(const std::string& text);
bool WSocketIsDigit(char c);
// The text without blanks and control characters at either end, as the component
// takes its address, port and protocol texts.
std::string WSocketTrimmed(const std::string& text);

// The resolvers raise ESocketException with the component's texts. The host comes back
// in network order, the port in host order.
uint32_t WSocketResolveHostInternal(const std::string& host);
uint16_t WSocketResolvePortInternal(const std::string& port, const std::string& proto);
int WSocketResolveProtoInternal(const std::string& proto);

// The same, holding a reference on the binding for the call.
uint32_t WSocketResolveHost(const std::string& host);
uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);
int WSocketResolveProto(const std::string& proto);

} // namespace NorvEngineering::Sockets
