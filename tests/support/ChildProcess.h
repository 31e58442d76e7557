#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

using Clock = std::chrono::steady_clock;

// A program run as a child process, its standard output and error read through a
// pipe each. Every wait has a deadline; a child that is still running when the object
// goes is killed and reaped.
class ChildProcess {
public:
    // Throws std::system_error when the program cannot be started.
    ChildProcess(const std::string& path, const std::vector<std::string>& arguments);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Reads output until `done` holds for the standard output so far (true), or the
    // output ends or the deadline passes (false).
    bool readUntil(const std::function<bool(const std::string& output)>& done, Clock::time_point deadline);
    // Reads the rest of the output and reaps the child: its exit status, or -signal
    // when a signal ended it; nothing when the deadline passed (it is killed then).
    std::optional<int> finish(Clock::time_point deadline);
    void sendSignal(int signal) const;
    // Stops reading standard output, as `| head` does: the child's next write to it
    // fails (SIGPIPE, unless the child ignores it). What was read stays in output().
    void closeOutput();

    const std::string& output() const { return m_streams_[0].text; }
    const std::string& errors() const { return m_streams_[1].text; }

private:
    struct Stream {
        int fd = -1;
        std::string text;
    };

    // Waits for output or the child's end up to the deadline; false when it passed.
    bool pollOnce_(Clock::time_point deadline, bool& exited);
    // Reads what waits in each pipe; a pipe whose writers have all gone is closed.
    void readAvailable_();
    bool open_() const { return m_streams_[0].fd >= 0 || m_streams_[1].fd >= 0; }
    void kill_();

    pid_t m_pid_ = -1;
    Stream m_streams_[2]; // standard output, standard error
    int m_pidFd_ = -1;
    bool m_reaped_ = false;
    std::optional<int> m_status_;
};

} // namespace TestSupport
