#include "WSocketBinding.h"

#include "AsyncSelect.h"
#include "SocketException.h"
#include "WSocketErrors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace NorvEngineering::Sockets {

namespace {

struct BindingState {
    std::recursive_mutex lock;
    int32_t count = 0;
    bool forceLoaded = false;
    bool loaded = false;
    uint8_t reqVerLow = 1;
    uint8_t reqVerHigh = 1;
    TWSAData data;
};

// Never destroyed: components may still release their reference while static
// destructors run.
BindingState& state() {
    static auto* instance = new BindingState();
    return *instance;
}

thread_local int t_lastError = 0;

// Holds one reference for the duration of a wrapped call, loading on first use.
class CallReference {
public:
    CallReference() {
        std::lock_guard guard(state().lock);
        ++state().count;
        try {
            WSocketLoad();
        } catch (...) {
            --state().count;
            throw;
        }
    }
    ~CallReference() {
        std::lock_guard guard(state().lock);
        --state().count;
    }
    CallReference(const CallReference&) = delete;
    CallReference& operator=(const CallReference&) = delete;
};

// Stores the Winsock code of errno as the thread's last error.
int fail(int error = errno) {
    t_lastError = WSocketErrnoToWinsock(error);
    return SOCKET_ERROR;
}

int resolverError(int gaiError) {
    switch (gaiError) {
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_SYSTEM:
        return WSocketErrnoToWinsock(errno);
    default:
        return WSAHOST_NOT_FOUND;
    }
}

// Per-thread results of the look-ups, as the Winsock look-ups keep them.
struct HostEntry {
    hostent entry{};
    std::string name;
    std::vector<in_addr> addresses;
    std::vector<char*> addressList;
    char* noAliases[1] = {nullptr};

    hostent* fill(const std::string& hostName, std::vector<in_addr> found) {
        name = hostName;
        addresses = std::move(found);
        addressList.clear();
        for (auto& address : addresses)
            addressList.push_back(reinterpret_cast<char*>(&address));
        addressList.push_back(nullptr);
        entry.h_name = name.data();
        entry.h_aliases = noAliases;
        entry.h_addrtype = AF_INET;
        entry.h_length = sizeof(in_addr);
        entry.h_addr_list = addressList.data();
        return &entry;
    }
};
thread_local HostEntry t_hostEntry;
thread_local servent t_servent;
thread_local char t_serventBuffer[1024];
thread_local protoent t_protoent;
thread_local char t_protoentBuffer[1024];
thread_local char t_ntoaBuffer[INET_ADDRSTRLEN];

socklen_t toLength(int length) {
    return length < 0 ? 0 : static_cast<socklen_t>(length);
}
size_t toSize(int length) {
    return length < 0 ? 0 : static_cast<size_t>(length);
}

} // namespace

std::recursive_mutex& WSocketLock() {
    return state().lock;
}

void WSocketLoad() {
    std::lock_guard guard(state().lock);
    if (state().loaded)
        return;
    const auto version = static_cast<uint16_t>(state().reqVerLow + 256 * state().reqVerHigh);
    const int status = WSocket_WSAStartup(version, &state().data);
    if (status != 0)
        throw ESocketException(std::string("Winsock startup error ") + kWSocketLibraryName + " - " +
                               GetWinsockErr(status));
    state().loaded = true;
}

bool WSocketIsLoaded() {
    std::lock_guard guard(state().lock);
    return state().loaded;
}

void WSocketAddRef() {
    std::lock_guard guard(state().lock);
    ++state().count;
}

void WSocketReleaseRef() {
    std::lock_guard guard(state().lock);
    --state().count;
    if (state().count < 1)
        WSocketUnloadWinsock();
}

int32_t SafeWSocketGCount() {
    std::lock_guard guard(state().lock);
    return state().count;
}

void WSocketForceLoadWinsock() {
    std::lock_guard guard(state().lock);
    if (state().forceLoaded)
        return;
    state().forceLoaded = true;
    ++state().count;
    try {
        WSocketLoad();
    } catch (...) {
        state().forceLoaded = false;
        --state().count;
        throw;
    }
}

void WSocketCancelForceLoadWinsock() {
    std::lock_guard guard(state().lock);
    if (!state().forceLoaded)
        return;
    state().forceLoaded = false;
    --state().count;
    if (state().count < 1)
        WSocketUnloadWinsock();
}

