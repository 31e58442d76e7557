#include "ComPortSettings.h"

#include "ComPort.h"

namespace NorvEngineering::Serial {

namespace {
template <typename T, typename Apply>
void store(T& field, T value, Apply apply) {
    if (field == value)
        return;
    field = value;
    apply();
}
} // namespace

void TFlowControl::changed_() {
    if (m_pComPort_ != nullptr)
        m_pComPort_->SetComDCB();
}
void TFlowControl::SetDTR(TDTRControl value) {
    store(m_dtr_, value, [this] { changed_(); });
}
void TFlowControl::SetRTS(TRTSControl value) {
    store(m_rts_, value, [this] { changed_(); });
}
void TFlowControl::SetXOnXOff(TXOnXOffControl value) {
    store(m_xOnXOff_, value, [this] { changed_(); });
}
void TFlowControl::SetXOnLimit(uint16_t value) {
    store(m_xOnLimit_, value, [this] { changed_(); });
}
void TFlowControl::SetXOffLimit(uint16_t value) {
    store(m_xOffLimit_, value, [this] { changed_(); });
}
void TFlowControl::Assign(const TFlowControl& source) {
    SetDTR(source.DTR());
    SetRTS(source.RTS());
    SetXOnXOff(source.XOnXOff());
    SetXOnLimit(source.XOnLimit());
    SetXOffLimit(source.XOffLimit());
}

void TCharacters::changed_() {
    if (m_pComPort_ != nullptr)
        m_pComPort_->SetComDCB();
}
void TCharacters::SetXOn(char value) {
    store(m_xOn_, value, [this] { changed_(); });
}
void TCharacters::SetXOff(char value) {
    store(m_xOff_, value, [this] { changed_(); });
}
void TCharacters::SetError(char value) {
    store(m_error_, value, [this] { changed_(); });
}
void TCharacters::SetEof(char value) {
    store(m_eof_, value, [this] { changed_(); });
}
void TCharacters::SetEvent(char value) {
    store(m_event_, value, [this] { changed_(); });
}
void TCharacters::Assign(const TCharacters& source) {
    SetXOn(source.XOn());
    SetXOff(source.XOff());
    SetError(source.Error());
    SetEof(source.Eof());
    SetEvent(source.Event());
}

void TBufferSizes::changed_() {
    if (m_pComPort_ != nullptr)
        m_pComPort_->SetComBufferSizes();
}
void TBufferSizes::SetInput(int32_t value) {
    store(m_input_, value, [this] { changed_(); });
}
void TBufferSizes::SetOutput(int32_t value) {
    store(m_output_, value, [this] { changed_(); });
}
void TBufferSizes::Assign(const TBufferSizes& source) {
    SetInput(source.Input());
    SetOutput(source.Output());
}

void TTimeouts::changed_() {
    if (m_pComPort_ != nullptr)
        m_pComPort_->SetComTimeouts();
}
void TTimeouts::SetReadInterval(int32_t value) {
    store(m_readInterval_, value, [this] { changed_(); });
}
void TTimeouts::SetReadMultiplier(int32_t value) {
    store(m_readMultiplier_, value, [this] { changed_(); });
}
void TTimeouts::SetReadConstant(int32_t value) {
    store(m_readConstant_, value, [this] { changed_(); });
}
void TTimeouts::SetWriteMultiplier(int32_t value) {
    store(m_writeMultiplier_, value, [this] { changed_(); });
}
void TTimeouts::SetWriteConstant(int32_t value) {
    store(m_writeConstant_, value, [this] { changed_(); });
}
void TTimeouts::Assign(const TTimeouts& source) {
    SetReadInterval(source.ReadInterval());
    SetReadMultiplier(source.ReadMultiplier());
    SetReadConstant(source.ReadConstant());
    SetWriteMultiplier(source.WriteMultiplier());
    SetWriteConstant(source.WriteConstant());
}

} // namespace NorvEngineering::Serial
