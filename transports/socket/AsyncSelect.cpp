#include "AsyncSelect.h"

#include "MessageQueue.h"
#include "MessageTarget.h"
#include "WSocketErrors.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

namespace NorvEngineering::Sockets {

namespace {

using Platform::ThreadMessageQueue;

// The selection of one socket: which events are wanted and which are armed. The
// socket is watched once, edge-triggered, for everything it can report (from the
// start, or from the connect on), and the watch is never changed again: an armed
// event is reported at the next edge, a disarmed one is left out. So nothing spins,
// and a chunk that arrives costs no call besides the wait that sees it.
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
        // An unconnected stream socket would report a hang-up: it is watched from its
        // connect on.
        if (m_connected_ || m_listening_)
            watch();
    }

    void forget() {
        std::lock_guard lock(m_mutex_);
        m_active_ = false;
        if (m_watchId_ != 0)
            m_pQueue_->unwatch(m_watchId_);
        m_watchId_ = 0;
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
        watch();
    }

    // `filled`: the read that re-enables FD_READ filled its buffer, so more may wait.
    void reenable(uint32_t event, bool filled) {
        std::lock_guard lock(m_mutex_);
        if (!m_active_)
            return;
        switch (event) {
        case FD_READ: {
            const bool more = readMayContinue(filled);
            m_moreToRead_ = more;
            if (m_readArmed_ && !more)
                return;
            m_readArmed_ = true;
            // As in Winsock: a read that leaves data behind is followed by another FD_READ.
            if (more && (m_mask_ & FD_READ) != 0 && m_connected_ && !m_dead_) {
                m_readArmed_ = false;
                post(FD_READ, 0);
            }
            break;
        }
        case FD_WRITE:
            m_writeArmed_ = true;
            break;
        case FD_ACCEPT:
            m_acceptArmed_ = true;
            if ((m_mask_ & FD_ACCEPT) != 0 && m_listening_ && !m_dead_ && readable()) {
                m_acceptArmed_ = false;
                post(FD_ACCEPT, 0);
            }
            break;
        default:
            break;
        }
    }

    void readElsewhere(bool away) {
        std::lock_guard lock(m_mutex_);
        if (!m_active_ || m_readElsewhere_ == away)
            return;
        m_readElsewhere_ = away;
        if (away)
            m_readArmed_ = false;
        if (m_watchId_ != 0)
            m_pQueue_->modifyWatch(m_watchId_, watchedEvents());
    }

    // Whether the last read left something behind; the answer is given once.
    bool takeMoreToRead() {
        std::lock_guard lock(m_mutex_);
        return std::exchange(m_moreToRead_, false);
    }

    // Runs on the owning thread, in its wait. The notifications go out after the
    // selection is unlocked, in the order found: a read notification that comes first
    // is handled at once when the thread's loop has nothing queued before it (see
    // deliver), and may re-enable reading in its handler.
    void onEvents(uint32_t events) {
        Reports reports;
        collect(events, reports);
        for (int i = 0; i < reports.count; ++i)
            deliver(reports.event[i], reports.error[i], i == 0);
    }

private:
    // What one batch of epoll events has to report, in order.
    struct Reports {
        void add(uint32_t which, int32_t code) {
            event[count] = which;
            error[count] = code;
            ++count;
        }
        uint32_t event[4] = {};
        int32_t error[4] = {};
        int count = 0;
    };

