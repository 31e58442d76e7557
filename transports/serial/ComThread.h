#pragma once

#include "ComInputStore.h"
#include "ComPort.h"
#include "Lifetime.h"
#include "Messages.h"
#include "Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace NorvEngineering::Serial {

// What a port and its event thread share. The thread reaches its port only through
// `port`, guarded by the port's session with this thread (ended when the port stops
// the thread, which waits for a direct batch running then), and during a direct batch
// also holds the port's own lifetime (`portLife`), so the port is never freed under it.
// The device is used only under the mutex and while it is not -1.
struct TComEventLink {
    TComEventLink();
    TComEventLink(const TComEventLink&) = delete;
    TComEventLink& operator=(const TComEventLink&) = delete;
    ~TComEventLink();

    // Ends the thread's wait; the thread then looks at the mask, the priority and
    // whether it was stopped.
    void signal() const;

    Platform::TGuardedPtr<TCustomComPort> port;
    Platform::TLifetimeRef portLife;
    std::mutex mutex;
    int device = -1;         // guarded by mutex; -1 once the port stopped the thread
    int wakeFd = -1;         // eventfd, owned
    bool synchronize = true; // fixed while the port is open
    // Synchronised batches go to the port's posted call rather than through
    // Synchronize (the port was opened on the main thread); fixed while it is open.
    bool postBatches = false;
    std::atomic<bool> terminated{false};
    std::atomic<uint32_t> mask{0};
    // Counts the times OnRxChar was bound while it was not: a thread that did not see
    // it unbound still learns that a new handler listens.
    std::atomic<uint32_t> rxBindings{0};
    std::atomic<int> priority{Platform::tpNormal};
    std::atomic<int32_t> rx80Threshold{0};
    std::atomic<bool> wroteSinceTxEmpty{false};
    std::atomic<Platform::ThreadId> threadId{0};
    // The port's input store, which outlives this thread (the port keeps it while open).
    std::shared_ptr<TComInputStore> input;
    // The thread reads no more ahead, for good (it is ending); guarded by input->mutex.
    bool readerStopped = false;

    // A failure that the thread waits to have reported on the main thread (guarded by
    // mutex). The port's dispatch runs the report in its turn, never inside another
    // notification of the port, and clears `reportPending` once it has run; the
    // thread waits on `reportDone` for that, or for the port to stop it. Written under
    // the mutex; the main thread's dispatch looks at it without the lock first.
    std::atomic<bool> reportPending{false};
    int reportCode = 0;
    bool reportDeviceGone = false;
    std::condition_variable reportDone;
};

// The event thread of one open port: it blocks in epoll on the device and a wake-up
// descriptor, turns what it sees into line events, and hands each batch to the
// port's handlers: when the port synchronises events, posted to the main thread
// without waiting (through Synchronize when the port was opened elsewhere); else
// directly. Failures are reported through Synchronize. It starts at once and frees
// itself when it ends.
//
// Sources on Linux: received characters from readiness for reading (edge-triggered, so
// each arrival is one wake-up). While events go to the main thread and OnRxChar is
// bound, the thread reads each arrival into the port's input store at once (see
// ComInputStore.h): a terminal drops unread input when its other side hangs up, and
// the main thread may come late. A direct port's handler runs on this thread at the
// arrival and reads for itself, and a port without OnRxChar is read only by its
// owner; neither is read ahead. Breaks and line errors from the driver's counters
// (TIOCGICOUNT) of a device that has them, checked when input arrives;
// modem-line changes from the same counters (or the line states), checked every
// kModemCheckInterval, only while a modem-line handler is bound; transmit-empty from
// readiness for writing once the driver's output queue is empty; input queue 80 %
// full against BufferSizes.Input. RXFLAG, EVENT1, EVENT2 and printer errors have no
// source and never fire. A device that reports a hang-up or error (unplugged
// adapter, closed pseudo-terminal master) is reported through the port's OnError on
// the main thread, and the port closes; what the device still yields is read first,
// and OnRxChar runs for everything read ahead before the report (see
// TCustomComPort::DeliverHeldInput).
class TComThread : public Platform::TThread {
public:
    static constexpr std::chrono::milliseconds kModemCheckInterval{20};

    // Creates the thread for the link and starts it; returns what tells of its end
    // (the thread itself frees itself and must not be touched afterwards).
    static std::shared_ptr<Platform::TThreadCompletion> Start(std::shared_ptr<TComEventLink> link);
    ~TComThread() override;

    // Event threads of all ports that have not ended yet, and a wait for them all.
    static int LiveThreads();
    static bool WaitForAll(std::chrono::milliseconds timeout);

protected:
    void Execute() override;

private:
    explicit TComThread(std::shared_ptr<TComEventLink> link);

    enum class LineSource : uint8_t { Counters, ModemStatus, None };

    void ThreadProc();
    // Whether the device's interest now matches the mask (else it is tried again).
    bool updateInterest_(uint32_t mask);
    void probeLineSource_(int fd);
    uint32_t collectCounterEvents_(int fd, bool input, bool modem);
    uint32_t collectModemStatusEvents_(int fd);
    struct TReadAhead {
        bool started = false; // this thread has just become the port's reader
        bool added = false;
        bool ended = false; // end of file or a failed read: the device has gone
        std::size_t held = 0;
    };
    // Under the link's mutex: reads what the device holds into the store when this
    // thread reads ahead and input came (or may still wait after a full store).
    TReadAhead readAhead_(int fd, bool input);
    void stopReadingAhead_();
    void dispatch_(uint32_t events);
    void reportFailure_(int code, bool deviceGone);

    std::shared_ptr<TComEventLink> m_pLink_;
    int m_epoll_ = -1;
    bool m_writeInterest_ = false;
    bool m_modemWatch_ = false;
    LineSource m_lineSource_ = LineSource::None;
    TLineCounters m_counters_;
    int m_modemStatus_ = 0;
    int m_appliedPriority_ = -1;
    // The event mask of the last pass: a handler of received characters bound since
    // then hears of input that waits already.
    uint32_t m_lastMask_ = 0;
    // What updateInterest_ last looked at: a pass whose mask and line source are the
    // same leaves the device's interest alone without taking the link's lock.
    uint32_t m_interestMask_ = 0;
    LineSource m_interestSource_ = LineSource::None;
    bool m_interestKnown_ = false;
    uint32_t m_rxBindingsSeen_ = 0;
    bool m_readingAhead_ = false;
    // The last read ahead stopped before the device's queue was empty.
    bool m_inputLeft_ = false;
};

} // namespace NorvEngineering::Serial
