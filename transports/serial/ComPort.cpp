#include "ComPort.h"

#include "ComDevices.h"
#include "ComThread.h"
#include "Exception.h"
#include "Synchronize.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace NorvEngineering::Serial {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Milliseconds until the deadline for poll(); -1 for none, 0 when it has passed.
int pollTimeout(std::optional<Clock::time_point> deadline) {
    if (!deadline)
        return -1;
    const auto now = Clock::now();
    if (now >= *deadline)
        return 0;
    return static_cast<int>(
        std::min<int64_t>(std::chrono::ceil<milliseconds>(*deadline - now).count(), 60000));
}

std::optional<Clock::time_point> earlier(std::optional<Clock::time_point> a,
                                         std::optional<Clock::time_point> b) {
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

int niceOf(TPriorityClass priorityClass) {
    switch (priorityClass) {
    case pcIdle:
        return 19;
    case pcHigh:
        return -10;
    case pcRealTime:
        return -20;
    default:
        return 0;
    }
}

} // namespace

TCustomComPort::TCustomComPort(Platform::TComponent* owner)
    : Platform::TComponent(owner), m_pFlowControl_(std::make_unique<TFlowControl>(this)),
      m_pCharacters_(std::make_unique<TCharacters>(this)),
      m_pBufferSizes_(std::make_unique<TBufferSizes>(this)), m_pTimeouts_(std::make_unique<TTimeouts>(this)) {
    m_pInput_ = std::make_shared<TComInputStore>();
}

TCustomComPort::~TCustomComPort() {
    // A direct batch of an event thread (this one's or an earlier one's) finishes first.
    m_life_.end();
    Close();
    // A close handed to the main thread cannot have run (the port is ending), so close here.
    FreeHandle();
    if (m_pEventSession_)
        m_pEventSession_->end();
}

std::string TCustomComPort::About() const {
    return "ComPort 1.0 for Linux serial devices";
}

// ---- properties -----------------------------------------------------------------------

void TCustomComPort::SetActive(bool value) {
    if (value != GetActive() && !designing_() && !hasState(Platform::csLoading)) {
        if (value)
            Open();
        else
            Close();
    }
    m_storedActive_ = value;
}

bool TCustomComPort::GetActive() const {
    if (designing_())
        return m_storedActive_;
    return m_handle_ >= 0;
}

void TCustomComPort::Loaded() {
    Platform::TComponent::Loaded();
    SetActive(m_storedActive_);
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (value == m_baudRate_)
        return;
    m_baudRate_ = value;
    SetComDCB();
}

int32_t TCustomComPort::CustomBaudRate() const {
    return m_baudRate_ == brCustom ? m_customBaudRate_ : baudRateValue(m_baudRate_);
}

void TCustomComPort::SetCustomBaudRate(int32_t value) {
    // Against the rate in force: the stored custom rate may be one that a named rate
    // has replaced since, and asking for it again must bring it back.
    if (value == CustomBaudRate())
        return;
    m_customBaudRate_ = value;
    m_baudRate_ = brCustom;
    SetComDCB();
}

void TCustomComPort::SetDataBits(TDataBits value) {
    if (value == m_dataBits_)
        return;
    m_dataBits_ = value;
    SetComDCB();
}

void TCustomComPort::SetParity(TParity value) {
    if (value == m_parity_)
        return;
    m_parity_ = value;
    SetComDCB();
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (value == m_stopBits_)
        return;
    m_stopBits_ = value;
    SetComDCB();
}

void TCustomComPort::SetOptions(TOptions value) {
    if (value == m_options_)
        return;
    m_options_ = value;
    SetComDCB();
}

void TCustomComPort::SetDeviceName(const std::string& value) {
    if (value == m_deviceName_)
        return;
    CheckInactive();
    m_deviceName_ = value;
}

void TCustomComPort::SetSynchronizeEvents(bool value) {
    if (value == m_synchronizeEvents_)
        return;
    CheckInactive();
    m_synchronizeEvents_ = value;
}

