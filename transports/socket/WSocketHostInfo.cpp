#include "WSocketHostInfo.h"

#include "SocketException.h"
#include "WSocketBinding.h"

#include <arpa/inet.h>

#include <cstring>
#include <mutex>

namespace NorvEngineering::Sockets {

namespace {

constexpr std::size_t kMaxHostText = 256;
constexpr int kHostNameSize = 64;

struct LocalAddresses {
    std::mutex mutex;
    Platform::TStrings list;
};
LocalAddresses& localAddresses() {
    static auto* instance = new LocalAddresses();
    return *instance;
}

} // namespace

hostent* WSocketGetHostByName(const std::string& name) {
    if (name.empty() || name.size() > kMaxHostText)
        throw ESocketException("Winsock Get Host Name: Invalid Hostname.");
    return WSocket_gethostbyname(name.c_str());
}

hostent* WSocketGetHostByAddr(const std::string& addr) {
    if (addr.empty() || addr.size() > kMaxHostText)
        throw ESocketException("Winsock Get Host Addr: Invalid address.");
    const uint32_t address = WSocket_inet_addr(addr.c_str());
    return WSocket_gethostbyaddr(&address, sizeof address, AF_INET);
}

std::string WSocketResolveIp(const std::string& ipAddr) {
    const hostent* entry = WSocketGetHostByAddr(ipAddr);
    return entry != nullptr && entry->h_name != nullptr ? entry->h_name : "";
}

std::string LocalHostName() {
    char name[kHostNameSize] = {};
    if (WSocket_gethostname(name, sizeof name) != 0)
        throw ESocketException("Winsock Get Host Name failed");
    name[sizeof name - 1] = '\0';
    return name;
}

Platform::TStrings LocalIPList() {
    const std::string host = LocalHostName();
    auto& shared = localAddresses();
    std::lock_guard lock(shared.mutex);
    shared.list.Clear();
    if (const hostent* entry = WSocketGetHostByName(host)) {
        for (char** item = entry->h_addr_list; item != nullptr && *item != nullptr; ++item) {
            in_addr address{};
            std::memcpy(&address, *item, sizeof address);
            shared.list.Add(WSocket_inet_ntoa(address));
        }
    }
    return shared.list;
}

} // namespace NorvEngineering::Sockets
