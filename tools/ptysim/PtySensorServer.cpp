#include "PtySensorServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace SensorSim {

namespace {

constexpr uint64_t kMasterKey = 1;
constexpr uint64_t kWakeKey = 2;
constexpr uint64_t kTickerKey = 3;
constexpr uint64_t kPacerKey = 4;
constexpr uint64_t kDrainKey = 5;
// How long a hang-up waits for the client to read what was sent before it.
constexpr std::chrono::milliseconds kHangUpDrainLimit{2000};

void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

itimerspec timerSpec(std::chrono::microseconds first, std::chrono::microseconds period) {
    auto toTimespec = [](std::chrono::microseconds value) {
        timespec result{};
        result.tv_sec = static_cast<time_t>(value.count() / 1000000);
        result.tv_nsec = static_cast<long>((value.count() % 1000000) * 1000);
        return result;
    };
    return itimerspec{toTimespec(period), toTimespec(first)};
}

} // namespace

CPtySensorServer::CPtySensorServer(EModel model) : m_simulator_(model) {
    int device = -1;
    char name[256] = {};
    if (::openpty(&m_master_, &device, name, nullptr, nullptr) != 0)
        throwErrno("openpty");
    m_deviceHolder_ = device;
    m_devicePath_ = name;
    termios settings{};
    ::tcgetattr(device, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(device, TCSANOW, &settings);
    ::fcntl(m_master_, F_SETFL, ::fcntl(m_master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_deviceHolder_, F_SETFD, FD_CLOEXEC);

    m_epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_ticker_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    m_pacer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    m_drainDeadline_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_epoll_ < 0 || m_wake_ < 0 || m_ticker_ < 0 || m_pacer_ < 0 || m_drainDeadline_ < 0)
        throwErrno("pty server");
    const std::pair<int, uint64_t> watched[] = {{m_master_, kMasterKey},
                                                {m_wake_, kWakeKey},
                                                {m_ticker_, kTickerKey},
                                                {m_pacer_, kPacerKey},
                                                {m_drainDeadline_, kDrainKey}};
    for (const auto& [fd, key] : watched) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = key;
        if (::epoll_ctl(m_epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
            throwErrno("epoll_ctl");
    }
    m_masterEvents_ = EPOLLIN;
    m_simulator_.setOutputHandler([this](std::string_view bytes) { onOutput_(bytes); });
}

CPtySensorServer::~CPtySensorServer() {
    stop();
    closeMaster_();
    for (const int fd : {m_epoll_, m_wake_, m_ticker_, m_pacer_, m_drainDeadline_})
        if (fd >= 0)
            ::close(fd);
}

void CPtySensorServer::start() {
    if (m_thread_.joinable())
        return;
    m_thread_ = std::thread([this] { run_(); });
}

void CPtySensorServer::stop() {
    {
        std::lock_guard lock(m_mutex_);
        m_stopping_ = true;
    }
    m_changed_.notify_all();
    wake_();
    if (m_thread_.joinable())
        m_thread_.join();
}

void CPtySensorServer::wake_() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake_, &one, sizeof one);
}

void CPtySensorServer::withSimulator(const std::function<void(CSensorSimulator&)>& call) {
    {
        std::lock_guard lock(m_mutex_);
        call(m_simulator_);
    }
    wake_();
}

void CPtySensorServer::setSplitReplies(std::size_t chunk, std::chrono::milliseconds gap) {
    std::lock_guard lock(m_mutex_);
    m_splitChunk_ = chunk;
    m_splitGap_ = gap;
}

void CPtySensorServer::setGarbageEvery(unsigned measurementLines) {
    std::lock_guard lock(m_mutex_);
    m_garbageEvery_ = measurementLines;
}

void CPtySensorServer::setFloodAfter(unsigned measurementLines) {
    std::lock_guard lock(m_mutex_);
    m_floodAtLine_ = measurementLines == 0 ? 0 : m_simulator_.getMeasurementLinesSent() + measurementLines;
}

void CPtySensorServer::setWriteObserver(WriteObserver observer) {
    std::lock_guard lock(m_mutex_);
    m_writeObserver_ = std::move(observer);
}

uint64_t CPtySensorServer::getMeasurementLinesSent() {
    std::lock_guard lock(m_mutex_);
    return m_simulator_.getMeasurementLinesSent();
}

uint64_t CPtySensorServer::getBytesWritten() {
    std::lock_guard lock(m_mutex_);
    return m_bytesWritten_;
}

bool CPtySensorServer::isHungUp() {
    std::lock_guard lock(m_mutex_);
    return m_hungUp_;
}

bool CPtySensorServer::waitForHangUp(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex_);
    m_changed_.wait_for(lock, timeout, [this] { return m_hungUp_ || m_stopping_; });
    return m_hungUp_;
}

// Called by the engine, under the lock.
void CPtySensorServer::onOutput_(std::string_view bytes) {
    m_output_.append(bytes);
}

