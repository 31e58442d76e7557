#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace NorvEngineering::Sockets {

// What a thread that has taken a socket's reading over reads through (see
// TCustomWSocket::TakeOverReading): it lies with that reader, next to what else the
// reader touches per read, so that a read of one of a thousand connections finds one
// place cold, not several. The socket clears the descriptor copy, under the lock,
// before it closes the descriptor; the reader must have the reading dropped before
// this goes.
struct TTakenOverRead {
    std::mutex lock;
    int fd = -1;
    std::atomic<int64_t> count{0}; // bytes read; written under the lock
};

} // namespace NorvEngineering::Sockets
