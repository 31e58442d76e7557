#include "CustomWSocket.h"

#include "Application.h"
#include "AsyncSelect.h"
#include "MessageQueue.h"
#include "WSocketAsyncLookup.h"
#include "WSocketErrors.h"
#include "WSocketResolve.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace NorvEngineering::Sockets {

namespace {

constexpr uint32_t kConnectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE; // 59

} // namespace

// The stand-in for the hidden window: a message target of the owner thread that
// hands its messages to the component for as long as the component is there.
class TCustomWSocket::TSocketWindow : public Platform::TMessageTarget {
public:
    explicit TSocketWindow(TCustomWSocket* owner) : m_pOwner_(owner) {}
    void handleMessage(Platform::TMessage& message) override { m_pOwner_->WndProc(message); }

private:
    TCustomWSocket* m_pOwner_;
};

TCustomWSocket::TCustomWSocket(Platform::TComponent* owner) : Platform::TComponent(owner) {
    AllocateSocketHWnd();
    AssignDefaultValue();
    WSocketAddRef();
}

TCustomWSocket::~TCustomWSocket() {
    m_destroying_ = true;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    if (m_state_ != wsClosed || m_hSocket_ != INVALID_SOCKET) {
        try {
            Close();
        } catch (...) {
            // A failing close must not stop the destruction.
        }
        if (m_hSocket_ != INVALID_SOCKET)
            CloseHandle();
    }
    WSocketReleaseRef();
    DeleteBufferedData();
    DeallocateSocketHWnd();
    if (m_pLogger_ != nullptr)
        m_pLogger_->RemoveFreeNotification(this);
    if (m_wakeFd_ >= 0)
        ::close(m_wakeFd_);
}

Platform::TWindowHandle TCustomWSocket::Handle() const {
    return m_windowHandle_.load();
}

bool TCustomWSocket::IsOwnerThread() const {
    return Platform::currentThreadId() == m_ownerThreadId_;
}

void TCustomWSocket::AllocateSocketHWnd() {
    // The owner thread's queue first: notifications need somewhere to go. A thread
    // that cannot have one (descriptors used up) cannot own a socket, and the owner
    // hears it as the component's own failure, not as a platform error it never sees.
    try {
        Platform::ThreadMessageQueue::current();
    } catch (const std::system_error& e) {
        WSocket_WSASetLastError(WSocketErrnoToWinsock(e.code().value()));
        RaiseException("Cannot create a hidden window for TWSocket");
        return;
    }
    m_pWindow_ = std::make_unique<TSocketWindow>(this);
    m_windowHandle_ = m_pWindow_->handle();
    m_ownerThreadId_ = Platform::currentThreadId();
}

void TCustomWSocket::DeallocateSocketHWnd() {
    m_windowHandle_ = 0;
    m_pWindow_.reset();
}

void TCustomWSocket::AssignDefaultValue() {
    std::memset(&m_sockAddr_, 0, sizeof m_sockAddr_);
    m_sockAddr_.sin_family = AF_INET;
    m_addrFormat_ = PF_INET;
    m_portAssigned_ = false;
    m_addrAssigned_ = false;
    m_addrResolved_ = false;
    m_portResolved_ = false;
    m_protoResolved_ = false;
    m_localPortResolved_ = false;
    m_protoAssigned_ = true;
    m_protoNum_ = 6;
    m_protoStr_ = "tcp";
    m_socketType_ = SOCK_STREAM;
    m_localPortStr_ = "0";
    m_localAddr_ = "0.0.0.0";
    m_lingerOnOff_ = wsLingerOn;
    m_lingerTimeout_ = 0;
    m_hSocket_ = INVALID_SOCKET;
    m_selectEvent_ = 0;
    m_state_ = wsClosed;
    m_allSent_ = true;
    m_readCount_ = 0;
    m_paused_ = false;
    m_closeInvoked_ = false;
}

// ---- the descriptor --------------------------------------------------------------

void TCustomWSocket::AdoptHandle(TSocket s) {
    std::lock_guard lock(m_sendLock_);
    m_hSocket_ = s;
    ++m_generation_;
    m_sendFailed_ = false;
    if (m_wakeFd_ >= 0) {
        uint64_t drained = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_wakeFd_, &drained, sizeof drained);
    }
}

