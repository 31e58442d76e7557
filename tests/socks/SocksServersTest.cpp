// The SOCKS layer against real SOCKS servers from Debian packages, started on free
// loopback ports: microsocks (SOCKS 5, with and without user and password),
// dante-server (SOCKS 4 and 5) and ssh -D (SOCKS 4, 4A and 5).
#include "SocksRig.h"

#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace SocksTests;
using TestSupport::LoopbackPeer;

namespace {

// A server program run as a child process, its output kept in a file for the message
// of a test that fails (through pipes, ssh -D lost its server under a loaded run).
class ServerProcess {
public:
    ServerProcess(std::vector<std::string> command, const std::string& logPath) : m_logPath_(logPath) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (auto& word : command)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&m_pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() {
        if (m_pid_ <= 0)
            return;
        const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid_, 0));
        ::kill(m_pid_, SIGTERM);
        pollfd ended{pidFd, POLLIN, 0};
        if (pidFd < 0 || ::poll(&ended, 1, 5000) <= 0)
            ::kill(m_pid_, SIGKILL);
        ::waitpid(m_pid_, nullptr, 0);
        if (pidFd >= 0)
            ::close(pidFd);
    }
    // Waits until something listens on 127.0.0.1:port; false when the program ended
    // or the deadline passed.
    bool waitListening(uint16_t port) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_pid_ > 0 && std::chrono::steady_clock::now() < end) {
            if (::waitpid(m_pid_, nullptr, WNOHANG) == m_pid_)
                m_pid_ = -1;
            else if (const int fd = TestSupport::connectToLoopback(port); fd >= 0) {
                ::close(fd);
                return true;
            } else
                TestSupport::pumpFor(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string log() const {
        std::stringstream text;
        text << std::ifstream(m_logPath_).rdbuf();
        return text.str();
    }

private:
    pid_t m_pid_ = -1;
    std::string m_logPath_;
};

std::string findProgram(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"})
        if (::access((dir + name).c_str(), X_OK) == 0)
            return dir + name;
    return {};
}

std::vector<std::string> unprivileged(std::vector<std::string> command) {
    command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return command;
}

// A running SOCKS server, or the reason it is not running; its files in a directory of
// its own, removed afterwards.
struct SocksServer {
    std::string dir;
    uint16_t port = 0;
    std::vector<std::unique_ptr<ServerProcess>> processes;
    std::string missing;

    SocksServer() {
        char pattern[] = "/tmp/socks-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp");
        dir = pattern;
        ::chmod(dir.c_str(), 0755);
    }
    ~SocksServer() {
        processes.clear();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    bool start(const std::vector<std::string>& command, uint16_t listening, const std::string& name) {
        processes.push_back(std::make_unique<ServerProcess>(command, dir + "/" + name + ".log"));
        if (processes.back()->waitListening(listening))
            return true;
        missing = name + " did not start listening on 127.0.0.1:" + std::to_string(listening) +
                  "; its output: " + processes.back()->log();
        return false;
    }
    bool needs(const std::string& program, const std::string& package) {
        if (!findProgram(program).empty())
            return true;
        missing =
            program + " is missing: install the Debian package " + package + " (scripts/install-deps.sh)";
        return false;
    }
};

std::unique_ptr<SocksServer> startMicrosocks(const std::string& user = {}, const std::string& password = {}) {
    auto server = std::make_unique<SocksServer>();
    if (!server->needs("microsocks", "microsocks"))
        return server;
    server->port = LoopbackPeer::unusedPort();
    std::vector<std::string> command = {findProgram("microsocks"), "-i", "127.0.0.1", "-p",
                                        std::to_string(server->port)};
    if (!user.empty())
        command.insert(command.end(), {"-u", user, "-P", password});
    server->start(unprivileged(command), server->port, "microsocks");
    return server;
}

std::unique_ptr<SocksServer> startDante() {
    auto server = std::make_unique<SocksServer>();
    if (!server->needs("danted", "dante-server"))
        return server;
    server->port = LoopbackPeer::unusedPort();
    const std::string config = server->dir + "/danted.conf";
    std::ofstream(config) << "logoutput: stderr\n"
                          << "internal: 127.0.0.1 port = " << server->port << "\n"
                          << "external: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                          << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                          << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
    server->start(unprivileged({findProgram("danted"), "-f", config, "-p", server->dir + "/danted.pid"}),
                  server->port, "danted");
    return server;
}

// sshd as root on a loopback port with keys made here, and ssh -D as the SOCKS server.
std::unique_ptr<SocksServer> startSshTunnel() {
    auto server = std::make_unique<SocksServer>();
    if (!server->needs("sshd", "openssh-server") || !server->needs("ssh", "openssh-client") ||
        !server->needs("ssh-keygen", "openssh-client"))
        return server;
    if (::geteuid() != 0) {
        server->missing = "sshd needs root to run on a loopback port";
        return server;
    }
    const std::string dir = server->dir;
    for (const char* key : {"/host", "/user"}) {
        TestSupport::ChildProcess keygen(findProgram("ssh-keygen"),
                                         {"-q", "-t", "ed25519", "-N", "", "-f", dir + key});
        if (keygen.finish(std::chrono::steady_clock::now() + std::chrono::seconds(60)) != 0) {
            server->missing = "ssh-keygen could not make a key";
            return server;
        }
    }
    std::ofstream(dir + "/authorized_keys") << std::ifstream(dir + "/user.pub").rdbuf();
    const uint16_t sshdPort = LoopbackPeer::unusedPort();
    std::ofstream(dir + "/sshd_config")
        << "ListenAddress 127.0.0.1:" << sshdPort << "\nHostKey " << dir << "/host\nAuthorizedKeysFile "
        << dir << "/authorized_keys\nStrictModes no\nPermitRootLogin prohibit-password\n"
        << "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
        << "UsePAM no\nAllowTcpForwarding yes\nPidFile none\n";
    ::mkdir("/run/sshd", 0755);
    if (!server->start({findProgram("sshd"), "-D", "-e", "-f", dir + "/sshd_config"}, sshdPort, "sshd"))
        return server;
    server->port = LoopbackPeer::unusedPort();
    server->start({findProgram("ssh"), "-N", "-D", "127.0.0.1:" + std::to_string(server->port), "-p",
                   std::to_string(sshdPort), "-i", dir + "/user", "-o", "StrictHostKeyChecking=no", "-o",
                   "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
                   "root@127.0.0.1"},
                  server->port, "ssh");
    return server;
}

// Connects through the server to a loopback peer, which sends back what it receives.
void exchangeThrough(const SocksServer& server, const std::string& level, const std::string& user = {},
                     const std::string& password = {}) {
    SCOPED_TRACE("SOCKS " + level);
    const std::string payload = "hello through socks " + level + std::string(50000, 'p');
    LoopbackPeer target;
    std::jthread echo([&] {
        try {
            if (target.accept())
                target.send(target.receive(payload.size()));
        } catch (const std::runtime_error&) { // the client went first: its checks tell why
        }
    });
    RecordedClient client;
    std::vector<std::string> expected = {"socks connected 0", "connected 0"};
    if (!user.empty()) {
        client.socket->SetSocksAuthentication(socksAuthenticateUsercode);
        client.socket->SetSocksUsercode(user);
        client.socket->SetSocksPassword(password);
        expected.insert(expected.begin() + 1, {"auth 0", "auth 1"});
    }
    client.connectThrough(server.port, level, "127.0.0.1", target.port());
    ASSERT_TRUE(client.waitConnected());
    ASSERT_EQ(client.reports(), expected);
    client.socket->SendStr(payload);
    ASSERT_TRUE(client.waitReceived(payload.size())) << client.received.size();
    EXPECT_TRUE(client.received == payload);
    client.socket->Close();
    EXPECT_EQ(client.closed, 1);
}

// A target port where nothing listens ends with the server's refusal.
void refusedThrough(const SocksServer& server, const std::string& level, const std::string& expected,
                    const std::string& password = {}) {
    SCOPED_TRACE("SOCKS " + level);
    RecordedClient client;
    std::vector<std::string> reports = {"socks connected 0"};
    if (!password.empty()) {
        client.socket->SetSocksAuthentication(socksAuthenticateUsercode);
        client.socket->SetSocksUsercode("sensor");
        client.socket->SetSocksPassword(password);
        reports.insert(reports.end(), {"auth 0", "auth 2"});
    }
    client.connectThrough(server.port, level, "127.0.0.1", LoopbackPeer::unusedPort());
    ASSERT_TRUE(client.waitClosed());
    const std::string code = expected.substr(0, expected.find(' '));
    reports.insert(reports.end(), {"socks error " + expected, "connected " + code, "closed " + code});
    EXPECT_EQ(client.reports(), reports);
}

#define REQUIRE_SERVER(server) ASSERT_TRUE((server)->missing.empty()) << (server)->missing

TEST(SocksServers, MicrosocksSocks5WithAndWithoutPassword) {
    const auto open = startMicrosocks();
    REQUIRE_SERVER(open);
    exchangeThrough(*open, "5");
    refusedThrough(*open, "5", "20008 connection refused");

    const auto guarded = startMicrosocks("sensor", "s3cret");
    REQUIRE_SERVER(guarded);
    exchangeThrough(*guarded, "5", "sensor", "s3cret");
    refusedThrough(*guarded, "5", "20015 socks authentication failed", "wrong");
}

TEST(SocksServers, DanteSocks4And5) {
    const auto dante = startDante();
    REQUIRE_SERVER(dante);
    exchangeThrough(*dante, "4");
    exchangeThrough(*dante, "5");
    refusedThrough(*dante, "4", "20016 request rejected or failed");
    refusedThrough(*dante, "5", "20008 connection refused");
}

TEST(SocksServers, SshDynamicForwardingSocks4And4AAnd5) {
    const auto ssh = startSshTunnel();
    REQUIRE_SERVER(ssh);
    for (const std::string level : {"4", "4A", "5"})
        exchangeThrough(*ssh, level);
    // ssh hangs up instead of answering a refused target.
    refusedThrough(*ssh, "5", "10054 data receive error");
}

} // namespace
