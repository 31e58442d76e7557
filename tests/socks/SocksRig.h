#pragma once

// What the SOCKS and line-mode tests stand on: a socket that writes down its events,
// a scripted peer driven from the test's thread, an echo server in a thread of its
// own, and the real SOCKS servers started as child processes on free loopback ports.

#include "LoopbackPeer.h"
#include "WSocket.h"

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace SocksTests {

using namespace NorvEngineering::Sockets;

// A socket on the test's thread; its events become lines of text in order.
struct RecordedClient {
    std::vector<std::string> events;
    std::string received;
    int closed = 0;
    int connected = 0;
    uint16_t connectCode = 0;
    std::unique_ptr<TWSocket> socket = std::make_unique<TWSocket>(nullptr);

    RecordedClient();
    // Connects to host:port through the SOCKS server on 127.0.0.1:socksPort.
    void connectThrough(uint16_t socksPort, const std::string& level, const std::string& host, uint16_t port);
    // Waits until the connection is reported (made or failed).
    bool waitConnected();
    bool waitReceived(std::size_t count);
    bool waitClosed();
    // The events that are not data, in order.
    std::vector<std::string> reports() const;
};

// The far end of a connection, driven without blocking from the test's thread while
// the socket's events are handled between its steps.
class ScriptedPeer {
public:
    uint16_t port() const { return m_peer_.port(); }
    // Handles the socket's events until `count` bytes have come and returns them.
    std::string read(std::size_t count);
    // Handles the socket's events until something has come and returns all of it.
    std::string readSome() { return read(m_pending_.size() + 1) + std::exchange(m_pending_, {}); }
    void send(const std::string& bytes);
    void close() { m_peer_.close(); }

private:
    bool acceptNow() { return m_peer_.connected() || m_peer_.accept(std::chrono::milliseconds(0)); }
    TestSupport::LoopbackPeer m_peer_;
    std::string m_pending_;
};

// Sends back whatever each connection sends, from a thread of its own.
class EchoServer {
public:
    EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;
    ~EchoServer();
    uint16_t port() const { return m_port_; }

private:
    void run();
    int m_listen_ = -1;
    int m_stop_ = -1;
    uint16_t m_port_ = 0;
    std::thread m_thread_;
};

// A server program run as a child process, its output kept in a file for the
// message of a test that fails.
class ServerProcess {
public:
    ServerProcess(const std::vector<std::string>& command, const std::string& logPath);
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess();
    // Waits until something listens on 127.0.0.1:port; false when the program ended
    // or the deadline passed.
    bool waitListening(uint16_t port, std::chrono::seconds deadline = std::chrono::seconds(10));
    std::string log() const;

private:
    pid_t m_pid_ = -1;
    std::string m_logPath_;
};

// A directory of its own for the files of a test's servers, removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path_; }

private:
    std::string m_path_;
};

// The bytes of the values given, one each.
inline std::string bytes(std::initializer_list<int> values) {
    return std::string(values.begin(), values.end());
}
// A port on 127.0.0.1 where nothing listens now.
uint16_t freePort();
// Runs a program to its end; its exit status.
int runProgram(const std::vector<std::string>& command);
// The path of a program, or empty when it is not installed.
std::string findProgram(const std::string& name);

} // namespace SocksTests
