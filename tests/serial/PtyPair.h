#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace SerialTests {

// A real pseudo-terminal for the tests: the master side plays the device at the
// other end of the line; the device side's path is what a port opens. A descriptor
// of the device side is held open (in raw mode) so that the master keeps working
// while ports open and close.
class PtyPair {
public:
    PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    ~PtyPair();

    const std::string& path() const { return m_path_; }
    int master() const { return m_master_; }
    int holder() const { return m_holder_; }

    void send(std::string_view bytes);
    // What the port has written so far, without waiting.
    std::string takeAvailable();
    // Reads until `count` bytes have come or the time-out passes.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout);
    // Bytes the port has not read yet.
    int unread() const;
    // The other side goes away, as an unplugged adapter would.
    void hangUp();

private:
    int m_master_ = -1;
    int m_holder_ = -1;
    std::string m_path_;
};

} // namespace SerialTests
