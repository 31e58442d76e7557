// Closing a connection ends the peer's stream in order, whatever is still on its way.
#include "WSocket.h"

#include "LoopbackPeer.h"
#include "RunUntil.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

using namespace NorvEngineering::Sockets;
using TestSupport::listenOnLoopback;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

// What the far end read before its stream ended, and how it ended.
struct StreamEnd {
    std::string bytes;
    std::string how; // "end of stream", "reset" or "timed out"
};

StreamEnd readToTheEnd(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    StreamEnd result;
    char buffer[65536];
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            result.how = "timed out";
            return result;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            result.bytes.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            result.how = "end of stream";
            return result;
        } else if (errno != EINTR) {
            result.how = errno == ECONNRESET ? "reset" : "error " + std::to_string(errno);
            return result;
        }
    }
}

// The peer takes nothing until the socket has closed, with a small receive buffer, so
// that most of what was sent still waits in the sending side's system buffers when the
// socket closes: a close that resets would throw those bytes away.
TEST(GracefulClose, ThePeerGetsEveryByteSentThenTheEndOfTheStream) {
    uint16_t port = 0;
    const int listener = listenOnLoopback(port, 1, 4096);
    auto socket = std::make_unique<TWSocket>(nullptr);
    int closed = 0;
    socket->OnSessionClosed = [&](TCustomWSocket*, uint16_t) { ++closed; };
    socket->SetAddr("127.0.0.1");
    socket->SetPort(std::to_string(port));
    socket->Connect();
    ASSERT_TRUE(runUntil([&] { return socket->GetState() == wsConnected; }));
    const int peer = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    std::string payload(256 * 1024, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 23);
    socket->Send(payload.data(), static_cast<int>(payload.size()));
    // What the socket still holds itself is not on its way yet.
    const auto handedOn = payload.size() - static_cast<std::size_t>(socket->BufferedByteCount());
    ASSERT_GT(handedOn, 64u * 1024u); // far more than the peer's buffer holds
    socket->Close();
    EXPECT_EQ(closed, 1);

    const StreamEnd end = readToTheEnd(peer, 10s);
    EXPECT_EQ(end.how, "end of stream");
    EXPECT_EQ(end.bytes.size(), handedOn);
    EXPECT_TRUE(end.bytes == payload.substr(0, handedOn));
    ::close(peer);
    ::close(listener);
}

} // namespace
