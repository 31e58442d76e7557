#include "InMemoryTransport.h"

#include <algorithm>
#include <string_view>

namespace SensorSim {

CInMemoryTransport::CInMemoryTransport(CSensorSimulator& simulator, EInterfaceType kind)
    : CSensorInterface(kind), m_simulator_(simulator) {
    m_simulator_.setOutputHandler([this](std::string_view bytes) { m_pending_.append(bytes); });
}

CInMemoryTransport::~CInMemoryTransport() {
    m_simulator_.setOutputHandler(nullptr);
    releaseInterface();
}

void CInMemoryTransport::write(const char* data, int length) {
    if (!m_open_ || data == nullptr || length <= 0)
        return;
    m_writes_.emplace_back(data, static_cast<std::size_t>(length));
    m_simulator_.feed(m_writes_.back());
}

std::size_t CInMemoryTransport::deliver(std::size_t maxBytes) {
    if (!m_open_ || m_pending_.empty())
        return 0;
    const std::size_t count = std::clamp<std::size_t>(maxBytes, 1, m_pending_.size());
    // Taken off first: what the sensor answers while the chunk is parsed queues
    // behind the rest.
    const std::string chunk = m_pending_.substr(0, count);
    m_pending_.erase(0, count);
    notifyDataReceived(chunk.data(), static_cast<unsigned int>(chunk.size()));
    return count;
}

std::size_t CInMemoryTransport::deliverAll(const std::function<std::size_t(std::size_t pending)>& chunkSize,
                                           std::size_t limit) {
    std::size_t delivered = 0;
    while (m_open_ && !m_pending_.empty() && delivered < limit)
        delivered += deliver(chunkSize(m_pending_.size()));
    return delivered;
}

std::string CInMemoryTransport::getWritten() const {
    std::string all;
    for (const std::string& chunk : m_writes_)
        all += chunk;
    return all;
}

} // namespace SensorSim
