#pragma once

#include <cstddef>
#include <deque>

namespace NorvEngineering::SensorLib {

// The commands of a Vkr25-family driver waiting for the sensor, in order of request.
// The front is the command in flight: it stays until its reply has been read.
template <typename Record>
class CCommandQueue {
public:
    bool empty() const { return m_records_.empty(); }
    std::size_t size() const { return m_records_.size(); }
    // Only on a queue that is not empty.
    const Record& front() const { return m_records_.front(); }

    void push(const Record& record) { m_records_.push_back(record); }
    void popFront() {
        if (!m_records_.empty())
            m_records_.pop_front();
    }
    void clear() { m_records_.clear(); }

    auto begin() const { return m_records_.begin(); }
    auto end() const { return m_records_.end(); }

private:
    std::deque<Record> m_records_;
};

} // namespace NorvEngineering::SensorLib
