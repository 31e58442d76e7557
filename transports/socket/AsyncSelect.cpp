#include "AsyncSelect.h"

#include "MessageQueue.h"
#include "MessageTarget.h"
#include "WSocketErrors.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace NorvEngineering::Sockets {

namespace {

using Platform::ThreadMessageQueue;

// The selection of one socket: which events are wanted, which are armed, and the
// watch in the owning thread's wait that reflects exactly the armed ones. Nothing is
// watched that could report again before its re-enabling call, so no event spins.
class Selection : public std::enable_shared_from_this<Selection> {
public:
    Selection(TSocket socket, Platform::TWindowHandle target, uint32_t message, uint32_t mask, uint32_t tag,
              std::shared_ptr<ThreadMessageQueue> queue)
        : m_socket_(socket), m_target_(target), m_message_(message), m_mask_(mask), m_tag_(tag),
          m_pQueue_(std::move(queue)) {
        int type = 0;
        socklen_t length = sizeof type;
        if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) == 0)
            m_stream_ = type == SOCK_STREAM;
        int listening = 0;
        length = sizeof listening;
        if (::getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0)
            m_listening_ = listening != 0;
        sockaddr_storage peer{};
        length = sizeof peer;
        m_connected_ = !m_stream_ || ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
    }

    void start() {
        std::lock_guard lock(m_mutex_);
        rearm();
    }

    void forget() {
        std::lock_guard lock(m_mutex_);
        m_active_ = false;
        if (m_watchId_ != 0)
            m_pQueue_->unwatch(m_watchId_);
        m_watchId_ = 0;
        m_watched_ = 0;
    }

    void connectStarted(bool finishedAtOnce) {
        std::lock_guard lock(m_mutex_);
        if (!m_active_)
            return;
        if (finishedAtOnce) {
            m_connected_ = true;
            post(FD_CONNECT, 0);
        } else {
            m_connecting_ = true;
        }
        rearm();
    }

    void reenable(uint32_t event) {
        std::lock_guard lock(m_mutex_);
        if (!m_active_)
            return;
        switch (event) {
        case FD_READ:
            if (m_readArmed_)
                return;
            m_readArmed_ = true;
            // As in Winsock: a read that leaves data behind is followed by another FD_READ.
            if ((m_mask_ & FD_READ) != 0 && m_connected_ && waitingBytes() > 0) {
                m_readArmed_ = false;
                post(FD_READ, 0);
            }
            break;
        case FD_WRITE:
            m_writeArmed_ = true;
            break;
        case FD_ACCEPT:
            m_acceptArmed_ = true;
            break;
        default:
            return;
        }
        rearm();
    }

    // Runs on the owning thread, in its wait.
    void onEvents(uint32_t events) {
        std::lock_guard lock(m_mutex_);
        if (!m_active_ || m_dead_)
            return;
        const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
        if (m_connecting_) {
            if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0)
                return;
            m_connecting_ = false;
            const int32_t error = pendingError();
            if ((m_mask_ & FD_CONNECT) != 0)
                post(FD_CONNECT, error);
            if (error != 0)
                m_dead_ = true; // a failed connect reports nothing more
            else
                m_connected_ = true;
            rearm();
            return;
        }
        if (m_listening_) {
            if ((events & EPOLLIN) != 0 && m_acceptArmed_ && (m_mask_ & FD_ACCEPT) != 0) {
                m_acceptArmed_ = false;
                post(FD_ACCEPT, 0);
            }
            if (failed)
                m_dead_ = true;
            rearm();
            return;
        }
        if (m_connected_) {
            const unsigned long waiting = waitingBytes();
            // An empty datagram counts 0 bytes but still waits to be read.
            const bool readable = waiting > 0 || (!m_stream_ && (events & EPOLLIN) != 0);
            if (readable && m_readArmed_ && (m_mask_ & FD_READ) != 0) {
                m_readArmed_ = false;
                post(FD_READ, 0);
            }
            const bool peerClosed = m_stream_ && (failed || (events & EPOLLRDHUP) != 0 ||
                                                  ((events & EPOLLIN) != 0 && waiting == 0));
            if (peerClosed && !m_closeReported_) {
                m_closeReported_ = true;
                const int32_t error = failed ? pendingError() : 0;
                if ((m_mask_ & FD_CLOSE) != 0)
                    post(FD_CLOSE, error);
            }
            if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0 && m_writeArmed_ &&
                (m_mask_ & FD_WRITE) != 0) {
                // A broken connection is reported to a waiting sender too: its next send
                // then learns the error.
                m_writeArmed_ = false;
                post(FD_WRITE, 0);
            }
            if (failed)
                m_dead_ = true;
        }
        rearm();
    }

