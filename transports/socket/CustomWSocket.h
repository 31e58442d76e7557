#pragma once

#include "Component.h"
#include "Event.h"
#include "MessageTarget.h"
#include "Messages.h"
#include "SocketException.h"
#include "SocketLogger.h"
#include "StringList.h"
#include "TakenOverRead.h"
#include "WSockBuf.h"
#include "WSocketBinding.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <netinet/in.h>
#include <sys/time.h>

namespace NorvEngineering::Platform {
class ThreadMessageQueue;
}

namespace NorvEngineering::Sockets {

enum TSocketState : uint8_t {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TWSocketOption : uint8_t { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };

class TWSocketOptions {
public:
    TWSocketOptions() = default;
    TWSocketOptions(std::initializer_list<TWSocketOption> options) {
        for (const auto option : options)
            m_bits_ = static_cast<uint8_t>(m_bits_ | bit(option));
    }
    bool contains(TWSocketOption option) const { return (m_bits_ & bit(option)) != 0; }
    TWSocketOptions operator+(TWSocketOption option) const {
        TWSocketOptions result = *this;
        result.m_bits_ = static_cast<uint8_t>(m_bits_ | bit(option));
        return result;
    }
    TWSocketOptions operator-(TWSocketOption option) const {
        TWSocketOptions result = *this;
        result.m_bits_ = static_cast<uint8_t>(m_bits_ & ~bit(option));
        return result;
    }
    bool operator==(const TWSocketOptions&) const = default;

private:
    static uint8_t bit(TWSocketOption option) { return static_cast<uint8_t>(1u << option); }
    uint8_t m_bits_ = 0;
};

enum TSocketSendFlags : uint8_t { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff : uint8_t { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };

// The component's private messages.
inline constexpr uint32_t WM_ASYNCSELECT = Platform::WM_USER + 1;
inline constexpr uint32_t WM_ASYNCGETHOSTBYNAME = Platform::WM_USER + 2;
inline constexpr uint32_t WM_ASYNCGETHOSTBYADDR = Platform::WM_USER + 3;
inline constexpr uint32_t WM_CLOSE_DELAYED = Platform::WM_USER + 4;
inline constexpr uint32_t WM_WSOCKET_RELEASE = Platform::WM_USER + 5;
inline constexpr uint32_t WM_TRIGGER_EXCEPTION = Platform::WM_USER + 6;
// A connection-level failure met by a send in another thread, handed to the owner.
inline constexpr uint32_t WM_SEND_FAILED = Platform::WM_USER + 7;

// An event-driven, non-blocking socket. Every notification and event runs on the thread
// that created the component (its owner thread), which must handle its messages
// (MessageLoop, or the application's loop). Send and Flush may also be called from
// other threads; whatever they find that changes the connection is handed to the owner
// thread, so state changes and events stay on one thread.
class TCustomWSocket : public Platform::TComponent {
public:
    using TSessionEvent = Platform::TEvent<void(TCustomWSocket* sender, uint16_t errCode)>;
    using TSendDataEvent = Platform::TEvent<void(TCustomWSocket* sender, int32_t bytesSent)>;
    using TChangeStateEvent =
        Platform::TEvent<void(TCustomWSocket* sender, TSocketState oldState, TSocketState newState)>;
    using TNotifyEvent = Platform::TEvent<void(TCustomWSocket* sender)>;
    using TBgExceptionEvent =
        Platform::TEvent<void(TCustomWSocket* sender, const std::exception& e, bool& canClose)>;
    using TDebugDisplayEvent = Platform::TEvent<void(TCustomWSocket* sender, const std::string& msg)>;

    explicit TCustomWSocket(Platform::TComponent* owner);
    ~TCustomWSocket() override;

