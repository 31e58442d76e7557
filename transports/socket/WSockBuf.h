#pragma once

#include <cstdint>
#include <memory>

namespace NorvEngineering::Sockets {

// One fixed-size chunk of a send queue. It is filled from the front only: space that
// reading frees is reused only once the chunk is empty, when both counts return to 0.
class TBuffer {
public:
    explicit TBuffer(int32_t size);
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;
    ~TBuffer();

    // A size of 0 or less gives 1514 bytes. The counts stay; shrinking below the bytes
    // written is not supported.
    void SetBufSize(int32_t size);
    int32_t BufSize() const { return m_bufSize_; }
    // Returns the bytes taken (0 when full).
    int32_t Write(const void* data, int32_t len);
    // Returns the bytes copied out.
    int32_t Read(void* data, int32_t len);
    // The unread bytes (null and 0 when none); they stay in the chunk.
    const uint8_t* Peek(int32_t& len) const;
    // Drops up to len unread bytes; returns how many.
    int32_t Remove(int32_t len);
    int32_t GetBufUsed() const { return m_wrCount_ - m_rdCount_; }
    int32_t WrCount() const { return m_wrCount_; }
    int32_t RdCount() const { return m_rdCount_; }

private:
    std::unique_ptr<uint8_t[]> m_pBuf_;
    int32_t m_bufSize_ = 0;
    int32_t m_wrCount_ = 0;
    int32_t m_rdCount_ = 0;
};

} // namespace NorvEngineering::Sockets
