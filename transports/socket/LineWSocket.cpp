#include "LineWSocket.h"

#include "MessageTarget.h"
#include "WSocketErrors.h"

#include <sys/socket.h>

#include <algorithm>

namespace NorvEngineering::Sockets {

TCustomLineWSocket::TCustomLineWSocket(Platform::TComponent* owner) : TCustomSocksWSocket(owner) {}

bool TCustomLineWSocket::LineModeActive() const {
    return m_lineMode_ && !m_lineEnd_.empty() && SocksState() == socksData;
}

void TCustomLineWSocket::SetLineMode(bool value) {
    if (value == m_lineMode_)
        return;
    m_lineMode_ = value;
    m_lineStalled_ = false;
    m_searchFrom_ = 0;
    if (!LineModeActive())
        m_lineLength_ = 0; // a pending line is plain bytes now, still first in the buffer
    if (!m_buf_.empty() || m_lineLength_ > 0)
        Platform::postMessage(Handle(), WM_TRIGGER_DATA_AVAILABLE);
}

void TCustomLineWSocket::SetLineEnd(const std::string& value) {
    if (value == m_lineEnd_)
        return;
    const bool wasActive = LineModeActive();
    m_lineEnd_ = value;
    m_searchFrom_ = 0;
    m_lineStalled_ = false;
    if (!LineModeActive())
        m_lineLength_ = 0; // a pending line is plain bytes now, still first in the buffer
    // Without a line end the layer below has the data: what waits here goes first,
    // and with a line end back it is cut into lines again.
    if (wasActive != LineModeActive() && !m_buf_.empty())
        Platform::postMessage(Handle(), WM_TRIGGER_DATA_AVAILABLE);
}

int TCustomLineWSocket::SendLine(const std::string& text) {
    if (text.empty())
        return 0;
    // Queued first, so that the text and its end leave in one send.
    PutDataInSendBuffer(text.data(), static_cast<int>(text.size()));
    SendStr(m_lineEnd_);
    return static_cast<int>(text.size() + m_lineEnd_.size());
}

void TCustomLineWSocket::WndProc(Platform::TMessage& message) {
    if (message.message != WM_TRIGGER_DATA_AVAILABLE) {
        TCustomSocksWSocket::WndProc(message);
        return;
    }
    try {
        WMTriggerDataAvailable();
    } catch (const std::exception& e) {
        HandleBackGroundException(e);
    } catch (...) {
        HandleBackGroundException(ESocketException("Unknown exception in a socket handler"));
    }
}

void TCustomLineWSocket::WMTriggerDataAvailable() {
    for (int turns = 1; !m_buf_.empty(); ++turns) {
        m_lineFound_ = false;
        const std::size_t before = m_buf_.size();
        if (!TriggerDataAvailable(0)) {
            DropBuffered(); // nobody reads plain bytes
            break;
        }
        if (m_buf_.empty())
            break;
        if (LineModeActive() && turns > 3 && !m_lineFound_)
            break;
        // A turn that took nothing and found nothing would only repeat itself.
        if (m_buf_.size() == before && !m_lineFound_)
            break;
    }
}

bool TCustomLineWSocket::OfferData() {
    return TCustomSocksWSocket::TriggerDataAvailable(0);
}

bool TCustomLineWSocket::TriggerDataAvailable(uint16_t errCode) {
    if (!LineModeActive()) {
        if (!m_buf_.empty() && errCode == 0) {
            // What line mode left behind goes first.
            OfferPlainBytes();
            return true;
        }
        return TCustomSocksWSocket::TriggerDataAvailable(errCode);
    }
    int32_t waiting = TCustomSocksWSocket::GetRcvdCount();
    if (waiting < 0)
        return true;
    if (waiting == 0)
        waiting = 255;
    const std::size_t oldCount = m_buf_.size();
    char* tail = m_buf_.reserve(static_cast<std::size_t>(waiting));
    const int got = TCustomSocksWSocket::DoRecv(tail, waiting, 0);
    if (got <= 0 && oldCount == 0)
        return true;
    if (got > 0) {
        m_buf_.commit(static_cast<std::size_t>(got));
        m_lineStalled_ = false;
        const std::size_t changedFrom = TakeNewBytes(oldCount);
        const std::size_t reach = changedFrom > m_lineEnd_.size() ? changedFrom - m_lineEnd_.size() : 0;
        m_searchFrom_ = std::min(m_searchFrom_, reach);
    }
    DeliverLines();
    CheckLineLimit();
    return true;
}

std::size_t TCustomLineWSocket::TakeNewBytes(std::size_t oldCount) {
    std::size_t count = m_buf_.size() - oldCount;
    if (m_lineEdit_)
        EditLine(count);
    else if (m_lineEcho_)
        Echo(std::string(m_buf_.data() + oldCount, count));
    return m_buf_.size() - count;
}

void TCustomLineWSocket::EditLine(std::size_t& count) {
    std::string echo;
    const std::size_t newFrom = m_buf_.size() - std::min(count, m_buf_.size());
    // A line offered and not yet read through is finished: edits stay out of it.
    const std::size_t changedFrom =
        m_buf_.edit(newFrom, m_lineLength_, m_lineEnd_, m_lineEcho_ ? &echo : nullptr);
    count = m_buf_.size() - changedFrom;
    Echo(echo);
}

void TCustomLineWSocket::Echo(const std::string& bytes) {
    if (bytes.empty())
        return;
    try {
        SendStr(bytes);
    } catch (...) {
        // A lost echo must not lose the bytes themselves.
    }
}

void TCustomLineWSocket::DeliverLines() {
    while (LineModeActive()) {
        if (m_lineLength_ == 0) {
            const std::size_t at = m_buf_.find(m_lineEnd_, m_searchFrom_);
            if (at == TLineBuffer::npos) {
                const std::size_t end = m_lineEnd_.size();
                m_searchFrom_ = m_buf_.size() >= end ? m_buf_.size() - end + 1 : 0;
                break;
            }
            m_lineLength_ = at + m_lineEnd_.size();
            m_lineReceivedFlag_ = true;
            m_lineFound_ = true;
        } else if (m_lineStalled_) {
            break;
        }
        if (!OfferLine())
            return;
        m_searchFrom_ = 0;
    }
    if (!LineModeActive()) {
        // Switched off in the middle of a line: what is left is plain bytes now.
        m_lineLength_ = 0;
        OfferPlainBytes();
    }
}

bool TCustomLineWSocket::OfferLine() {
    while (LineModeActive() && m_lineLength_ > 0) {
        const std::size_t before = m_lineLength_;
        if (!OfferData()) {
            m_buf_.drop(m_lineLength_); // nobody reads lines
            m_lineLength_ = 0;
            break;
        }
        if (LineModeActive() && m_lineLength_ == before) {
            m_lineStalled_ = true;
            return false;
        }
    }
    return true;
}

void TCustomLineWSocket::OfferPlainBytes() {
    while (!LineModeActive() && !m_buf_.empty()) {
        const std::size_t before = m_buf_.size();
        if (!OfferData()) {
            DropBuffered();
            break;
        }
        if (m_buf_.size() == before)
            break; // the handler reads nothing now; the next notification offers them again
    }
}

void TCustomLineWSocket::OfferBufferedLines() {
    m_lineStalled_ = false;
    DeliverLines();
}

void TCustomLineWSocket::ReofferBuffered() {
    m_lineStalled_ = false;
    if (!m_buf_.empty())
        Platform::postMessage(Handle(), WM_TRIGGER_DATA_AVAILABLE);
}

void TCustomLineWSocket::CheckLineLimit() {
    if (m_lineLimit_ <= 0 || m_buf_.size() <= static_cast<std::size_t>(m_lineLimit_))
        return;
    m_lineClearData_ = true;
    TriggerLineLimitExceeded(static_cast<int32_t>(std::min<std::size_t>(m_buf_.size(), INT32_MAX)),
                             m_lineClearData_);
    if (m_lineClearData_) {
        DropBuffered();
        m_lineClearData_ = false;
    }
}

void TCustomLineWSocket::DropBuffered() {
    m_buf_.clear();
    m_lineLength_ = 0;
    m_searchFrom_ = 0;
    m_lineStalled_ = false;
}

std::string TCustomLineWSocket::TakeBuffered() {
    std::string text(m_buf_.data(), m_buf_.size());
    DropBuffered();
    return text;
}

void TCustomLineWSocket::TriggerSessionClosed(uint16_t errCode) {
    m_lineReceivedFlag_ = true;
    if (!m_buf_.empty()) {
        if (LineModeActive() && !m_lineClearData_) {
            // The last partial line is still a line for the handler.
            m_lineLength_ = m_buf_.size();
            m_lineStalled_ = false;
            OfferLine();
        } else if (!LineModeActive()) {
            OfferPlainBytes();
        }
    }
    m_buf_.release();
    m_lineLength_ = 0;
    m_searchFrom_ = 0;
    m_lineStalled_ = false;
    TCustomSocksWSocket::TriggerSessionClosed(errCode);
}

int32_t TCustomLineWSocket::GetRcvdCount() {
    if (LineModeActive())
        return static_cast<int32_t>(std::min<std::size_t>(m_lineLength_, INT32_MAX));
    if (!m_buf_.empty())
        return static_cast<int32_t>(std::min<std::size_t>(m_buf_.size(), INT32_MAX));
    return TCustomSocksWSocket::GetRcvdCount();
}

int TCustomLineWSocket::DoRecv(void* buffer, int len, int flags) {
    // A look ahead is about the connection itself (WaitForClose asks it whether the
    // peer is gone), not about what this layer holds.
    if ((flags & MSG_PEEK) != 0 || len <= 0)
        return TCustomSocksWSocket::DoRecv(buffer, len, flags);
    if (LineModeActive() && m_lineLength_ > 0) {
        const std::size_t count = m_buf_.take(buffer, std::min(m_lineLength_, static_cast<std::size_t>(len)));
        m_lineLength_ -= count;
        return static_cast<int>(count);
    }
    if (!m_buf_.empty()) {
        if (LineModeActive()) {
            // The partial line waits for its end; reading past it would put later bytes first.
            WSocket_WSASetLastError(WSAEWOULDBLOCK);
            return -1;
        }
        return static_cast<int>(m_buf_.take(buffer, static_cast<std::size_t>(len)));
    }
    return TCustomSocksWSocket::DoRecv(buffer, len, flags);
}

void TCustomLineWSocket::TriggerLineLimitExceeded(int32_t length, bool& clearData) {
    OnLineLimitExceeded(this, length, clearData);
}

} // namespace NorvEngineering::Sockets