void WSocketUnloadWinsock() {
    std::lock_guard guard(state().lock);
    if (state().loaded && state().count == 0) {
        WSocket_WSACleanup();
        state().loaded = false;
    }
    state().forceLoaded = false;
}

TWSAData WinsockInfo() {
    std::lock_guard guard(state().lock);
    WSocketLoad();
    TWSAData copy = state().data;
    if (state().count < 1)
        WSocketUnloadWinsock();
    return copy;
}

uint8_t WSocketGetReqVerLow() {
    std::lock_guard guard(state().lock);
    return state().reqVerLow;
}

uint8_t WSocketGetReqVerHigh() {
    std::lock_guard guard(state().lock);
    return state().reqVerHigh;
}

bool WSocketSetReqVerLow(uint8_t value) {
    std::lock_guard guard(state().lock);
    if (value == state().reqVerLow)
        return true;
    if (state().loaded)
        return false;
    state().reqVerLow = value;
    return true;
}

bool WSocketSetReqVerHigh(uint8_t value) {
    std::lock_guard guard(state().lock);
    if (value == state().reqVerHigh)
        return true;
    if (state().loaded)
        return false;
    state().reqVerHigh = value;
    return true;
}

int32_t WSocketErrnoToWinsock(int error) {
    switch (error) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAENOTSOCK;
    case EPERM:
    case EACCES:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EWOULDBLOCK:
    case EINPROGRESS: // a non-blocking connect under way reads as "would block"
        return WSAEWOULDBLOCK;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case EPIPE:
    case ECONNABORTED:
    case EPROTO:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return WSASYSCALLFAILURE;
    }
}

int WSocketWinsockToErrno(int32_t code) {
    if (code <= 0 || code == WSASYSCALLFAILURE)
        return 0;
    // Both descriptor shortages map to one code; the process's own limit is the one a
    // program meets (the system-wide table is far larger).
    if (code == WSAEMFILE)
        return EMFILE;
    for (int error = 1; error < 134; ++error)
        if (WSocketErrnoToWinsock(error) == code)
            return error;
    return 0;
}

int WSocket_WSAStartup(uint16_t version, TWSAData* data) {
    const auto major = static_cast<uint8_t>(version & 0xFF);
    const auto minor = static_cast<uint8_t>(version >> 8);
    if (major < 1)
        return WSAVERNOTSUPPORTED;
    if (data != nullptr) {
        *data = TWSAData{};
        data->wHighVersion = 0x0202;
        data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? uint16_t{0x0202} : version;
        std::strncpy(data->szDescription, "BSD sockets", sizeof data->szDescription - 1);
        std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
        data->iMaxSockets = 0xFFFF;
        data->iMaxUdpDg = 65467;
    }
    return 0;
}

int WSocket_WSACleanup() {
    return 0;
}

void WSocket_WSASetLastError(int error) {
    t_lastError = error;
}

int WSocket_WSAGetLastError() {
    return t_lastError;
}

servent* WSocket_getservbyname(const char* name, const char* proto) {
    CallReference reference;
    servent* result = nullptr;
    if (::getservbyname_r(name, proto, &t_servent, t_serventBuffer, sizeof t_serventBuffer, &result) != 0 ||
        result == nullptr) {
        t_lastError = WSANO_DATA;
        return nullptr;
    }
    return result;
}

protoent* WSocket_getprotobyname(const char* name) {
    CallReference reference;
    protoent* result = nullptr;
    if (::getprotobyname_r(name, &t_protoent, t_protoentBuffer, sizeof t_protoentBuffer, &result) != 0 ||
        result == nullptr) {
        t_lastError = WSANO_DATA;
        return nullptr;
    }
    return result;
}

hostent* WSocket_gethostbyname(const char* name) {
    CallReference reference;
    if (name == nullptr) {
        t_lastError = WSAEFAULT;
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0) {
        t_lastError = resolverError(status);
        return nullptr;
    }
    std::vector<in_addr> addresses;
    std::string canonical = (found->ai_canonname != nullptr) ? found->ai_canonname : name;
    for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
        if (item->ai_family != AF_INET || item->ai_addr == nullptr)
            continue;
        sockaddr_in address{};
        std::memcpy(&address, item->ai_addr, sizeof address);
        const bool known = std::any_of(addresses.begin(), addresses.end(),
                                       [&](const in_addr& a) { return a.s_addr == address.sin_addr.s_addr; });
        if (!known)
            addresses.push_back(address.sin_addr);
    }
    ::freeaddrinfo(found);
    if (addresses.empty()) {
        t_lastError = WSANO_DATA;
        return nullptr;
    }
    return t_hostEntry.fill(canonical, std::move(addresses));
}

