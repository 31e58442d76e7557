#include "ComThread.h"

#include "Application.h"
#include "LiveCounter.h"
#include "MessageQueue.h"
#include "Synchronize.h"

#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <system_error>

namespace NorvEngineering::Serial {

using Platform::ThreadMessageQueue;

namespace {

constexpr uint64_t kWakeKey = 0;
constexpr uint64_t kDeviceKey = 1;

Platform::TLiveCounter& liveThreads() {
    static auto* instance = new Platform::TLiveCounter();
    return *instance;
}

// The dispatch order of one batch and the handler behind each bit.
struct EventRow {
    uint32_t bit;
    TLineNotifyEvent TCustomComPort::*handler;
};
constexpr EventRow kEventRows[] = {
    {evBreak, &TCustomComPort::OnBreak},
    {evCTS, &TCustomComPort::OnCTSChange},
    {evDSR, &TCustomComPort::OnDSRChange},
    {evError, nullptr}, // through CheckLineErrors to OnLineError
    {evEvent1, &TCustomComPort::OnEvent1},
    {evEvent2, &TCustomComPort::OnEvent2},
    {evPrinterError, &TCustomComPort::OnPrinterError},
    {evRing, &TCustomComPort::OnRing},
    {evRLSD, &TCustomComPort::OnRLSDChange},
    {evRx80Full, &TCustomComPort::OnRx80PercFull},
    {evRxChar, &TCustomComPort::OnRxChar},
    {evRxFlag, &TCustomComPort::OnRxFlag},
    {evTxEmpty, &TCustomComPort::OnTxEmpty},
};

bool unsupported(int code) {
    return code == ENOTTY || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP;
}

} // namespace

// ---- the shared link ------------------------------------------------------------------

TComEventLink::TComEventLink() {
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TComEventLink::~TComEventLink() {
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void TComEventLink::signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

// ---- the thread -------------------------------------------------------------------------

// The thread takes no messages: it waits in its own epoll.
TComThread::TComThread(std::shared_ptr<TComEventLink> link)
    : Platform::TThread(false), m_pLink_(std::move(link)) {
    liveThreads().enter();
    SetFreeOnTerminate(true);
    m_pLink_->threadId = ThreadID();
    SetPriority(static_cast<Platform::TThreadPriority>(m_pLink_->priority.load()));
    m_appliedPriority_ = m_pLink_->priority.load();
}

std::shared_ptr<Platform::TThreadCompletion> TComThread::Start(std::shared_ptr<TComEventLink> link) {
    auto* thread = new TComThread(std::move(link));
    auto completion = thread->Completion();
    thread->Resume();
    return completion;
}

TComThread::~TComThread() {
    liveThreads().leave();
}

int TComThread::LiveThreads() {
    return liveThreads().count();
}

bool TComThread::WaitForAll(std::chrono::milliseconds timeout) {
    return liveThreads().waitForNone(timeout);
}

void TComThread::Execute() {
    const auto link = m_pLink_;
    m_epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll_ < 0 || link->wakeFd < 0) {
        stopReadingAhead_();
        reportFailure_(errno != 0 ? errno : EMFILE, false);
        if (m_epoll_ >= 0)
            ::close(m_epoll_);
        return;
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeKey;
    int failure = 0;
    if (::epoll_ctl(m_epoll_, EPOLL_CTL_ADD, link->wakeFd, &wake) != 0)
        failure = errno;
    {
        std::lock_guard lock(link->mutex);
        if (failure == 0 && link->device >= 0) {
            epoll_event device{};
            // Edge-triggered: unread input that nothing adds to wakes nobody.
            device.events = EPOLLIN | EPOLLET;
            device.data.u64 = kDeviceKey;
            if (::epoll_ctl(m_epoll_, EPOLL_CTL_ADD, link->device, &device) != 0)
                failure = errno;
            else
                probeLineSource_(link->device);
        }
    }
    if (failure != 0)
        reportFailure_(failure, false);
    else
        while (!Terminated() && !link->terminated)
            ThreadProc();
    stopReadingAhead_();
    ::close(m_epoll_);
    m_epoll_ = -1;
}

TComThread::TReadAhead TComThread::readAhead_(int fd, bool input) {
    TComInputStore& store = *m_pLink_->input;
    TReadAhead result;
    std::lock_guard lock(store.mutex);
    const bool reading = store.reader == m_pLink_.get();
    if (reading && !m_readingAhead_) {
        // Input may have waited on the device before this thread became the reader,
        // and what an earlier reader kept is news to this one.
        result.started = true;
        m_inputLeft_ = true;
    }
    m_readingAhead_ = reading;
    if (reading && (input || m_inputLeft_)) {
        for (;;) {
            std::size_t room = 0;
            char* const into = store.space(room);
            if (room == 0) {
                store.wantsRoom = true;
                m_inputLeft_ = true;
                break;
            }
            const ssize_t got = ::read(fd, into, room);
            if (got > 0) {
                store.added(static_cast<std::size_t>(got));
                result.added = true;
                // A short read has emptied the queue; what the terminal moves up
                // after it is announced as an arrival of its own.
                if (static_cast<std::size_t>(got) < room) {
                    m_inputLeft_ = false;
                    break;
                }
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            m_inputLeft_ = false;
            if (got < 0 && errno == EAGAIN)
                break;
            // End of file (the other side hung up) or a failed device: nothing more
            // comes, and a waiting read must look at the device itself to learn so.
            result.ended = true;
            store.reader = nullptr;
            m_readingAhead_ = false;
            store.changed.notify_all();
            break;
        }
        if (result.added)
            store.changed.notify_all();
    }
    result.held = store.size();
    return result;
}

void TComThread::stopReadingAhead_() {
    TComInputStore& store = *m_pLink_->input;
    std::lock_guard lock(store.mutex);
    m_pLink_->readerStopped = true;
    if (store.reader == m_pLink_.get()) {
        store.reader = nullptr;
        store.changed.notify_all();
    }
    m_readingAhead_ = false;
}

void TComThread::probeLineSource_(int fd) {
    serial_icounter_struct counters{};
    if (::ioctl(fd, TIOCGICOUNT, &counters) == 0) {
        m_lineSource_ = LineSource::Counters;
        collectCounterEvents_(fd, false, false); // the starting point
        return;
    }
    int status = 0;
    if (::ioctl(fd, TIOCMGET, &status) == 0) {
        m_lineSource_ = LineSource::ModemStatus;
        m_modemStatus_ = status;
        return;
    }
    // A pseudo-terminal, for one: no modem lines and no line-error counters.
    m_lineSource_ = LineSource::None;
}

bool TComThread::updateInterest_(uint32_t mask) {
    const bool wantWrite = (mask & evTxEmpty) != 0;
    const bool wantModem = (mask & kModemLineEvents) != 0 && m_lineSource_ != LineSource::None;
    std::lock_guard lock(m_pLink_->mutex);
    const int fd = m_pLink_->device;
    if (fd < 0)
        return false;
    if (wantWrite != m_writeInterest_) {
        epoll_event device{};
        device.events = EPOLLIN | EPOLLET | (wantWrite ? EPOLLOUT : 0U);
        device.data.u64 = kDeviceKey;
        if (::epoll_ctl(m_epoll_, EPOLL_CTL_MOD, fd, &device) == 0)
            m_writeInterest_ = wantWrite;
    }
    if (wantModem && !m_modemWatch_) {
        // Changes from before the watch began are not news.
        if (m_lineSource_ == LineSource::Counters)
            collectCounterEvents_(fd, false, false);
        else
            collectModemStatusEvents_(fd);
    }
    m_modemWatch_ = wantModem;
    return wantWrite == m_writeInterest_;
}

uint32_t TComThread::collectCounterEvents_(int fd, bool input, bool modem) {
    TLineCounters now;
    if (!readLineCounters(fd, now)) {
        if (unsupported(errno))
            m_lineSource_ = LineSource::None;
        return 0;
    }
    uint32_t events = 0;
    if (!input && !modem) {
        // A new starting point: what happened before is not news.
        m_counters_ = now;
        return 0;
    }
    if (input) {
        if (now.brk != m_counters_.brk)
            events |= evBreak;
        if (now.frame != m_counters_.frame || now.overrun != m_counters_.overrun ||
            now.parity != m_counters_.parity || now.bufferOverrun != m_counters_.bufferOverrun)
            events |= evError;
        m_counters_.frame = now.frame;
        m_counters_.overrun = now.overrun;
        m_counters_.parity = now.parity;
        m_counters_.brk = now.brk;
        m_counters_.bufferOverrun = now.bufferOverrun;
    }
    if (modem) {
        if (now.cts != m_counters_.cts)
            events |= evCTS;
        if (now.dsr != m_counters_.dsr)
            events |= evDSR;
        if (now.ring != m_counters_.ring)
            events |= evRing;
        if (now.dcd != m_counters_.dcd)
            events |= evRLSD;
        m_counters_.cts = now.cts;
        m_counters_.dsr = now.dsr;
        m_counters_.ring = now.ring;
        m_counters_.dcd = now.dcd;
    }
    return events;
}

uint32_t TComThread::collectModemStatusEvents_(int fd) {
    int status = 0;
    if (::ioctl(fd, TIOCMGET, &status) != 0) {
        if (unsupported(errno))
            m_lineSource_ = LineSource::None;
        return 0;
    }
    const int changed = status ^ m_modemStatus_;
    uint32_t events = 0;
    if ((changed & TIOCM_CTS) != 0)
        events |= evCTS;
    if ((changed & TIOCM_DSR) != 0)
        events |= evDSR;
    if ((changed & TIOCM_CD) != 0)
        events |= evRLSD;
    // The ring indicator counts when it goes off again, as a ring ends.
    if ((m_modemStatus_ & TIOCM_RNG) != 0 && (status & TIOCM_RNG) == 0)
        events |= evRing;
    m_modemStatus_ = status;
    return events;
}

void TComThread::ThreadProc() {
    const auto& link = m_pLink_;
    if (const uint32_t wanted = link->mask.load();
        !m_interestKnown_ || wanted != m_interestMask_ || m_lineSource_ != m_interestSource_) {
        m_interestKnown_ = updateInterest_(wanted);
        m_interestMask_ = wanted;
        m_interestSource_ = m_lineSource_;
    }
    const int timeout = m_modemWatch_ ? static_cast<int>(kModemCheckInterval.count()) : -1;

    epoll_event ready[4];
    const int count = ::epoll_wait(m_epoll_, ready, static_cast<int>(std::size(ready)), timeout);
    if (count < 0) {
        if (errno == EINTR)
            return;
        reportFailure_(errno, false);
        Terminate();
        return;
    }
    bool input = false;
    bool output = false;
    bool hangUp = false;
    for (int i = 0; i < count; ++i) {
        if (ready[i].data.u64 == kWakeKey) {
            uint64_t drained = 0;
            [[maybe_unused]] const ssize_t got = ::read(link->wakeFd, &drained, sizeof drained);
            continue;
        }
        input = input || (ready[i].events & EPOLLIN) != 0;
        output = output || (ready[i].events & EPOLLOUT) != 0;
        hangUp = hangUp || (ready[i].events & (EPOLLHUP | EPOLLERR)) != 0;
    }
    if (link->terminated) {
        Terminate();
        return;
    }
    // Loaded after the wait: a handler bound while the thread waited (the wake-up that
    // tells of it ended the wait) must hear of what this pass finds.
    const uint32_t mask = link->mask.load();
    const uint32_t bindings = link->rxBindings.load();
    const bool rxNewlyBound =
        (mask & evRxChar) != 0 && ((m_lastMask_ & evRxChar) == 0 || bindings != m_rxBindingsSeen_);
    m_lastMask_ = mask;
    m_rxBindingsSeen_ = bindings;
    // What waits on the device is news to a handler bound since the last pass.
    if (rxNewlyBound)
        m_inputLeft_ = true;
    if (const int wanted = link->priority.load(); wanted != m_appliedPriority_) {
        SetPriority(static_cast<Platform::TThreadPriority>(wanted));
        m_appliedPriority_ = wanted;
    }

    uint32_t events = 0;
    int gone = 0;
    {
        std::lock_guard lock(link->mutex);
        const int fd = link->device;
        if (fd < 0) {
            Terminate();
            return;
        }
        // Before anything else: a hang-up discards what the device has not handed out.
        const TReadAhead ahead = readAhead_(fd, input || hangUp);
        if (ahead.ended)
            hangUp = true;
        // An edge of readiness means characters arrived, and so does a read ahead that
        // found some without one (the edge may have been taken by an earlier read); the
        // queue's size is asked only for the 80 % event, or to tell an end of the line
        // from its last characters.
        const bool arrived = input || ahead.added;
        if ((arrived && !hangUp) || (ahead.started && ahead.held > 0))
            events |= evRxChar;
        if (rxNewlyBound && (events & evRxChar) == 0) {
            // Input that waited before anybody listened (a port that reads nothing
            // ahead leaves it on the device) would otherwise wait for the next arrival.
            int queued = 0;
            if (ahead.held > 0 || (::ioctl(fd, FIONREAD, &queued) == 0 && queued > 0))
                events |= evRxChar;
        }
        if (hangUp || (arrived && (mask & evRx80Full) != 0)) {
            int queued = 0;
            if (::ioctl(fd, FIONREAD, &queued) != 0) {
                if (IsDeviceGoneError(errno))
                    gone = errno;
                queued = 0;
            }
            const auto held = static_cast<std::size_t>(queued) + ahead.held;
            if (held > 0)
                events |= evRxChar;
            if (const int32_t threshold = link->rx80Threshold.load();
                threshold > 0 && held >= static_cast<std::size_t>(threshold))
                events |= evRx80Full;
        }
        if (m_lineSource_ == LineSource::Counters)
            events |= collectCounterEvents_(fd, arrived, m_modemWatch_);
        else if (m_lineSource_ == LineSource::ModemStatus && m_modemWatch_)
            events |= collectModemStatusEvents_(fd);
        if (output && link->wroteSinceTxEmpty.load()) {
            int unsent = 0;
            if (::ioctl(fd, TIOCOUTQ, &unsent) != 0 || unsent == 0) {
                link->wroteSinceTxEmpty = false;
                events |= evTxEmpty;
            }
        }
        if (hangUp && gone == 0) {
            termios settings{};
            gone = ::tcgetattr(fd, &settings) == 0 ? EIO : errno;
            if (!IsDeviceGoneError(gone))
                gone = EIO;
        }
    }
    events &= mask;
    if (events != 0)
        dispatch_(events);
    if (gone != 0) {
        reportFailure_(gone, true);
        Terminate();
    }
}

void TComThread::dispatch_(uint32_t events) {
    const auto link = m_pLink_;
    if (link->synchronize && link->postBatches) {
        // Handed over without waiting: a wait for the main thread would cost a sleep
        // and a wake-back per batch on top of the one hop the main thread needs. The
        // order stays (batches run in the order posted, and an error report first
        // runs what waits), and so does the back-pressure: this thread reads no more
        // than the port's input store holds, and bits that come while a batch waits
        // merge into it.
        if (const auto port = link->port.pin())
            port->PostThreadEvents(events);
        return;
    }
    if (link->synchronize) {
        // Pinned on the main thread, inside the call: a port stopped or destroyed
        // while the call waited is not reached. The port's dispatch decides when the
        // batch runs (not inside another notification of the port).
        Synchronize([&] {
            if (const auto port = link->port.pin())
                port->RunThreadEvents(events);
        });
        return;
    }
    const auto port = link->port.pin();
    if (!port)
        return;
    if (const auto life = link->portLife.pin())
        port->ThreadDoEvent(events);
}

void TComThread::reportFailure_(int code, bool deviceGone) {
    const auto link = m_pLink_;
    {
        std::lock_guard lock(link->mutex);
        link->reportCode = code;
        link->reportDeviceGone = deviceGone;
        link->reportPending = true;
    }
    // The main thread runs the report in the port's own turn: at once when no
    // notification of the port runs, else when the running one has returned (its
    // handler may be waiting in a loop of its own). Whatever the report raises (the
    // error, or the silent abort that OnError chose) stays there, and this thread ends
    // either way. It holds no pin while it waits, so a port closed or destroyed
    // meanwhile (which drops the report) never waits for it.
    try {
        Synchronize([&] {
            if (const auto port = link->port.pin())
                port->RunPostedEvents();
        });
    } catch (...) {
    }
    std::unique_lock lock(link->mutex);
    link->reportDone.wait(lock,
                          [&] { return !link->reportPending || link->terminated || link->port.ended(); });
}

// ---- the port's side ----------------------------------------------------------------------

void TComLineEventBase::changed_() {
    m_port_.SetComEventMask();
}

void TCustomComPort::SetComEventMask() {
    if (!GetActive() || designing_())
        return;
    uint32_t mask = 0;
    for (const auto& row : kEventRows) {
        const bool bound =
            row.handler != nullptr ? static_cast<bool>(this->*row.handler) : static_cast<bool>(OnLineError);
        if (bound)
            mask |= row.bit;
    }
    if (mask == 0)
        DestroyThread();
    const bool rxBound = (mask & ~m_eventMask_ & evRxChar) != 0;
    m_eventMask_ = mask;
    if (mask != 0)
        CreateThread();
    if (m_pEventLink_) {
        m_pEventLink_->mask = mask;
        // Told even when the thread has not seen it unbound meanwhile.
        if (rxBound)
            m_pEventLink_->rxBindings.fetch_add(1);
        m_pEventLink_->signal();
    }
    updateReadAhead_();
}

void TCustomComPort::updateReadAhead_() {
    TComEventLink* const link = m_pEventLink_.get();
    // Only the hand-over to another thread leaves a gap in which the other side may
    // hang up on unread input; only OnRxChar tells anybody that input came.
    TComEventLink* reader =
        link != nullptr && link->synchronize && (m_eventMask_ & evRxChar) != 0 ? link : nullptr;
    bool started = false;
    {
        std::lock_guard lock(m_pInput_->mutex);
        // A thread that ended on a failed wait stays the port's until it closes, but
        // reads nothing: a read must not wait for it.
        if (reader != nullptr && reader->readerStopped)
            reader = nullptr;
        if (m_pInput_->reader == reader)
            return;
        started = reader != nullptr;
        m_pInput_->reader = reader;
        m_pInput_->changed.notify_all();
    }
    // The new reader looks at the device (and the store) without waiting for an arrival.
    if (started)
        link->signal();
}

void TCustomComPort::CreateThread() {
    if (m_pEventLink_)
        return;
    auto link = std::make_shared<TComEventLink>();
    if (link->wakeFd < 0)
        RaiseError(0, kCreateThreadMessage);
    // Replacing the last session waits for a direct batch of its thread still running.
    m_pEventSession_ = std::make_unique<Platform::TLifetime>();
    link->port = Platform::TGuardedPtr<TCustomComPort>(this, m_pEventSession_->ref());
    link->portLife = m_life_.ref();
    link->device = m_handle_;
    link->synchronize = m_synchronizeEvents_;
    link->postBatches = m_synchronizeEvents_ && Platform::isMainThread();
    if (link->postBatches && !m_pEventCall_)
        m_pEventCall_ = std::make_unique<Platform::TPostedCall>([this] { RunPostedEvents(); });
    link->mask = m_eventMask_;
    link->priority = m_threadPriority_;
    link->rx80Threshold = m_pBufferSizes_->Input() > 0 ? (m_pBufferSizes_->Input() * 4 + 4) / 5 : 0;
    link->input = m_pInput_;
    std::shared_ptr<Platform::TThreadCompletion> completion;
    try {
        completion = TComThread::Start(link);
    } catch (const std::system_error&) {
    }
    if (!completion)
        RaiseError(0, kCreateThreadMessage);
    m_pEventLink_ = std::move(link);
    m_pThreadCompletion_ = std::move(completion);
}

void TCustomComPort::DestroyThread() {
    if (!m_pEventLink_)
        return;
    const auto link = std::move(m_pEventLink_);
    m_pEventLink_.reset();
    {
        std::lock_guard lock(link->mutex);
        link->device = -1;
        link->terminated = true;
        // A report still waiting for its turn is dropped: the port has stopped.
        link->reportPending = false;
    }
    link->reportDone.notify_all();
    {
        // What it read ahead stays in the store, for the port's reads.
        std::lock_guard lock(m_pInput_->mutex);
        if (m_pInput_->reader == link.get()) {
            m_pInput_->reader = nullptr;
            m_pInput_->changed.notify_all();
        }
    }
    link->signal();
    // A direct batch running now on the event thread finishes before the device closes.
    m_pEventSession_->end();
    // A batch posted by the stopped thread never runs.
    m_postedEvents_.store(0, std::memory_order_relaxed);
}

void TCustomComPort::ThreadDoEvent(uint32_t events) {
    const auto life = m_life_.ref();
    try {
        for (const auto& row : kEventRows) {
            if ((events & row.bit) == 0)
                continue;
            // A handler may have closed or destroyed the port.
            if (life.ended() || !GetActive())
                return;
            if (row.handler == nullptr) {
                if (OnLineError)
                    CheckLineErrors();
            } else if (const auto& handler = this->*row.handler) {
                handler(this);
            }
        }
    } catch (...) {
        Platform::Application().HandleException(std::current_exception());
    }
}

void TCustomComPort::PostThreadEvents(uint32_t events) {
    m_postedEvents_.fetch_or(events, std::memory_order_seq_cst);
    // While a notification of the port holds back what comes, the one that returns
    // runs it: a request now would only wake the main thread for nothing.
    if (!m_heldBack_.load(std::memory_order_seq_cst))
        m_pEventCall_->request();
}

void TCustomComPort::RunThreadEvents(uint32_t events) {
    m_postedEvents_.fetch_or(events, std::memory_order_seq_cst);
    RunPostedEvents();
}

void TCustomComPort::PostEvents(uint32_t events) {
    m_postedEvents_.fetch_or(events, std::memory_order_seq_cst);
    if (!m_pEventCall_)
        m_pEventCall_ = std::make_unique<Platform::TPostedCall>([this] { RunPostedEvents(); });
    m_pEventCall_->request();
}

// The one door through which the main thread raises the event thread's news: batches
// and the failure report. A notification of the port that runs keeps it shut, whatever
// its handler does (a loop of its own, a write, a close); what knocks meanwhile waits,
// merged, and runs in order once that notification has returned: as the port's next
// turn of the main loop (so that an owner's own loop, which has been waiting all this
// while, looks at its conditions first), or at once where the port has no turn of its
// own (a port opened on another thread, whose thread synchronises each batch).
void TCustomComPort::RunPostedEvents() {
    if (m_dispatching_) {
        m_deferred_ = true;
        m_heldBack_.store(true, std::memory_order_seq_cst);
        return;
    }
    const auto life = m_life_.ref();
    m_dispatching_ = true;
    for (;;) {
        // Cleared before the bits are taken: bits posted after this see the door open
        // and ask for a turn of their own, bits posted before it are taken now.
        m_deferred_ = false;
        m_heldBack_.store(false, std::memory_order_seq_cst);
        // Taken whole: bits that come meanwhile ask for a turn of their own.
        if (const uint32_t events = m_postedEvents_.exchange(0, std::memory_order_seq_cst); events != 0)
            ThreadDoEvent(events);
        if (life.ended())
            return;
        runThreadReport_();
        if (life.ended())
            return;
        if (!m_deferred_)
            break;
        if (m_pEventCall_) {
            m_deferred_ = false;
            m_heldBack_.store(false, std::memory_order_seq_cst);
            m_pEventCall_->request();
            break;
        }
    }
    m_dispatching_ = false;
}

TCustomComPort::TNotificationScope::TNotificationScope(TCustomComPort& port)
    : m_port_(port), m_life_(port.m_life_.ref()) {
    // Only on the main thread, and only the outermost: within a dispatch the door is
    // shut already.
    m_outer_ = Platform::isMainThread() && !m_port_.m_dispatching_;
    if (m_outer_)
        m_port_.m_dispatching_ = true;
}

TCustomComPort::TNotificationScope::~TNotificationScope() {
    if (!m_outer_ || m_life_.ended())
        return;
    m_port_.m_dispatching_ = false;
    if (m_port_.m_deferred_)
        m_port_.resumeHeldBack_();
}

void TCustomComPort::resumeHeldBack_() {
    m_deferred_ = false;
    m_heldBack_.store(false, std::memory_order_seq_cst);
    if (!m_pEventCall_)
        m_pEventCall_ = std::make_unique<Platform::TPostedCall>([this] { RunPostedEvents(); });
    m_pEventCall_->request();
}

void TCustomComPort::runThreadReport_() {
    // Asked after every batch: nothing more than a look unless a report waits.
    if (!m_pEventLink_ || !m_pEventLink_->reportPending.load(std::memory_order_acquire))
        return;
    const std::shared_ptr<TComEventLink> link = m_pEventLink_;
    int code = 0;
    bool deviceGone = false;
    {
        std::lock_guard lock(link->mutex);
        if (!link->reportPending)
            return;
        code = link->reportCode;
        deviceGone = link->reportDeviceGone;
    }
    const auto life = m_life_.ref();
    // Still this port's thread, and the port still open: a handler may have closed or
    // destroyed it.
    const auto current = [&] { return !life.ended() && m_pEventLink_ == link; };
    try {
        // Input that came before the failure goes up before its report.
        DeliverHeldInput();
        if (current())
            RaiseThreadError(code);
    } catch (...) {
    }
    try {
        if (deviceGone && current() && GetActive())
            Close();
    } catch (...) {
    }
    {
        std::lock_guard lock(link->mutex);
        link->reportPending = false;
    }
    link->reportDone.notify_all();
}

void TCustomComPort::DeliverHeldInput() {
    const auto life = m_life_.ref();
    while (OnRxChar && GetActive()) {
        const std::size_t held = heldInput_();
        if (held == 0)
            return;
        ThreadDoEvent(evRxChar);
        // A handler that takes nothing more would be asked for ever.
        if (life.ended() || heldInput_() >= held)
            return;
    }
}

std::size_t TCustomComPort::heldInput_() {
    std::lock_guard lock(m_pInput_->mutex);
    return m_pInput_->size();
}

void TCustomComPort::RaiseThreadError(int32_t code) {
    m_threadError_ = code;
    RaiseError(code, ComErrorText(code));
}

} // namespace NorvEngineering::Serial
