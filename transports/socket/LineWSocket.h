#pragma once

#include "LineBuffer.h"
#include "SocksWSocket.h"

#include <cstdint>
#include <string>

namespace NorvEngineering::Sockets {

// Re-offers buffered data after LineMode or LineEnd changed.
inline constexpr uint32_t WM_TRIGGER_DATA_AVAILABLE = Platform::WM_USER + 20;

// The line-mode layer. With LineMode off, or LineEnd empty, received bytes pass
// through untouched (what was buffered goes first). With it on, received bytes are
// gathered until LineEnd and OnDataAvailable is raised once per complete line (line
// end included), which the handler reads with Receive; it may read a line in pieces.
// LineEdit applies backspace and tab for terminal-like peers, LineEcho sends what
// came back. A line that grows past LineLimit without its end is reported through
// OnLineLimitExceeded and dropped unless the handler says otherwise.
//
// A handler that reads nothing of an offered line is not asked again at once (it
// would hold the thread for good): the line stays first in the buffer and is offered
// again when more bytes arrive or LineMode changes. When the connection closes the
// last partial line is offered as a line. In line mode Receive never hands out bytes
// of a line that has not ended (it fails with WSAEWOULDBLOCK), so nothing is reordered.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    using TLineLimitEvent =
        Platform::TEvent<void(TCustomWSocket* sender, int32_t rcvdLength, bool& clearData)>;

    explicit TCustomLineWSocket(Platform::TComponent* owner);

    bool LineMode() const { return m_lineMode_; }
    void SetLineMode(bool value);
    std::string LineEnd() const { return m_lineEnd_; }
    void SetLineEnd(const std::string& value);
    int32_t LineLimit() const { return m_lineLimit_; }
    void SetLineLimit(int32_t value) { m_lineLimit_ = value; }
    bool LineEcho() const { return m_lineEcho_; }
    void SetLineEcho(bool value) { m_lineEcho_ = value; }
    bool LineEdit() const { return m_lineEdit_; }
    void SetLineEdit(bool value) { m_lineEdit_ = value; }
    // The length of the line now offered to the handler; 0 when none.
    int32_t LineLength() const { return static_cast<int32_t>(m_lineLength_); }

    // Sends the text and LineEnd together; an empty text sends nothing. Returns the
    // bytes queued.
    int SendLine(const std::string& text);

    TLineLimitEvent OnLineLimitExceeded;

protected:
    void WndProc(Platform::TMessage& message) override;
    bool TriggerDataAvailable(uint16_t errCode) override;
    void TriggerSessionClosed(uint16_t errCode) override;
    int32_t GetRcvdCount() override;
    int DoRecv(void* buffer, int len, int flags) override;
    virtual void TriggerLineLimitExceeded(int32_t length, bool& clearData);
    // Applies backspace and tab (LineEdit) to the `count` bytes that have just come, the
    // last ones buffered, and echoes what a terminal should show when LineEcho is on.
    // Editing never reaches back past the end of the last complete line, so the lines
    // do not depend on how the bytes were split on their way. On return `count` is how
    // many bytes at the end of the buffer are new or changed.
    virtual void EditLine(std::size_t& count);
    // Raises the data notification of the layer below for the offered bytes; false
    // when nobody listens.
    virtual bool OfferData();

    void WMTriggerDataAvailable();
    // Offers the complete lines already buffered.
    void OfferBufferedLines();
    // Has the buffered bytes offered again through the layer's message.
    void ReofferBuffered();
    // Takes every buffered byte (a partial line), as the last thing before giving up.
    std::string TakeBuffered();
    bool HasBufferedData() const { return !m_buf_.empty(); }

    bool m_lineReceivedFlag_ = false;
    bool m_lineFound_ = false;

private:
    bool LineModeActive() const;
    // Edits or echoes the bytes that came from `oldCount` on; returns the lowest
    // position that changed.
    std::size_t TakeNewBytes(std::size_t oldCount);
    void Echo(const std::string& bytes);
    void DeliverLines();
    // Offers the pending line until it is read; false when the handler read nothing.
    bool OfferLine();
    void OfferPlainBytes();
    void CheckLineLimit();
    void DropBuffered();

    TLineBuffer m_buf_;
    std::string m_lineEnd_ = "\r\n";
    bool m_lineMode_ = false;
    std::size_t m_lineLength_ = 0;
    // No line end starts before this position of the buffer.
    std::size_t m_searchFrom_ = 0;
    int32_t m_lineLimit_ = 65536;
    bool m_lineClearData_ = false;
    bool m_lineEcho_ = false;
    bool m_lineEdit_ = false;
    // The handler read nothing of the pending line: wait for more bytes or a new mode.
    bool m_lineStalled_ = false;
};

} // namespace NorvEngineering::Sockets