hostent* WSocket_gethostbyaddr(const void* addr, int len, int type) {
    CallReference reference;
    if (addr == nullptr || type != AF_INET || len < static_cast<int>(sizeof(in_addr))) {
        t_lastError = WSAEFAULT;
        return nullptr;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr, addr, sizeof(in_addr));
    char host[NI_MAXHOST] = {};
    const int status = ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host,
                                     sizeof host, nullptr, 0, NI_NAMEREQD);
    if (status != 0) {
        t_lastError = resolverError(status);
        return nullptr;
    }
    return t_hostEntry.fill(host, {address.sin_addr});
}

int WSocket_gethostname(char* name, int len) {
    CallReference reference;
    return ::gethostname(name, toSize(len)) == 0 ? 0 : fail();
}

TSocket WSocket_socket(int af, int type, int protocol) {
    CallReference reference;
    const int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    return fd >= 0 ? fd : fail();
}

int WSocket_shutdown(TSocket s, int how) {
    CallReference reference;
    return ::shutdown(s, how) == 0 ? 0 : fail();
}

int WSocket_setsockopt(TSocket s, int level, int optname, const void* optval, int optlen) {
    CallReference reference;
    return ::setsockopt(s, level, optname, optval, toLength(optlen)) == 0 ? 0 : fail();
}

int WSocket_getsockopt(TSocket s, int level, int optname, void* optval, int* optlen) {
    CallReference reference;
    socklen_t length = optlen != nullptr ? toLength(*optlen) : 0;
    if (::getsockopt(s, level, optname, optval, &length) != 0)
        return fail();
    if (optlen != nullptr)
        *optlen = static_cast<int>(length);
    return 0;
}

int WSocket_sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen) {
    CallReference reference;
    const ssize_t sent = ::sendto(s, buf, toSize(len), flags | MSG_NOSIGNAL, to, toLength(tolen));
    if (sent < 0) {
        const int error = errno;
        if (error == EWOULDBLOCK)
            Detail::asyncSelectReenable(s, FD_WRITE);
        return fail(error);
    }
    return static_cast<int>(sent);
}

int WSocket_send(TSocket s, const void* buf, int len, int flags) {
    CallReference reference;
    const ssize_t sent = ::send(s, buf, toSize(len), flags | MSG_NOSIGNAL);
    if (sent < 0) {
        const int error = errno;
        if (error == EWOULDBLOCK)
            Detail::asyncSelectReenable(s, FD_WRITE);
        return fail(error);
    }
    // A send that the socket took only in part is a would-block for what is left.
    if (sent < len)
        Detail::asyncSelectReenable(s, FD_WRITE);
    return static_cast<int>(sent);
}

uint16_t WSocket_ntohs(uint16_t value) {
    return ntohs(value);
}
uint32_t WSocket_ntohl(uint32_t value) {
    return ntohl(value);
}
uint16_t WSocket_htons(uint16_t value) {
    return htons(value);
}
uint32_t WSocket_htonl(uint32_t value) {
    return htonl(value);
}

int WSocket_listen(TSocket s, int backlog) {
    CallReference reference;
    return ::listen(s, backlog) == 0 ? 0 : fail();
}

