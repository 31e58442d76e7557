#include "WSockBuf.h"

#include <algorithm>
#include <cstring>

namespace NorvEngineering::Sockets {

namespace {
constexpr int32_t kDefaultChunkSize = 1514;
std::size_t bytes(int32_t count) {
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}
} // namespace

TBuffer::TBuffer(int32_t size) {
    SetBufSize(size);
}

TBuffer::~TBuffer() = default;

void TBuffer::SetBufSize(int32_t size) {
    const int32_t newSize = size > 0 ? size : kDefaultChunkSize;
    if (newSize == m_bufSize_)
        return;
    auto block = std::make_unique<uint8_t[]>(bytes(newSize));
    if (m_wrCount_ != m_rdCount_ && m_pBuf_)
        std::memcpy(block.get(), m_pBuf_.get(), bytes(std::min(m_wrCount_, newSize)));
    m_pBuf_ = std::move(block);
    m_bufSize_ = newSize;
}

int32_t TBuffer::Write(const void* data, int32_t len) {
    const int32_t space = m_bufSize_ - m_wrCount_;
    if (space < 1 || len < 1 || data == nullptr)
        return 0;
    const int32_t n = std::min(space, len);
    std::memcpy(m_pBuf_.get() + m_wrCount_, data, bytes(n));
    m_wrCount_ += n;
    return n;
}

int32_t TBuffer::Read(void* data, int32_t len) {
    const int32_t avail = m_wrCount_ - m_rdCount_;
    if (avail < 1 || len < 1)
        return 0;
    const int32_t n = std::min(len, avail);
    if (data != nullptr)
        std::memcpy(data, m_pBuf_.get() + m_rdCount_, bytes(n));
    m_rdCount_ += n;
    if (m_rdCount_ == m_wrCount_) {
        m_rdCount_ = 0;
        m_wrCount_ = 0;
    }
    return n;
}

const uint8_t* TBuffer::Peek(int32_t& len) const {
    if (m_wrCount_ > m_rdCount_) {
        len = m_wrCount_ - m_rdCount_;
        return m_pBuf_.get() + m_rdCount_;
    }
    len = 0;
    return nullptr;
}

int32_t TBuffer::Remove(int32_t len) {
    return Read(nullptr, len);
}

} // namespace NorvEngineering::Sockets