void TCustomComPort::SetPriorityClass(TPriorityClass value) {
    if (value == m_priorityClass_)
        return;
    CheckInactive();
    m_priorityClass_ = value;
}

void TCustomComPort::SetThreadPriority(Platform::TThreadPriority value) {
    if (value == m_threadPriority_)
        return;
    m_threadPriority_ = value;
    if (m_pEventLink_) {
        m_pEventLink_->priority = value;
        m_pEventLink_->signal();
    }
}

// ---- open and close ---------------------------------------------------------------------

void TCustomComPort::Open() {
    if (GetActive())
        return;
    BeforeOpen(this);
    CreateHandle();
    if (GetActive())
        AfterOpen(this);
}

void TCustomComPort::CreateHandle() {
    const auto life = m_life_.ref();
    try {
        FreeHandle();
        errno = 0;
        // Best effort, as raising a priority needs a privilege.
        if (m_priorityClass_ != pcDefault)
            m_processNice_.apply(niceOf(m_priorityClass_));
        openDevice_();
        PurgeInput();
        PurgeOutput();
        SetComBufferSizes();
        SetComDCB();
        SetComTimeouts();
        SetComEventMask();
    } catch (...) {
        if (!life.ended())
            FreeHandle();
        throw;
    }
}

void TCustomComPort::openDevice_() {
    const std::string path = ComDevicePath(m_deviceName_);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        RaiseError(code, ComErrorText(code));
    }
    m_handle_ = fd;
    if (::isatty(fd) == 0)
        RaiseError(ENOTTY, ComErrorText(ENOTTY));
    // TIOCEXCL keeps other users out, but not root; the lock keeps out every program
    // that asks for it, root's included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno == EWOULDBLOCK ? EBUSY : errno;
        RaiseError(code, ComErrorText(code));
    }
    Check(::ioctl(fd, TIOCEXCL) == 0);
    m_exclusive_ = true;
    m_noCounters_ = false;
    m_countersKnown_ = readLineCounters_(m_lineBaseline_);
}

void TCustomComPort::Close() {
    // On the event thread the close is the main thread's to make. A direct batch
    // that asks for it keeps its pin meanwhile and says so, lest the main thread
    // wait for it.
    if (m_pEventLink_ && m_pEventLink_->threadId.load() == Platform::currentThreadId()) {
        // The main thread does not wait for this thread's batch while it runs the call.
        const auto life = m_life_.ref();
        Platform::synchronize([this, life] {
            if (!life.ended())
                Close();
        });
        return;
    }
    if (!GetActive() || m_handle_ < 0)
        return;
    BeforeClose(this);
    FreeHandle();
    if (!GetActive())
        AfterClose(this);
}

void TCustomComPort::FreeHandle() {
    DestroyThread();
    if (m_handle_ >= 0) {
        // Output that this port suspended must not stay suspended for the next user.
        if (m_outputSuspended_)
            m_lineCalls_.flow(m_handle_, TCOON);
        m_outputSuspended_ = false;
        finishOutput_();
        // The exclusive flag belongs to the terminal, not to this descriptor: another
        // descriptor of it (a pseudo-terminal's server) would keep it set. A port that
        // failed to get the device must not clear the flag of the one that has it.
        if (m_exclusive_)
            ::ioctl(m_handle_, TIOCNXCL);
        m_exclusive_ = false;
        ::close(m_handle_);
        m_handle_ = -1;
    }
    {
        std::lock_guard lock(m_pInput_->mutex);
        m_pInput_->release();
    }
    m_read_ = TTransfer{};
    m_write_ = TTransfer{};
    restorePriorityClass_();
}

void TCustomComPort::restorePriorityClass_() {
    m_processNice_.restore();
}

// ---- checks and errors --------------------------------------------------------------------

void TCustomComPort::CheckActive() {
    if (!GetActive() || m_handle_ < 0)
        RaiseError(0, kClosedPortMessage);
}

