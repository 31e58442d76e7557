#pragma once

#include "RecordingSink.h"

#include "Messages.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace TcpTests {

// The transport's notifications, safe to read while a client thread delivers: a
// recording sink behind a lock that also notes whether each call came on the main
// thread.
class ProbeSink : public TestSupport::RecordingSink {
public:
    void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) override {
        locked([&] { RecordingSink::onInterfaceReady(sensor, iface); });
    }
    void onInterfaceError(CSensor* sensor, CSensorInterface* iface,
                          NorvEngineering::SensorLib::CInterfaceError& error) override {
        locked([&] { RecordingSink::onInterfaceError(sensor, iface, error); });
    }
    void onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) override {
        locked([&] { RecordingSink::onInterfaceReleased(sensor, iface); });
    }
    // What has been recorded so far.
    RecordingSink seen() const {
        std::lock_guard lock(m_mutex_);
        return *this;
    }
    std::vector<bool> onMainThread() const {
        std::lock_guard lock(m_mutex_);
        return m_onMainThread_;
    }

private:
    template <class Call>
    void locked(const Call& call) {
        std::lock_guard lock(m_mutex_);
        m_onMainThread_.push_back(NorvEngineering::Platform::isMainThread());
        call();
    }

    mutable std::mutex m_mutex_;
    std::vector<bool> m_onMainThread_;
};

// A sensor that keeps what its transport delivers and the thread that delivered last,
// safe to read while a client thread delivers.
class ProbeSensor : public NorvEngineering::SensorLib::CSensor {
public:
    explicit ProbeSensor(NorvEngineering::SensorLib::CSensorSink* sink) : CSensor(sink) {}
    void initialize() override {}
    void dataReceived(const char* data, unsigned int length) override {
        {
            std::lock_guard lock(m_mutex_);
            m_received_.append(data, length);
            m_lastThread_ = NorvEngineering::Platform::currentThreadId();
        }
        m_changed_.notify_all();
    }
    // For direct delivery, which needs no help from the waiting thread.
    bool waitForReceived(std::size_t size, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex_);
        return m_changed_.wait_for(lock, timeout, [&] { return m_received_.size() >= size; });
    }
    std::string received() const {
        std::lock_guard lock(m_mutex_);
        return m_received_;
    }
    NorvEngineering::Platform::ThreadId lastThread() const {
        std::lock_guard lock(m_mutex_);
        return m_lastThread_;
    }

private:
    mutable std::mutex m_mutex_;
    std::condition_variable m_changed_;
    std::string m_received_;
    NorvEngineering::Platform::ThreadId m_lastThread_ = 0;
};

} // namespace TcpTests
