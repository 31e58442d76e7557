#pragma once

#include "LineWSocket.h"

#include <cstdint>
#include <functional>
#include <string>

namespace NorvEngineering::Sockets {

// WaitUntilReady and ReadLine give up with this code: the time-out passed, the
// application is ending or the socket's loop has met its quit message.
inline constexpr int kWaitTimedOut = 12001;

// The layer of blocking waits: the calling thread handles its messages (and so the
// socket's events, re-entrantly) while it waits, and sleeps between them.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(Platform::TComponent* owner) : TCustomLineWSocket(owner) {}

    // The time-out of WaitUntilReady in milliseconds; 0 or less waits without one.
    int32_t Timeout() const { return m_timeout_; }
    void SetTimeout(int32_t milliseconds) { m_timeout_ = milliseconds; }

    // Waits until the flag is set (0) or gives up (kWaitTimedOut).
    int WaitUntilReady(bool& doneFlag);
    // Clears the flag, runs the procedure when given, then waits for the flag.
    int Synchronize(const std::function<void()>& procedure, bool& doneFlag);
    // Reads one line, its line end included, in line mode whatever LineMode was (it is
    // restored after). Time-out: 0 is 60 s, above 0 seconds, below 0 milliseconds.
    // When it passes, the line holds the partial line received so far. Lines that
    // came with the one read stay buffered for the next read or the handler.
    void ReadLine(int32_t timeout, std::string& line);

protected:
    bool OfferData() override;

private:
    void InternalDataAvailable();

    int32_t m_timeout_ = 0;
    std::string* m_pLinePointer_ = nullptr;
    bool m_lineTaken_ = false;
};

} // namespace NorvEngineering::Sockets
