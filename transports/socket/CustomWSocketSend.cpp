// The send path of the socket component: the queue of chunks, the non-blocking push
// to the socket, and Flush.
#include "AsyncSelect.h"
#include "CustomWSocket.h"
#include "MessageQueue.h"
#include "WSocketErrors.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace NorvEngineering::Sockets {

namespace {
bool closesConnection(int error) {
    return error == WSAECONNRESET || error == WSAENOTSOCK || error == WSAENOTCONN || error == WSAEINVAL ||
           error == WSAECONNABORTED;
}
} // namespace

int64_t TCustomWSocket::BufferedByteCount() const {
    std::lock_guard lock(m_sendLock_);
    int64_t total = 0;
    for (const auto& chunk : m_bufList_)
        total += chunk->GetBufUsed();
    return total;
}

std::size_t TCustomWSocket::BufferedChunkCount() const {
    std::lock_guard lock(m_sendLock_);
    return m_bufList_.size();
}

void TCustomWSocket::PutDataInSendBuffer(const void* data, int len) {
    if (len < 1 || data == nullptr)
        return;
    std::lock_guard lock(m_sendLock_);
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (m_bufList_.empty())
        m_bufList_.push_back(std::make_unique<TBuffer>(m_bufSize_));
    int remaining = len;
    for (;;) {
        const int taken = m_bufList_.back()->Write(bytes, remaining);
        bytes += taken;
        remaining -= taken;
        if (remaining <= 0)
            break;
        m_bufList_.push_back(std::make_unique<TBuffer>(m_bufSize_));
    }
    m_allSent_ = false;
}

void TCustomWSocket::PutStringInSendBuffer(const std::string& str) {
    if (!str.empty())
        PutDataInSendBuffer(str.data(), static_cast<int>(str.size()));
}

void TCustomWSocket::DeleteBufferedData() {
    std::lock_guard lock(m_sendLock_);
    m_bufList_.clear();
}