private:
    unsigned long waitingBytes() const {
        int waiting = 0;
        if (::ioctl(m_socket_, FIONREAD, &waiting) != 0 || waiting < 0)
            return 0;
        return static_cast<unsigned long>(waiting);
    }

    int32_t pendingError() const {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(m_socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        return WSocketErrnoToWinsock(error);
    }

    void post(uint32_t event, int32_t error) {
        Platform::postMessage(m_target_, m_message_, static_cast<uintptr_t>(m_socket_),
                              WSAMakeSelectReply(event, error, m_tag_));
    }

    uint32_t wantedEvents() const {
        if (!m_active_ || m_dead_)
            return 0;
        if (m_connecting_)
            return EPOLLOUT;
        if (m_listening_)
            return m_acceptArmed_ && (m_mask_ & FD_ACCEPT) != 0 ? uint32_t{EPOLLIN} : 0u;
        if (!m_connected_)
            return 0; // an unconnected stream socket would poll as hung up
        uint32_t wanted = 0;
        if (m_readArmed_ && (m_mask_ & FD_READ) != 0 && !m_closeReported_)
            wanted |= EPOLLIN;
        if (m_stream_ && !m_closeReported_ && (m_mask_ & FD_CLOSE) != 0)
            wanted |= EPOLLRDHUP;
        if (m_writeArmed_ && (m_mask_ & FD_WRITE) != 0)
            wanted |= EPOLLOUT;
        return wanted;
    }

    // Brings the watch in line with the armed events. Hang-ups are reported by the
    // kernel whatever was asked, so a socket with nothing armed is not watched at all.
    void rearm() {
        const uint32_t wanted = wantedEvents();
        if (wanted == m_watched_)
            return;
        if (wanted == 0) {
            m_pQueue_->unwatch(m_watchId_);
            m_watchId_ = 0;
        } else if (m_watchId_ == 0) {
            std::weak_ptr<Selection> self = weak_from_this();
            m_watchId_ = m_pQueue_->watch(m_socket_, wanted, [self](uint32_t events) {
                if (const auto selection = self.lock())
                    selection->onEvents(events);
            });
        } else {
            m_pQueue_->modifyWatch(m_watchId_, wanted);
        }
        m_watched_ = wanted;
    }

    std::mutex m_mutex_;
    const TSocket m_socket_;
    const Platform::TWindowHandle m_target_;
    const uint32_t m_message_;
    const uint32_t m_mask_;
    const uint32_t m_tag_;
    const std::shared_ptr<ThreadMessageQueue> m_pQueue_;
    ThreadMessageQueue::WatchId m_watchId_ = 0;
    uint32_t m_watched_ = 0;
    bool m_stream_ = true;
    bool m_listening_ = false;
    bool m_connected_ = false;
    bool m_connecting_ = false;
    bool m_active_ = true;
    bool m_dead_ = false;
    bool m_readArmed_ = true;
    bool m_writeArmed_ = false;
    bool m_acceptArmed_ = true;
    bool m_closeReported_ = false;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<TSocket, std::shared_ptr<Selection>> selections;
};
Registry& registry() {
    static auto* instance = new Registry();
    return *instance;
}

std::shared_ptr<Selection> find(TSocket s) {
    std::lock_guard lock(registry().mutex);
    const auto found = registry().selections.find(s);
    return found == registry().selections.end() ? nullptr : found->second;
}

std::shared_ptr<Selection> take(TSocket s) {
    std::lock_guard lock(registry().mutex);
    const auto found = registry().selections.find(s);
    if (found == registry().selections.end())
        return nullptr;
    auto selection = found->second;
    registry().selections.erase(found);
    return selection;
}

} // namespace

int WSocket_WSAAsyncSelect(TSocket s, Platform::TWindowHandle target, uint32_t message, uint32_t mask,
                           uint32_t tag) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
        WSocket_WSASetLastError(WSocketErrnoToWinsock(errno));
        return SOCKET_ERROR;
    }
    if (const auto previous = take(s))
        previous->forget();
    if (message == 0 || mask == 0)
        return 0;
    if (Platform::Detail::findLocalTarget(target) == nullptr) {
        WSocket_WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    ThreadMessageQueue::current(); // the watch lives in this thread's wait
    auto selection = std::make_shared<Selection>(s, target, message, mask, tag,
                                                 ThreadMessageQueue::of(Platform::currentThreadId()));
    {
        std::lock_guard lock(registry().mutex);
        registry().selections[s] = selection;
    }
    selection->start();
    return 0;
}

namespace Detail {

void asyncSelectReenable(TSocket s, uint32_t event) {
    if (const auto selection = find(s))
        selection->reenable(event);
}

void asyncSelectConnectStarted(TSocket s, bool finishedAtOnce) {
    if (const auto selection = find(s))
        selection->connectStarted(finishedAtOnce);
}

void asyncSelectForget(TSocket s) {
    if (const auto selection = take(s))
        selection->forget();
}

} // namespace Detail

} // namespace NorvEngineering::Sockets
