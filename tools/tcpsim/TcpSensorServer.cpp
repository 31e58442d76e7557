#include "TcpSensorServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

namespace SensorSim {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::milliseconds kHangUpDrainLimit{1000};
// A late wake-up catches up on missed measurement lines, but never floods the line.
constexpr unsigned kMaxCatchUpLines = 50;
constexpr const char* kGarbageLine = "#?~garbage~?#";

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int millisUntil(Clock::time_point when, Clock::time_point now) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return wait < 0 ? 0 : static_cast<int>(std::min<long long>(wait, 60 * 60 * 1000));
}

} // namespace

struct CTcpSensorServer::Port {
    explicit Port(EModel model) : sim(model) {}
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() { closeAll(); }

    void closeConnection() {
        closeFd(connFd);
        pending.clear();
        nextTick = {};
        nextSendAt = {};
    }
    void closeAll() {
        closeConnection();
        closeFd(listenFd);
    }

    int listenFd = -1;
    int connFd = -1;
    uint16_t number = 0;
    std::size_t accepted = 0;
    CSensorSimulator sim;
    std::string pending; // produced, not yet taken by the socket
    Clock::time_point nextTick{};
    std::chrono::microseconds tickPeriod{0};
    Clock::time_point nextSendAt{}; // a split reply's next piece
    Clock::time_point hangUpSince{};
    uint64_t floodAtLine = 0;
    bool hangUpRequested = false;
    bool gone = false; // the engine hung up and the port is closed
};

CTcpSensorServer::CTcpSensorServer(std::size_t sensors, EModel model)
    : CTcpSensorServer(model, std::vector<uint16_t>(sensors, 0)) {}

CTcpSensorServer::CTcpSensorServer(EModel model, uint16_t port)
    : CTcpSensorServer(model, std::vector<uint16_t>{port}) {}

CTcpSensorServer::CTcpSensorServer(EModel model, const std::vector<uint16_t>& ports) {
    m_wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    try {
        for (const uint16_t wanted : ports) {
            auto port = std::make_unique<Port>(model);
            port->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (port->listenFd < 0)
                throw std::system_error(errno, std::generic_category(), "socket");
            const int on = 1;
            ::setsockopt(port->listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(wanted);
            if (::bind(port->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(port->listenFd, 8) != 0)
                throw std::system_error(errno, std::generic_category(),
                                        "listen on 127.0.0.1:" + std::to_string(wanted));
            socklen_t length = sizeof address;
            ::getsockname(port->listenFd, reinterpret_cast<sockaddr*>(&address), &length);
            port->number = ntohs(address.sin_port);
            Port* raw = port.get();
            port->sim.setOutputHandler([this, raw](std::string_view bytes) {
                raw->pending.append(bytes);
                if (m_record_ && bytes.find('\n') != std::string_view::npos)
                    m_sendTimes_.emplace_back(Clock::now(), std::string(bytes));
            });
            m_ports_.push_back(std::move(port));
        }
        m_thread_ = std::thread([this] { run_(); });
    } catch (...) {
        closeFd(m_wakeFd_);
        throw;
    }
}

CTcpSensorServer::~CTcpSensorServer() {
    stop();
    closeFd(m_wakeFd_);
}

void CTcpSensorServer::stop() {
    {
        std::lock_guard lock(m_mutex_);
        m_stopping_ = true;
    }
    m_changed_.notify_all();
    wake_();
    if (m_thread_.joinable())
        m_thread_.join();
    std::lock_guard lock(m_mutex_);
    for (auto& port : m_ports_)
        port->closeAll();
}

uint16_t CTcpSensorServer::port(std::size_t index) const {
    return m_ports_.at(index)->number;
}

void CTcpSensorServer::wake_() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd_, &one, sizeof one);
}

void CTcpSensorServer::with(std::size_t index, const std::function<void(CSensorSimulator&)>& call) {
    {
        std::lock_guard lock(m_mutex_);
        call(m_ports_.at(index)->sim);
    }
    wake_();
}

void CTcpSensorServer::hangUp(std::size_t index) {
    {
        std::lock_guard lock(m_mutex_);
        m_ports_.at(index)->hangUpRequested = true;
    }
    wake_();
}

std::size_t CTcpSensorServer::connectionsAccepted(std::size_t index) const {
    std::lock_guard lock(m_mutex_);
    return m_ports_.at(index)->accepted;
}

bool CTcpSensorServer::connected(std::size_t index) const {
    std::lock_guard lock(m_mutex_);
    return m_ports_.at(index)->connFd >= 0;
}

void CTcpSensorServer::setSplitReplies(std::size_t chunk, std::chrono::milliseconds gap) {
    {
        std::lock_guard lock(m_mutex_);
        m_splitChunk_ = chunk;
        m_splitGap_ = gap;
    }
    wake_();
}

void CTcpSensorServer::setGarbageEvery(unsigned measurementLines) {
    std::lock_guard lock(m_mutex_);
    m_garbageEvery_ = measurementLines;
}

void CTcpSensorServer::setFloodAfter(unsigned measurementLines) {
    std::lock_guard lock(m_mutex_);
    for (auto& port : m_ports_)
        port->floodAtLine =
            measurementLines == 0 ? 0 : port->sim.getMeasurementLinesSent() + measurementLines;
}

bool CTcpSensorServer::isHungUp(std::size_t index) const {
    std::lock_guard lock(m_mutex_);
    return m_ports_.at(index)->gone;
}

bool CTcpSensorServer::waitForHangUp(std::chrono::milliseconds timeout, std::size_t index) {
    std::unique_lock lock(m_mutex_);
    const Port& port = *m_ports_.at(index);
    m_changed_.wait_for(lock, timeout, [&] { return port.gone || m_stopping_; });
    return port.gone;
}