    // Properties.
    std::string GetAddr() const { return m_addrStr_; }
    void SetAddr(const std::string& value);
    std::string GetPort() const { return m_portStr_; }
    void SetPort(const std::string& value) { SetRemotePort(value); }
    std::string GetProto() const { return m_protoStr_; }
    virtual void SetProto(const std::string& value);
    std::string GetLocalAddr() const { return m_localAddr_; }
    void SetLocalAddr(const std::string& value);
    std::string GetLocalPort() const { return m_localPortStr_; }
    void SetLocalPort(const std::string& value);
    TSocketState GetState() const { return m_state_.load(); }
    int64_t ReadCount() const;
    int32_t RcvdCount() { return GetRcvdCount(); }
    int32_t LastError() const { return m_lastError_.load(); }
    void SetLastError(int32_t value) { m_lastError_ = value; }
    bool MultiThreaded() const { return m_multiThreaded_; }
    void SetMultiThreaded(bool value) { m_multiThreaded_ = value; }
    TWSocketOptions ComponentOptions() const { return m_options_; }
    void SetComponentOptions(TWSocketOptions value) { m_options_ = value; }
    TSocketSendFlags SendFlags() const { return m_sendFlags_ == 0 ? wsSendNormal : wsSendUrgent; }
    void SetSendFlags(TSocketSendFlags value);
    TSocketLingerOnOff LingerOnOff() const { return m_lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff value) { m_lingerOnOff_ = value; }
    int32_t LingerTimeout() const { return m_lingerTimeout_; }
    void SetLingerTimeout(int32_t value) { m_lingerTimeout_ = value; }
    TSocketKeepAliveOnOff KeepAliveOnOff() const { return m_keepAliveOnOff_; }
    void SetKeepAliveOnOff(TSocketKeepAliveOnOff value) { m_keepAliveOnOff_ = value; }
    int32_t KeepAliveTime() const { return m_keepAliveTime_; }
    void SetKeepAliveTime(int32_t value) { m_keepAliveTime_ = value; }
    int32_t KeepAliveInterval() const { return m_keepAliveInterval_; }
    void SetKeepAliveInterval(int32_t value) { m_keepAliveInterval_ = value; }
    uint8_t GetReqVerLow() const;
    void SetReqVerLow(uint8_t value);
    uint8_t GetReqVerHigh() const;
    void SetReqVerHigh(uint8_t value);
    TSocketLogger* Logger() const { return m_pLogger_; }
    virtual void SetLogger(TSocketLogger* logger);
    TSocket HSocket() const { return m_hSocket_.load(); }
    // Server, datagram and lookup settings and results.
    int32_t ListenBacklog() const { return m_listenBacklog_; }
    void SetListenBacklog(int32_t value) { m_listenBacklog_ = value; }
    bool ReuseAddr() const { return m_reuseAddr_; }
    void SetReuseAddr(bool value) { m_reuseAddr_ = value; }
    bool MultiCast() const { return m_multiCast_; }
    void SetMultiCast(bool value) { m_multiCast_ = value; }
    std::string MultiCastAddrStr() const { return m_multiCastAddrStr_; }
    void SetMultiCastAddrStr(const std::string& value) { m_multiCastAddrStr_ = value; }
    int32_t MultiCastIpTTL() const { return m_multiCastIpTTL_; }
    void SetMultiCastIpTTL(int32_t value) { m_multiCastIpTTL_ = value; }
    std::string DnsResult() const { return m_dnsResult_; }
    const Platform::TStrings& DnsResultList() const { return m_dnsResultList_; }
    TSocket AcceptedSocket() const { return m_acceptedSocket_; }
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    Platform::TWindowHandle Handle() const;
    Platform::ThreadId OwnerThreadId() const { return m_ownerThreadId_; }
    int32_t SocketSndBufSize() const { return m_socketSndBufSize_; }
    int32_t SocketRcvBufSize() const { return m_socketRcvBufSize_; }
    bool AllSent() const { return m_allSent_.load(); }
    // Bytes and chunks waiting in the send queue.
    int64_t BufferedByteCount() const;
    std::size_t BufferedChunkCount() const;

