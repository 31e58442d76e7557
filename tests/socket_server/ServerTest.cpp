#include "LoopbackPeer.h"
#include "MessageQueue.h"
#include "Raised.h"
#include "RunUntil.h"
#include "SystemFiles.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
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

// A blocking client: sends the bytes, reads as many back, closes.
std::string echoThrough(uint16_t port, const std::string& bytes) {
    const int fd = TestSupport::connectToLoopback(port);
    const timeval limit{10, 0};
    std::string got;
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        char buffer[4096];
        ssize_t n = 0;
        while (got.size() < bytes.size() && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return got;
}

// A thread that takes over accepted handles, one echoing component each, until WM_QUIT.
class EchoThread {
public:
    static constexpr uint32_t kTakeOver = Platform::WM_USER + 100;

    EchoThread() {
        std::promise<Platform::ThreadId> started;
        auto id = started.get_future();
        m_thread_ = std::thread([this, &started] {
            // Posts to a thread without a queue are refused: the id goes out once the
            // queue is there.
            Platform::ThreadMessageQueue::current();
            started.set_value(Platform::currentThreadId());
            run();
        });
        m_id_ = id.get();
    }
    ~EchoThread() {
        Platform::postThreadMessage(m_id_, Platform::WM_QUIT);
        m_thread_.join();
    }
    void takeOver(TSocket handle) {
        if (Platform::postThreadMessage(m_id_, kTakeOver, static_cast<uintptr_t>(handle)))
            return;
        ADD_FAILURE() << "the hand-over of an accepted connection was refused";
        ::close(handle);
    }

    std::atomic<int> sessions{0};
    std::atomic<int> closedEvents{0};
    std::atomic<int> faults{0}; // a second close of a session, or an event on another thread

private:
    void run() {
        std::vector<std::unique_ptr<TWSocket>> components;
        const auto self = Platform::currentThreadId();
        Platform::TMessage message;
        while (Platform::getMessage(message)) {
            if (message.hwnd != 0 || message.message != kTakeOver) {
                Platform::dispatchMessage(message);
                continue;
            }
            auto& socket = components.emplace_back(std::make_unique<TWSocket>(nullptr));
            socket->OnDataAvailable = [this, self](TCustomWSocket* sender, uint16_t) {
                faults += Platform::currentThreadId() != self;
                char buffer[4096];
                const int n = sender->Receive(buffer, sizeof buffer);
                if (n > 0)
                    sender->Send(buffer, n);
            };
            socket->OnSessionClosed = [this, closed = false](TCustomWSocket*, uint16_t) mutable {
                faults += closed;
                closed = true;
                ++closedEvents;
            };
            socket->Dup(static_cast<TSocket>(message.wParam));
            sessions += socket->GetState() == wsConnected && socket->PeerAddr() == "127.0.0.1";
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
    std::vector<std::unique_ptr<EchoThread>> workers(4);
    for (auto& worker : workers)
        worker = std::make_unique<EchoThread>();
    std::size_t accepted = 0;
    server->OnSessionAvailable = [&](TCustomWSocket* sender, uint16_t) {
        const TSocket handle = sender->Accept();
        if (handle != INVALID_SOCKET)
            workers[accepted++ % workers.size()]->takeOver(handle);
    };

    std::atomic<int> echoed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&, t] {
            for (int i = t; i < kClients; i += 4) {
                std::string payload(static_cast<std::size_t>(1000 + 97 * i), '\0');
                for (std::size_t k = 0; k < payload.size(); ++k)
                    payload[k] = static_cast<char>((k * 31 + static_cast<std::size_t>(i)) & 0xFF);
                echoed += echoThrough(port, payload) == payload;
            }
        });
    const auto total = [&](std::atomic<int> EchoThread::*counter) {
        int sum = 0;
        for (const auto& worker : workers)
            sum += (*worker).*counter;
        return sum;
    };
    EXPECT_TRUE(runUntil([&] { return total(&EchoThread::closedEvents) == kClients; }, 60s));
    for (auto& client : clients)
        client.join();
    pumpFor(50ms);
    EXPECT_EQ(echoed, kClients);
    EXPECT_EQ(accepted, static_cast<std::size_t>(kClients));
    EXPECT_EQ(total(&EchoThread::sessions), kClients);
    EXPECT_EQ(total(&EchoThread::closedEvents), kClients);
    EXPECT_EQ(total(&EchoThread::faults), 0);
}

TEST(SocketServer, MisuseIsReportedWithItsText) {
    const std::vector<std::pair<std::string, std::function<void(TWSocket&)>>> cases = {
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
    socket.OnError = [](TCustomWSocket*) {};
    EXPECT_EQ(socket.Accept(), INVALID_SOCKET);
    EXPECT_EQ(socket.LastError(), WSAEINVAL);
    auto server = listeningOn("tcp");
    EXPECT_EQ(whatRaised<ESocketException>([&] { server->Listen(); }), "Listen: Socket already in use");
    EXPECT_EQ(server->GetState(), wsListening);
}

TEST(SocketServer, BothEndsKnowEachOthersAddressesAndAClientBindsItsLocalAddress) {
    auto server = listeningOn("tcp");
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
    EXPECT_EQ(session.PeerPort(), client.GetLocalPort());
    EXPECT_EQ(client.GetXPort(), client.GetLocalPort());
    EXPECT_EQ(client.PeerPort(), server->GetXPort());
    session.Close();
    EXPECT_EQ(session.PeerAddr(), "error");
    EXPECT_EQ(session.GetXPort(), "error");
}

// Raw sockets need CAP_NET_RAW, which sessions and CI have (they run as root).
TEST(SocketServer, RawProtocolNamesOpenRawSocketsAndReceiveAllIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "raw sockets need root";
    if (!TestSupport::netbaseFileThere("/etc/protocols"))
        return;
    for (const bool receiveAll : {false, true}) {
        int connected = 0;
        TWSocket socket(nullptr);
        socket.OnSessionConnected = [&](TCustomWSocket*, uint16_t code) { connected += code == 0; };
        socket.SetProto(receiveAll ? "raw_icmp" : "RAW_ICMP");
        socket.SetAddr("127.0.0.1");
        socket.SetPort("0");
        if (receiveAll) {
            socket.SetComponentOptions({wsoSIO_RCVALL});
            const std::string text = whatRaised<ESocketException>([&] { socket.Listen(); });
            EXPECT_NE(text.find("no receive-all mode on this system"), std::string::npos) << text;
            EXPECT_EQ(socket.HSocket(), INVALID_SOCKET);
            continue;
        }
        socket.Listen();
        EXPECT_EQ(socket.GetState(), wsConnected);
        EXPECT_EQ(connected, 1);
        int protocol = 0;
        socklen_t length = sizeof protocol;
        ::getsockopt(socket.HSocket(), SOL_SOCKET, SO_PROTOCOL, &protocol, &length);
        EXPECT_EQ(protocol, IPPROTO_ICMP);
    }
}

} // namespace