std::vector<CTcpSensorServer::SentPiece> CTcpSensorServer::takeSendTimes() {
    std::lock_guard lock(m_mutex_);
    return std::exchange(m_sendTimes_, {});
}

// Runs the measuring mode when a line is due, sends what is pending and closes the
// port after an engine hang-up.
void CTcpSensorServer::serviceLocked_(Port& port) {
    if (port.connFd >= 0 && port.hangUpRequested)
        port.closeConnection();
    port.hangUpRequested = false;
    if (port.connFd >= 0) {
        tickLocked_(port);
        sendLocked_(port);
    }
    maybeHangUpLocked_(port);
}

void CTcpSensorServer::tickLocked_(Port& port) {
    const auto period = port.sim.isHungUp() ? std::chrono::microseconds(0) : port.sim.getMeasurementPeriod();
    const auto now = Clock::now();
    if (period.count() <= 0) {
        port.nextTick = {};
        port.tickPeriod = period;
        return;
    }
    if (port.nextTick == Clock::time_point{} || period != port.tickPeriod) {
        port.nextTick = now + period;
        port.tickPeriod = period;
        return;
    }
    for (unsigned lines = 0; port.nextTick <= now; ++lines) {
        if (lines == kMaxCatchUpLines) {
            port.nextTick = now + period;
            break;
        }
        if (!port.sim.tick())
            break;
        port.nextTick += period;
        const uint64_t sent = port.sim.getMeasurementLinesSent();
        if (m_garbageEvery_ != 0 && sent % m_garbageEvery_ == 0)
            port.sim.injectLine(kGarbageLine);
        if (port.floodAtLine != 0 && sent >= port.floodAtLine) {
            port.floodAtLine = 0;
            port.sim.emitFlood();
        }
    }
}

void CTcpSensorServer::sendLocked_(Port& port) {
    const auto now = Clock::now();
    while (port.connFd >= 0 && !port.pending.empty() && port.nextSendAt <= now) {
        const std::size_t piece =
            m_splitChunk_ == 0 ? port.pending.size() : std::min(m_splitChunk_, port.pending.size());
        const ssize_t n = ::send(port.connFd, port.pending.data(), piece, MSG_NOSIGNAL);
        if (n > 0) {
            port.pending.erase(0, static_cast<std::size_t>(n));
            if (m_splitChunk_ != 0 && !port.pending.empty())
                port.nextSendAt = now + m_splitGap_;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break; // the client is slow: poll says when it has read some
        port.closeConnection();
    }
}

void CTcpSensorServer::maybeHangUpLocked_(Port& port) {
    if (port.gone || !port.sim.isHungUp())
        return;
    if (port.connFd >= 0) {
        const auto now = Clock::now();
        if (port.hangUpSince == Clock::time_point{})
            port.hangUpSince = now;
        // What was sent before the hang-up should reach the client: give it time to read.
        if (!port.pending.empty() && now - port.hangUpSince < kHangUpDrainLimit)
            return;
        ::shutdown(port.connFd, SHUT_WR);
    }
    port.closeAll();
    port.gone = true;
    m_changed_.notify_all();
}

int CTcpSensorServer::pollTimeoutLocked_(const Port& port, Clock::time_point now) const {
    if (port.connFd < 0)
        return -1;
    int timeout = -1;
    const auto earliest = [&](Clock::time_point when) {
        const int ms = millisUntil(when, now);
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    };
    if (port.nextTick != Clock::time_point{})
        earliest(port.nextTick);
    if (!port.pending.empty() && port.nextSendAt > now)
        earliest(port.nextSendAt);
    if (port.hangUpSince != Clock::time_point{})
        earliest(port.hangUpSince + kHangUpDrainLimit);
    return timeout;
}

void CTcpSensorServer::run_() {
    std::vector<pollfd> fds;
    std::vector<Port*> owners;
    std::unique_lock lock(m_mutex_);
    while (!m_stopping_) {
        int timeoutMs = -1;
        fds.clear();
        owners.clear();
        fds.push_back({m_wakeFd_, POLLIN, 0});
        owners.push_back(nullptr);
        for (auto& port : m_ports_) {
            serviceLocked_(*port);
            // One reading of the clock for both: a piece that fell due meanwhile is sent
            // when the socket says it can take it, a later one when its time comes.
            const auto now = Clock::now();
            if (port->connFd >= 0) {
                const bool canSend = !port->pending.empty() && port->nextSendAt <= now;
                fds.push_back({port->connFd, static_cast<short>(POLLIN | (canSend ? POLLOUT : 0)), 0});
            } else if (port->listenFd >= 0) {
                fds.push_back({port->listenFd, POLLIN, 0});
            } else {
                continue;
            }
            owners.push_back(port.get());
            const int portTimeout = pollTimeoutLocked_(*port, now);
            if (portTimeout >= 0)
                timeoutMs = timeoutMs < 0 ? portTimeout : std::min(timeoutMs, portTimeout);
        }
        lock.unlock();
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        lock.lock();
        if (ready < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t drained = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd_, &drained, sizeof drained);
        }
        for (std::size_t i = 1; i < fds.size() && !m_stopping_; ++i) {
            Port& port = *owners[i];
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == port.listenFd && port.connFd < 0) {
                const int fd = ::accept4(port.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) {
                    const int on = 1;
                    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    port.connFd = fd;
                    ++port.accepted;
                    port.nextTick = {};
                    port.nextSendAt = {};
                }
                continue;
            }
            if (fds[i].fd != port.connFd)
                continue;
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::recv(port.connFd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    port.sim.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    break;
                port.closeConnection(); // the host went away
                break;
            }
            serviceLocked_(port);
        }
    }
}

} // namespace SensorSim
