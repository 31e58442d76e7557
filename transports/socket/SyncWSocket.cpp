#include "SyncWSocket.h"

#include "Application.h"
#include "MessageQueue.h"

#include <algorithm>
#include <chrono>

namespace NorvEngineering::Sockets {

namespace {
using Clock = std::chrono::steady_clock;
// The application's end is a flag, not a message: it is looked at this often.
constexpr std::chrono::milliseconds kTerminateCheck{100};
} // namespace

int TCustomSyncWSocket::WaitUntilReady(bool& doneFlag) {
    const auto stop = Clock::now() + std::chrono::milliseconds(m_timeout_);
    while (!doneFlag) {
        if (m_timeout_ > 0 && Clock::now() >= stop)
            return kWaitTimedOut;
        if (Platform::Application().Terminated() || Terminated())
            return kWaitTimedOut;
        MessagePump();
        if (doneFlag || Terminated())
            continue;
        auto wait = kTerminateCheck;
        if (m_timeout_ > 0)
            wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(stop - Clock::now()),
                              std::chrono::milliseconds(0), kTerminateCheck);
        Platform::ThreadMessageQueue::current().wait(wait);
    }
    return 0;
}

int TCustomSyncWSocket::Synchronize(const std::function<void()>& procedure, bool& doneFlag) {
    doneFlag = false;
    if (procedure)
        procedure();
    return WaitUntilReady(doneFlag);
}

void TCustomSyncWSocket::ReadLine(int32_t timeout, std::string& line) {
    line.clear();
    if (GetState() != wsConnected) {
        RaiseException("ReadLine failed: not connected");
        return;
    }
    if (timeout == 0)
        m_timeout_ = 60000;
    else if (timeout > 0)
        m_timeout_ = static_cast<int32_t>(std::min<int64_t>(int64_t{timeout} * 1000, INT32_MAX));
    else
        m_timeout_ = static_cast<int32_t>(std::min<int64_t>(-int64_t{timeout}, INT32_MAX));

    const bool savedLineMode = LineMode();
    struct Restore {
        TCustomSyncWSocket* self;
        bool lineMode;
        ~Restore() {
            self->m_pLinePointer_ = nullptr;
            try {
                // Lines that came with the one read go to the socket's own handler.
                if (self->LineMode() == lineMode)
                    self->ReofferBuffered();
                else
                    self->SetLineMode(lineMode);
            } catch (...) {
            }
        }
    } restore{this, savedLineMode};

    m_lineReceivedFlag_ = false;
    m_lineTaken_ = false;
    m_pLinePointer_ = &line;
    SetLineMode(true);
    // A line already complete in the buffer is read at once.
    OfferBufferedLines();
    const int result = m_lineTaken_ ? 0 : Synchronize(nullptr, m_lineReceivedFlag_);
    if (result == kWaitTimedOut && !m_lineTaken_ && HasBufferedData())
        line = TakeBuffered();
}

bool TCustomSyncWSocket::OfferData() {
    if (m_pLinePointer_ == nullptr)
        return TCustomLineWSocket::OfferData();
    InternalDataAvailable();
    return true;
}

void TCustomSyncWSocket::InternalDataAvailable() {
    if (m_lineTaken_)
        return; // one line per read: the next stays buffered
    std::string& line = *m_pLinePointer_;
    line.resize(static_cast<std::size_t>(std::max(LineLength(), 0)));
    const int got = Receive(line.data(), static_cast<int>(line.size()));
    line.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    m_lineTaken_ = true;
}

} // namespace NorvEngineering::Sockets
