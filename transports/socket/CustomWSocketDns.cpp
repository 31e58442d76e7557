// Name look-ups of the socket component. The asynchronous ones run on the look-up pool
// and come back as messages to the component's own thread.
#include "AsyncSelect.h"
#include "CustomWSocket.h"
#include "WSocketAsyncLookup.h"
#include "WSocketErrors.h"
#include "WSocketResolve.h"

#include <arpa/inet.h>

namespace NorvEngineering::Sockets {

namespace {
constexpr std::size_t kMaxHostText = 256;
}

void TCustomWSocket::ClearDnsResults() {
    m_dnsResult_.clear();
    m_dnsResultList_.Clear();
}

void TCustomWSocket::DnsLookup(const std::string& hostName) {
    if (hostName.empty()) {
        RaiseException("DNS lookup: invalid host name.");
        TriggerDNSLookupDone(WSAEINVAL);
        return;
    }
    if (m_dnsLookupHandle_ != 0)
        WSocket_WSACancelAsyncRequest(m_dnsLookupHandle_);
    m_dnsLookupHandle_ = 0;
    ClearDnsResults();

    const std::string name = WSocketTrimmed(hostName);
    if (WSocketIsDottedIP(name)) {
        in_addr address{};
        address.s_addr = WSocket_inet_addr(name.c_str());
        if (address.s_addr != INADDR_NONE) {
            m_dnsResult_ = WSocket_inet_ntoa(address);
            m_dnsResultList_.Add(m_dnsResult_);
            TriggerDNSLookupDone(0);
            return;
        }
    }
    if (Handle() == 0)
        RaiseException("DNS Lookup: Window not assigned");
    m_dnsReplyWaiting_ = false;
    m_dnsLookupHandle_ = WSocket_WSAAsyncGetHostByName(Handle(), WM_ASYNCGETHOSTBYNAME, name);
    if (m_dnsLookupHandle_ == 0) {
        RaiseException(hostName + ": can't start DNS lookup - " + GetWinsockErr(WSocket_WSAGetLastError()));
        return;
    }
    if (m_dnsReplyWaiting_) {
        m_dnsReplyWaiting_ = false;
        WMAsyncGetHostByName(m_dnsWaitingReply_);
    }
}

void TCustomWSocket::WMAsyncGetHostByName(const Platform::TMessage& message) {
    if (m_dnsLookupHandle_ == 0) {
        m_dnsWaitingReply_ = message;
        m_dnsReplyWaiting_ = true;
        return;
    }
    if (message.wParam != m_dnsLookupHandle_)
        return;
    m_dnsLookupHandle_ = 0;
    const auto error = static_cast<uint16_t>(WSAGetSelectError(message.lParam));
    TLookupResult result;
    WSocketTakeLookupResult(message.wParam, result);
    if (error == 0) {
        for (const auto& address : result.names)
            m_dnsResultList_.Add(address);
        if (m_dnsResultList_.Count() > 0)
            m_dnsResult_ = m_dnsResultList_[0];
    }
    TriggerDNSLookupDone(error);
}

bool TCustomWSocket::BeginReverseDnsLookup(const std::string& hostAddr) {
    if (hostAddr.empty() || hostAddr.size() > kMaxHostText) {
        RaiseException("Reverse DNS Lookup: Invalid host name.");
        TriggerDNSLookupDone(WSAEINVAL);
        return false;
    }
    if (m_dnsLookupHandle_ != 0)
        WSocket_WSACancelAsyncRequest(m_dnsLookupHandle_);
    m_dnsLookupHandle_ = 0;
    ClearDnsResults();
    return true;
}

void TCustomWSocket::ReverseDnsLookup(const std::string& hostAddr) {
    if (!BeginReverseDnsLookup(hostAddr))
        return;
    const uint32_t address = WSocket_inet_addr(hostAddr.c_str());
    if (Handle() == 0)
        RaiseException("Reverse DNS Lookup: Window not assigned");
    m_dnsLookupHandle_ = WSocket_WSAAsyncGetHostByAddr(Handle(), WM_ASYNCGETHOSTBYADDR, address);
    if (m_dnsLookupHandle_ == 0)
        RaiseException(hostAddr + ": can't start reverse DNS lookup - " +
                       GetWinsockErr(WSocket_WSAGetLastError()));
}

void TCustomWSocket::WMAsyncGetHostByAddr(const Platform::TMessage& message) {
    if (m_dnsLookupHandle_ == 0 || message.wParam != m_dnsLookupHandle_)
        return;
    m_dnsLookupHandle_ = 0;
    const auto error = static_cast<uint16_t>(WSAGetSelectError(message.lParam));
    TLookupResult result;
    WSocketTakeLookupResult(message.wParam, result);
    if (error == 0 && !result.names.empty()) {
        m_dnsResult_ = result.names.front();
        for (const auto& name : result.names)
            m_dnsResultList_.Add(name);
    }
    TriggerDNSLookupDone(error);
}

void TCustomWSocket::ReverseDnsLookupSync(const std::string& hostAddr) {
    if (!BeginReverseDnsLookup(hostAddr))
        return;
    const uint32_t address = WSocket_inet_addr(hostAddr.c_str());
    const hostent* entry = WSocket_gethostbyaddr(&address, sizeof address, AF_INET);
    if (entry == nullptr) {
        TriggerDNSLookupDone(static_cast<uint16_t>(WSocket_WSAGetLastError()));
        return;
    }
    m_dnsResult_ = entry->h_name != nullptr ? entry->h_name : "";
    m_dnsResultList_.Add(m_dnsResult_);
    for (char** alias = entry->h_aliases; alias != nullptr && *alias != nullptr; ++alias)
        if (**alias != '\0')
            m_dnsResultList_.Add(*alias);
    TriggerDNSLookupDone(0);
}

void TCustomWSocket::CancelDnsLookup() {
    if (m_dnsLookupHandle_ == 0)
        return;
    const TLookupHandle handle = m_dnsLookupHandle_;
    m_dnsLookupHandle_ = 0;
    if (WSocket_WSACancelAsyncRequest(handle) != 0) {
        SocketError("WSACancelAsyncRequest");
        return;
    }
    if (!Destroying())
        TriggerDNSLookupDone(WSAEINTR);
}

void TCustomWSocket::TriggerDNSLookupDone(uint16_t errCode) {
    OnDnsLookupDone(this, errCode);
}

} // namespace NorvEngineering::Sockets
