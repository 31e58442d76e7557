#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>

namespace NorvEngineering::Serial {

struct TComEventLink;

// Input that a port's event thread has read off the device ahead of the port's own
// reads. A terminal throws away the input it still holds the moment its other side
// hangs up (a closed pseudo-terminal master, an unplugged adapter), so a byte is safe
// only once it has been read; while the port hands its events to a busy main thread,
// the event thread therefore reads each arrival at once and keeps it here. The port's
// reads, counts and purges take this store first and the device after it, so whoever
// uses the port sees one input queue in arrival order.
//
// Bounded: once it holds kCapacity bytes the thread reads no further until the port
// takes some and wakes it, and the device's own queue and flow control hold the rest,
// as they did for a port that reads nothing.
//
// Everything here is guarded by `mutex`. The device is read into the store, and read
// directly by the port, only under that lock, so the two never interleave.
class TComInputStore {
public:
    static constexpr std::size_t kCapacity = 64 * 1024;

    std::mutex mutex;
    // Told when bytes come in and when the reader changes.
    std::condition_variable changed;
    // The event thread that reads ahead (by its link), or none: then nothing is read
    // ahead and the device alone holds what has not been read.
    const TComEventLink* reader = nullptr;
    // The reader stopped on a full store and waits to be woken once there is room.
    bool wantsRoom = false;

    std::size_t size() const { return m_end_ - m_begin_; }
    // The memory it holds now: none until the first read ahead, and none once released.
    std::size_t memory() const { return m_bytes_ ? kCapacity : 0; }

    // Contiguous free space for the next read from the device; empty when full.
    char* space(std::size_t& length) {
        if (!m_bytes_)
            m_bytes_ = std::make_unique_for_overwrite<char[]>(kCapacity);
        if (m_begin_ > 0 && kCapacity - m_end_ < kCapacity / 4) {
            std::memmove(m_bytes_.get(), m_bytes_.get() + m_begin_, size());
            m_end_ -= m_begin_;
            m_begin_ = 0;
        }
        length = kCapacity - m_end_;
        return m_bytes_.get() + m_end_;
    }
    void added(std::size_t count) { m_end_ += count; }

    // Moves up to `count` bytes out, oldest first; returns how many.
    std::size_t take(void* target, std::size_t count) {
        const std::size_t moved = std::min(count, size());
        if (moved == 0)
            return 0;
        std::memcpy(target, m_bytes_.get() + m_begin_, moved);
        m_begin_ += moved;
        if (m_begin_ == m_end_)
            m_begin_ = m_end_ = 0;
        return moved;
    }

    // Whether the reader must be woken: it waits for room, and there is some now.
    bool roomForReader() {
        if (!wantsRoom || size() == kCapacity)
            return false;
        wantsRoom = false;
        return true;
    }

    void clear() { m_begin_ = m_end_ = 0; }
    // Empty and without memory, for a closed port.
    void release() {
        clear();
        m_bytes_.reset();
        wantsRoom = false;
    }

private:
    std::unique_ptr<char[]> m_bytes_;
    std::size_t m_begin_ = 0;
    std::size_t m_end_ = 0;
};

} // namespace NorvEngineering::Serial
