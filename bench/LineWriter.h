#pragma once

// The writing end of a benchmark's connection: a simulated Vkr25 whose measurement
// lines go out only when asked, so every way of receiving is fed the same way.
#include "BenchCounters.h"
#include "SensorSimulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace Bench {

// The writing end of one connection: a simulated sensor in a measuring mode whose
// lines go out only when asked. For the library's connections a thread of the
// writer also answers the commands that arrive (the driver's initialisation).
class LineWriter {
public:
    explicit LineWriter(int fd, bool answerCommands) : m_fd_(fd) {
        m_sim_.setOutputHandler([this](std::string_view bytes) { m_output_.append(bytes); });
        m_sim_.setDistanceSource(
            [](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index % 900000); });
        if (!answerCommands) {
            m_sim_.feed("DX\r");
            m_output_.clear();
            return;
        }
        m_stop_ = ::eventfd(0, EFD_CLOEXEC);
        m_thread_ = std::thread([this] { answer(); });
    }
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;
    ~LineWriter() {
        if (m_thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t put = ::write(m_stop_, &one, sizeof one);
            m_thread_.join();
            ::close(m_stop_);
        }
        ::close(m_fd_);
    }
    bool measuring() {
        std::lock_guard lock(m_mutex_);
        return m_sim_.isMeasuring();
    }
    // Writes one measurement line; the time just before the write.
    Clock::time_point writeLine() {
        std::lock_guard lock(m_mutex_);
        m_sim_.tick();
        std::string line;
        line.swap(m_output_);
        const auto at = Clock::now();
        writeAll(line);
        return at;
    }
    // Sends measurement lines over a socket as fast as it takes them, until `stop` or
    // until the connection fails; counts the lines that went out whole.
    void flood(const std::atomic<bool>& stop, std::atomic<uint64_t>& lines) {
        constexpr std::size_t kLines = 4096;
        std::string block;
        std::size_t lineSize = 0;
        {
            std::lock_guard lock(m_mutex_);
            for (std::size_t i = 0; i < kLines; ++i) {
                m_sim_.tick();
                lineSize = m_output_.size();
                block += m_output_;
                m_output_.clear();
            }
        }
        // A bounded send, so that `stop` is seen while the reader is behind.
        const timeval limit{0, 200000};
        ::setsockopt(m_fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::size_t offset = 0; // into the block, where the next byte comes from
        uint64_t bytes = 0;
        while (!stop) {
            const ssize_t put = ::send(m_fd_, block.data() + offset, block.size() - offset, MSG_NOSIGNAL);
            if (put < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (put <= 0)
                return;
            bytes += static_cast<uint64_t>(put);
            offset = (offset + static_cast<std::size_t>(put)) % block.size();
            lines.store(bytes / lineSize, std::memory_order_relaxed);
        }
    }
    // Shuts a socket down, which wakes a reader blocked on the other end.
    void hangUp() { ::shutdown(m_fd_, SHUT_RDWR); }

private:
    void writeAll(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t put = ::write(m_fd_, bytes.data() + done, bytes.size() - done);
            if (put <= 0)
                return;
            done += static_cast<std::size_t>(put);
        }
    }
    void answer() {
        for (;;) {
            pollfd watched[2] = {{m_fd_, POLLIN, 0}, {m_stop_, POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0 || watched[1].revents != 0)
                return;
            char buffer[1024];
            const ssize_t got = ::read(m_fd_, buffer, sizeof buffer);
            if (got <= 0)
                return;
            std::lock_guard lock(m_mutex_);
            m_sim_.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
            std::string reply;
            reply.swap(m_output_);
            writeAll(reply);
        }
    }

    int m_fd_;
    int m_stop_ = -1;
    std::mutex m_mutex_;
    SensorSim::CSensorSimulator m_sim_;
    std::string m_output_;
    std::thread m_thread_;
};

} // namespace Bench
