#pragma once

// Floods of numbered lines over loopback connections, and a sensor that checks them as
// they come: any lost, repeated, swapped or mangled byte shows, whatever the length.
#include "TcpRig.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace TcpRig {

using TestSupport::pumpFor;

// "00000000\n", "00000001\n" ...: a stream in which any lost, repeated, swapped or
// mangled byte shows. The bytes from `offset` on.
inline void numberedLines(std::size_t offset, std::size_t length, char* out) {
    constexpr std::size_t kLine = 9;
    std::size_t number = offset / kLine;
    std::size_t at = offset % kLine;
    char line[kLine];
    const auto format = [&] {
        std::size_t rest = number;
        for (int digit = 7; digit >= 0; --digit, rest /= 10)
            line[digit] = static_cast<char>('0' + rest % 10);
        line[8] = '\n';
    };
    format();
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = line[at];
        if (++at == kLine) {
            at = 0;
            ++number;
            format();
        }
    }
}

// A sensor that checks what it receives against the numbered lines as it comes, so
// that a flood of any length needs no memory; safe to read from any thread.
class NumberedLinesSensor : public NorvEngineering::SensorLib::CSensor {
public:
    using CSensor::CSensor;
    void initialize() override {}
    void dataReceived(const char* data, unsigned int length) override {
        std::lock_guard lock(m_mutex_);
        m_expected_.resize(length);
        numberedLines(m_received_, length, m_expected_.data());
        if (m_firstWrong_ == kNone && std::memcmp(data, m_expected_.data(), length) != 0)
            m_firstWrong_ =
                m_received_ + static_cast<std::size_t>(
                                  std::mismatch(data, data + length, m_expected_.begin()).first - data);
        m_received_ += length;
        m_largestChunk_ = std::max<std::size_t>(m_largestChunk_, length);
        ++(NorvEngineering::Platform::isMainThread() ? m_onMain_ : m_elsewhere_);
        onData();
    }
    virtual void onData() {}

    std::size_t received() const {
        std::lock_guard lock(m_mutex_);
        return m_received_;
    }
    // Where the stream first differed from what was sent, or kNone.
    std::size_t firstWrong() const {
        std::lock_guard lock(m_mutex_);
        return m_firstWrong_;
    }
    std::size_t largestChunk() const {
        std::lock_guard lock(m_mutex_);
        return m_largestChunk_;
    }
    // Deliveries on the main thread and on others.
    std::pair<std::size_t, std::size_t> deliveries() const {
        std::lock_guard lock(m_mutex_);
        return {m_onMain_, m_elsewhere_};
    }

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

private:
    mutable std::mutex m_mutex_;
    std::string m_expected_;
    std::size_t m_received_ = 0;
    std::size_t m_firstWrong_ = kNone;
    std::size_t m_largestChunk_ = 0;
    std::size_t m_onMain_ = 0;
    std::size_t m_elsewhere_ = 0;
};

// The far end of one connection: sends numbered lines as fast as the connection takes
// them until stopped, and knows exactly what it sent.
class NumberedFlood {
public:
    explicit NumberedFlood(int connection) : m_fd_(connection), m_stop_(::eventfd(0, EFD_CLOEXEC)) {}
    ~NumberedFlood() {
        stop();
        ::close(m_stop_);
        ::close(m_fd_);
    }
    void start() {
        m_thread_ = std::thread([this] { run(); });
    }
    // The bytes sent, once the flood has stopped.
    std::size_t stop() {
        if (m_thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(m_stop_, &one, sizeof one);
            m_thread_.join();
        }
        return m_sent_;
    }

private:
    void run() {
        char pending[9 * 512];
        std::size_t offset = sizeof pending;
        for (;;) {
            if (offset == sizeof pending) {
                numberedLines(m_sent_, sizeof pending, pending);
                offset = 0;
            }
            pollfd watched[] = {{m_fd_, POLLOUT, 0}, {m_stop_, POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0 || watched[1].revents != 0 || watched[0].revents != POLLOUT)
                return;
            const ssize_t sent =
                ::send(m_fd_, pending + offset, sizeof pending - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                offset += static_cast<std::size_t>(sent);
                m_sent_ += static_cast<std::size_t>(sent);
            }
        }
    }

    const int m_fd_;
    const int m_stop_;
    std::size_t m_sent_ = 0;
    std::thread m_thread_;
};

// Connections to floods of numbered lines, each with its own transport.
template <class Sensor = NumberedLinesSensor>
struct FloodedConnections {
    std::vector<std::unique_ptr<BasicRig<Sensor>>> rigs;
    std::vector<std::unique_ptr<NumberedFlood>> floods;

    explicit FloodedConnections(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            RawListener listener;
            rigs.push_back(std::make_unique<BasicRig<Sensor>>(listener.port()));
            rigs.back()->open();
            const int connection = listener.accept();
            EXPECT_GE(connection, 0);
            floods.push_back(std::make_unique<NumberedFlood>(connection));
        }
        EXPECT_TRUE(runUntil([&] {
            return std::all_of(rigs.begin(), rigs.end(),
                               [](const auto& rig) { return rig->sink.seen().ready == 1; });
        }));
        for (auto& flood : floods)
            flood->start();
    }

    // Stops the floods, lets the main thread read the rest, and checks every stream.
    void expectEveryByteOnceInOrder() {
        std::vector<std::size_t> sent;
        for (auto& flood : floods)
            sent.push_back(flood->stop());
        for (auto& rig : rigs)
            rig->transport().setSyncEvents(true);
        EXPECT_TRUE(runUntil(
            [&] {
                for (std::size_t i = 0; i < rigs.size(); ++i)
                    if (rigs[i]->sensor.received() < sent[i])
                        return false;
                return true;
            },
            30s));
        pumpFor(20ms);
        for (std::size_t i = 0; i < rigs.size(); ++i) {
            SCOPED_TRACE("connection " + std::to_string(i));
            const auto& sensor = rigs[i]->sensor;
            EXPECT_EQ(sensor.received(), sent[i]);
            EXPECT_EQ(sensor.firstWrong(), Sensor::kNone) << "of " << sent[i] << " bytes";
            EXPECT_LE(sensor.largestChunk(), 4096u);
            EXPECT_EQ(rigs[i]->sink.seen().calls, (std::vector<std::string>{"ready"}));
        }
        rigs.clear();
        expectAllThreadsEnd();
    }
};

} // namespace TcpRig
