#pragma once

// What the socket fuzz targets share: a listening socket on the loopback and a wait
// that handles the socket's messages until a condition holds or a deadline passes.

#include "MessageQueue.h"
#include "WSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace FuzzLoopback {

using NorvEngineering::Sockets::TWSocket;

// One listening socket for the whole run; each input accepts its own connection.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 16);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    int accept() const {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 2000) <= 0)
            return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }
};

inline Listener& listener() {
    static Listener instance;
    return instance;
}

// Handles the socket's messages until `done` holds (true) or a second has passed.
inline bool pumpUntil(TWSocket& socket, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    auto& queue = NorvEngineering::Platform::ThreadMessageQueue::current();
    for (;;) {
        socket.ProcessMessages();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        queue.wait(std::chrono::milliseconds(5));
    }
}

// True when the socket has read everything that waits for it, or has no connection.
inline bool drained(TWSocket& socket) {
    int waiting = 0;
    return socket.HSocket() == NorvEngineering::Sockets::INVALID_SOCKET ||
           ::ioctl(socket.HSocket(), FIONREAD, &waiting) != 0 || waiting == 0;
}

// Reads and drops what the client sent, so that it never waits for room.
inline void discardInput(int fd) {
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
}

} // namespace FuzzLoopback
