#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace TestSupport {

// For a wait that has no time-out of its own (a thread's WaitFor, a lifetime's end, a
// join): when the scope has not been left by the deadline, the test fails with the
// message and the program ends at once, since the wait cannot be broken off and the
// rest of the test would only hang behind it. A fault then costs seconds, not the
// time-out of the whole test program.
class Deadline {
public:
    Deadline(std::string what, std::chrono::milliseconds limit = std::chrono::seconds(10))
        : m_what_(std::move(what)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        m_watcher_ = std::thread([this, until, limit] {
            std::unique_lock lock(m_mutex_);
            if (m_changed_.wait_until(lock, until, [this] { return m_left_; }))
                return;
            ADD_FAILURE() << m_what_ << ": still waiting after " << limit.count() << " ms";
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(EXIT_FAILURE);
        });
    }
    ~Deadline() {
        {
            std::lock_guard lock(m_mutex_);
            m_left_ = true;
        }
        m_changed_.notify_all();
        m_watcher_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    std::string m_what_;
    std::mutex m_mutex_;
    std::condition_variable m_changed_;
    bool m_left_ = false;
    std::thread m_watcher_;
};

// Runs a wait that has no time-out of its own under a Deadline.
template <typename Wait>
void endsWithin(std::chrono::milliseconds limit, const std::string& what, Wait&& wait) {
    const Deadline deadline(what, limit);
    std::forward<Wait>(wait)();
}

} // namespace TestSupport