void TCustomComPort::CheckInactive() {
    if (GetActive() && !designing_())
        RaiseError(0, kOpenPortMessage);
}

void TCustomComPort::Check(bool success) {
    if (success)
        return;
    const int code = errno;
    if (code == 0 || code == EINPROGRESS || code == EAGAIN)
        return;
    errno = 0;
    RaiseError(code, ComErrorText(code));
}

void TCustomComPort::RaiseError(int32_t code, const std::string& message) {
    const auto life = m_life_.ref();
    try {
        throw EComError(code, message);
    } catch (EComError& error) {
        TComAction action = caFail;
        if (OnError) {
            // A notification of the port like any other: the event thread's news
            // waits while the handler runs (it may run the main thread's loop).
            const TNotificationScope scope(*this);
            OnError(this, error, action);
        }
        // The handler may have destroyed the port: from here on only the error.
        if (!life.ended() && IsDeviceGoneError(code) && GetActive())
            Close();
        if (action == caAbort)
            Platform::Abort();
        throw;
    }
}

// ---- transfers ----------------------------------------------------------------------------

void TCustomComPort::Read(void* buffer, int32_t count, bool waitOnCompletion) {
    CheckActive();
    BeforeRead(this, buffer, count, waitOnCompletion);
    WaitForReadCompletion();
    m_readRequested_ = static_cast<uint32_t>(std::max(count, 0));
    if (count > 0) {
        m_read_ = TTransfer{};
        m_read_.active = true;
        m_read_.target = static_cast<char*>(buffer);
        m_read_.requested = static_cast<std::size_t>(count);
        m_read_.started = Clock::now();
        progressRead_(true);
        if (waitOnCompletion)
            WaitForReadCompletion();
    }
    AfterRead(this, buffer, count, waitOnCompletion);
}

int32_t TCustomComPort::ReadAvailable(void* buffer, int32_t count) {
    CheckActive();
    BeforeRead(this, buffer, count, false);
    WaitForReadCompletion();
    m_readRequested_ = static_cast<uint32_t>(std::max(count, 0));
    std::size_t got = 0;
    int failure = 0;
    bool wake = false;
    if (count > 0) {
        const auto wanted = static_cast<std::size_t>(count);
        std::lock_guard lock(m_pInput_->mutex);
        got = m_pInput_->take(buffer, wanted);
        wake = m_pInput_->roomForReader();
        // One read of the device at most: a short one has emptied the queue, and
        // asking again would only cost a call that finds nothing. Skipped when bytes
        // read ahead came: the reader announces what it reads next.
        if (got < wanted && (got == 0 || m_pInput_->reader == nullptr)) {
            ssize_t more = 0;
            do
                more = ::read(m_handle_, static_cast<char*>(buffer) + got, wanted - got);
            while (more < 0 && errno == EINTR);
            if (more > 0)
                got += static_cast<std::size_t>(more);
            else if (got == 0 && (more == 0 || errno != EAGAIN))
                // End of file on a terminal: the other side hung up.
                failure = more == 0 ? EIO : errno;
        }
    }
    wakeReader_(wake);
    if (failure != 0)
        RaiseError(failure, ComErrorText(failure));
    const auto read = static_cast<int32_t>(got);
    AfterRead(this, buffer, read, false);
    return read;
}

void TCustomComPort::Write(const void* buffer, int32_t count, bool waitOnCompletion) {
    CheckActive();
    BeforeWrite(this, const_cast<void*>(buffer), count, waitOnCompletion);
    WaitForWriteCompletion();
    m_writeRequested_ = static_cast<uint32_t>(std::max(count, 0));
    if (count > 0) {
        const auto* bytes = static_cast<const char*>(buffer);
        m_write_ = TTransfer{};
        m_write_.active = true;
        m_write_.source.assign(bytes, bytes + count);
        m_write_.requested = static_cast<std::size_t>(count);
        m_write_.started = Clock::now();
        if (m_pEventLink_)
            m_pEventLink_->wroteSinceTxEmpty = true;
        progressWrite_(true);
        if (waitOnCompletion)
            WaitForWriteCompletion();
    }
    AfterWrite(this, const_cast<void*>(buffer), count, waitOnCompletion);
}

