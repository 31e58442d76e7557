// Line mode fed arbitrary bytes in arbitrary chunks over a real loopback connection.
// The first bytes choose LineEdit, LineEcho, how the handler reads, LineLimit and
// LineEnd; then each chunk is a length byte and that many bytes. When nothing may
// change or drop bytes, what the handler read must be exactly what was sent, cut at
// line ends.
#include "FuzzLoopback.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace FuzzLoopback;
using namespace NorvEngineering::Sockets;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const uint8_t flags = data[0];
    const bool edit = (flags & 1) != 0;
    const bool echo = (flags & 2) != 0;
    const int readSize = (flags & 4) != 0 ? 1 + (flags >> 4) : 4096; // in pieces or whole
    const bool toggles = (flags & 8) != 0;                           // switches line mode off and on
    const int32_t limit = data[1] < 128 ? 0 : data[1] - 120;
    const std::size_t endLength = std::min<std::size_t>(data[2] % 4, size - 3);
    const std::string lineEnd(reinterpret_cast<const char*>(data + 3), endLength);
    std::size_t at = 3 + endLength;

    TWSocket socket(nullptr);
    socket.SetMultiThreaded(true);
    bool closed = false;
    std::vector<std::string> offers;
    int turn = 0;
    socket.OnSessionClosed = [&](TCustomWSocket*, uint16_t) { closed = true; };
    socket.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
        std::string buffer(static_cast<std::size_t>(readSize), '\0');
        const int n = sender->Receive(buffer.data(), readSize);
        if (n > 0)
            offers.push_back(buffer.substr(0, static_cast<std::size_t>(n)));
        if (toggles && ++turn % 3 == 0)
            socket.SetLineMode(!socket.LineMode());
    };
    socket.SetLineMode(true);
    socket.SetLineEdit(edit);
    socket.SetLineEcho(echo);
    socket.SetLineLimit(limit);
    socket.SetLineEnd(lineEnd);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(listener().port));
    socket.Connect();
    const int peer = listener().accept();
    if (peer < 0)
        return 0;
    std::string sent;
    while (at < size && !closed) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        ++at;
        discardInput(peer); // echoes
        if (length > 0 && ::send(peer, data + at, length, MSG_NOSIGNAL) < 0)
            break;
        sent.append(reinterpret_cast<const char*>(data + at), length);
        at += length;
        pumpUntil(socket, [&] { return closed || drained(socket); });
    }
    ::close(peer);
    if (!pumpUntil(socket, [&] { return closed; }))
        __builtin_trap(); // the peer's close must always end the connection

    if (!edit && !toggles && limit == 0 && !lineEnd.empty()) {
        std::string read;
        for (const auto& offer : offers)
            read += offer;
        if (read != sent)
            __builtin_trap(); // bytes lost, added or reordered
        if (readSize == 4096 && sent.size() < 4096)
            for (std::size_t i = 0; i + 1 < offers.size(); ++i)
                if (offers[i].size() < lineEnd.size() ||
                    offers[i].compare(offers[i].size() - lineEnd.size(), lineEnd.size(), lineEnd) != 0)
                    __builtin_trap(); // a line that does not end with the line end
    }
    return 0;
}
