#include "SimTcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

namespace TcpTests {

using Clock = std::chrono::steady_clock;

struct SimTcpServer::Port {
    int listenFd = -1;
    int connFd = -1;
    uint16_t number = 0;
    std::size_t accepted = 0;
    SensorSim::CSensorSimulator sim;
    std::string pending; // produced, not yet taken by the socket
    Clock::time_point nextTick{};
    bool hangUp = false;
};

SimTcpServer::SimTcpServer(std::size_t sensors) {
    m_wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    for (std::size_t i = 0; i < sensors; ++i) {
        auto port = std::make_unique<Port>();
        port->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(port->listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(port->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(port->listenFd, 8) != 0)
            throw std::runtime_error("simulator listen");
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
    m_thread_ = std::thread([this] { run(); });
}

SimTcpServer::~SimTcpServer() {
    m_stop_ = true;
    wake();
    m_thread_.join();
    for (auto& port : m_ports_) {
        closeConnectionLocked(*port);
        ::close(port->listenFd);
    }
    ::close(m_wakeFd_);
}

uint16_t SimTcpServer::port(std::size_t index) const {
    return m_ports_.at(index)->number;
}

void SimTcpServer::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd_, &one, sizeof one);
}

void SimTcpServer::with(std::size_t index, const std::function<void(SensorSim::CSensorSimulator&)>& call) {
    {
        std::lock_guard lock(m_mutex_);
        call(m_ports_.at(index)->sim);
    }
    wake();
}

void SimTcpServer::hangUp(std::size_t index) {
    {
        std::lock_guard lock(m_mutex_);
        m_ports_.at(index)->hangUp = true;
    }
    wake();
}

std::size_t SimTcpServer::connectionsAccepted(std::size_t index) const {
    std::lock_guard lock(m_mutex_);
    return m_ports_.at(index)->accepted;
}

bool SimTcpServer::connected(std::size_t index) const {
    std::lock_guard lock(m_mutex_);
    return m_ports_.at(index)->connFd >= 0;
}

std::vector<SimTcpServer::SentPiece> SimTcpServer::takeSendTimes() {
    std::lock_guard lock(m_mutex_);
    return std::exchange(m_sendTimes_, {});
}

void SimTcpServer::closeConnectionLocked(Port& port) {
    if (port.connFd >= 0)
        ::close(port.connFd);
    port.connFd = -1;
    port.pending.clear();
}

// Sends what is pending and runs the measuring mode when a line is due.
void SimTcpServer::serviceLocked(Port& port) {
    if (port.connFd < 0)
        return;
    if (port.hangUp) {
        port.hangUp = false;
        closeConnectionLocked(port);
        return;
    }
    const auto period = port.sim.getMeasurementPeriod();
    if (period.count() > 0) {
        const auto now = Clock::now();
        if (port.nextTick == Clock::time_point{})
            port.nextTick = now + period;
        while (port.nextTick <= now) {
            port.sim.tick();
            port.nextTick += period;
        }
    } else {
        port.nextTick = {};
    }
    while (!port.pending.empty()) {
        const ssize_t n = ::send(port.connFd, port.pending.data(), port.pending.size(), MSG_NOSIGNAL);
        if (n > 0) {
            port.pending.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        closeConnectionLocked(port);
        return;
    }
}

void SimTcpServer::run() {
    std::vector<pollfd> fds;
    std::vector<Port*> owners;
    while (!m_stop_) {
        int timeoutMs = -1;
        fds.clear();
        owners.clear();
        fds.push_back({m_wakeFd_, POLLIN, 0});
        owners.push_back(nullptr);
        {
            std::lock_guard lock(m_mutex_);
            const auto now = Clock::now();
            for (auto& port : m_ports_) {
                serviceLocked(*port);
                if (port->connFd < 0) {
                    fds.push_back({port->listenFd, POLLIN, 0});
                } else {
                    const short events = static_cast<short>(POLLIN | (port->pending.empty() ? 0 : POLLOUT));
                    fds.push_back({port->connFd, events, 0});
                    if (port->nextTick != Clock::time_point{}) {
                        const auto wait =
                            std::chrono::ceil<std::chrono::milliseconds>(port->nextTick - now).count();
                        const int ms = wait < 0 ? 0 : static_cast<int>(wait);
                        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
                    }
                }
                owners.push_back(port.get());
            }
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t drained = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd_, &drained, sizeof drained);
        }
        std::lock_guard lock(m_mutex_);
        for (std::size_t i = 1; i < fds.size(); ++i) {
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
                closeConnectionLocked(port); // the host went away
                break;
            }
            serviceLocked(port);
        }
    }
}

} // namespace TcpTests