int WSocket_ioctlsocket(TSocket s, unsigned long cmd, unsigned long* argp) {
    CallReference reference;
    if (argp == nullptr) {
        t_lastError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (cmd == FIONBIO) {
        const int flags = ::fcntl(s, F_GETFL);
        if (flags < 0)
            return fail();
        const int wanted = *argp != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return ::fcntl(s, F_SETFL, wanted) == 0 ? 0 : fail();
    }
    if (cmd == FIONREAD) {
        int waiting = 0;
        if (::ioctl(s, FIONREAD, &waiting) != 0)
            return fail();
        *argp = waiting < 0 ? 0 : static_cast<unsigned long>(waiting);
        return 0;
    }
    t_lastError = WSAEINVAL;
    return SOCKET_ERROR;
}

int WSocket_WSAIoctl(TSocket s, uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                     uint32_t* bytesReturned) {
    CallReference reference;
    (void)out;
    (void)outLen;
    if (bytesReturned != nullptr)
        *bytesReturned = 0;
    if (code != SIO_KEEPALIVE_VALS) {
        t_lastError = WSAEOPNOTSUPP;
        return SOCKET_ERROR;
    }
    if (in == nullptr || inLen < sizeof(TTcpKeepAlive)) {
        t_lastError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    TTcpKeepAlive values{};
    std::memcpy(&values, in, sizeof values);
    const int on = values.onoff != 0 ? 1 : 0;
    if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return fail();
    if (on == 0)
        return 0;
    // The system counts in whole seconds; round up so a short time never becomes 0.
    const auto seconds = [](uint32_t ms) {
        return static_cast<int>(std::max<uint32_t>(1, (ms + 999) / 1000));
    };
    const int idle = seconds(values.keepalivetime);
    const int interval = seconds(values.keepaliveinterval);
    if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0)
        return fail();
    return 0;
}

char* WSocket_inet_ntoa(in_addr in) {
    if (::inet_ntop(AF_INET, &in, t_ntoaBuffer, sizeof t_ntoaBuffer) == nullptr)
        return nullptr;
    return t_ntoaBuffer;
}

uint32_t WSocket_inet_addr(const char* cp) {
    return cp == nullptr ? INADDR_NONE : ::inet_addr(cp);
}

int WSocket_getsockname(TSocket s, sockaddr* name, int* namelen) {
    CallReference reference;
    socklen_t length = namelen != nullptr ? toLength(*namelen) : 0;
    if (::getsockname(s, name, &length) != 0)
        return fail();
    if (namelen != nullptr)
        *namelen = static_cast<int>(length);
    return 0;
}

int WSocket_getpeername(TSocket s, sockaddr* name, int* namelen) {
    CallReference reference;
    socklen_t length = namelen != nullptr ? toLength(*namelen) : 0;
    if (::getpeername(s, name, &length) != 0)
        return fail();
    if (namelen != nullptr)
        *namelen = static_cast<int>(length);
    return 0;
}

int WSocket_connect(TSocket s, const sockaddr* name, int namelen) {
    CallReference reference;
    if (::connect(s, name, toLength(namelen)) == 0) {
        Detail::asyncSelectConnectStarted(s, true);
        return 0;
    }
    const int error = errno;
    if (error == EINPROGRESS)
        Detail::asyncSelectConnectStarted(s, false);
    return fail(error);
}

int WSocket_closesocket(TSocket s) {
    CallReference reference;
    // The watch must go before the descriptor: the kernel keeps an epoll entry alive as
    // long as any duplicate of the descriptor is open.
    Detail::asyncSelectForget(s);
    return ::close(s) == 0 ? 0 : fail();
}

int WSocket_bind(TSocket s, const sockaddr* name, int namelen) {
    CallReference reference;
    return ::bind(s, name, toLength(namelen)) == 0 ? 0 : fail();
}

TSocket WSocket_accept(TSocket s, sockaddr* addr, int* addrlen) {
    CallReference reference;
    socklen_t length = addrlen != nullptr ? toLength(*addrlen) : 0;
    const int fd = ::accept4(s, addr, addrlen != nullptr ? &length : nullptr, SOCK_CLOEXEC);
    const int error = errno;
    Detail::asyncSelectReenable(s, FD_ACCEPT);
    if (fd < 0)
        return fail(error);
    if (addrlen != nullptr)
        *addrlen = static_cast<int>(length);
    return fd;
}

int WSocket_recv(TSocket s, void* buf, int len, int flags) {
    CallReference reference;
    const ssize_t got = ::recv(s, buf, toSize(len), flags);
    const int error = errno;
    Detail::asyncSelectReenable(s, FD_READ, len > 0 && got == len);
    if (got < 0)
        return fail(error);
    return static_cast<int>(got);
}

int WSocket_recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen) {
    CallReference reference;
    socklen_t length = fromlen != nullptr ? toLength(*fromlen) : 0;
    const ssize_t got = ::recvfrom(s, buf, toSize(len), flags, from, fromlen != nullptr ? &length : nullptr);
    const int error = errno;
    Detail::asyncSelectReenable(s, FD_READ, len > 0 && got == len);
    if (got < 0)
        return fail(error);
    if (fromlen != nullptr)
        *fromlen = static_cast<int>(length);
    return static_cast<int>(got);
}

} // namespace NorvEngineering::Sockets
