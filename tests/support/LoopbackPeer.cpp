#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

bool waitReadable(int fd, Clock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int r = ::poll(&p, 1, left < 0 ? 0 : static_cast<int>(left));
        if (r >= 0 || errno != EINTR)
            return r > 0;
    }
}

} // namespace

int listenOnLoopback(uint16_t& port, int backlog, int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0))
        throw std::runtime_error("cannot listen on the loopback");
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

int connectToLoopback(uint16_t port, bool blocking) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && blocking) {
        ::close(fd);
        return -1;
    }
    return fd;
}

LoopbackPeer::LoopbackPeer(int receiveBuffer) {
    m_listen_ = listenOnLoopback(m_port_, 16, receiveBuffer);
}

LoopbackPeer::~LoopbackPeer() {
    close();
    if (m_listen_ >= 0)
        ::close(m_listen_);
}

bool LoopbackPeer::accept(std::chrono::milliseconds timeout) {
    if (m_listen_ < 0 || !waitReadable(m_listen_, Clock::now() + timeout))
        return false;
    m_conn_ = ::accept4(m_listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return m_conn_ >= 0;
}

void LoopbackPeer::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_conn_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            throw std::runtime_error("peer send");
        }
        done += static_cast<std::size_t>(n);
    }
}

void LoopbackPeer::limitSendTime(std::chrono::milliseconds limit) {
    const timeval time{static_cast<time_t>(limit.count() / 1000),
                       static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    ::setsockopt(m_conn_, SOL_SOCKET, SO_SNDTIMEO, &time, sizeof time);
}

std::string LoopbackPeer::receive(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string got;
    char buffer[65536];
    while (got.size() < count && m_conn_ >= 0 && waitReadable(m_conn_, deadline)) {
        const ssize_t n = ::recv(m_conn_, buffer, std::min(sizeof buffer, count - got.size()), 0);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

bool LoopbackPeer::waitForClose(std::string* rest, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    char buffer[65536];
    while (m_conn_ >= 0 && waitReadable(m_conn_, deadline)) {
        const ssize_t n = ::recv(m_conn_, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true; // end of file or reset
        if (rest != nullptr)
            rest->append(buffer, static_cast<std::size_t>(n));
    }
    return false;
}

void LoopbackPeer::close() {
    if (m_conn_ >= 0)
        ::close(m_conn_);
    m_conn_ = -1;
}

void LoopbackPeer::reset() {
    if (m_conn_ < 0)
        return;
    linger hard{1, 0};
    ::setsockopt(m_conn_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close();
}

void LoopbackPeer::refuseConnections() {
    ::shutdown(m_listen_, SHUT_RDWR);
}

uint16_t LoopbackPeer::unusedPort() {
    uint16_t port = 0;
    ::close(listenOnLoopback(port, -1));
    return port;
}

} // namespace TestSupport
