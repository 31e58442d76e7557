#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace SerialTests {

PtyPair::PtyPair() {
    char name[256] = {};
    if (::openpty(&m_master_, &m_holder_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_path_ = name;
    termios settings{};
    ::tcgetattr(m_holder_, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(m_holder_, TCSANOW, &settings);
    ::fcntl(m_master_, F_SETFL, ::fcntl(m_master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    hangUp();
}

void PtyPair::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(m_master_, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd ready{m_master_, POLLOUT, 0};
                ::poll(&ready, 1, 1000);
                continue;
            }
            throw std::runtime_error("pty write failed");
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
}

std::string PtyPair::takeAvailable() {
    std::string all;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(m_master_, buffer, sizeof buffer);
        if (got <= 0)
            return all;
        all.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string PtyPair::receive(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string all = takeAvailable();
    while (all.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd ready{m_master_, POLLIN, 0};
        ::poll(&ready, 1, static_cast<int>(left.count()));
        all += takeAvailable();
    }
    return all;
}

int PtyPair::unread() const {
    int count = 0;
    ::ioctl(m_holder_, FIONREAD, &count);
    return count;
}

void PtyPair::hangUp() {
    if (m_master_ >= 0)
        ::close(m_master_);
    if (m_holder_ >= 0)
        ::close(m_holder_);
    m_master_ = -1;
    m_holder_ = -1;
}

} // namespace SerialTests
