#pragma once

#include "Component.h"
#include "Event.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace NorvEngineering::Sockets {

enum TLogOption : uint8_t {
    loDestEvent,
    loDestFile,
    loDestOutDebug,
    loAddStamp,
    loWsockErr,
    loWsockInfo,
    loWsockDump,
    loSslErr,
    loSslInfo,
    loSslDump,
    loProtSpecErr,
    loProtSpecInfo,
    loProtSpecDump
};

// A set of log options.
class TLogOptions {
public:
    TLogOptions() = default;
    TLogOptions(std::initializer_list<TLogOption> options) {
        for (const auto option : options)
            m_bits_ |= bit(option);
    }
    bool contains(TLogOption option) const { return (m_bits_ & bit(option)) != 0; }
    bool operator==(const TLogOptions&) const = default;

private:
    static uint32_t bit(TLogOption option) { return 1u << option; }
    uint32_t m_bits_ = 0;
};

// Where a socket writes its debug lines. This is the hook the socket component talks
// to: it checks the options before it formats a line and hands the line over; the
// line goes to OnLogEvent when loDestEvent is set.
class TSocketLogger : public Platform::TComponent {
public:
    using TSocketLogEvent =
        Platform::TEvent<void(Platform::TObject* sender, TLogOption option, const std::string& msg)>;

    explicit TSocketLogger(Platform::TComponent* owner) : Platform::TComponent(owner) {}

    TLogOptions LogOptions() const {
        std::lock_guard lock(m_mutex_);
        return m_options_;
    }
    void SetLogOptions(TLogOptions options) {
        std::lock_guard lock(m_mutex_);
        m_options_ = options;
    }

    virtual void DoDebugLog(Platform::TObject* sender, TLogOption option, const std::string& msg) {
        std::lock_guard lock(m_mutex_);
        if (m_options_.contains(loDestEvent))
            OnLogEvent(sender, option, msg);
    }

    TSocketLogEvent OnLogEvent;

private:
    mutable std::recursive_mutex m_mutex_;
    TLogOptions m_options_;
};

} // namespace NorvEngineering::Sockets