int TCustomWSocket::Send(const void* data, int len) {
    const TSocketState state = m_state_;
    if (state != wsConnected && state != wsSocksConnected) {
        WSocket_WSASetLastError(WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    m_allSent_ = false;
    if (len > 0)
        PutDataInSendBuffer(data, len);
    TryToSend();
    // Everything left at once: OnDataSent follows once the owner handles its messages.
    if (m_allSent_)
        PostSelectReply(FD_WRITE, 0);
    return len <= 0 ? 0 : len;
}

int TCustomWSocket::SendStr(const std::string& str) {
    if (str.empty())
        return 0;
    return Send(str.data(), static_cast<int>(str.size()));
}

int TCustomWSocket::RealSend(const void* data, int len) {
    if (m_socketType_ == SOCK_DGRAM)
        return WSocket_sendto(m_hSocket_, data, len, m_sendFlags_,
                              reinterpret_cast<const sockaddr*>(&m_sockAddr_), sizeof m_sockAddr_);
    return WSocket_send(m_hSocket_, data, len, m_sendFlags_);
}

void TCustomWSocket::TryToSend() {
    int failure = 0;
    for (;;) {
        int sent = 0;
        bool partial = false;
        {
            std::lock_guard lock(m_sendLock_);
            if (m_hSocket_ == INVALID_SOCKET || m_bufList_.empty()) {
                m_allSent_ = true;
                return;
            }
            int32_t count = 0;
            const uint8_t* unread = m_bufList_.front()->Peek(count);
            if (count <= 0) {
                if (m_bufList_.size() > 1) {
                    m_bufList_.pop_front();
                    continue;
                }
                m_allSent_ = true; // the last, empty chunk stays for reuse
                return;
            }
            sent = RealSend(unread, count);
            if (sent > 0) {
                m_bufList_.front()->Remove(sent);
                partial = sent < count;
            } else if (sent == 0) {
                return;
            } else {
                failure = WSocket_WSAGetLastError();
                if (failure == WSAEWOULDBLOCK)
                    return; // FD_WRITE resumes
            }
        }
        if (failure != 0)
            break;
        // Raised outside the lock, so a handler may block or send again freely.
        TriggerSendData(sent);
        if (partial)
            return; // FD_WRITE resumes with the rest
    }

    if (closesConnection(failure)) {
        if (CheckLogOptions(loWsockErr))
            DebugLog(loWsockErr, "TWSocket Winsock Send failed - " + GetWinsockErr(failure));
        if (IsOwnerThread()) {
            // A send from inside the closed notification meets the end that is being
            // reported: one report per connection.
            const bool reported = std::exchange(m_closeInvoked_, true);
            Close();
            if (!reported)
                TriggerSessionClosed(static_cast<uint16_t>(failure));
        } else {
            // The owner thread closes and reports, once, as for its own sends. It may be
            // unable to do so for a while (it may wait for this very thread), so what
            // is queued is dropped now: it can never go out, and this thread's Flush
            // ends instead of waiting for a close it may be holding up.
            std::lock_guard lock(m_sendLock_);
            m_bufList_.clear();
            if (!m_sendFailed_.exchange(true))
                Platform::postMessage(Handle(), WM_SEND_FAILED, static_cast<uintptr_t>(m_hSocket_.load()),
                                      WSAMakeSelectReply(0, failure, m_generation_));
        }
        return;
    }
    WSocket_WSASetLastError(failure);
    SocketError("TryToSend failed");
}

void TCustomWSocket::WMSendFailed(const Platform::TMessage& message) {
    if (static_cast<TSocket>(message.wParam) != m_hSocket_ ||
        WSAGetSelectTag(message.lParam) != m_generation_ || m_state_ == wsClosed || m_closeInvoked_)
        return;
    const auto error = static_cast<uint16_t>(WSAGetSelectError(message.lParam));
    m_closeInvoked_ = true;
    Close();
    TriggerSessionClosed(error);
}

void TCustomWSocket::Do_FD_WRITE(uint16_t error) {
    TryToSend();
    if (m_allSent_)
        TriggerDataSent(error);
}

void TCustomWSocket::Flush() {
    while (m_hSocket_ != INVALID_SOCKET && !m_allSent_ && !m_sendFailed_) {
        TryToSend();
        if (m_allSent_ || m_hSocket_ == INVALID_SOCKET || m_sendFailed_)
            break;
        if (IsOwnerThread()) {
            // FD_WRITE arrives as a message of this thread.
            MessagePump();
            if (m_allSent_ || m_hSocket_ == INVALID_SOCKET)
                break;
            Platform::ThreadMessageQueue::current().wait(std::chrono::milliseconds(-1));
        } else {
            // Another thread sends for itself as soon as the socket takes data again,
            // without running that thread's messages in the middle of its write.
            WaitForSocket(POLLOUT);
        }
    }
}

void TCustomWSocket::WaitForSocket(short events) {
    int watched = -1;
    int wake = -1;
    {
        std::lock_guard lock(m_sendLock_);
        if (m_hSocket_ == INVALID_SOCKET)
            return;
        if (m_wakeFd_ < 0)
            m_wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        // A duplicate keeps the number valid while the owner may close its own.
        watched = ::fcntl(m_hSocket_, F_DUPFD_CLOEXEC, 0);
        wake = m_wakeFd_ >= 0 ? ::fcntl(m_wakeFd_, F_DUPFD_CLOEXEC, 0) : -1;
    }
    if (watched >= 0) {
        pollfd fds[2] = {{watched, events, 0}, {wake, POLLIN, 0}};
        const nfds_t count = wake >= 0 ? 2 : 1;
        while (::poll(fds, count, -1) < 0 && errno == EINTR) {
        }
    }
    if (watched >= 0)
        ::close(watched);
    if (wake >= 0)
        ::close(wake);
}

void TCustomWSocket::WakeForeignWaiters() {
    if (m_wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeFd_, &one, sizeof one);
    }
}

} // namespace NorvEngineering::Sockets
