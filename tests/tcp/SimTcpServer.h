#pragma once

#include "SensorSimulator.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace TcpTests {

// Simulated sensors behind TCP ports on 127.0.0.1, served by one thread with poll:
// each port takes one connection at a time, feeds what arrives to its own
// simulator, sends what the simulator answers and drives its measuring modes on
// time. Tests reach the simulators only through with(), under the server's lock.
class SimTcpServer {
public:
    explicit SimTcpServer(std::size_t sensors = 1);
    SimTcpServer(const SimTcpServer&) = delete;
    SimTcpServer& operator=(const SimTcpServer&) = delete;
    ~SimTcpServer();

    uint16_t port(std::size_t index = 0) const;
    // Runs `call` with the simulator under the lock; output it causes goes out after.
    void with(std::size_t index, const std::function<void(SensorSim::CSensorSimulator&)>& call);
    // Closes the current connection of a sensor, as a sensor that hangs up.
    void hangUp(std::size_t index = 0);
    std::size_t connectionsAccepted(std::size_t index = 0) const;
    bool connected(std::size_t index = 0) const;
    // Each piece of output with a line end and the time it was handed over for sending,
    // when recording is on.
    using SentPiece = std::pair<std::chrono::steady_clock::time_point, std::string>;
    void recordSendTimes(bool on) { m_record_ = on; }
    std::vector<SentPiece> takeSendTimes();

private:
    struct Port;
    void run();
    void wake();
    void serviceLocked(Port& port);
    void closeConnectionLocked(Port& port);

    mutable std::mutex m_mutex_;
    std::vector<std::unique_ptr<Port>> m_ports_;
    int m_wakeFd_ = -1;
    std::atomic<bool> m_stop_{false};
    std::atomic<bool> m_record_{false};
    std::vector<SentPiece> m_sendTimes_;
    std::thread m_thread_;
};

} // namespace TcpTests
