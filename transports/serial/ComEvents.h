#pragma once

#include "Component.h"
#include "EnumSet.h"
#include "Event.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace NorvEngineering::Serial {

class TCustomComPort;
class EComError;
enum TComAction : uint8_t;

// The line events that the event thread reports, as bits of one batch. The values
// are the customary communication-event bits, so masks read the same everywhere.
enum TComEvent : uint32_t {
    evRxChar = 0x0001,
    evRxFlag = 0x0002,
    evTxEmpty = 0x0004,
    evCTS = 0x0008,
    evDSR = 0x0010,
    evRLSD = 0x0020,
    evBreak = 0x0040,
    evError = 0x0080,
    evRing = 0x0100,
    evPrinterError = 0x0200,
    evRx80Full = 0x0400,
    evEvent1 = 0x0800,
    evEvent2 = 0x1000,
};

// The events whose source is the state of the modem lines.
inline constexpr uint32_t kModemLineEvents = evCTS | evDSR | evRLSD | evRing;

enum TLineError : uint8_t {
    leBreak,
    leDeviceNotSelected,
    leFrame,
    leIO,
    leMode,
    leOutOfPaper,
    leOverrun,
    leDeviceTimeOut,
    leRxOverflow,
    leParity,
    leTxFull
};
using TLineErrors = TEnumSet<TLineError>;

using TNotifyEvent = Platform::TEvent<void(Platform::TObject* sender)>;
using TOpenCloseEvent = Platform::TEvent<void(TCustomComPort* comPort)>;
using TReadWriteEvent =
    Platform::TEvent<void(Platform::TObject* sender, void* buffer, int32_t length, bool waitOnCompletion)>;
using TComErrorEvent = Platform::TEvent<void(TCustomComPort* comPort, EComError& e, TComAction& action)>;

// A line-event handler of the port. Binding or unbinding one changes what the port
// listens for at once: the event thread starts with the first bound handler of an
// open port and stops with the last.
template <typename Signature>
class TComLineEvent;

class TComLineEventBase {
protected:
    explicit TComLineEventBase(TCustomComPort& port) : m_port_(port) {}
    void changed_();

private:
    TCustomComPort& m_port_;
};

template <typename R, typename... Args>
class TComLineEvent<R(Args...)> : public TComLineEventBase {
public:
    using Handler = std::function<R(Args...)>;

    explicit TComLineEvent(TCustomComPort& port) : TComLineEventBase(port) {}
    TComLineEvent(const TComLineEvent&) = delete;
    TComLineEvent& operator=(const TComLineEvent&) = delete;

    TComLineEvent& operator=(Handler handler) {
        const bool was = static_cast<bool>(m_event_);
        const bool now = static_cast<bool>(handler);
        m_event_ = std::move(handler);
        if (was != now)
            changed_();
        return *this;
    }
    TComLineEvent& operator=(std::nullptr_t) { return *this = Handler(); }
    explicit operator bool() const { return static_cast<bool>(m_event_); }
    R operator()(Args... args) const { return m_event_(std::forward<Args>(args)...); }

private:
    Platform::TEvent<R(Args...)> m_event_;
};

using TLineNotifyEvent = TComLineEvent<void(Platform::TObject* sender)>;
using TLineErrorEvent = TComLineEvent<void(Platform::TObject* sender, TLineErrors errors)>;

} // namespace NorvEngineering::Serial
