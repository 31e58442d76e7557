#pragma once

#include <cstdint>
#include <string>

namespace NorvEngineering::Sockets {

// The component reports every failure in the Winsock code space, whatever the system
// below says: callers compare against these numbers and show their texts.
inline constexpr int32_t WSABASEERR = 10000;
inline constexpr int32_t WSAEINTR = 10004;
inline constexpr int32_t WSAEBADF = 10009;
inline constexpr int32_t WSAEACCES = 10013;
inline constexpr int32_t WSAEFAULT = 10014;
inline constexpr int32_t WSAEINVAL = 10022;
inline constexpr int32_t WSAEMFILE = 10024;
inline constexpr int32_t WSAEWOULDBLOCK = 10035;
inline constexpr int32_t WSAEINPROGRESS = 10036;
inline constexpr int32_t WSAEALREADY = 10037;
inline constexpr int32_t WSAENOTSOCK = 10038;
inline constexpr int32_t WSAEDESTADDRREQ = 10039;
inline constexpr int32_t WSAEMSGSIZE = 10040;
inline constexpr int32_t WSAEPROTOTYPE = 10041;
inline constexpr int32_t WSAENOPROTOOPT = 10042;
inline constexpr int32_t WSAEPROTONOSUPPORT = 10043;
inline constexpr int32_t WSAESOCKTNOSUPPORT = 10044;
inline constexpr int32_t WSAEOPNOTSUPP = 10045;
inline constexpr int32_t WSAEPFNOSUPPORT = 10046;
inline constexpr int32_t WSAEAFNOSUPPORT = 10047;
inline constexpr int32_t WSAEADDRINUSE = 10048;
inline constexpr int32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr int32_t WSAENETDOWN = 10050;
inline constexpr int32_t WSAENETUNREACH = 10051;
inline constexpr int32_t WSAENETRESET = 10052;
inline constexpr int32_t WSAECONNABORTED = 10053;
inline constexpr int32_t WSAECONNRESET = 10054;
inline constexpr int32_t WSAENOBUFS = 10055;
inline constexpr int32_t WSAEISCONN = 10056;
inline constexpr int32_t WSAENOTCONN = 10057;
inline constexpr int32_t WSAESHUTDOWN = 10058;
inline constexpr int32_t WSAETOOMANYREFS = 10059;
inline constexpr int32_t WSAETIMEDOUT = 10060;
inline constexpr int32_t WSAECONNREFUSED = 10061;
inline constexpr int32_t WSAELOOP = 10062;
inline constexpr int32_t WSAENAMETOOLONG = 10063;
inline constexpr int32_t WSAEHOSTDOWN = 10064;
inline constexpr int32_t WSAEHOSTUNREACH = 10065;
inline constexpr int32_t WSAENOTEMPTY = 10066;
inline constexpr int32_t WSAEPROCLIM = 10067;
inline constexpr int32_t WSAEUSERS = 10068;
inline constexpr int32_t WSAEDQUOT = 10069;
inline constexpr int32_t WSAESTALE = 10070;
inline constexpr int32_t WSAEREMOTE = 10071;
inline constexpr int32_t WSASYSNOTREADY = 10091;
inline constexpr int32_t WSAVERNOTSUPPORTED = 10092;
inline constexpr int32_t WSANOTINITIALISED = 10093;
// A system failure that has no Winsock name of its own.
inline constexpr int32_t WSASYSCALLFAILURE = 10107;
inline constexpr int32_t WSAHOST_NOT_FOUND = 11001;
inline constexpr int32_t WSATRY_AGAIN = 11002;
inline constexpr int32_t WSANO_RECOVERY = 11003;
inline constexpr int32_t WSANO_DATA = 11004;

// The words for a Winsock code; "Not a WinSock error" for anything outside the table.
std::string WSocketErrorDesc(int32_t code);
// "<words> (#<code>)".
std::string GetWinsockErr(int32_t code);
// The system's own text for a system error number, then " (#<code>)".
std::string GetWindowsErr(int32_t code);

} // namespace NorvEngineering::Sockets