    // Operations.
    virtual void Connect();
    virtual void Close();
    virtual void CloseDelayed();
    virtual void Release();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitForClose();
    virtual int Receive(void* buffer, int len);
    // Reading goes back to FD_READ: one is queued to the owner thread. Reading taken
    // over by another thread (below) is handed back.
    void ResumeReadEvents();
    // Takes the reading of the connected socket over to the calling thread (not the
    // owner): the socket's data is watched, edge-triggered, in that thread's own wait,
    // and `onArrival` runs there whenever new data arrives (at once when some waits
    // already); the owner thread is not woken by data and raises no FD_READ until
    // ResumeReadEvents. It keeps the rest: connect, close, errors, sends. The reader
    // reads through `reader` (ReceiveTakenOver), which must outlive the taking over:
    // the watch goes and the reader's descriptor copy is cleared before the descriptor
    // is closed, so it never reads a connection that reuses the number. False when
    // there is no connection, or its reading is taken already.
    bool TakeOverReading(TTakenOverRead& reader, std::function<void(uint32_t events)> onArrival);
    // The taking thread's read: one recv under the lock that closing takes, nothing
    // else; -1 once the descriptor has gone (or the system's failure).
    static int ReceiveTakenOver(TTakenOverRead& reader, void* buffer, int len);
    // Ends the watch of TakeOverReading without handing the reading back (the
    // connection is closing or released). Any thread.
    void DropTakenOverReading();
    virtual std::string ReceiveStr();
    int PeekData(void* buffer, int len);
    virtual int Send(const void* data, int len);
    virtual int SendStr(const std::string& str);
    int SendText(const std::string& str) { return SendStr(str); }
    virtual void PutDataInSendBuffer(const void* data, int len);
    void PutStringInSendBuffer(const std::string& str);
    virtual void Shutdown(int how);
    virtual void Pause();
    virtual void Resume();
    virtual void MessageLoop();
    bool ProcessMessage();
    void ProcessMessages();
    virtual void MessagePump();
    virtual void ThreadAttach();
    virtual void ThreadDetach();
    void DeleteBufferedData();

    // Listening and accepting (CustomWSocketListen.cpp).
    virtual void Listen();
    // The accepted connection's handle, which the caller hands to another component's Dup.
    virtual TSocket Accept();
    // Takes over a connected handle (usually from Accept) and runs it as a connection on
    // the calling thread, which must be this component's owner thread.
    virtual void Dup(TSocket newHSocket);
    virtual void DupConnected();

    // Datagrams (CustomWSocketDatagram.cpp).
    virtual int SendTo(const sockaddr_in& dest, int destLen, const void* data, int len);
    virtual int ReceiveFrom(void* buffer, int len, sockaddr_in& from, int& fromLen);

    // Name lookups (CustomWSocketDns.cpp). Results arrive on the owner thread.
    virtual void DnsLookup(const std::string& hostName);
    virtual void ReverseDnsLookup(const std::string& hostAddr);
    virtual void ReverseDnsLookupSync(const std::string& hostAddr);
    virtual void CancelDnsLookup();

    // Address queries (CustomWSocketAddress.cpp).
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual int GetPeerName(sockaddr_in& name, int len);
    virtual int GetSockName(sockaddr_in& name, int& len);
    virtual std::string GetXAddr();
    virtual std::string GetXPort();
    static bool TimerIsSet(const timeval& tv);
    static void TimerClear(timeval& tv);
    static bool TimerCmp(const timeval& a, const timeval& b, bool isEqual);

    // Whether the thread's own loop has met WM_QUIT (also when a pump took it).
    bool Terminated() const { return m_terminated_.load(); }

    TSessionEvent OnSessionConnected;
    TSessionEvent OnDataAvailable;
    TSessionEvent OnDataSent;
    TSendDataEvent OnSendData;
    TSessionEvent OnSessionClosed;
    TSessionEvent OnSessionAvailable;
    TChangeStateEvent OnChangeState;
    TSessionEvent OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;
    TDebugDisplayEvent OnDebugDisplay;

protected:
    class TSocketWindow;
    friend class TSocketWindow;

    void Notification(Platform::TComponent* component, Platform::TOperation operation) override;

