#pragma once

// Loopback TCP pairs (127.0.0.1, free ports) for the benchmarks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace Bench {

// A connected loopback pair: the reading end and the writing end.
struct TcpPair {
    int reader = -1;
    int writer = -1;
};

inline int listenOnLoopback(uint16_t& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

inline int acceptWithin(int listener, std::chrono::milliseconds timeout) {
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0)
        return -1;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

inline TcpPair tcpPair() {
    uint16_t port = 0;
    const int listener = listenOnLoopback(port);
    TcpPair pair;
    pair.reader = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ::connect(pair.reader, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pair.writer = acceptWithin(listener, std::chrono::seconds(5));
    ::close(listener);
    return pair;
}

} // namespace Bench