    void collect(uint32_t events, Reports& reports) {
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
                reports.add(FD_CONNECT, error);
            if (error != 0) {
                m_dead_ = true; // a failed connect reports nothing more
                return;
            }
            m_connected_ = true;
        }
        if (m_listening_) {
            if ((events & EPOLLIN) != 0 && m_acceptArmed_ && (m_mask_ & FD_ACCEPT) != 0) {
                m_acceptArmed_ = false;
                reports.add(FD_ACCEPT, 0);
            }
            if (failed)
                m_dead_ = true;
            return;
        }
        if (!m_connected_)
            return;
        if ((events & EPOLLIN) != 0 && !m_closeReported_) {
            if (m_readArmed_ && (m_mask_ & FD_READ) != 0) {
                m_readArmed_ = false;
                reports.add(FD_READ, 0);
            }
        }
        const bool peerClosed = m_stream_ && (failed || (events & EPOLLRDHUP) != 0);
        if (peerClosed && !m_closeReported_) {
            m_closeReported_ = true;
            const int32_t error = failed ? pendingError() : 0;
            if ((m_mask_ & FD_CLOSE) != 0)
                reports.add(FD_CLOSE, error);
        }
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0 && m_writeArmed_ && (m_mask_ & FD_WRITE) != 0) {
            // A broken connection is reported to a waiting sender too: its next send
            // then learns the error.
            m_writeArmed_ = false;
            reports.add(FD_WRITE, 0);
        }
        if (failed)
            m_dead_ = true;
    }

    // A read edge costs the thread no trip through its own queue when nothing is
    // queued before it: the loop would take this notification next anyway, so the
    // handler runs now, inside the wait (the queue refuses when that would change the
    // order). Everything else is queued as usual.
    void deliver(uint32_t event, int32_t error, bool first) {
        if (first && event == FD_READ &&
            m_pQueue_->dispatchAtOnce(Platform::TMessage{m_target_, m_message_,
                                                         static_cast<uintptr_t>(m_socket_),
                                                         WSAMakeSelectReply(event, error, m_tag_)}))
            return;
        post(event, error);
    }

    // Whether a read may have left data behind: one that filled its buffer. An edge
    // that came while FD_READ was off needs no note: it is seen here, on the socket's
    // own thread, and so came before the read that re-enables FD_READ, which took its
    // data. (Another thread reads only while this one cannot look: the transport's
    // close on the main thread, while the client thread waits for it.)
    bool readMayContinue(bool filled) const {
        // A datagram read tells nothing of the next one: ask (an empty datagram
        // counts no bytes but is still waiting to be read).
        return m_stream_ ? filled : readable();
    }

    // Also true for a pending connection on a listening socket.
    bool readable() const {
        pollfd ready{m_socket_, POLLIN, 0};
        return ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0;
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

    // Data that another thread reads is left out of the wait: it would wake the owner
    // for nothing.
    uint32_t watchedEvents() const {
        return (m_readElsewhere_ ? 0u : uint32_t{EPOLLIN}) | EPOLLOUT | EPOLLET |
               (m_stream_ ? uint32_t{EPOLLRDHUP} : 0u);
    }

    // Registers the one watch; the kernel reports at once what is ready already.
    void watch() {
        if (m_watchId_ != 0 || !m_active_)
            return;
        std::weak_ptr<Selection> self = weak_from_this();
        m_watchId_ = m_pQueue_->watch(m_socket_, watchedEvents(), [self](uint32_t fired) {
            if (const auto selection = self.lock())
                selection->onEvents(fired);
        });
    }

    std::mutex m_mutex_;
    const TSocket m_socket_;
    const Platform::TWindowHandle m_target_;
    const uint32_t m_message_;
    const uint32_t m_mask_;
    const uint32_t m_tag_;
    const std::shared_ptr<ThreadMessageQueue> m_pQueue_;
    ThreadMessageQueue::WatchId m_watchId_ = 0;
    bool m_stream_ = true;
    bool m_listening_ = false;
    bool m_connected_ = false;
    bool m_connecting_ = false;
    bool m_active_ = true;
    bool m_dead_ = false;
    bool m_readArmed_ = true;
    bool m_readElsewhere_ = false;
    bool m_moreToRead_ = false;
    bool m_writeArmed_ = false;
    bool m_acceptArmed_ = true;
    bool m_closeReported_ = false;
};

// Looked up by every connection's thread on every read; changed only when a socket
// starts or stops being watched.
struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<TSocket, std::shared_ptr<Selection>> selections;
};
Registry& registry() {
    static auto* instance = new Registry();
    return *instance;
}

std::shared_ptr<Selection> find(TSocket s) {
    std::shared_lock lock(registry().mutex);
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

void asyncSelectReenable(TSocket s, uint32_t event, bool filled) {
    if (const auto selection = find(s))
        selection->reenable(event, filled);
}

bool asyncSelectTakeMoreToRead(TSocket s) {
    const auto selection = find(s);
    return selection && selection->takeMoreToRead();
}

void asyncSelectConnectStarted(TSocket s, bool finishedAtOnce) {
    if (const auto selection = find(s))
        selection->connectStarted(finishedAtOnce);
}

void asyncSelectReadElsewhere(TSocket s, bool away) {
    if (const auto selection = find(s))
        selection->readElsewhere(away);
}

void asyncSelectForget(TSocket s) {
    if (const auto selection = take(s))
        selection->forget();
}

} // namespace Detail

} // namespace NorvEngineering::Sockets
