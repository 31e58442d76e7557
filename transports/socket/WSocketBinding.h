#pragma once

#include <cstdint>
#include <mutex>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace NorvEngineering::Sockets {

// The socket component's binding to the system's BSD sockets. It keeps the life cycle
// of a run-time loaded socket library: a process-wide reference count (one per live
// component, one per call in progress, one while loading is forced), a requested
// version that can be changed only while nothing is loaded, and a start-up that can
// refuse that version. Every wrapper reports failures as Winsock codes through a
// per-thread last error, so the component and its users see one code space.

using TSocket = int;
inline constexpr TSocket INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// The record that start-up fills.
struct TWSAData {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
};

// The control request that sets keep-alive times (milliseconds), and its input.
inline constexpr uint32_t SIO_KEEPALIVE_VALS = 0x98000004u;
inline constexpr uint32_t SIO_RCVALL = 0x98000001u;
struct TTcpKeepAlive {
    uint32_t onoff;
    uint32_t keepalivetime;
    uint32_t keepaliveinterval;
};

// The name the binding reports in its failure texts.
inline constexpr const char* kWSocketLibraryName = "wsock32.dll";

// The lock that guards loading, the version and the reference count. Re-entrant.
std::recursive_mutex& WSocketLock();

// Loads and starts the binding when it is not yet (raises ESocketException when the
// start-up refuses the requested version).
void WSocketLoad();
bool WSocketIsLoaded();
// Components take one reference each for their lifetime; dropping the last unloads.
void WSocketAddRef();
void WSocketReleaseRef();
int32_t SafeWSocketGCount();

void WSocketForceLoadWinsock();
void WSocketCancelForceLoadWinsock();
void WSocketUnloadWinsock();
TWSAData WinsockInfo();

uint8_t WSocketGetReqVerLow();
uint8_t WSocketGetReqVerHigh();
// False (nothing changed) while the binding is loaded.
bool WSocketSetReqVerLow(uint8_t value);
bool WSocketSetReqVerHigh(uint8_t value);

// The Winsock code for a system error number.
int32_t WSocketErrnoToWinsock(int error);
// The system error number behind a Winsock code; 0 when there is none.
int WSocketWinsockToErrno(int32_t code);

// The wrappers. Signatures follow the BSD calls; results and failures those of the
// Winsock calls of the same names (SOCKET_ERROR or null, code in WSocket_WSAGetLastError).
int WSocket_WSAStartup(uint16_t version, TWSAData* data);
int WSocket_WSACleanup();
void WSocket_WSASetLastError(int error);
int WSocket_WSAGetLastError();
servent* WSocket_getservbyname(const char* name, const char* proto);
protoent* WSocket_getprotobyname(const char* name);
hostent* WSocket_gethostbyname(const char* name);
hostent* WSocket_gethostbyaddr(const void* addr, int len, int type);
int WSocket_gethostname(char* name, int len);
TSocket WSocket_socket(int af, int type, int protocol);
int WSocket_shutdown(TSocket s, int how);
int WSocket_setsockopt(TSocket s, int level, int optname, const void* optval, int optlen);
int WSocket_getsockopt(TSocket s, int level, int optname, void* optval, int* optlen);
int WSocket_sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen);
int WSocket_send(TSocket s, const void* buf, int len, int flags);
uint16_t WSocket_ntohs(uint16_t value);
uint32_t WSocket_ntohl(uint32_t value);
int WSocket_listen(TSocket s, int backlog);
int WSocket_ioctlsocket(TSocket s, unsigned long cmd, unsigned long* argp);
int WSocket_WSAIoctl(TSocket s, uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                     uint32_t* bytesReturned);
char* WSocket_inet_ntoa(in_addr in);
uint32_t WSocket_inet_addr(const char* cp);
uint16_t WSocket_htons(uint16_t value);
uint32_t WSocket_htonl(uint32_t value);
int WSocket_getsockname(TSocket s, sockaddr* name, int* namelen);
int WSocket_getpeername(TSocket s, sockaddr* name, int* namelen);
int WSocket_connect(TSocket s, const sockaddr* name, int namelen);
int WSocket_closesocket(TSocket s);
int WSocket_bind(TSocket s, const sockaddr* name, int namelen);
TSocket WSocket_accept(TSocket s, sockaddr* addr, int* addrlen);
int WSocket_recv(TSocket s, void* buf, int len, int flags);
int WSocket_recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen);

} // namespace NorvEngineering::Sockets