void TCustomComPort::progressRead_(bool raise) {
    if (!m_read_.active || m_read_.done >= m_read_.requested)
        return;
    int failure = m_read_.failure;
    if (failure != 0) {
        if (!raise)
            return;
        m_read_.active = false;
        RaiseError(failure, ComErrorText(failure));
    }
    bool wake = false;
    {
        // Bytes read ahead come first; under the lock the device is not read behind them.
        std::lock_guard lock(m_pInput_->mutex);
        if (const std::size_t taken =
                m_pInput_->take(m_read_.target + m_read_.done, m_read_.requested - m_read_.done);
            taken > 0) {
            m_read_.done += taken;
            m_read_.lastByte = Clock::now();
            wake = m_pInput_->roomForReader();
        }
        while (m_read_.done < m_read_.requested) {
            const ssize_t got =
                ::read(m_handle_, m_read_.target + m_read_.done, m_read_.requested - m_read_.done);
            if (got > 0) {
                m_read_.done += static_cast<std::size_t>(got);
                m_read_.lastByte = Clock::now();
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EAGAIN)
                break;
            // End of file on a terminal: the other side hung up.
            failure = got == 0 ? EIO : errno;
            break;
        }
    }
    wakeReader_(wake);
    if (failure == 0)
        return;
    // Whoever only asked (ReadPending) learns that the read is over; its wait raises.
    m_read_.failure = failure;
    if (!raise)
        return;
    m_read_.active = false;
    RaiseError(failure, ComErrorText(failure));
}

void TCustomComPort::waitForInput_(int timeout) {
    {
        std::unique_lock lock(m_pInput_->mutex);
        if (const TComEventLink* const reader = m_pInput_->reader) {
            // The event thread takes whatever arrives (a wait on the device could miss
            // it) and says so; it also says when it stops.
            const auto came = [&] { return m_pInput_->size() > 0 || m_pInput_->reader != reader; };
            if (timeout < 0)
                m_pInput_->changed.wait(lock, came);
            else
                m_pInput_->changed.wait_for(lock, milliseconds(timeout), came);
            return;
        }
    }
    pollfd ready{m_handle_, POLLIN, 0};
    if (::poll(&ready, 1, timeout) < 0 && errno != EINTR)
        Check(false);
}

void TCustomComPort::wakeReader_(bool wake) {
    if (wake && m_pEventLink_)
        m_pEventLink_->signal();
}

bool TCustomComPort::progressWrite_(bool raise) {
    while (m_write_.active && m_write_.failure == 0 && m_write_.done < m_write_.requested) {
        const ssize_t put =
            ::write(m_handle_, m_write_.source.data() + m_write_.done, m_write_.requested - m_write_.done);
        if (put > 0) {
            m_write_.done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN)
            return true;
        // Whoever only asked (WritePending) learns that the write is over; its wait raises.
        m_write_.failure = put == 0 ? EIO : errno;
    }
    if (!m_write_.active || m_write_.failure == 0)
        return true;
    if (!raise)
        return false;
    const int code = m_write_.failure;
    m_write_.active = false;
    RaiseError(code, ComErrorText(code));
}

bool TCustomComPort::sendPending_(std::optional<Clock::time_point> deadline, bool raise) {
    if (!progressWrite_(raise))
        return false;
    while (m_write_.done < m_write_.requested) {
        const int wait = pollTimeout(deadline);
        if (wait == 0)
            return false;
        pollfd ready{m_handle_, POLLOUT, 0};
        if (::poll(&ready, 1, wait) < 0 && errno != EINTR) {
            if (!raise)
                return false;
            Check(false);
        }
        if (!progressWrite_(raise))
            return false;
    }
    return true;
}

