#include "SocksRig.h"

#include "ChildProcess.h"
#include "LoopbackPeer.h"
#include "RunUntil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace SocksTests {

using Clock = std::chrono::steady_clock;
using TestSupport::runUntil;

// ---- RecordedClient -----------------------------------------------------------------

RecordedClient::RecordedClient() {
    socket->OnSessionConnected = [this](TCustomWSocket*, uint16_t code) {
        ++connected;
        connectCode = code;
        events.push_back("connected " + std::to_string(code));
    };
    socket->OnSessionClosed = [this](TCustomWSocket*, uint16_t code) {
        ++closed;
        events.push_back("closed " + std::to_string(code));
    };
    socket->OnSocksConnected = [this](TCustomWSocket*, uint16_t code) {
        events.push_back("socks connected " + std::to_string(code));
    };
    socket->OnSocksError = [this](TCustomWSocket*, uint16_t code, const std::string& text) {
        events.push_back("socks error " + std::to_string(code) + " " + text);
    };
    socket->OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState state) {
        events.push_back("auth " + std::to_string(state));
    };
    socket->OnDataAvailable = [this](TCustomWSocket* sender, uint16_t) {
        char buffer[4096];
        const int n = sender->Receive(buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            events.push_back("data " + std::string(buffer, static_cast<std::size_t>(n)));
        }
    };
}

void RecordedClient::connectThrough(uint16_t socksPort, const std::string& level, const std::string& host,
                                    uint16_t port) {
    socket->SetSocksLevel(level);
    socket->SetSocksServer("127.0.0.1");
    socket->SetSocksPort(std::to_string(socksPort));
    socket->SetAddr(host);
    socket->SetPort(std::to_string(port));
    socket->Connect();
}

bool RecordedClient::waitConnected() {
    return runUntil([&] { return connected > 0 || closed > 0; });
}

bool RecordedClient::waitReceived(std::size_t count) {
    return runUntil([&] { return received.size() >= count || closed > 0; }) && received.size() >= count;
}

bool RecordedClient::waitClosed() {
    return runUntil([&] { return closed > 0; });
}

std::vector<std::string> RecordedClient::reports() const {
    std::vector<std::string> result;
    for (const auto& event : events)
        if (event.rfind("data ", 0) != 0)
            result.push_back(event);
    return result;
}

// ---- ScriptedPeer -------------------------------------------------------------------

std::string ScriptedPeer::read(std::size_t count) {
    runUntil([&] {
        if (acceptNow())
            m_pending_ += m_peer_.receive(1 << 16, std::chrono::milliseconds(0));
        return m_pending_.size() >= count;
    });
    const std::string got = m_pending_.substr(0, count);
    m_pending_.erase(0, got.size());
    return got;
}

void ScriptedPeer::send(const std::string& bytes) {
    if (!acceptNow())
        throw std::runtime_error("scripted peer cannot send");
    m_peer_.send(bytes);
}

// ---- EchoServer ---------------------------------------------------------------------

EchoServer::EchoServer() {
    m_listen_ = TestSupport::listenOnLoopback(m_port_);
    m_stop_ = ::eventfd(0, EFD_CLOEXEC);
    m_thread_ = std::thread([this] { run(); });
}

EchoServer::~EchoServer() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_stop_, &one, sizeof one);
    m_thread_.join();
    ::close(m_listen_);
    ::close(m_stop_);
}

void EchoServer::run() {
    std::vector<pollfd> fds{{m_stop_, POLLIN, 0}, {m_listen_, POLLIN, 0}};
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            break;
        if ((fds[1].revents & POLLIN) != 0) {
            const int conn = ::accept4(m_listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn >= 0)
                fds.push_back({conn, POLLIN, 0});
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || ::send(fds[i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                --i;
            }
        }
    }
    for (std::size_t i = 2; i < fds.size(); ++i)
        ::close(fds[i].fd);
}

// ---- ServerProcess ------------------------------------------------------------------

ServerProcess::ServerProcess(const std::vector<std::string>& command, const std::string& logPath)
    : m_logPath_(logPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> words = command;
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&m_pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        m_pid_ = -1;
}

ServerProcess::~ServerProcess() {
    if (m_pid_ <= 0)
        return;
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid_, 0));
    ::kill(m_pid_, SIGTERM);
    pollfd ended{pidFd, POLLIN, 0};
    if (pidFd < 0 || ::poll(&ended, 1, 5000) <= 0)
        ::kill(m_pid_, SIGKILL);
    int status = 0;
    ::waitpid(m_pid_, &status, 0);
    if (pidFd >= 0)
        ::close(pidFd);
}

bool ServerProcess::waitListening(uint16_t port, std::chrono::seconds deadline) {
    if (m_pid_ <= 0)
        return false;
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        int status = 0;
        if (::waitpid(m_pid_, &status, WNOHANG) == m_pid_) {
            m_pid_ = -1;
            return false;
        }
        if (const int fd = TestSupport::connectToLoopback(port); fd >= 0) {
            ::close(fd);
            return true;
        }
        TestSupport::pumpFor(std::chrono::milliseconds(20));
    }
    return false;
}

std::string ServerProcess::log() const {
    std::ifstream file(m_logPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// ---- small helpers ------------------------------------------------------------------

TempDir::TempDir() {
    char pattern[] = "/tmp/socks-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr)
        throw std::runtime_error("mkdtemp");
    m_path_ = made;
    ::chmod(m_path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path_, ignored);
}

uint16_t freePort() {
    return TestSupport::LoopbackPeer::unusedPort();
}

int runProgram(const std::vector<std::string>& command) {
    TestSupport::ChildProcess child(command[0], {command.begin() + 1, command.end()});
    return child.finish(Clock::now() + std::chrono::seconds(60)).value_or(-1);
}

std::string findProgram(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/", "/usr/local/bin/"}) {
        const std::string path = dir + name;
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

} // namespace SocksTests
