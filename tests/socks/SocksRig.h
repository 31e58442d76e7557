#pragma once

// What the SOCKS tests stand on: a socket that writes down its events and a scripted
// peer driven from the test's thread.

#include "LoopbackPeer.h"
#include "RunUntil.h"
#include "WSocket.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace SocksTests {

using namespace NorvEngineering::Sockets;
using TestSupport::runUntil;

// A socket on the test's thread; its events become lines of text in order.
struct RecordedClient {
    std::vector<std::string> events;
    std::string received;
    int closed = 0;
    int connected = 0;
    std::unique_ptr<TWSocket> socket = std::make_unique<TWSocket>(nullptr);

    RecordedClient() {
        const auto note = [this](std::string what, uint16_t code) {
            events.push_back(std::move(what) + std::to_string(code));
        };
        socket->OnSessionConnected = [this, note](TCustomWSocket*, uint16_t code) {
            ++connected;
            note("connected ", code);
        };
        socket->OnSessionClosed = [this, note](TCustomWSocket*, uint16_t code) {
            ++closed;
            note("closed ", code);
        };
        socket->OnSocksConnected = [note](TCustomWSocket*, uint16_t code) { note("socks connected ", code); };
        socket->OnSocksError = [this](TCustomWSocket*, uint16_t code, const std::string& text) {
            events.push_back("socks error " + std::to_string(code) + " " + text);
        };
        socket->OnSocksAuthState = [note](TCustomWSocket*, TSocksAuthState state) { note("auth ", state); };
        socket->OnDataAvailable = [this](TCustomWSocket* sender, uint16_t) {
            char buffer[4096];
            const int n = sender->Receive(buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
                events.push_back("data " + std::string(buffer, static_cast<std::size_t>(n)));
            }
        };
    }
    // Connects to host:port through the SOCKS server on 127.0.0.1:socksPort.
    void connectThrough(uint16_t socksPort, const std::string& level, const std::string& host,
                        uint16_t port) {
        socket->SetSocksLevel(level);
        socket->SetSocksServer("127.0.0.1");
        socket->SetSocksPort(std::to_string(socksPort));
        socket->SetAddr(host);
        socket->SetPort(std::to_string(port));
        socket->Connect();
    }
    // Waits until the connection is reported (made or failed).
    bool waitConnected() {
        return runUntil([&] { return connected > 0 || closed > 0; });
    }
    bool waitReceived(std::size_t count) {
        return runUntil([&] { return received.size() >= count || closed > 0; }) && received.size() >= count;
    }
    bool waitClosed() {
        return runUntil([&] { return closed > 0; });
    }
    // The events that are not data, in order.
    std::vector<std::string> reports() const {
        std::vector<std::string> result;
        for (const auto& event : events)
            if (event.rfind("data ", 0) != 0)
                result.push_back(event);
        return result;
    }
};

// The far end of a connection, driven without blocking from the test's thread while
// the socket's events are handled between its steps.
class ScriptedPeer {
public:
    uint16_t port() const { return m_peer_.port(); }
    // Handles the socket's events until `count` bytes have come and returns them.
    std::string read(std::size_t count) {
        runUntil([&] {
            if (acceptNow())
                m_pending_ += m_peer_.receive(1 << 16, std::chrono::milliseconds(0));
            return m_pending_.size() >= count;
        });
        const std::string got = m_pending_.substr(0, count);
        m_pending_.erase(0, got.size());
        return got;
    }
    // Handles the socket's events until something has come and returns all of it.
    std::string readSome() { return read(m_pending_.size() + 1) + std::exchange(m_pending_, {}); }
    void send(const std::string& bytes) {
        if (!acceptNow())
            throw std::runtime_error("scripted peer cannot send");
        m_peer_.send(bytes);
    }
    void close() { m_peer_.close(); }

private:
    bool acceptNow() { return m_peer_.connected() || m_peer_.accept(std::chrono::milliseconds(0)); }
    TestSupport::LoopbackPeer m_peer_;
    std::string m_pending_;
};

// The bytes of the values given, one each.
inline std::string bytes(std::initializer_list<int> values) {
    return std::string(values.begin(), values.end());
}

} // namespace SocksTests