void TCustomComPort::discardUnsent_() {
    m_write_ = TTransfer{};
    // Only what the driver still holds: a pseudo-terminal hands every byte on to the
    // other side's input at once (and reads an empty queue here), and purging would
    // reach into that input and take what has already left.
    int queued = 0;
    if (::ioctl(m_handle_, TIOCOUTQ, &queued) == 0 && queued > 0)
        ::tcflush(m_handle_, TCOFLUSH);
}

void TCustomComPort::giveUpOutput_() {
    // A transfer reported as failed must not reach the device later, in front of
    // whatever is written next.
    discardUnsent_();
    RaiseError(0, kTimeoutMessage);
}

void TCustomComPort::finishOutput_() {
    // What the port has accepted goes out before the device closes, as far as the line
    // lets it within the write time-outs (or about twice the time the bytes take), and
    // never longer than kCloseWaitLimit; only what cannot leave by then is dropped, so
    // that closing never waits on a line held off for good.
    const auto now = Clock::now();
    std::optional<Clock::time_point> deadline = m_write_.active ? writeDeadline_() : std::nullopt;
    if (!deadline) {
        int queued = 0;
        if (::ioctl(m_handle_, TIOCOUTQ, &queued) != 0 || queued < 0)
            queued = 0;
        const std::size_t unsent = m_write_.active ? m_write_.requested - m_write_.done : 0;
        deadline = now + 2 * lineTime_(unsent + static_cast<std::size_t>(queued)) + milliseconds(500);
    }
    deadline = std::min(*deadline, now + kCloseWaitLimit);
    if (!sendPending_(deadline, false) || !drainOutput_(deadline))
        discardUnsent_();
}

bool TCustomComPort::ReadPending() {
    if (m_read_.active && m_handle_ >= 0)
        progressRead_(false);
    return m_read_.active && m_read_.failure == 0 && m_read_.done < m_read_.requested;
}

bool TCustomComPort::WritePending() {
    if (m_write_.active && m_handle_ >= 0)
        progressWrite_(false);
    return m_write_.active && m_write_.failure == 0 && m_write_.done < m_write_.requested;
}

void TCustomComPort::WaitForReadCompletion() {
    if (m_read_.active) {
        const TTimeouts& timeouts = *m_pTimeouts_;
        const bool returnAtOnce =
            timeouts.ReadInterval() < 0 && timeouts.ReadMultiplier() == 0 && timeouts.ReadConstant() == 0;
        std::optional<Clock::time_point> total;
        if (timeouts.ReadMultiplier() > 0 || timeouts.ReadConstant() > 0)
            total = m_read_.started + milliseconds(int64_t{std::max(timeouts.ReadMultiplier(), 0)} *
                                                       static_cast<int64_t>(m_read_.requested) +
                                                   std::max(timeouts.ReadConstant(), 0));
        progressRead_(true);
        while (m_read_.done < m_read_.requested && !returnAtOnce) {
            std::optional<Clock::time_point> deadline = total;
            if (timeouts.ReadInterval() > 0 && m_read_.done > 0)
                deadline = earlier(deadline, m_read_.lastByte + milliseconds(timeouts.ReadInterval()));
            const int wait = pollTimeout(deadline);
            if (wait == 0)
                break;
            waitForInput_(wait);
            progressRead_(true);
        }
        const bool complete = m_read_.done == m_read_.requested;
        m_read_.active = false;
        if (!complete)
            RaiseError(0, kTimeoutMessage);
    }
    CheckLineErrors();
}

std::optional<Clock::time_point> TCustomComPort::writeDeadline_() const {
    const TTimeouts& timeouts = *m_pTimeouts_;
    if (timeouts.WriteMultiplier() <= 0 && timeouts.WriteConstant() <= 0)
        return std::nullopt;
    return m_write_.started + milliseconds(int64_t{std::max(timeouts.WriteMultiplier(), 0)} *
                                               static_cast<int64_t>(m_write_.requested) +
                                           std::max(timeouts.WriteConstant(), 0));
}