    virtual void DebugLog(TLogOption option, const std::string& text);
    virtual bool CheckLogOptions(TLogOption option) const;
    virtual void WndProc(Platform::TMessage& message);
    virtual void AllocateSocketHWnd();
    virtual void DeallocateSocketHWnd();
    virtual void TryToSend();
    virtual void AssignDefaultValue();
    virtual void InternalClose(bool shut, uint16_t error);
    virtual void InternalAbort(uint16_t error);
    virtual void SetRemotePort(const std::string& value);
    virtual int32_t GetRcvdCount();
    virtual void BindSocket();
    virtual int RealSend(const void* data, int len);
    // RaiseException with a message formatted like printf's.
    [[gnu::format(printf, 2, 3)]] virtual void RaiseExceptionFmt(const char* format, ...);
    virtual void RaiseException(const std::string& message);
    virtual void HandleBackGroundException(const std::exception& e);
    virtual bool TriggerDataAvailable(uint16_t errCode);
    virtual void TriggerSessionAvailable(uint16_t errCode);
    virtual void TriggerSessionConnectedSpecial(uint16_t errCode);
    virtual void TriggerSessionConnected(uint16_t errCode);
    virtual void TriggerSessionClosed(uint16_t errCode);
    virtual void TriggerDataSent(uint16_t errCode);
    virtual void TriggerSendData(int32_t bytesSent);
    virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
    virtual void TriggerDNSLookupDone(uint16_t errCode);
    virtual void TriggerError();
    virtual int DoRecv(void* buffer, int len, int flags);
    virtual void Do_FD_CONNECT(uint16_t error);
    virtual void Do_FD_READ(uint16_t error);
    virtual void Do_FD_WRITE(uint16_t error);
    virtual void Do_FD_ACCEPT(uint16_t error);
    virtual void Do_FD_CLOSE(uint16_t error);
    virtual int DoRecvFrom(TSocket s, void* buffer, int len, int flags, sockaddr_in& from, int& fromLen);

    void ChangeState(TSocketState newState);
    void SocketError(const std::string& operation);
    // `draining`: the peer has closed, so everything that waits is read now.
    void ASyncReceive(uint16_t error, TWSocketOptions options, bool draining = false);
    void SetLingerOption();
    void SetKeepAliveOption();
    bool IsOwnerThread() const;
    bool Destroying() const { return m_destroying_; }

    // Connection data; the texts survive a close, the flags do not.
    sockaddr_in m_sockAddr_{};
    int m_addrFormat_ = PF_INET;
    int m_socketType_ = SOCK_STREAM;
    int m_protoNum_ = 6;
    uint16_t m_portNum_ = 0;
    uint16_t m_localPortNum_ = 0;
    bool m_addrAssigned_ = false;
    bool m_addrResolved_ = false;
    bool m_portAssigned_ = false;
    bool m_portResolved_ = false;
    bool m_protoAssigned_ = true;
    bool m_protoResolved_ = false;
    bool m_localPortResolved_ = false;
    bool m_paused_ = false;
    bool m_closeInvoked_ = false;
    uint32_t m_selectEvent_ = 0;

private:
    void WMASyncSelect(const Platform::TMessage& message);
    void WMAsyncGetHostByName(const Platform::TMessage& message);
    void WMAsyncGetHostByAddr(const Platform::TMessage& message);
    // What both reverse look-ups begin with: the text checked, a pending look-up
    // cancelled, the results emptied; false when the text is refused.
    bool BeginReverseDnsLookup(const std::string& hostAddr);
    // The connected peer's address; false (after reporting a failure) otherwise.
    bool PeerAddress(sockaddr_in& peer, const char* operation);
    // The socket's own address once bound; false before that or when it cannot be read.
    bool LocalAddress(sockaddr_in& local);
    // Takes a new descriptor as the component's socket, so that notifications of an
    // earlier one with the same number are told apart.
    void AdoptHandle(TSocket s);
    // The socket's send and receive buffer sizes; false after reporting a failure.
    bool ReadBufferSizes();
    void ConnectDatagram();
    // Reports a failure of Listen after closing the socket it made, so none is left open.
    void ListenError(const std::string& operation);
    // Reports a failed query without the connection-ending treatment of SocketError.
    void QueryError(const std::string& operation);
    void ClearDnsResults();
    void WMSendFailed(const Platform::TMessage& message);
    void PostSelectReply(uint32_t event, int32_t error);
    bool StartSelect(uint32_t mask);
    // Makes an orderly close end the stream after the last byte instead of resetting it.
    void KeepCloseOrderly();
    // Closes the descriptor under the send lock, so that a send in another thread never
    // writes to a number that has been reused.
    int CloseHandle();
    // Waits in a thread other than the owner until the socket shows `events` or closes.
    void WaitForSocket(short events);
    void WakeForeignWaiters();

