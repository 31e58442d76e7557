#pragma once

#include "SensorLib.h"

#include "Messages.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

// A sensor that keeps what its transport delivers, chunk by chunk, and the thread of
// each delivery; safe to read while a transport's thread delivers.
class ReceivingSensor : public NorvEngineering::SensorLib::CSensor {
public:
    using ThreadId = NorvEngineering::Platform::ThreadId;
    using CSensor::CSensor;
    void initialize() override {}
    void dataReceived(const char* data, unsigned int length) override {
        {
            std::lock_guard lock(m_mutex_);
            m_chunks_.emplace_back(data, length);
            m_received_.append(data, length);
            m_threads_.push_back(NorvEngineering::Platform::currentThreadId());
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
    std::vector<std::string> chunks() const {
        std::lock_guard lock(m_mutex_);
        return m_chunks_;
    }
    std::vector<ThreadId> threads() const {
        std::lock_guard lock(m_mutex_);
        return m_threads_;
    }
    ThreadId lastThread() const {
        std::lock_guard lock(m_mutex_);
        return m_threads_.empty() ? 0 : m_threads_.back();
    }

private:
    mutable std::mutex m_mutex_;
    std::condition_variable m_changed_;
    std::vector<std::string> m_chunks_;
    std::string m_received_;
    std::vector<ThreadId> m_threads_;
};

} // namespace TestSupport
