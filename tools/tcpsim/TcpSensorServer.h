#pragma once

#include "SensorSimulator.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace SensorSim {

// Simulated sensors behind TCP ports on 127.0.0.1, served by one thread with poll:
// each port takes one connection at a time, feeds what arrives to its own
// simulator, sends what the simulator answers and drives its measuring modes on
// time. Callers reach the simulators only through with(), under the server's lock.
// The thread starts with the server and ends with stop() or the destructor.
//
// When an engine hangs up, its connection is closed once what was sent before has
// left (at most a second later), and so is its listening port: to a client that
// looks like a converter that has been switched off.
class CTcpSensorServer {
public:
    // `sensors` sensors of this model, each on a free port.
    explicit CTcpSensorServer(std::size_t sensors = 1, EModel model = EModel::Vkr25);
    // One sensor on this port (0: a free one). Throws std::system_error when the port
    // cannot be had.
    CTcpSensorServer(EModel model, uint16_t port);
    CTcpSensorServer(const CTcpSensorServer&) = delete;
    CTcpSensorServer& operator=(const CTcpSensorServer&) = delete;
    ~CTcpSensorServer();

    std::size_t size() const { return m_ports_.size(); }
    uint16_t port(std::size_t index = 0) const;
    // Ends the thread and closes every connection; the server serves no more.
    void stop();

    // Runs `call` with the simulator under the lock; output it causes goes out after.
    void with(std::size_t index, const std::function<void(CSensorSimulator&)>& call);
    // Closes the current connection of a sensor, as a sensor that hangs up; the port
    // takes the next connection.
    void hangUp(std::size_t index = 0);
    std::size_t connectionsAccepted(std::size_t index = 0) const;
    bool connected(std::size_t index = 0) const;

    // Faults of every sensor of the server, as a poor line would show them.
    // Replies go out in pieces of at most `chunk` bytes with `gap` between them (0:
    // whole, as produced).
    void setSplitReplies(std::size_t chunk, std::chrono::milliseconds gap);
    // Every n-th measurement line is followed by a line of garbage (0: never).
    void setGarbageEvery(unsigned measurementLines);
    // After this many more measurement lines, a run of bytes without line end (0: never).
    void setFloodAfter(unsigned measurementLines);

    // Whether the engine has hung up and its port has been closed; and a wait for it,
    // which also ends when the server stops.
    bool isHungUp(std::size_t index = 0) const;
    bool waitForHangUp(std::chrono::milliseconds timeout, std::size_t index = 0);

    // Each piece of output with a line end and the time it was handed over for sending,
    // when recording is on.
    using SentPiece = std::pair<std::chrono::steady_clock::time_point, std::string>;
    void recordSendTimes(bool on) { m_record_ = on; }
    std::vector<SentPiece> takeSendTimes();

private:
    struct Port;
    CTcpSensorServer(EModel model, const std::vector<uint16_t>& ports);
    void run_();
    void wake_() const;
    void serviceLocked_(Port& port);
    void tickLocked_(Port& port);
    void sendLocked_(Port& port);
    void maybeHangUpLocked_(Port& port);
    int pollTimeoutLocked_(const Port& port, std::chrono::steady_clock::time_point now) const;

    mutable std::mutex m_mutex_;
    std::condition_variable m_changed_;
    std::vector<std::unique_ptr<Port>> m_ports_;
    int m_wakeFd_ = -1;
    bool m_stopping_ = false;
    std::atomic<bool> m_record_{false};
    std::vector<SentPiece> m_sendTimes_;
    std::size_t m_splitChunk_ = 0;
    std::chrono::milliseconds m_splitGap_{0};
    unsigned m_garbageEvery_ = 0;
    std::thread m_thread_;
};

} // namespace SensorSim