    std::unique_ptr<TSocketWindow> m_pWindow_;
    // The window's handle, for senders in other threads: a post to a window that has
    // gone meanwhile is dropped, while the window object itself may be gone.
    std::atomic<Platform::TWindowHandle> m_windowHandle_{0};
    Platform::ThreadId m_ownerThreadId_ = 0;
    std::atomic<TSocket> m_hSocket_{INVALID_SOCKET};
    std::atomic<TSocketState> m_state_{wsClosed};
    std::atomic<int32_t> m_lastError_{0};
    std::atomic<bool> m_allSent_{true};
    // A send in another thread met a failure that ends the connection and handed it to
    // the owner thread: until that thread closes, whatever is sent is dropped.
    std::atomic<bool> m_sendFailed_{false};
    std::atomic<bool> m_terminated_{false};
    std::atomic<uint32_t> m_generation_{0};
    bool m_destroying_ = false;
    bool m_multiThreaded_ = false;
    std::string m_addrStr_;
    std::string m_portStr_;
    std::string m_protoStr_ = "tcp";
    std::string m_localAddr_ = "0.0.0.0";
    std::string m_localPortStr_ = "0";
    std::atomic<int64_t> m_readCount_{0}; // also counted by readers in other threads
    TWSocketOptions m_options_;
    int m_sendFlags_ = 0;
    TSocketLingerOnOff m_lingerOnOff_ = wsLingerOn;
    int32_t m_lingerTimeout_ = 0;
    TSocketKeepAliveOnOff m_keepAliveOnOff_ = wsKeepAliveOnSystem;
    int32_t m_keepAliveTime_ = 30000;
    int32_t m_keepAliveInterval_ = 1000;
    int32_t m_socketSndBufSize_ = 0;
    int32_t m_socketRcvBufSize_ = 0;
    TSocketLogger* m_pLogger_ = nullptr;

    // The send queue. The lock is the component's own: sends of different connections
    // never wait for each other, and no event handler runs while it is held.
    mutable std::recursive_mutex m_sendLock_;
    std::deque<std::unique_ptr<TBuffer>> m_bufList_;
    int32_t m_bufSize_ = 1460;
    int m_wakeFd_ = -1; // created for the first foreign waiter
    // The thread that took the reading over and its watch; under m_sendLock_.
    std::shared_ptr<Platform::ThreadMessageQueue> m_pReaderQueue_;
    uint64_t m_readerWatch_ = 0;
    TTakenOverRead* m_pTakenOverRead_ = nullptr;
    void DropReaderWatch(); // under m_sendLock_

    int32_t m_listenBacklog_ = 5;
    bool m_reuseAddr_ = false;
    bool m_multiCast_ = false;
    std::string m_multiCastAddrStr_;
    int32_t m_multiCastIpTTL_ = 1;
    TSocket m_acceptedSocket_ = INVALID_SOCKET;
    std::string m_dnsResult_;
    Platform::TStrings m_dnsResultList_;
    uintptr_t m_dnsLookupHandle_ = 0; // the pending lookup, 0 when none
    bool m_dnsReplyWaiting_ = false;  // a reply that came while no lookup was known
    Platform::TMessage m_dnsWaitingReply_;
};

} // namespace NorvEngineering::Sockets
