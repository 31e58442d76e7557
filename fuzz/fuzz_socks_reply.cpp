// The SOCKS client layer fed arbitrary server bytes in arbitrary chunks over a real
// loopback connection. The first byte chooses the level and the method; then each
// chunk is a length byte and that many bytes. Whatever comes, the socket must end
// connected or closed, never crash, overflow or hang.
#include "FuzzLoopback.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace FuzzLoopback;
using namespace NorvEngineering::Sockets;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static const char* const levels[] = {"4", "4A", "5", "5"};
    TWSocket socket(nullptr);
    socket.SetMultiThreaded(true);
    bool closed = false;
    std::string received;
    socket.OnSessionClosed = [&](TCustomWSocket*, uint16_t) { closed = true; };
    socket.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
        char buffer[1024];
        const int n = sender->Receive(buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, static_cast<std::size_t>(n));
    };
    socket.SetSocksLevel(levels[data[0] & 3]);
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(std::to_string(listener().port));
    if ((data[0] & 4) != 0) {
        socket.SetSocksAuthentication(socksAuthenticateUsercode);
        socket.SetSocksUsercode("user");
        socket.SetSocksPassword("password");
    }
    socket.SetAddr("127.0.0.1");
    socket.SetPort("4001");
    socket.Connect();
    const int server = listener().accept();
    if (server < 0)
        return 0;
    for (std::size_t at = 1; at < size && !closed;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        ++at;
        discardInput(server);
        if (length > 0 && ::send(server, data + at, length, MSG_NOSIGNAL) < 0)
            break;
        at += length;
        pumpUntil(socket, [&] { return closed || drained(socket); });
    }
    ::close(server);
    if (!pumpUntil(socket, [&] { return closed; }))
        __builtin_trap(); // the peer's close must always end the connection
    return 0;
}
