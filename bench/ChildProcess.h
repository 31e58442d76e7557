#pragma once

// A program run by a benchmark in a process of its own (the sensors' peer, or one
// scale run that may die), with its standard streams on pipes and every wait
// bounded in time. The destructor closes its input, waits briefly, then kills it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace Bench {

class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    explicit ChildProcess(const std::vector<std::string>& argv) {
        int in[2];
        int out[2];
        int err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (::posix_spawn(&m_pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            m_pid_ = -1;
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        m_in_ = in[1];
        m_out_ = out[0];
        m_err_ = err[0];
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        closeInput();
        if (m_pid_ > 0 && !wait(std::chrono::seconds(5))) {
            ::kill(m_pid_, SIGKILL);
            wait(std::chrono::seconds(5));
        }
        for (const int fd : {m_out_, m_err_})
            if (fd >= 0)
                ::close(fd);
    }

    bool started() const { return m_pid_ > 0; }
    pid_t pid() const { return m_pid_; }

    bool send(const std::string& line) {
        const std::string text = line + "\n";
        return m_in_ >= 0 && ::write(m_in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void closeInput() {
        if (m_in_ >= 0)
            ::close(m_in_);
        m_in_ = -1;
    }

    // The next line of its output; nothing when it ends or the time is up. Standard
    // error is collected meanwhile (see errorText).
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (const auto end = m_outText_.find('\n'); end != std::string::npos) {
                std::string line = m_outText_.substr(0, end);
                m_outText_.erase(0, end + 1);
                return line;
            }
            if (m_outClosed_ || !pump(deadline))
                return std::nullopt;
        }
    }
    // Reads both streams until the process closes its output or the time is up.
    bool drain(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!m_outClosed_ || !m_errClosed_)
            if (!pump(deadline))
                return false;
        return true;
    }
    const std::string& errorText() const { return m_errText_; }
    // Reads until its standard error holds the text; false when it ends first or the
    // time is up.
    bool waitForErrorText(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (m_errText_.find(text) == std::string::npos)
            if (!pump(deadline))
                return false;
        return true;
    }
    void signal(int number) {
        if (m_pid_ > 0 && !m_exited_)
            ::kill(m_pid_, number);
    }

    // Waits for the process to end; false when the time is up.
    bool wait(std::chrono::milliseconds timeout) {
        if (m_pid_ <= 0 || m_exited_)
            return true;
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const pid_t done = ::waitpid(m_pid_, &m_status_, WNOHANG);
            if (done == m_pid_ || done < 0) {
                m_exited_ = true;
                return true;
            }
            if (Clock::now() >= deadline)
                return false;
            if (!pump(deadline)) {
                // Both streams closed: wait on the process itself.
                const int handle = static_cast<int>(::syscall(SYS_pidfd_open, m_pid_, 0));
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                pollfd ended{handle, POLLIN, 0};
                if (handle >= 0) {
                    ::poll(&ended, 1, static_cast<int>(std::max<long>(0, left.count())));
                    ::close(handle);
                } else if (::waitpid(m_pid_, &m_status_, 0) == m_pid_) {
                    m_exited_ = true; // no pidfd here: the wait cannot be bounded
                    return true;
                }
            }
        }
    }
    void kill() {
        if (m_pid_ > 0 && !m_exited_)
            ::kill(m_pid_, SIGKILL);
    }
    // "exit 0", "signal 6", ...
    std::string howItEnded() const {
        if (!m_exited_)
            return "still running";
        if (WIFSIGNALED(m_status_))
            return "signal " + std::to_string(WTERMSIG(m_status_));
        return "exit " + std::to_string(WEXITSTATUS(m_status_));
    }
    bool endedWell() const { return m_exited_ && WIFEXITED(m_status_) && WEXITSTATUS(m_status_) == 0; }

private:
    // Reads what is there on either stream; false when the deadline passed or both
    // streams are closed.
    bool pump(Clock::time_point deadline) {
        if (m_outClosed_ && m_errClosed_)
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd watched[2] = {{m_outClosed_ ? -1 : m_out_, POLLIN, 0},
                             {m_errClosed_ ? -1 : m_err_, POLLIN, 0}};
        if (::poll(watched, 2, static_cast<int>(left)) <= 0)
            return Clock::now() < deadline;
        readInto(watched[0], m_out_, m_outText_, m_outClosed_);
        readInto(watched[1], m_err_, m_errText_, m_errClosed_);
        return true;
    }
    static void readInto(const pollfd& watched, int fd, std::string& text, bool& closed) {
        if (watched.fd < 0 || watched.revents == 0)
            return;
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            closed = true;
        else
            text.append(buffer, static_cast<std::size_t>(got));
    }

    pid_t m_pid_ = -1;
    int m_in_ = -1;
    int m_out_ = -1;
    int m_err_ = -1;
    std::string m_outText_;
    std::string m_errText_;
    bool m_outClosed_ = false;
    bool m_errClosed_ = false;
    bool m_exited_ = false;
    int m_status_ = 0;
};

// Where a started scale_peer serves its sensors: the first TCP port and, when asked
// for one, its pseudo-terminal; both empty when it did not start.
struct PeerAddress {
    uint16_t port = 0;
    std::string device;
};

// Reads the peer's start-up lines ("PORT n", "PTY path") up to its "READY".
inline PeerAddress readPeerAddress(ChildProcess& peer) {
    using namespace std::chrono_literals;
    PeerAddress address;
    for (auto line = peer.readLine(10s); line && *line != "READY"; line = peer.readLine(10s)) {
        if (line->rfind("PORT ", 0) == 0)
            address.port = static_cast<uint16_t>(std::stoi(line->substr(5)));
        if (line->rfind("PTY ", 0) == 0)
            address.device = line->substr(4);
    }
    return address;
}

} // namespace Bench
