// The SOCKS layer against real SOCKS servers from Debian packages, started on free
// loopback ports: microsocks (SOCKS 5, with and without user and password),
// dante-server (SOCKS 4 and 5) and ssh -D (SOCKS 4, 4A and 5).
#include "SocksRig.h"

#include "RunUntil.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace SocksTests;

namespace {

const std::vector<std::string> kUnprivileged = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                "--clear-groups"};

std::vector<std::string> unprivileged(std::vector<std::string> command) {
    command.insert(command.begin(), kUnprivileged.begin(), kUnprivileged.end());
    return command;
}

// A running SOCKS server, or the reason it is not running.
struct SocksServer {
    TempDir dir;
    uint16_t port = 0;
    std::vector<std::unique_ptr<ServerProcess>> processes;
    std::string missing;

    bool start(const std::vector<std::string>& command, uint16_t listening, const std::string& name) {
        processes.push_back(std::make_unique<ServerProcess>(command, dir.path() + "/" + name + ".log"));
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
    server->port = freePort();
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
    server->port = freePort();
    const std::string config = server->dir.path() + "/danted.conf";
    std::ofstream(config) << "logoutput: stderr\n"
                          << "internal: 127.0.0.1 port = " << server->port << "\n"
                          << "external: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                          << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                          << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
    server->start(
        unprivileged({findProgram("danted"), "-f", config, "-p", server->dir.path() + "/danted.pid"}),
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
    const std::string dir = server->dir.path();
    for (const char* key : {"/host", "/user"})
        if (runProgram({findProgram("ssh-keygen"), "-q", "-t", "ed25519", "-N", "", "-f", dir + key}) != 0) {
            server->missing = "ssh-keygen could not make a key";
            return server;
        }
    std::ifstream userKey(dir + "/user.pub");
    std::ofstream(dir + "/authorized_keys") << userKey.rdbuf();
    const uint16_t sshdPort = freePort();
    std::ofstream(dir + "/sshd_config")
        << "ListenAddress 127.0.0.1:" << sshdPort << "\nHostKey " << dir << "/host\nAuthorizedKeysFile "
        << dir << "/authorized_keys\nStrictModes no\nPermitRootLogin prohibit-password\n"
        << "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
        << "UsePAM no\nAllowTcpForwarding yes\nPidFile none\n";
    ::mkdir("/run/sshd", 0755);
    if (!server->start({findProgram("sshd"), "-D", "-e", "-f", dir + "/sshd_config"}, sshdPort, "sshd"))
        return server;
    server->port = freePort();
    server->start({findProgram("ssh"), "-N", "-D", "127.0.0.1:" + std::to_string(server->port), "-p",
                   std::to_string(sshdPort), "-i", dir + "/user", "-o", "StrictHostKeyChecking=no", "-o",
                   "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
                   "root@127.0.0.1"},
                  server->port, "ssh");
    return server;
}

// Connects through the server to the echo server and exchanges data both ways.
void exchangeThrough(const SocksServer& server, const std::string& level) {
    SCOPED_TRACE("SOCKS " + level);
    EchoServer echo;
    RecordedClient client;
    client.connectThrough(server.port, level, "127.0.0.1", echo.port());
    ASSERT_TRUE(client.waitConnected());
    ASSERT_EQ(client.reports(), (std::vector<std::string>{"socks connected 0", "connected 0"}));
    const std::string payload(50000, 'p');
    client.socket->SendStr("hello through socks " + level);
    client.socket->SendStr(payload);
    const std::size_t expected = 20 + level.size() + payload.size();
    ASSERT_TRUE(client.waitReceived(expected)) << client.received.size();
    EXPECT_EQ(client.received, "hello through socks " + level + payload);
    client.socket->Close();
    EXPECT_EQ(client.closed, 1);
}

// A target port where nothing listens ends with the server's refusal.
void refusedThrough(const SocksServer& server, const std::string& level, const std::string& expected) {
    SCOPED_TRACE("SOCKS " + level);
    RecordedClient client;
    client.connectThrough(server.port, level, "127.0.0.1", freePort());
    ASSERT_TRUE(client.waitClosed());
    const std::string code = expected.substr(0, expected.find(' '));
    EXPECT_EQ(client.reports(), (std::vector<std::string>{"socks connected 0", "socks error " + expected,
                                                          "connected " + code, "closed " + code}));
}

#define REQUIRE_SERVER(server) ASSERT_TRUE((server)->missing.empty()) << (server)->missing

TEST(SocksServers, MicrosocksSocks5WithAndWithoutPassword) {
    const auto open = startMicrosocks();
    REQUIRE_SERVER(open);
    exchangeThrough(*open, "5");
    refusedThrough(*open, "5", "20008 connection refused");

    const auto guarded = startMicrosocks("sensor", "s3cret");
    REQUIRE_SERVER(guarded);
    {
        EchoServer echo;
        RecordedClient client;
        client.socket->SetSocksAuthentication(socksAuthenticateUsercode);
        client.socket->SetSocksUsercode("sensor");
        client.socket->SetSocksPassword("s3cret");
        client.connectThrough(guarded->port, "5", "127.0.0.1", echo.port());
        ASSERT_TRUE(client.waitConnected());
        EXPECT_EQ(client.reports(),
                  (std::vector<std::string>{"socks connected 0", "auth 0", "auth 1", "connected 0"}));
        client.socket->SendStr("ping");
        ASSERT_TRUE(client.waitReceived(4));
        EXPECT_EQ(client.received, "ping");
    }
    {
        RecordedClient client;
        client.socket->SetSocksAuthentication(socksAuthenticateUsercode);
        client.socket->SetSocksUsercode("sensor");
        client.socket->SetSocksPassword("wrong");
        client.connectThrough(guarded->port, "5", "127.0.0.1", freePort());
        ASSERT_TRUE(client.waitClosed());
        EXPECT_EQ(client.reports(), (std::vector<std::string>{"socks connected 0", "auth 0", "auth 2",
                                                              "socks error 20015 socks authentication failed",
                                                              "connected 20015", "closed 20015"}));
    }
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