bool TCustomWSocket::ReadBufferSizes() {
    int size = 0;
    int length = sizeof size;
    if (WSocket_getsockopt(m_hSocket_, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) {
        SocketError("getsockopt(SO_SNDBUF)");
        return false;
    }
    m_socketSndBufSize_ = size;
    length = sizeof size;
    if (WSocket_getsockopt(m_hSocket_, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) {
        SocketError("getsockopt(SO_RCVBUF)");
        return false;
    }
    m_socketRcvBufSize_ = size;
    return true;
}

// ---- properties ------------------------------------------------------------------

void TCustomWSocket::SetAddr(const std::string& value) {
    if (m_state_ != wsClosed) {
        RaiseException("Cannot change Addr if not closed");
        return;
    }
    const std::string text = WSocketTrimmed(value);
    if (m_addrAssigned_ && text == m_addrStr_)
        return;
    m_addrStr_ = text;
    m_addrResolved_ = false;
    m_addrAssigned_ = true;
}

void TCustomWSocket::SetRemotePort(const std::string& value) {
    if (m_state_ != wsClosed) {
        RaiseException("Cannot change Port if not closed");
        return;
    }
    m_portStr_ = value;
    m_portResolved_ = false;
    m_portAssigned_ = true;
}

void TCustomWSocket::SetProto(const std::string& value) {
    if (m_state_ != wsClosed) {
        RaiseException("Cannot change Proto if not closed");
        return;
    }
    m_protoStr_ = value;
    m_protoResolved_ = false;
    m_protoAssigned_ = true;
}

void TCustomWSocket::SetLocalAddr(const std::string& value) {
    if (m_state_ != wsClosed) {
        RaiseException("Cannot change LocalAddr if not closed");
        return;
    }
    m_localAddr_ = value.empty() ? "0.0.0.0" : value;
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
    if (m_state_ != wsClosed) {
        RaiseException("Cannot change LocalPort if not closed");
        return;
    }
    m_localPortStr_ = value;
    m_localPortResolved_ = false;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value) {
    switch (value) {
    case wsSendNormal:
        m_sendFlags_ = 0;
        break;
    case wsSendUrgent:
        m_sendFlags_ = MSG_OOB;
        break;
    default:
        RaiseException("Invalid SendFlags");
    }
}

uint8_t TCustomWSocket::GetReqVerLow() const {
    return WSocketGetReqVerLow();
}
uint8_t TCustomWSocket::GetReqVerHigh() const {
    return WSocketGetReqVerHigh();
}

void TCustomWSocket::SetReqVerLow(uint8_t value) {
    if (!WSocketSetReqVerLow(value))
        SocketError("SetReqVerLow: WinSock version can't be changed now");
}

void TCustomWSocket::SetReqVerHigh(uint8_t value) {
    if (!WSocketSetReqVerHigh(value))
        SocketError("SetReqVerHigh: WinSock version can't be changed now");
}

void TCustomWSocket::SetLogger(TSocketLogger* logger) {
    if (m_pLogger_ != nullptr)
        m_pLogger_->RemoveFreeNotification(this);
    m_pLogger_ = logger;
    if (m_pLogger_ != nullptr)
        m_pLogger_->FreeNotification(this);
}

void TCustomWSocket::Notification(Platform::TComponent* component, Platform::TOperation operation) {
    Platform::TComponent::Notification(component, operation);
    if (operation == Platform::opRemove && component == m_pLogger_)
        m_pLogger_ = nullptr;
}

bool TCustomWSocket::CheckLogOptions(TLogOption option) const {
    return m_pLogger_ != nullptr && m_pLogger_->LogOptions().contains(option);
}

void TCustomWSocket::DebugLog(TLogOption option, const std::string& text) {
    if (m_pLogger_ != nullptr)
        m_pLogger_->DoDebugLog(this, option, text);
}

// ---- messages --------------------------------------------------------------------

void TCustomWSocket::WndProc(Platform::TMessage& message) {
    try {
        switch (message.message) {
        case WM_ASYNCSELECT:
            WMASyncSelect(message);
            break;
        case WM_ASYNCGETHOSTBYNAME:
            WMAsyncGetHostByName(message);
            break;
        case WM_ASYNCGETHOSTBYADDR:
            WMAsyncGetHostByAddr(message);
            break;
        case WM_CLOSE_DELAYED:
            Close();
            break;
        case WM_WSOCKET_RELEASE:
            delete this; // the caller of Release gave the component up
            return;
        case WM_TRIGGER_EXCEPTION:
            throw ESocketException("Test exception in WSocket");
        case WM_SEND_FAILED:
            WMSendFailed(message);
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        HandleBackGroundException(e);
    } catch (...) {
        HandleBackGroundException(ESocketException("Unknown exception in a socket handler"));
    }
}

void TCustomWSocket::WMASyncSelect(const Platform::TMessage& message) {
    const auto reply = message.lParam;
    const uint32_t events = WSAGetSelectEvent(reply);
    const auto error = static_cast<uint16_t>(WSAGetSelectError(reply));
    if (CheckLogOptions(loWsockDump)) {
        std::string names;
        if ((events & FD_CONNECT) != 0)
            names += " FD_CONNECT";
        if ((events & FD_READ) != 0)
            names += " FD_READ";
        if ((events & FD_WRITE) != 0)
            names += " FD_WRITE";
        if ((events & FD_CLOSE) != 0)
            names += " FD_CLOSE";
        if ((events & FD_ACCEPT) != 0)
            names += " FD_ACCEPT";
        DebugLog(loWsockDump, "TWSocket msg " + std::to_string(message.wParam) + " " +
                                  std::to_string(static_cast<uint32_t>(reply)) + names);
    }
    // A notification of an earlier socket that had the same number is not ours.
    if (static_cast<TSocket>(message.wParam) != m_hSocket_ || WSAGetSelectTag(reply) != m_generation_ ||
        m_paused_)
        return;
    if ((events & FD_CONNECT) != 0)
        Do_FD_CONNECT(error);
    if ((events & FD_READ) != 0)
        Do_FD_READ(error);
    if ((events & FD_WRITE) != 0)
        Do_FD_WRITE(error);
    if ((events & FD_ACCEPT) != 0)
        Do_FD_ACCEPT(error);
    if ((events & FD_CLOSE) != 0)
        Do_FD_CLOSE(error);
}

void TCustomWSocket::PostSelectReply(uint32_t event, int32_t error) {
    if (const auto target = Handle())
        Platform::postMessage(target, WM_ASYNCSELECT, static_cast<uintptr_t>(m_hSocket_.load()),
                              WSAMakeSelectReply(event, error, m_generation_));
}

bool TCustomWSocket::StartSelect(uint32_t mask) {
    return WSocket_WSAAsyncSelect(m_hSocket_, Handle(), WM_ASYNCSELECT, mask, m_generation_) == 0;
}

void TCustomWSocket::MessageLoop() {
    Platform::TMessage message;
    while (!m_terminated_) {
        if (!Platform::getMessage(message)) {
            m_terminated_ = true;
            break;
        }
        Platform::dispatchMessage(message);
    }
}

bool TCustomWSocket::ProcessMessage() {
    Platform::TMessage message;
    if (!Platform::peekMessage(message, true))
        return false;
    if (message.message == Platform::WM_QUIT) {
        // Taken off the queue, but remembered: the thread's MessageLoop still ends.
        m_terminated_ = true;
        return true;
    }
    Platform::dispatchMessage(message);
    return true;
}

void TCustomWSocket::ProcessMessages() {
    while (ProcessMessage()) {
    }
}

void TCustomWSocket::MessagePump() {
    if (m_multiThreaded_)
        ProcessMessages();
    else
        Platform::Application().ProcessMessages();
}

void TCustomWSocket::ThreadAttach() {
    if (m_pWindow_)
        RaiseException("Cannot attach when not detached");
    AllocateSocketHWnd();
    if (m_dnsLookupHandle_ != 0)
        WSocketRetargetLookup(m_dnsLookupHandle_, Handle());
    if (m_hSocket_ != INVALID_SOCKET)
        StartSelect(m_selectEvent_);
}

void TCustomWSocket::ThreadDetach() {
    if (!IsOwnerThread())
        RaiseException("Cannot detach from other thread");
    if (m_hSocket_ != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(m_hSocket_, 0, 0, 0);
    // A look-up on its way is reported on the thread that attaches the socket next.
    if (m_dnsLookupHandle_ != 0)
        WSocketRetargetLookup(m_dnsLookupHandle_, 0);
    DeallocateSocketHWnd();
}

// ---- connect ---------------------------------------------------------------------

void TCustomWSocket::Connect() {
    if (m_hSocket_ != INVALID_SOCKET && m_state_ != wsClosed) {
        RaiseException("Connect: Socket already in use");
        return;
    }
    if (!m_portAssigned_) {
        RaiseException("Connect: No Port Specified");
        return;
    }
    if (!m_addrAssigned_) {
        RaiseException("Connect: No IP Address Specified");
        return;
    }
    if (!m_protoAssigned_) {
        RaiseException("Connect: No Protocol Specified");
        return;
    }
    try {
        if (!m_protoResolved_) {
            m_protoNum_ = WSocketResolveProtoInternal(m_protoStr_);
            m_socketType_ = m_protoNum_ == 6 ? SOCK_STREAM : m_protoNum_ == 17 ? SOCK_DGRAM : SOCK_RAW;
            m_protoResolved_ = true;
        }
        if (!m_portResolved_) {
            m_portNum_ = WSocketResolvePortInternal(m_portStr_, m_protoStr_);
            m_sockAddr_.sin_port = htons(m_portNum_);
            m_portResolved_ = true;
        }
        if (!m_localPortResolved_) {
            m_localPortNum_ = WSocketResolvePortInternal(m_localPortStr_, m_protoStr_);
            m_localPortResolved_ = true;
        }
        if (!m_addrResolved_) {
            m_sockAddr_.sin_addr.s_addr = WSocketResolveHostInternal(m_addrStr_);
            m_addrResolved_ = true;
        }
    } catch (const std::exception& e) {
        RaiseExceptionFmt("connect: %s", e.what());
        return;
    }

    DeleteBufferedData();
    const TSocket s = WSocket_socket(m_addrFormat_, m_socketType_, m_protoNum_);
    if (s == INVALID_SOCKET) {
        SocketError("Connect (socket)");
        return;
    }
    AdoptHandle(s);
    if (!ReadBufferSizes())
        return;

    ChangeState(wsOpened);
    if (m_state_ != wsOpened) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }
    if (m_socketType_ == SOCK_DGRAM) {
        ConnectDatagram();
        return;
    }
    if (m_socketType_ == SOCK_STREAM || m_socketType_ == SOCK_RAW) {
        const int on = -1;
        if (WSocket_setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            SocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (m_options_.contains(wsoTcpNoDelay) &&
            WSocket_setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
            SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        SetLingerOption();
        SetKeepAliveOption();
        if (m_localPortNum_ != 0 || m_localAddr_ != "0.0.0.0")
            BindSocket();
    }
    m_selectEvent_ = kConnectEvents;
    if (!StartSelect(m_selectEvent_)) {
        SocketError("WSAAsyncSelect");
        return;
    }
    if (CheckLogOptions(loWsockInfo))
        DebugLog(loWsockInfo, std::string("TWSocket will connect to ") +
                                  WSocket_inet_ntoa(m_sockAddr_.sin_addr) + ":" + std::to_string(m_portNum_));
    if (WSocket_connect(s, reinterpret_cast<const sockaddr*>(&m_sockAddr_), sizeof m_sockAddr_) != 0) {
        const int error = WSocket_WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            m_lastError_ = error;
            SocketError("Connect");
            return;
        }
    }
    ChangeState(wsConnecting);
}

void TCustomWSocket::BindSocket() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(m_localPortNum_);
    try {
        local.sin_addr.s_addr = WSocketResolveHostInternal(m_localAddr_);
    } catch (const std::exception& e) {
        RaiseException(std::string("Bind socket failed - ") + e.what());
        return;
    }
    if (WSocket_bind(m_hSocket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        RaiseException("Bind socket failed - " + GetWinsockErr(WSocket_WSAGetLastError()));
        return;
    }
    int length = sizeof local;
    if (WSocket_getsockname(m_hSocket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        RaiseException("Winsock get socket name failed - " + GetWinsockErr(WSocket_WSAGetLastError()));
        return;
    }
    m_localPortNum_ = ntohs(local.sin_port);
    m_localPortStr_ = std::to_string(m_localPortNum_);
}

void TCustomWSocket::SetLingerOption() {
    if (m_lingerOnOff_ == wsLingerNoSet)
        return;
    if (m_hSocket_ == INVALID_SOCKET) {
        RaiseException("Cannot set linger option at this time");
        return;
    }
    linger value{};
    value.l_onoff = m_lingerOnOff_ == wsLingerOn ? 1 : 0;
    value.l_linger = m_lingerTimeout_;
    if (WSocket_setsockopt(m_hSocket_, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0)
        SocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::SetKeepAliveOption() {
    if (m_keepAliveOnOff_ == wsKeepAliveOff)
        return;
    if (m_keepAliveOnOff_ == wsKeepAliveOnSystem) {
        const int on = 1;
        if (WSocket_setsockopt(m_hSocket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
            SocketError("setsockopt(SO_KEEPALIVE)");
        return;
    }
    TTcpKeepAlive values{1, static_cast<uint32_t>(std::max(0, m_keepAliveTime_)),
                         static_cast<uint32_t>(std::max(0, m_keepAliveInterval_))};
    TTcpKeepAlive out{};
    uint32_t returned = 0;
    if (WSocket_WSAIoctl(m_hSocket_, SIO_KEEPALIVE_VALS, &values, sizeof values, &out, sizeof out,
                         &returned) != 0)
        SocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
}

// ---- notifications ---------------------------------------------------------------

void TCustomWSocket::Do_FD_CONNECT(uint16_t error) {
    if (m_state_ == wsConnected)
        return;
    ChangeState(wsConnected);
    TriggerSessionConnectedSpecial(error);
    if (error != 0 && m_state_ != wsClosed)
        Close();
}

void TCustomWSocket::Do_FD_READ(uint16_t error) {
    if (m_state_ != wsConnected) {
        ChangeState(wsConnected);
        TriggerSessionConnectedSpecial(error);
    }
    ASyncReceive(error, m_options_);
}

void TCustomWSocket::Do_FD_ACCEPT(uint16_t error) {
    TriggerSessionAvailable(error);
}

void TCustomWSocket::Do_FD_CLOSE(uint16_t error) {
    if (m_state_ == wsConnecting || m_hSocket_ == INVALID_SOCKET)
        return;
    ASyncReceive(0, m_options_ - wsoNoReceiveLoop, true);
    // A data handler that closed the socket while the last data was read has had its
    // close reported already (and the closing forgot that it had).
    if (m_hSocket_ == INVALID_SOCKET)
        return;
    if (!m_closeInvoked_) {
        m_closeInvoked_ = true;
        TriggerSessionClosed(error);
    }
    if (m_state_ != wsClosed)
        Close();
}

void TCustomWSocket::ASyncReceive(uint16_t error, TWSocketOptions options, bool draining) {
    // One pass per notification: a read that leaves data behind queues the next
    // FD_READ behind whatever else waits for this thread, so a flooding peer never
    // keeps the thread from its other messages (its quit among them), nothing is read
    // faster than the handler takes it, and no pass has to ask the socket what waits.
    // Only the last drain before FD_CLOSE reads on while a read filled its buffer.
    if (draining && m_hSocket_ != INVALID_SOCKET)
        Detail::asyncSelectTakeMoreToRead(m_hSocket_);
    for (;;) {
        try {
            m_lastError_ = 0;
            if (!TriggerDataAvailable(error)) {
                char scratch[1024];
                if (DoRecv(scratch, sizeof scratch, 0) < 0) {
                    const int code = WSocket_WSAGetLastError();
                    if (code == WSAEWOULDBLOCK) {
                        m_lastError_ = 0;
                        break;
                    }
                    m_lastError_ = code;
                }
            }
            if (m_lastError_ != 0) {
                if (m_lastError_ == -1)
                    m_lastError_ = 0;
                break;
            }
            if (!draining || options.contains(wsoNoReceiveLoop))
                break;
            // A handler that closed the socket ends the loop.
            if (m_hSocket_ == INVALID_SOCKET || !Detail::asyncSelectTakeMoreToRead(m_hSocket_))
                break;
        } catch (...) {
            break; // a failing receive ends this pass silently
        }
    }
}

// ---- reading ---------------------------------------------------------------------

int TCustomWSocket::DoRecv(void* buffer, int len, int flags) {
    return WSocket_recv(m_hSocket_, buffer, len, flags);
}

int TCustomWSocket::Receive(void* buffer, int len) {
    const int count = DoRecv(buffer, len, 0);
    if (count >= 0)
        m_readCount_ += count;
    else
        m_lastError_ = WSocket_WSAGetLastError();
    return count;
}

void TCustomWSocket::ResumeReadEvents() {
    std::lock_guard lock(m_sendLock_);
    if (m_hSocket_ == INVALID_SOCKET)
        return;
    if (m_pReaderQueue_) {
        DropReaderWatch();
        Detail::asyncSelectReadElsewhere(m_hSocket_, false);
    }
    Detail::asyncSelectReenable(m_hSocket_, FD_READ, true);
}

int64_t TCustomWSocket::ReadCount() const {
    std::lock_guard lock(m_sendLock_);
    return m_readCount_ + (m_pTakenOverRead_ ? m_pTakenOverRead_->count.load(std::memory_order_relaxed) : 0);
}

bool TCustomWSocket::TakeOverReading(TTakenOverRead& reader, std::function<void(uint32_t events)> onArrival) {
    std::lock_guard lock(m_sendLock_);
    const TSocket s = m_hSocket_;
    if (s == INVALID_SOCKET || m_state_ != wsConnected || m_pReaderQueue_ || IsOwnerThread())
        return false;
    // A watch that cannot be made changes nothing: the owner goes on reading. Its
    // callback runs only when this thread waits, after the owner has stopped here.
    auto& queue = Platform::ThreadMessageQueue::current();
    try {
        m_readerWatch_ = queue.watch(s, EPOLLIN | EPOLLET, std::move(onArrival));
    } catch (const std::system_error&) {
        return false;
    }
    Detail::asyncSelectReadElsewhere(s, true);
    m_pReaderQueue_ = Platform::ThreadMessageQueue::of(Platform::currentThreadId());
    std::lock_guard readLock(reader.lock);
    reader.fd = s;
    m_pTakenOverRead_ = &reader;
    return true;
}

int TCustomWSocket::ReceiveTakenOver(TTakenOverRead& reader, void* buffer, int len) {
    // Under the lock that closing the descriptor takes, and straight to the system:
    // nothing on this road is looked up or shared with other connections.
    std::lock_guard lock(reader.lock);
    if (reader.fd < 0)
        return -1;
    const ssize_t got = ::recv(reader.fd, buffer, static_cast<std::size_t>(std::max(len, 0)), 0);
    if (got > 0)
        reader.count.store(reader.count.load(std::memory_order_relaxed) + got, std::memory_order_relaxed);
    return static_cast<int>(got);
}

void TCustomWSocket::DropTakenOverReading() {
    std::lock_guard lock(m_sendLock_);
    DropReaderWatch();
}

void TCustomWSocket::DropReaderWatch() {
    if (!m_pReaderQueue_)
        return;
    {
        std::lock_guard readLock(m_pTakenOverRead_->lock);
        m_pTakenOverRead_->fd = -1;
        m_readCount_ += m_pTakenOverRead_->count.exchange(0, std::memory_order_relaxed);
    }
    m_pTakenOverRead_ = nullptr;
    m_pReaderQueue_->unwatch(m_readerWatch_);
    m_pReaderQueue_.reset();
    m_readerWatch_ = 0;
}

int TCustomWSocket::PeekData(void* buffer, int len) {
    const int count = DoRecv(buffer, len, MSG_PEEK);
    if (count < 0)
        m_lastError_ = WSocket_WSAGetLastError();
    return count;
}

int32_t TCustomWSocket::GetRcvdCount() {
    if (hasState(Platform::csDesigning))
        return -1;
    unsigned long waiting = 0;
    if (WSocket_ioctlsocket(m_hSocket_, FIONREAD, &waiting) != 0) {
        SocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int32_t>(std::min<unsigned long>(waiting, INT32_MAX));
}

std::string TCustomWSocket::ReceiveStr() {
    int32_t count = GetRcvdCount();
    if (count < 0)
        return {};
    if (count == 0)
        count = 255;
    std::string text(static_cast<std::size_t>(count), '\0');
    const int got = Receive(text.data(), count);
    if (got < 1)
        return {};
    text.resize(static_cast<std::size_t>(got));
    return text;
}

// ---- closing ---------------------------------------------------------------------

int TCustomWSocket::CloseHandle() {
    std::lock_guard lock(m_sendLock_);
    // While the descriptor is still this connection's: a watch removed later could
    // remove another connection's that got the same number.
    DropReaderWatch();
    const TSocket s = m_hSocket_.exchange(INVALID_SOCKET);
    if (s == INVALID_SOCKET)
        return 0;
    const int result = WSocket_closesocket(s);
    WakeForeignWaiters();
    return result;
}

void TCustomWSocket::Close() {
    InternalClose(true, 0);
}

void TCustomWSocket::Abort() {
    InternalAbort(0);
}

void TCustomWSocket::CloseDelayed() {
    if (m_pWindow_)
        Platform::postMessage(m_pWindow_->handle(), WM_CLOSE_DELAYED);
}

void TCustomWSocket::Release() {
    if (m_pWindow_)
        Platform::postMessage(m_pWindow_->handle(), WM_WSOCKET_RELEASE);
}

void TCustomWSocket::InternalClose(bool shut, uint16_t error) {
    if (m_hSocket_ == INVALID_SOCKET) {
        if (m_state_ != wsClosed) {
            ChangeState(wsClosed);
            AssignDefaultValue();
        }
        return;
    }
    if (m_state_ == wsClosed)
        return;
    if (shut) {
        Shutdown(SHUT_WR);
        KeepCloseOrderly();
    }
    if (CloseHandle() != 0) {
        const int code = WSocket_WSAGetLastError();
        m_lastError_ = code;
        if (code != WSANOTINITIALISED) {
            SocketError("Disconnect (closesocket)");
            return;
        }
    }
    ChangeState(wsClosed);
    if (!m_destroying_ && !m_closeInvoked_) {
        m_closeInvoked_ = true;
        TriggerSessionClosed(error);
    }
    try {
        AssignDefaultValue();
    } catch (...) {
    }
}

void TCustomWSocket::KeepCloseOrderly() {
    // Lingering for no time (the default) makes the system reset the connection at the
    // close and throw away what is still on its way: the peer would lose the last bytes
    // and never see the end of the stream. Without lingering the close goes on in the
    // background and ends the stream after the last byte.
    linger value{};
    int length = sizeof value;
    if (WSocket_getsockopt(m_hSocket_, SOL_SOCKET, SO_LINGER, &value, &length) == 0 && value.l_onoff != 0 &&
        value.l_linger == 0) {
        const linger off{0, 0};
        WSocket_setsockopt(m_hSocket_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
}

void TCustomWSocket::InternalAbort(uint16_t error) {
    CancelDnsLookup();
    DeleteBufferedData();
    if (m_state_ == wsConnected && m_protoNum_ == 6) {
        m_lingerOnOff_ = wsLingerOff;
        SetLingerOption();
    }
    InternalClose(false, error);
}

void TCustomWSocket::Shutdown(int how) {
    if (CheckLogOptions(loWsockInfo))
        DebugLog(loWsockInfo, "TWSocket will shutdown " + std::to_string(how));
    if (m_hSocket_ != INVALID_SOCKET)
        WSocket_shutdown(m_hSocket_, how);
}

void TCustomWSocket::WaitForClose() {
    while (m_hSocket_ != INVALID_SOCKET && m_state_ != wsClosed) {
        if (IsOwnerThread())
            MessagePump();
        if (m_hSocket_ == INVALID_SOCKET)
            break;
        unsigned long waiting = 0;
        if (WSocket_ioctlsocket(m_hSocket_, FIONREAD, &waiting) != 0)
            break;
        if (waiting > 0 && !TriggerDataAvailable(0)) {
            char scratch[1024];
            DoRecv(scratch, sizeof scratch, 0);
        }
        if (m_hSocket_ == INVALID_SOCKET)
            break;
        // A zero-length read tells nothing here; a one-byte look tells whether the peer
        // has closed (0), data waits (above 0) or the connection is still open.
        char probe = 0;
        WSocket_WSASetLastError(0);
        const int got = DoRecv(&probe, 1, MSG_PEEK);
        if (got == 0) {
            m_lastError_ = 0;
            break;
        }
        if (got < 0) {
            m_lastError_ = WSocket_WSAGetLastError();
            if (m_lastError_ != WSAEWOULDBLOCK)
                break;
            if (IsOwnerThread()) {
                MessagePump();
                if (m_hSocket_ != INVALID_SOCKET && m_state_ != wsClosed)
                    Platform::ThreadMessageQueue::current().wait(std::chrono::milliseconds(-1));
            } else {
                WaitForSocket(POLLIN | POLLRDHUP);
            }
        }
    }
}

void TCustomWSocket::Pause() {
    m_paused_ = true;
    if (m_hSocket_ != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(m_hSocket_, 0, 0, 0);
}

void TCustomWSocket::Resume() {
    m_paused_ = false;
    if (m_hSocket_ != INVALID_SOCKET)
        StartSelect(m_selectEvent_);
}

// ---- state, events and errors ----------------------------------------------------

void TCustomWSocket::ChangeState(TSocketState newState) {
    const TSocketState oldState = m_state_.exchange(newState);
    if (oldState != newState)
        TriggerChangeState(oldState, newState);
}

void TCustomWSocket::SocketError(const std::string& operation) {
    const int code = WSocket_WSAGetLastError();
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        if (IsOwnerThread()) {
            CloseHandle();
            // Not again from inside the closed notification.
            if (m_state_ != wsClosed && !m_closeInvoked_)
                TriggerSessionClosed(static_cast<uint16_t>(code));
            ChangeState(wsClosed);
        } else if (m_hSocket_ != INVALID_SOCKET && Handle() != 0) {
            // The connection belongs to the owner thread, which closes it and reports.
            Platform::postMessage(Handle(), WM_SEND_FAILED, static_cast<uintptr_t>(m_hSocket_.load()),
                                  WSAMakeSelectReply(0, code, m_generation_));
        }
    }
    m_lastError_ = code;
    RaiseExceptionFmt("%s (#%d in %s)", WSocketErrorDesc(code).c_str(), code, operation.c_str());
}

void TCustomWSocket::RaiseExceptionFmt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measuring;
    va_copy(measuring, args);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(message.data(), message.size() + 1, format, args);
    va_end(args);
    RaiseException(message);
}

void TCustomWSocket::RaiseException(const std::string& message) {
    if (OnError) {
        TriggerError();
        return;
    }
    throw ESocketException(message);
}

void TCustomWSocket::HandleBackGroundException(const std::exception& e) {
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, e, canClose);
        } catch (...) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

bool TCustomWSocket::TriggerDataAvailable(uint16_t errCode) {
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, errCode);
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(uint16_t errCode) {
    OnSessionAvailable(this, errCode);
}
void TCustomWSocket::TriggerSessionConnectedSpecial(uint16_t errCode) {
    TriggerSessionConnected(errCode);
}
void TCustomWSocket::TriggerSessionConnected(uint16_t errCode) {
    OnSessionConnected(this, errCode);
}
void TCustomWSocket::TriggerSessionClosed(uint16_t errCode) {
    OnSessionClosed(this, errCode);
}
void TCustomWSocket::TriggerDataSent(uint16_t errCode) {
    if (CheckLogOptions(loWsockDump))
        DebugLog(loWsockDump, "TWSocket TriggerDataSent " + std::to_string(m_hSocket_.load()));
    OnDataSent(this, errCode);
}
void TCustomWSocket::TriggerSendData(int32_t bytesSent) {
    OnSendData(this, bytesSent);
}
void TCustomWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
    OnChangeState(this, oldState, newState);
}
void TCustomWSocket::TriggerError() {
    OnError(this);
}

} // namespace NorvEngineering::Sockets
