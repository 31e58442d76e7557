#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

extern char** environ;

namespace TestSupport {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments) {
    int pipeFds[2][2];
    if (::pipe2(pipeFds[0], O_CLOEXEC) != 0 || ::pipe2(pipeFds[1], O_CLOEXEC) != 0)
        fail("pipe2"); // a failure that fails the test anyway: two descriptors may stay open
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0][1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1][1], 2);
    std::vector<std::string> words{path};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // As from a shell: a broken pipe is fatal unless the program says otherwise, even
    // when this process ignores SIGPIPE.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int spawned = ::posix_spawn(&m_pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 2; ++i) {
        ::close(pipeFds[i][1]);
        m_streams_[i].fd = pipeFds[i][0];
        ::fcntl(m_streams_[i].fd, F_SETFL, ::fcntl(m_streams_[i].fd, F_GETFL) | O_NONBLOCK);
    }
    if (spawned != 0) {
        for (auto& stream : m_streams_)
            ::close(stream.fd);
        errno = spawned;
        fail(path.c_str());
    }
    m_pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, m_pid_, 0));
    if (m_pidFd_ < 0) {
        kill_();
        for (auto& stream : m_streams_)
            ::close(stream.fd);
        fail("pidfd_open");
    }
}

ChildProcess::~ChildProcess() {
    kill_();
    for (auto& stream : m_streams_)
        if (stream.fd >= 0)
            ::close(stream.fd);
    ::close(m_pidFd_);
}

void ChildProcess::kill_() {
    if (m_reaped_ || m_pid_ <= 0)
        return;
    ::kill(m_pid_, SIGKILL);
    int status = 0;
    while (::waitpid(m_pid_, &status, 0) < 0 && errno == EINTR) {
    }
    m_reaped_ = true;
}

void ChildProcess::sendSignal(int signal) const {
    if (!m_reaped_)
        ::kill(m_pid_, signal);
}

void ChildProcess::closeOutput() {
    if (m_streams_[0].fd >= 0)
        ::close(m_streams_[0].fd);
    m_streams_[0].fd = -1;
}

void ChildProcess::readAvailable_() {
    char buffer[4096];
    for (auto& stream : m_streams_) {
        while (stream.fd >= 0) {
            const ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
            if (n > 0) {
                stream.text.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0) { // every writer has gone
                ::close(stream.fd);
                stream.fd = -1;
            }
            break;
        }
    }
}

bool ChildProcess::pollOnce_(Clock::time_point deadline, bool& exited) {
    const auto now = Clock::now();
    if (now >= deadline)
        return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    // A closed pipe's descriptor is -1, which poll skips.
    pollfd fds[3] = {{m_pidFd_, POLLIN, 0}, {m_streams_[0].fd, POLLIN, 0}, {m_streams_[1].fd, POLLIN, 0}};
    if (::poll(fds, 3, static_cast<int>(std::min<long long>(left, 60000))) < 0 && errno != EINTR)
        fail("poll");
    readAvailable_();
    exited = (fds[0].revents & POLLIN) != 0;
    return true;
}

bool ChildProcess::readUntil(const std::function<bool(const std::string&)>& done,
                             Clock::time_point deadline) {
    bool exited = false;
    while (!done(output())) {
        if (!open_() || !pollOnce_(deadline, exited))
            return false;
    }
    return true;
}

std::optional<int> ChildProcess::finish(Clock::time_point deadline) {
    if (m_reaped_)
        return m_status_;
    bool exited = false;
    while (!exited) {
        if (!pollOnce_(deadline, exited)) {
            kill_();
            return std::nullopt;
        }
    }
    // The child has ended: what it wrote is all in the pipes. One held open by a
    // process of its own gives what is there.
    readAvailable_();
    int status = 0;
    while (::waitpid(m_pid_, &status, 0) < 0 && errno == EINTR) {
    }
    m_reaped_ = true;
    m_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return m_status_;
}

} // namespace TestSupport
