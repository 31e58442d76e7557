#pragma once

#include "SensorProcessor.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace NorvEngineering::SensorLib {

class CSensor;

// Receive size shared by the processors and the transports.
inline constexpr std::size_t kReceiveBufferSize = 4096;
// The most the processor holds of a reply in progress; a longer reply is dropped.
inline constexpr std::size_t kMaxBuffered = kReceiveBufferSize - 1;
// The most the trace holds, unless a single appended text is longer.
inline constexpr std::size_t kTraceLimit = 2048;

// Gathers received bytes, cuts complete replies at the model's delimiter set and hands
// each to the model's parser, then reports a data update. Every complete reply of at
// most kMaxBuffered characters is parsed once, also from a chunk larger than the buffer;
// nothing of a longer one is, however the chunks split it.
class CLaserProcessor : public CSensorProcessor {
public:
    explicit CLaserProcessor(const std::string& delimiters);
    ~CLaserProcessor() override;

    void feed(const char* data, unsigned int length) override;
    virtual void parseReply(std::string& reply) = 0;

    std::string takeTrace();
    void appendTrace(const std::string& text);
    void setDelimiters(const std::string& delimiters) {
        m_delimiters_ = delimiters;
        m_searched_ = 0;
    }
    void clearBuffer() {
        m_buffer_.clear();
        m_searched_ = 0;
        m_consumed_ = 0;
    }

    const std::string& getDelimiters() const { return m_delimiters_; }
    const std::string& getBuffer() const { return m_buffer_; }
    const std::string& getTrace() const { return m_trace_; }
    const std::string& getCurrentReply() const { return m_reply_; }

protected:
    // The data update every laser model reports: the trace, taken, to the sensor's
    // sink. Without a sink nothing happens and the trace stays.
    void notifySink_(CSensor* sensor);

private:
    // Cuts and parses every complete reply at the front of the buffer; a reply whose
    // delimiter lies at the buffer's end waits when more bytes are to come. Returns
    // how many characters were cut off the front.
    std::size_t cutReplies_(bool moreToCome);
    std::size_t findDelimiter_(std::size_t from) const;
    std::size_t dropConsumed_();
    // Drops the rest of an overlong reply from the front of `rest`: true when its
    // delimiter came there, and reading goes on after it.
    bool skipOverlongRest_(std::string_view& rest);
    void feedUndelimited_(const char* data, unsigned int length);

    std::string m_trace_;
    std::string m_buffer_;
    std::string m_delimiters_;
    std::string m_reply_;
    // How many characters at the front of the buffer are known to hold no delimiter:
    // a reply that comes a byte at a time is searched once, not once a byte.
    std::size_t m_searched_ = 0;
    // Where the replies already cut while cutting end.
    std::size_t m_consumed_ = 0;
    // An overlong reply was dropped and its delimiter has not come yet.
    bool m_skipping_ = false;
};

} // namespace NorvEngineering::SensorLib
