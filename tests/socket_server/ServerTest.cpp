#include "MessageQueue.h"
#include "Raised.h"
#include "RunUntil.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Sockets;
namespace Platform = NorvEngineering::Platform;
using TestSupport::pumpFor;
using TestSupport::runUntil;
using TestSupport::whatRaised;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<TWSocket> listeningOn(const std::string& proto, int backlog = 5) {
    auto socket = std::make_unique<TWSocket>(nullptr);
    socket->SetProto(proto);
    socket->SetListenBacklog(backlog);
    socket->SetAddr("127.0.0.1");
    socket->SetPort("0");
    socket->Listen();
    return socket;
}

// A blocking client on 127.0.0.1 that gives up after a few seconds on every call.
class Client {
public:
    explicit Client(uint16_t port) {
        m_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval limit{10, 0};
        ::setsockopt(m_fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(m_fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected_ = ::connect(m_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(m_fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends the bytes and reads as many back.
    std::string echo(const std::string& bytes) {
        if (!m_connected_ || ::send(m_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size()))
            return "send failed";
        std::string got;
        char buffer[4096];
        while (got.size() < bytes.size()) {
            const ssize_t n = ::recv(m_fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    uint16_t localPort() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(m_fd_, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }

private:
    int m_fd_ = -1;
    bool m_connected_ = false;
};

// A thread that takes over accepted handles, one echoing component each, and ends
// with its loop when it gets WM_QUIT.
class EchoThread {
public:
    static constexpr uint32_t kTakeOver = Platform::WM_USER + 100;

    EchoThread() {
        std::promise<Platform::ThreadId> started;
        auto id = started.get_future();
        m_thread_ = std::thread([this, &started] { run(started); });
        m_id_ = id.get();
    }
    ~EchoThread() {
        Platform::postThreadMessage(m_id_, Platform::WM_QUIT);
        m_thread_.join();
    }
    void takeOver(TSocket handle) {
        Platform::postThreadMessage(m_id_, kTakeOver, static_cast<uintptr_t>(handle));
    }

    std::atomic<int> sessions{0};
    std::atomic<int> closedEvents{0};
    std::atomic<int> closedTwice{0};
    std::atomic<bool> wrongThread{false};

private:
    void run(std::promise<Platform::ThreadId>& started) {
        Platform::ThreadMessageQueue::current();
        started.set_value(Platform::currentThreadId());
        std::vector<int> closes;
        std::vector<std::unique_ptr<TWSocket>> components;
        Platform::TMessage message;
        while (Platform::getMessage(message)) {
            if (message.hwnd != 0 || message.message != kTakeOver) {
                Platform::dispatchMessage(message);
                continue;
            }
            auto socket = std::make_unique<TWSocket>(nullptr);
            const std::size_t index = components.size();
            closes.push_back(0);
            const auto self = Platform::currentThreadId();
            socket->OnDataAvailable = [this, self](TCustomWSocket* sender, uint16_t) {
                wrongThread = wrongThread || Platform::currentThreadId() != self;
                char buffer[4096];
                const int n = sender->Receive(buffer, sizeof buffer);
                if (n > 0)
                    sender->Send(buffer, n);
            };
            socket->OnSessionClosed = [this, &closes, index](TCustomWSocket*, uint16_t) {
                if (++closes[index] > 1)
                    ++closedTwice;
                ++closedEvents;
            };
            socket->Dup(static_cast<TSocket>(message.wParam));
            if (socket->GetState() == wsConnected)
                ++sessions;
            components.push_back(std::move(socket));
        }
    }

    std::thread m_thread_;
    Platform::ThreadId m_id_ = 0;
};

TEST(SocketServer, AcceptedConnectionsRunOnOtherThreadsAndEchoEveryByte) {
    constexpr int kClients = 100;
    auto server = listeningOn("tcp", kClients);
    ASSERT_EQ(server->GetState(), wsListening);
    const auto port = static_cast<uint16_t>(std::stoi(server->GetXPort()));

    std::vector<std::unique_ptr<EchoThread>> workers;
    for (int i = 0; i < 4; ++i)
        workers.push_back(std::make_unique<EchoThread>());
    int accepted = 0;
    server->OnSessionAvailable = [&](TCustomWSocket* sender, uint16_t error) {
        ASSERT_EQ(error, 0);
        const TSocket handle = sender->Accept();
        ASSERT_NE(handle, INVALID_SOCKET);
        workers[static_cast<std::size_t>(accepted++) % workers.size()]->takeOver(handle);
    };

    std::atomic<int> echoed{0};
    std::atomic<int> clientsDone{0};
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            for (int i = t; i < kClients; i += 4) {
                std::string payload(static_cast<std::size_t>(1000 + 97 * i), '\0');
                for (std::size_t k = 0; k < payload.size(); ++k)
                    payload[k] = static_cast<char>((k * 31 + static_cast<std::size_t>(i)) & 0xFF);
                Client client(port);
                if (client.echo(payload) == payload) {
                    ++echoed;
                } else {
                    std::lock_guard lock(failuresMutex);
                    failures.push_back("client " + std::to_string(i));
                }
            }
            ++clientsDone;
        });
    }
    const auto closedEvents = [&] {
        int total = 0;
        for (const auto& worker : workers)
            total += worker->closedEvents;
        return total;
    };
    const bool finished = runUntil([&] { return clientsDone == 4 && closedEvents() == kClients; }, 60s);
    for (auto& client : clients)
        client.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(echoed, kClients) << ::testing::PrintToString(failures);
    EXPECT_EQ(accepted, kClients);
    pumpFor(50ms);
    int sessions = 0;
    for (const auto& worker : workers) {
        sessions += worker->sessions;
        EXPECT_EQ(worker->closedTwice, 0);
        EXPECT_FALSE(worker->wrongThread);
    }
    EXPECT_EQ(sessions, kClients);
    EXPECT_EQ(closedEvents(), kClients);
    workers.clear();
}

TEST(SocketServer, MisuseIsReportedWithItsText) {
    struct Case {
        const char* expected;
        std::function<void(TWSocket&)> call;
    };
    const std::vector<Case> cases = {
        {"Invalid argument (#10022 in not a listening socket)", [](TWSocket& s) { s.Accept(); }},
        {"Invalid argument (#10022 in listen: port not assigned)", [](TWSocket& s) { s.Listen(); }},
        {"Invalid argument (#10022 in listen: address not assigned)",
         [](TWSocket& s) {
             s.SetPort("0");
             s.Listen();
         }},
        {"Invalid argument (#10022 in Dup)", [](TWSocket& s) { s.Dup(INVALID_SOCKET); }},
    };
    for (const auto& [expected, call] : cases) {
        TWSocket socket(nullptr);
        EXPECT_EQ(whatRaised<ESocketException>([&] { call(socket); }), expected);
    }
    TWSocket socket(nullptr);
    int errors = 0;
    socket.OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(socket.Accept(), INVALID_SOCKET);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(socket.LastError(), WSAEINVAL);

    auto server = listeningOn("tcp");
    EXPECT_EQ(whatRaised<ESocketException>([&] { server->Listen(); }), "Listen: Socket already in use");
    EXPECT_EQ(server->GetState(), wsListening);
}

TEST(SocketServer, AddressesOfBothEndsAndALocallyBoundClient) {
    auto server = listeningOn("tcp");
    EXPECT_EQ(server->GetXAddr(), "127.0.0.1");
    EXPECT_EQ(server->GetPeerAddr(), "error"); // listening, not connected
    TSocket accepted = INVALID_SOCKET;
    server->OnSessionAvailable = [&](TCustomWSocket* sender, uint16_t) { accepted = sender->Accept(); };

    TWSocket client(nullptr);
    client.SetAddr("127.0.0.1");
    client.SetPort(server->GetXPort());
    client.SetLocalAddr("127.0.0.1"); // makes Connect bind first
    client.Connect();
    EXPECT_NE(client.GetLocalPort(), "0"); // the port the bind took
    ASSERT_TRUE(runUntil([&] { return accepted != INVALID_SOCKET && client.GetState() == wsConnected; }));

    TWSocket session(nullptr);
    session.Dup(accepted);
    EXPECT_EQ(session.GetState(), wsConnected);
    EXPECT_EQ(session.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(session.PeerPort(), client.GetLocalPort());
    EXPECT_EQ(client.GetXPort(), client.GetLocalPort());
    EXPECT_EQ(client.PeerPort(), server->GetXPort());
    sockaddr_in peer{};
    EXPECT_EQ(session.GetPeerName(peer, sizeof peer), 0);
    EXPECT_EQ(std::to_string(ntohs(peer.sin_port)), client.GetLocalPort());

    session.SendStr("hello");
    std::string got;
    client.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) { got += sender->ReceiveStr(); };
    ASSERT_TRUE(runUntil([&] { return got == "hello"; }));
    session.Close();
    EXPECT_EQ(session.PeerAddr(), "error");
    EXPECT_EQ(session.GetXPort(), "error");
}

// Raw sockets need CAP_NET_RAW, which sessions and CI have (they run as root).
TEST(SocketServer, RawProtocolNamesOpenRawSocketsAndReceiveAllIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "raw sockets need root";
    for (const char* proto : {"raw_icmp", "RAW_ICMP"}) {
        SCOPED_TRACE(proto);
        std::vector<std::string> events;
        TWSocket socket(nullptr);
        socket.OnSessionConnected = [&](TCustomWSocket*, uint16_t code) {
            events.push_back("connected " + std::to_string(code));
        };
        socket.SetProto(proto);
        socket.SetAddr("127.0.0.1");
        socket.SetPort("0");
        socket.Listen();
        ASSERT_EQ(socket.GetState(), wsConnected);
        EXPECT_EQ(events, std::vector<std::string>{"connected 0"});
        int type = 0;
        int protocol = 0;
        socklen_t length = sizeof type;
        ::getsockopt(socket.HSocket(), SOL_SOCKET, SO_TYPE, &type, &length);
        length = sizeof protocol;
        ::getsockopt(socket.HSocket(), SOL_SOCKET, SO_PROTOCOL, &protocol, &length);
        EXPECT_EQ(type, SOCK_RAW);
        EXPECT_EQ(protocol, IPPROTO_ICMP);

        // An echo request to ourselves: the raw socket sees ICMP arrive.
        const unsigned char request[8] = {8, 0, 0xF7, 0xFE, 0, 1, 0, 0};
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int received = 0;
        socket.OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
            char buffer[1500];
            sockaddr_in from{};
            int fromLength = sizeof from;
            if (static_cast<TWSocket*>(sender)->ReceiveFrom(buffer, sizeof buffer, from, fromLength) > 0)
                ++received;
        };
        EXPECT_EQ(socket.SendTo(to, sizeof to, request, sizeof request), 8);
        EXPECT_TRUE(runUntil([&] { return received > 0; }));
    }

    TWSocket socket(nullptr);
    socket.SetProto("raw_icmp");
    socket.SetAddr("127.0.0.1");
    socket.SetPort("0");
    socket.SetComponentOptions({wsoSIO_RCVALL});
    const std::string text = whatRaised<ESocketException>([&] { socket.Listen(); });
    EXPECT_NE(text.find("no receive-all mode on this system"), std::string::npos) << text;
    EXPECT_EQ(socket.GetState(), wsClosed);
    EXPECT_EQ(socket.HSocket(), INVALID_SOCKET);
}

} // namespace
