#pragma once

#include "RecordingSink.h"

#include "Messages.h"

#include <mutex>
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

} // namespace TcpTests
