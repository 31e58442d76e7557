#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace TestSupport {

// A TCP socket bound to 127.0.0.1 on an ephemeral port (written to `port`), listening
// with the backlog given unless it is negative; a receive buffer size above 0 is set
// first. Throws std::runtime_error.
int listenOnLoopback(uint16_t& port, int backlog = 16, int receiveBuffer = 0);
// A TCP socket connecting to 127.0.0.1:port: -1 when a blocking connect fails; with
// `blocking` false the connect may still be under way.
int connectToLoopback(uint16_t port, bool blocking = true);

// The far end of a loopback TCP connection for tests: a listening socket on
// 127.0.0.1 and the one connection it accepts, driven with blocking calls that each
// have a deadline.
class LoopbackPeer {
public:
    // Listens on an ephemeral port; a receive buffer size above 0 is set on the
    // listening socket (and so on the accepted one) before listening.
    explicit LoopbackPeer(int receiveBuffer = 0);
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;
    ~LoopbackPeer();

    uint16_t port() const { return m_port_; }
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool connected() const { return m_conn_ >= 0; }
    // Throws std::runtime_error when the bytes cannot go out (in time, see below).
    void send(const std::string& bytes);
    // A send that cannot go on for this long fails, for the accepted connection.
    void limitSendTime(std::chrono::milliseconds limit);
    // Reads until `count` bytes have come, the peer closes or the time-out passes.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads what comes until the peer closes (true) or the time-out passes (false).
    bool waitForClose(std::string* rest = nullptr,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // An orderly close (FIN).
    void close();
    // An abortive close (RST).
    void reset();
    // Wakes an accept() waiting in another thread, which then fails, as do later ones.
    void refuseConnections();

    // A port on 127.0.0.1 where nothing listens (taken and given back at once).
    static uint16_t unusedPort();

private:
    int m_listen_ = -1;
    int m_conn_ = -1;
    uint16_t m_port_ = 0;
};

} // namespace TestSupport