void TCustomComPort::WaitForWriteCompletion() {
    if (m_write_.active) {
        if (!sendPending_(writeDeadline_(), true))
            giveUpOutput_();
        m_write_ = TTransfer{};
    }
    CheckLineErrors();
}

// ---- queues -------------------------------------------------------------------------------

int32_t TCustomComPort::InputCount() {
    int queued = 0;
    int failure = 0;
    {
        // Under the lock: no byte moves from the device to the store between the counts.
        std::lock_guard lock(m_pInput_->mutex);
        const std::size_t held = m_pInput_->size();
        if (::ioctl(m_handle_, FIONREAD, &queued) != 0) {
            queued = 0;
            // The failure is news once what came before it has been read.
            if (held == 0 || !IsDeviceGoneError(errno))
                failure = errno;
        }
        queued += static_cast<int>(held);
    }
    if (failure != 0)
        RaiseError(failure, ComErrorText(failure));
    reportLineErrors_();
    return queued;
}

int32_t TCustomComPort::OutputCount() {
    int queued = 0;
    if (::ioctl(m_handle_, TIOCOUTQ, &queued) != 0) {
        const int code = errno;
        RaiseError(code, ComErrorText(code));
    }
    reportLineErrors_();
    const std::size_t pending = m_write_.active ? m_write_.requested - m_write_.done : 0;
    return queued + static_cast<int32_t>(pending);
}

std::size_t TCustomComPort::ReadAheadMemory() const {
    std::lock_guard lock(m_pInput_->mutex);
    return m_pInput_->memory();
}

void TCustomComPort::PurgeInput() {
    if (!GetActive() || m_handle_ < 0)
        return;
    m_read_ = TTransfer{};
    discardInput_();
}

void TCustomComPort::discardInput_() {
    bool flushed = false;
    bool wake = false;
    int code = 0;
    {
        std::lock_guard lock(m_pInput_->mutex);
        m_pInput_->clear();
        wake = m_pInput_->roomForReader();
        flushed = ::tcflush(m_handle_, TCIFLUSH) == 0;
        code = errno;
    }
    wakeReader_(wake);
    errno = code;
    Check(flushed);
}

void TCustomComPort::PurgeOutput() {
    if (!GetActive() || m_handle_ < 0)
        return;
    m_write_ = TTransfer{};
    Check(::tcflush(m_handle_, TCOFLUSH) == 0);
}

void TCustomComPort::ClearInput() {
    if (!GetActive() || m_handle_ < 0)
        return;
    discardInput_();
}

void TCustomComPort::ClearOutput() {
    if (!GetActive() || m_handle_ < 0)
        return;
    Check(::tcflush(m_handle_, TCOFLUSH) == 0);
}

void TCustomComPort::AbortInput() {
    if (!GetActive() || m_handle_ < 0)
        return;
    m_read_ = TTransfer{};
}

void TCustomComPort::AbortOutput() {
    if (!GetActive() || m_handle_ < 0)
        return;
    m_write_ = TTransfer{};
}

void TCustomComPort::Flush() {
    if (!GetActive() || m_handle_ < 0)
        return;
    std::optional<Clock::time_point> deadline;
    if (m_write_.active) {
        deadline = writeDeadline_();
        if (!sendPending_(deadline, true))
            giveUpOutput_();
    }
    if (!drainOutput_(deadline))
        giveUpOutput_();
}

std::chrono::milliseconds TCustomComPort::lineTime_(std::size_t bytes) const {
    const int32_t rate = CustomBaudRate() > 0 ? CustomBaudRate() : 9600;
    return milliseconds(static_cast<int64_t>(bytes) * 10 * 1000 / rate + 1);
}

