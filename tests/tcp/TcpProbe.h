#pragma once

#include "SensorLib.h"

#include "Messages.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace TcpTests {

// A sensor that keeps what its transport delivers, and a sink that keeps the
// transport's notifications, both safe to read from the test while a client thread
// delivers, and both noting the thread of every call.
class ProbeSink : public NorvEngineering::SensorLib::CSensorSink {
public:
    using CSensor = NorvEngineering::SensorLib::CSensor;
    using CSensorInterface = NorvEngineering::SensorLib::CSensorInterface;

    struct Error {
        int code;
        std::string message;
        std::string place;
    };

    void onDataUpdate(CSensor*, const std::string&) override {}
    void onInterfaceReady(CSensor*, CSensorInterface*) override { note("ready"); }
    void onInterfaceError(CSensor*, CSensorInterface*,
                          NorvEngineering::SensorLib::CInterfaceError& error) override {
        std::lock_guard lock(m_mutex_);
        m_errors_.push_back({error.getCode(), error.getMessage(), error.getPlace()});
        m_calls_.push_back("error " + std::to_string(error.getCode()));
        m_threads_.push_back(NorvEngineering::Platform::currentThreadId());
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override { note("released"); }
    void onSensorReady(CSensor*) override {}
    void onSensorError(CSensor*, NorvEngineering::SensorLib::CSensorError&) override {}
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }

    std::vector<std::string> calls() const {
        std::lock_guard lock(m_mutex_);
        return m_calls_;
    }
    std::vector<Error> errors() const {
        std::lock_guard lock(m_mutex_);
        return m_errors_;
    }
    std::vector<NorvEngineering::Platform::ThreadId> threads() const {
        std::lock_guard lock(m_mutex_);
        return m_threads_;
    }
    int count(const std::string& call) const {
        std::lock_guard lock(m_mutex_);
        int n = 0;
        for (const auto& c : m_calls_)
            n += c == call ? 1 : 0;
        return n;
    }

private:
    void note(const std::string& call) {
        std::lock_guard lock(m_mutex_);
        m_calls_.push_back(call);
        m_threads_.push_back(NorvEngineering::Platform::currentThreadId());
    }

    mutable std::mutex m_mutex_;
    std::vector<std::string> m_calls_;
    std::vector<Error> m_errors_;
    std::vector<NorvEngineering::Platform::ThreadId> m_threads_;
};

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
    std::size_t receivedSize() const {
        std::lock_guard lock(m_mutex_);
        return m_received_.size();
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
