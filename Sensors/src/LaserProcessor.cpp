#include "LaserProcessor.h"

#include "Sensor.h"
#include "SensorSink.h"

#include <algorithm>
#include <string_view>

namespace NorvEngineering::SensorLib {

CLaserProcessor::CLaserProcessor(const std::string& delimiters) : m_delimiters_(delimiters) {
    m_trace_.reserve(kTraceLimit);
    m_buffer_.reserve(kReceiveBufferSize);
}

CLaserProcessor::~CLaserProcessor() = default;

void CLaserProcessor::feed(const char* data, unsigned int length) {
    if (m_delimiters_.empty()) {
        m_skipping_ = false;
        feedUndelimited_(data, length);
        return;
    }
    // The chunk goes into the buffer in as many parts as it takes to keep the buffer
    // within its size, the complete replies cut after each part: a transport that
    // was held up hands over a full buffer of lines at once, and each of them counts.
    std::string_view rest(data, length);
    if (m_skipping_ && !skipOverlongRest_(rest))
        return;
    // How much of the reply in progress came with earlier chunks.
    std::size_t held = m_buffer_.size();
    for (;;) {
        const std::size_t part = std::min(kMaxBuffered - m_buffer_.size(), rest.size());
        m_buffer_.append(rest.data(), part);
        rest.remove_prefix(part);
        const std::size_t cut = cutReplies_(!rest.empty() && m_buffer_.size() < kMaxBuffered);
        held = cut >= held ? 0 : std::min(held - cut, m_buffer_.size());
        if (rest.empty())
            return;
        if (m_buffer_.size() < kMaxBuffered)
            continue;
        // The reply in progress grows past the buffer without a delimiter: no sensor
        // sends such a line. What earlier chunks brought of it goes to the trace, the
        // rest of it is skipped up to its delimiter, however many chunks away that
        // is, and reading starts again there.
        m_buffer_.resize(held);
        appendTrace(m_buffer_);
        clearBuffer();
        held = 0;
        m_skipping_ = true;
        if (!skipOverlongRest_(rest))
            return;
    }
}

bool CLaserProcessor::skipOverlongRest_(std::string_view& rest) {
    // Read from its middle, the tail of an overlong reply looks like a reply of its
    // own (a distance, a parameter): none of it may reach the parser. Its delimiter
    // takes as many characters as an ordinary cut would.
    const std::size_t end = rest.find_first_of(m_delimiters_);
    if (end == std::string_view::npos) {
        rest = {};
        return false;
    }
    rest.remove_prefix(std::min(end + m_delimiters_.size(), rest.size()));
    m_skipping_ = false;
    return true;
}

std::size_t CLaserProcessor::cutReplies_(bool moreToCome) {
    // The replies are taken from the front of the buffer by moving a start mark; the
    // buffer gives up what they took once, at the end, instead of once per reply, and
    // also when a parser throws, so the reply that failed is not offered again.
    m_consumed_ = 0;
    try {
        for (;;) {
            const std::size_t pos = findDelimiter_(std::max(m_consumed_, m_searched_));
            if (pos == std::string::npos) {
                m_searched_ = m_buffer_.size();
                break;
            }
            const std::size_t end = pos + m_delimiters_.size();
            // A reply takes as many characters as the delimiter set has; those not
            // yet in the buffer come with the next part of the chunk.
            if (end > m_buffer_.size() && moreToCome) {
                m_searched_ = pos;
                break;
            }
            const std::size_t cut = std::min(end, m_buffer_.size());
            m_reply_.assign(m_buffer_, m_consumed_, cut - m_consumed_);
            m_consumed_ = cut;
            m_searched_ = cut;
            parseReply(m_reply_);
            notifyDataUpdate();
        }
    } catch (...) {
        dropConsumed_();
        throw;
    }
    return dropConsumed_();
}

std::size_t CLaserProcessor::dropConsumed_() {
    // A parser or sink that cleared the buffer meanwhile left the mark at its start.
    const std::size_t taken = m_consumed_;
    m_buffer_.erase(0, taken);
    m_searched_ = m_searched_ > taken ? m_searched_ - taken : 0;
    m_consumed_ = 0;
    return taken;
}

std::size_t CLaserProcessor::findDelimiter_(std::size_t from) const {
    // Every sensor of the family ends its replies with one character: a plain search
    // for it is far cheaper than a search for any of a set.
    if (m_delimiters_.size() == 1)
        return m_buffer_.find(m_delimiters_[0], from);
    return m_buffer_.find_first_of(m_delimiters_, from);
}

void CLaserProcessor::feedUndelimited_(const char* data, unsigned int length) {
    // Without delimiters there are no replies to save: a chunk that does not fit
    // goes with the buffer, which the trace takes.
    if (m_buffer_.size() + length >= kReceiveBufferSize) {
        appendTrace(m_buffer_);
        clearBuffer();
        return;
    }
    m_buffer_.append(data, length);
    parseReply(m_buffer_);
    if (m_buffer_.size() + length >= kReceiveBufferSize)
        clearBuffer();
    notifyDataUpdate();
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