void CPtySensorServer::run_() {
    std::unique_lock lock(m_mutex_);
    updateTicker_();
    flushOutput_();
    while (!m_stopping_) {
        lock.unlock();
        epoll_event ready[8];
        const int count = ::epoll_wait(m_epoll_, ready, 8, -1);
        lock.lock();
        if (count < 0 && errno != EINTR)
            break;
        for (int i = 0; i < std::max(count, 0) && !m_stopping_; ++i) {
            switch (ready[i].data.u64) {
            case kWakeKey: {
                uint64_t drained = 0;
                [[maybe_unused]] const ssize_t got = ::read(m_wake_, &drained, sizeof drained);
                break;
            }
            case kMasterKey: {
                if ((ready[i].events & EPOLLIN) != 0 && m_master_ >= 0) {
                    char buffer[4096];
                    const ssize_t got = ::read(m_master_, buffer, sizeof buffer);
                    if (got > 0)
                        m_simulator_.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
                }
                break;
            }
            case kTickerKey: {
                uint64_t expirations = 0;
                if (::read(m_ticker_, &expirations, sizeof expirations) > 0) {
                    // A late wake-up catches up, but never floods the line.
                    for (uint64_t k = 0; k < std::min<uint64_t>(expirations, 50); ++k) {
                        if (!m_simulator_.tick())
                            break;
                        const uint64_t lines = m_simulator_.getMeasurementLinesSent();
                        if (m_garbageEvery_ != 0 && lines % m_garbageEvery_ == 0)
                            m_simulator_.injectLine("#?~garbage~?#");
                        if (m_floodAtLine_ != 0 && lines >= m_floodAtLine_) {
                            m_floodAtLine_ = 0;
                            m_simulator_.emitFlood();
                        }
                    }
                }
                break;
            }
            case kPacerKey: {
                uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t got = ::read(m_pacer_, &expirations, sizeof expirations);
                m_pacing_ = false;
                break;
            }
            case kDrainKey: {
                uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t got =
                    ::read(m_drainDeadline_, &expirations, sizeof expirations);
                break;
            }
            default:
                break;
            }
        }
        updateTicker_();
        flushOutput_();
        maybeHangUp_();
    }
}

void CPtySensorServer::updateTicker_() {
    const auto period =
        m_simulator_.isHungUp() ? std::chrono::microseconds(0) : m_simulator_.getMeasurementPeriod();
    if (period == m_tickPeriod_)
        return;
    m_tickPeriod_ = period;
    const itimerspec timing = timerSpec(period, period);
    ::timerfd_settime(m_ticker_, 0, &timing, nullptr);
}

void CPtySensorServer::armPacing_(std::chrono::milliseconds delay) {
    m_pacing_ = true;
    const auto micros = std::max<std::chrono::microseconds>(delay, std::chrono::microseconds(1));
    const itimerspec timing = timerSpec(micros, std::chrono::microseconds(0));
    ::timerfd_settime(m_pacer_, 0, &timing, nullptr);
}

void CPtySensorServer::flushOutput_() {
    bool blocked = false;
    while (m_master_ >= 0 && !m_output_.empty() && !m_pacing_) {
        const std::size_t piece =
            m_splitChunk_ == 0 ? m_output_.size() : std::min(m_splitChunk_, m_output_.size());
        const ssize_t put = ::write(m_master_, m_output_.data(), piece);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            blocked = errno == EAGAIN;
            break;
        }
        if (m_writeObserver_)
            m_writeObserver_(std::string_view(m_output_.data(), static_cast<std::size_t>(put)),
                             std::chrono::steady_clock::now());
        m_output_.erase(0, static_cast<std::size_t>(put));
        m_bytesWritten_ += static_cast<uint64_t>(put);
        if (m_splitChunk_ != 0 && !m_output_.empty())
            armPacing_(m_splitGap_);
    }
    // A full line: wait until the client has read some.
    m_blocked_ = blocked;
    watchMaster_();
}

void CPtySensorServer::watchMaster_() {
    if (m_master_ < 0)
        return;
    // While a hang-up waits for the client, every read on the device side wakes the
    // master's writers: edge-triggered, that is one event per read, where a
    // level-triggered EPOLLOUT would fire all the time on a line with room.
    const uint32_t events = m_hangUpSince_ != std::chrono::steady_clock::time_point{}
                                ? EPOLLIN | EPOLLOUT | EPOLLET
                            : m_blocked_ ? EPOLLIN | EPOLLOUT
                                         : EPOLLIN;
    if (events == m_masterEvents_)
        return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = kMasterKey;
    ::epoll_ctl(m_epoll_, EPOLL_CTL_MOD, m_master_, &event);
    m_masterEvents_ = events;
}

bool CPtySensorServer::unreadByClient_() const {
    // The kernel hands what the master writes to the device side's input queue a moment
    // later, on a worker: a poll of the device side waits for that hand-over when it
    // finds nothing to read, so FIONREAD after it counts bytes just written too.
    pollfd device{m_deviceHolder_, POLLIN, 0};
    ::poll(&device, 1, 0);
    int unread = 0;
    return ::ioctl(m_deviceHolder_, FIONREAD, &unread) == 0 && unread > 0;
}

void CPtySensorServer::maybeHangUp_() {
    if (m_hungUp_ || m_master_ < 0 || !m_simulator_.isHungUp())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_hangUpSince_ == std::chrono::steady_clock::time_point{}) {
        m_hangUpSince_ = now;
        watchMaster_();
        const itimerspec limit = timerSpec(kHangUpDrainLimit, std::chrono::microseconds(0));
        ::timerfd_settime(m_drainDeadline_, 0, &limit, nullptr);
    }
    // Closing the master throws away what the client has not read yet: wait until it
    // has read everything sent before the hang-up, or the limit has passed.
    if ((!m_output_.empty() || unreadByClient_()) && now - m_hangUpSince_ < kHangUpDrainLimit)
        return;
    closeMaster_();
    m_hungUp_ = true;
    m_changed_.notify_all();
}

void CPtySensorServer::closeMaster_() {
    if (m_master_ >= 0) {
        ::epoll_ctl(m_epoll_, EPOLL_CTL_DEL, m_master_, nullptr);
        ::close(m_master_);
        m_master_ = -1;
    }
    if (m_deviceHolder_ >= 0) {
        ::close(m_deviceHolder_);
        m_deviceHolder_ = -1;
    }
}

} // namespace SensorSim
