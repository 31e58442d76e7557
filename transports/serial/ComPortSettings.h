#pragma once

#include "Component.h"
#include "EnumSet.h"

#include <cstdint>

namespace NorvEngineering::Serial {

class TCustomComPort;

enum TDTRControl : uint8_t { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl : uint8_t { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl : uint8_t { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };

enum TOption : uint8_t {
    opCheckParity,
    opOutputCTSFlow,
    opOutputDSRFlow,
    opDSRSensitivity,
    opTXContinueOnXOff, // how a Linux line always behaves, set or not
    opUseErrorChar,
    opDiscardNullBytes,
    opAbortOnError
};
using TOptions = TEnumSet<TOption>;

// The scheduling priority of the process while the port is open, as nice levels of
// all its threads: pcIdle 19, pcNormal 0, pcHigh -10, pcRealTime -20 (the highest
// level, not a real-time policy); pcDefault leaves it alone. Raising needs a privilege
// (CAP_SYS_NICE or RLIMIT_NICE); without it the threads keep their levels.
enum TPriorityClass : uint8_t { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };

// A group of port settings. Each setter stores a new value only when it differs and
// then applies its group to the open device at once.
class TComSettings : public Platform::TPersistent {
public:
    TCustomComPort* ComPort() const { return m_pComPort_; }

protected:
    explicit TComSettings(TCustomComPort* port) : m_pComPort_(port) {}
    TComSettings(const TComSettings&) = delete;
    TComSettings& operator=(const TComSettings&) = delete;

    TCustomComPort* m_pComPort_;
};

class TFlowControl : public TComSettings {
public:
    explicit TFlowControl(TCustomComPort* port) : TComSettings(port) {}

    TDTRControl DTR() const { return m_dtr_; }
    TRTSControl RTS() const { return m_rts_; }
    TXOnXOffControl XOnXOff() const { return m_xOnXOff_; }
    // Kept for configuration records; no effect on Linux, whose kernel sends XOFF and
    // XON at fixed fill levels of its input queue.
    uint16_t XOnLimit() const { return m_xOnLimit_; }
    uint16_t XOffLimit() const { return m_xOffLimit_; }
    void SetDTR(TDTRControl value);
    void SetRTS(TRTSControl value);
    void SetXOnXOff(TXOnXOffControl value);
    void SetXOnLimit(uint16_t value);
    void SetXOffLimit(uint16_t value);
    // Copies every field through its setter.
    void Assign(const TFlowControl& source);

private:
    // Takes the controls from a configuration record without applying them.
    friend class TCustomComPort;

    void changed_();

    TDTRControl m_dtr_ = dcDefault;
    TRTSControl m_rts_ = rcDefault;
    TXOnXOffControl m_xOnXOff_ = xcDefault;
    uint16_t m_xOnLimit_ = 0;
    uint16_t m_xOffLimit_ = 0;
};

class TCharacters : public TComSettings {
public:
    explicit TCharacters(TCustomComPort* port) : TComSettings(port) {}

    char XOn() const { return m_xOn_; }
    char XOff() const { return m_xOff_; }
    char Error() const { return m_error_; }
    // Kept for configuration records; no effect on Linux: the line is always raw (no
    // end-of-file character), and nothing watches arriving bytes for an event
    // character (OnRxFlag never fires).
    char Eof() const { return m_eof_; }
    char Event() const { return m_event_; }
    void SetXOn(char value);
    void SetXOff(char value);
    void SetError(char value);
    void SetEof(char value);
    void SetEvent(char value);
    void Assign(const TCharacters& source);

private:
    void changed_();

    char m_xOn_ = 0x11;
    char m_xOff_ = 0x13;
    char m_error_ = 0;
    char m_eof_ = 0;
    char m_event_ = 0;
};

class TBufferSizes : public TComSettings {
public:
    explicit TBufferSizes(TCustomComPort* port) : TComSettings(port) {}

    int32_t Input() const { return m_input_; }
    int32_t Output() const { return m_output_; }
    void SetInput(int32_t value);
    void SetOutput(int32_t value);
    void Assign(const TBufferSizes& source);

private:
    void changed_();

    int32_t m_input_ = 4096;
    int32_t m_output_ = 2048;
};

// Time-outs of waiting transfers, in milliseconds, with the usual serial meaning: a
// read ends when ReadInterval passes between two characters or when
// ReadMultiplier * count + ReadConstant has passed; a write ends when
// WriteMultiplier * count + WriteConstant has passed. All of a kind 0: no time-out.
// A ReadInterval of -1 with both read totals 0 returns at once with what is there.
class TTimeouts : public TComSettings {
public:
    explicit TTimeouts(TCustomComPort* port) : TComSettings(port) {}

    int32_t ReadInterval() const { return m_readInterval_; }
    int32_t ReadMultiplier() const { return m_readMultiplier_; }
    int32_t ReadConstant() const { return m_readConstant_; }
    int32_t WriteMultiplier() const { return m_writeMultiplier_; }
    int32_t WriteConstant() const { return m_writeConstant_; }
    void SetReadInterval(int32_t value);
    void SetReadMultiplier(int32_t value);
    void SetReadConstant(int32_t value);
    void SetWriteMultiplier(int32_t value);
    void SetWriteConstant(int32_t value);
    void Assign(const TTimeouts& source);

private:
    void changed_();

    int32_t m_readInterval_ = 0;
    int32_t m_readMultiplier_ = 0;
    int32_t m_readConstant_ = 0;
    int32_t m_writeMultiplier_ = 0;
    int32_t m_writeConstant_ = 0;
};

} // namespace NorvEngineering::Serial
