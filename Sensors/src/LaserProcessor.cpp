#include "LaserProcessor.h"

#include "Sensor.h"
#include "SensorSink.h"

namespace NorvEngineering::SensorLib {

CLaserProcessor::CLaserProcessor(const std::string& delimiters) : m_delimiters_(delimiters) {
    m_trace_.reserve(kTraceLimit);
    m_buffer_.reserve(kReceiveBufferSize);
}

CLaserProcessor::~CLaserProcessor() = default;

void CLaserProcessor::feed(const char* data, unsigned int length) {
    // A chunk that would fill the buffer means the sensor is not sending the lines we
    // expect: give up what is there (to the trace, so the owner sees it) and resync.
    if (m_buffer_.size() + length >= kReceiveBufferSize) {
        appendTrace(m_buffer_);
        m_buffer_.clear();
        return;
    }
    m_buffer_.append(data, length);

    if (m_delimiters_.empty()) {
        parseReply(m_buffer_);
        if (m_buffer_.size() + length >= kReceiveBufferSize)
            m_buffer_.clear();
        notifyDataUpdate();
        return;
    }

    for (;;) {
        const std::size_t pos = m_buffer_.find_first_of(m_delimiters_);
        if (pos == std::string::npos)
            return;
        const std::size_t cut = std::min(pos + m_delimiters_.size(), m_buffer_.size());
        m_reply_.assign(m_buffer_, 0, cut);
        m_buffer_.erase(0, cut);
        parseReply(m_reply_);
        notifyDataUpdate();
    }
}

std::string CLaserProcessor::takeTrace() {
    // Taken after every reply, and almost always empty: the trace keeps the room it
    // reserved, and only a trace that holds something costs a copy.
    std::string taken(m_trace_);
    m_trace_.clear();
    return taken;
}

void CLaserProcessor::appendTrace(const std::string& text) {
    if (m_trace_.size() + text.size() > kTraceLimit)
        m_trace_.clear();
    m_trace_ += text;
}

void CLaserProcessor::notifySink_(CSensor* sensor) {
    if (sensor == nullptr || sensor->getSink() == nullptr)
        return;
    sensor->getSink()->onDataUpdate(sensor, takeTrace());
}

} // namespace NorvEngineering::SensorLib