// Waits until the driver has sent its output queue; false when the deadline passes
// first. The kernel offers no drain with a time limit (tcdrain may wait for ever
// under flow control), so the queue is looked at again after about the time its
// bytes take on the line.
bool TCustomComPort::drainOutput_(std::optional<Clock::time_point> deadline) {
    int queued = 0;
    if (::ioctl(m_handle_, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return true;
    if (!deadline)
        deadline = Clock::now() + 2 * lineTime_(static_cast<std::size_t>(queued)) + milliseconds(500);
    while (queued > 0) {
        const int wait = pollTimeout(deadline);
        if (wait == 0)
            return false;
        std::this_thread::sleep_for(std::clamp(lineTime_(static_cast<std::size_t>(queued)), milliseconds(1),
                                               milliseconds(std::min(wait, 20))));
        if (::ioctl(m_handle_, TIOCOUTQ, &queued) != 0)
            return true;
    }
    return true;
}

// ---- line errors --------------------------------------------------------------------------

bool readLineCounters(int fd, TLineCounters& counters) {
    serial_icounter_struct raw{};
    if (fd < 0 || ::ioctl(fd, TIOCGICOUNT, &raw) != 0)
        return false;
    auto count = [](int value) { return static_cast<uint64_t>(static_cast<unsigned>(value)); };
    counters.frame = count(raw.frame);
    counters.overrun = count(raw.overrun);
    counters.parity = count(raw.parity);
    counters.brk = count(raw.brk);
    counters.bufferOverrun = count(raw.buf_overrun);
    counters.cts = count(raw.cts);
    counters.dsr = count(raw.dsr);
    counters.ring = count(raw.rng);
    counters.dcd = count(raw.dcd);
    return true;
}

bool TCustomComPort::readLineCounters_(TLineCounters& counters) {
    if (m_noCounters_)
        return false;
    if (readLineCounters(m_handle_, counters))
        return true;
    m_noCounters_ = m_handle_ >= 0 && (errno == ENOTTY || errno == EINVAL || errno == ENOSYS);
    return false;
}

TLineErrors TCustomComPort::GetLineErrors(const TLineCounters& delta) {
    TLineErrors errors;
    if (delta.brk != 0)
        errors.include(leBreak);
    if (delta.frame != 0)
        errors.include(leFrame);
    if (delta.overrun != 0)
        errors.include(leOverrun);
    if (delta.bufferOverrun != 0)
        errors.include(leRxOverflow);
    if (delta.parity != 0)
        errors.include(leParity);
    return errors;
}

// Line errors since the last look, from the driver's counters; a device without
// counters (a pseudo-terminal) has none.
void TCustomComPort::reportLineErrors_() {
    TLineCounters now;
    if (!readLineCounters_(now))
        return;
    TLineCounters delta;
    if (m_countersKnown_) {
        delta.frame = now.frame - m_lineBaseline_.frame;
        delta.overrun = now.overrun - m_lineBaseline_.overrun;
        delta.parity = now.parity - m_lineBaseline_.parity;
        delta.brk = now.brk - m_lineBaseline_.brk;
        delta.bufferOverrun = now.bufferOverrun - m_lineBaseline_.bufferOverrun;
    }
    m_lineBaseline_ = now;
    m_countersKnown_ = true;
    const TLineErrors errors = GetLineErrors(delta);
    if (!errors.empty() && OnLineError)
        OnLineError(this, errors);
}

void TCustomComPort::CheckLineErrors() {
    CheckActive();
    reportLineErrors_();
}

void TCustomComPort::ClearLineErrors() {
    CheckActive();
    TLineCounters now;
    if (readLineCounters_(now)) {
        m_lineBaseline_ = now;
        m_countersKnown_ = true;
    }
}

// ---- devices ------------------------------------------------------------------------------

void TCustomComPort::EnumComDevices(Platform::TStrings* list) const {
    if (list == nullptr)
        return;
    for (const auto& path : ComDevicePaths())
        list->Add(path);
}

} // namespace NorvEngineering::Serial
