#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace SerialTests {

// A real pseudo-terminal for the tests: the master side plays the device at the
// other end of the line; the device side's path is what a port opens. A descriptor
// of the device side is held open (in raw mode) so that the master keeps working
// while ports open and close.
class PtyPair {
public:
    PtyPair() {
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
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    ~PtyPair() { hangUp(); }

    const std::string& path() const { return m_path_; }
    int holder() const { return m_holder_; }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t put = ::write(m_master_, bytes.data(), bytes.size());
            if (put >= 0) {
                bytes.remove_prefix(static_cast<std::size_t>(put));
            } else if (errno == EAGAIN) {
                pollfd ready{m_master_, POLLOUT, 0};
                ::poll(&ready, 1, 1000);
            } else if (errno != EINTR) {
                throw std::runtime_error("pty write failed");
            }
        }
    }
    // What the port has written so far, without waiting.
    std::string takeAvailable() {
        std::string all;
        char buffer[4096];
        for (ssize_t got; (got = ::read(m_master_, buffer, sizeof buffer)) > 0;)
            all.append(buffer, static_cast<std::size_t>(got));
        return all;
    }
    // Reads until `count` bytes have come or the time-out passes.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string all = takeAvailable();
        for (auto left = timeout; all.size() < count && left.count() > 0;
             left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now())) {
            pollfd ready{m_master_, POLLIN, 0};
            ::poll(&ready, 1, static_cast<int>(left.count()));
            all += takeAvailable();
        }
        return all;
    }
    // Bytes the port has not read yet.
    int unread() const {
        int count = 0;
        ::ioctl(m_holder_, FIONREAD, &count);
        return count;
    }
    // Writes until the line takes nothing more for `quiet` (or all is written);
    // returns the count written.
    std::size_t sendUntilHeldOff(std::string_view bytes, std::chrono::milliseconds quiet) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t put = ::write(m_master_, bytes.data() + sent, bytes.size() - sent);
            if (put > 0) {
                sent += static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0 && errno != EAGAIN)
                throw std::runtime_error("pty write failed");
            pollfd ready{m_master_, POLLOUT, 0};
            if (::poll(&ready, 1, static_cast<int>(quiet.count())) == 0)
                break;
        }
        return sent;
    }
    // The other side goes away, as an unplugged adapter would.
    void hangUp() {
        for (int* fd : {&m_master_, &m_holder_})
            if (*fd >= 0)
                ::close(std::exchange(*fd, -1));
    }

private:
    int m_master_ = -1;
    int m_holder_ = -1;
    std::string m_path_;
};

// The main thread busy elsewhere: waits, without running its messages (the line has
// no descriptor to wake on that the port would not take first), until the condition
// holds; false when the limit passes first.
inline bool busyUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition())
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

} // namespace SerialTests
