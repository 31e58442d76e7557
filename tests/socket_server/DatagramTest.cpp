#include "RunUntil.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

using namespace NorvEngineering::Sockets;
using TestSupport::runUntil;

namespace {

// A datagram component that keeps its events, what arrives and who sent it.
struct Station {
    std::vector<std::string> events;
    std::vector<std::string> datagrams;
    sockaddr_in lastSender{};
    int dataSent = 0;
    std::unique_ptr<TWSocket> socket = std::make_unique<TWSocket>(nullptr);

    Station() {
        socket->OnChangeState = [this](TCustomWSocket*, TSocketState from, TSocketState to) {
            events.push_back(std::to_string(from) + ">" + std::to_string(to));
        };
        socket->OnSessionConnected = [this](TCustomWSocket*, uint16_t code) {
            events.push_back("connected " + std::to_string(code));
        };
        socket->OnDataSent = [this](TCustomWSocket*, uint16_t) { ++dataSent; };
        socket->OnDataAvailable = [this](TCustomWSocket* sender, uint16_t) {
            char buffer[2048];
            int length = sizeof lastSender;
            const int n = sender->ReceiveFrom(buffer, sizeof buffer, lastSender, length);
            if (n >= 0)
                datagrams.emplace_back(buffer, static_cast<std::size_t>(n));
        };
    }
    void open(const std::string& addr, const std::string& port = "0") {
        socket->SetProto("udp");
        socket->SetAddr(addr);
        socket->SetPort(port);
        if (port == "0") {
            socket->Listen();
        } else {
            socket->SetLocalAddr("127.0.0.1");
            socket->Connect();
        }
    }
    int option(int level, int name) const {
        int value = 0;
        socklen_t length = sizeof value;
        ::getsockopt(socket->HSocket(), level, name, &value, &length);
        return value;
    }
};

TEST(SocketDatagram, UnicastBothWaysWithTheSenderReported) {
    Station server;
    server.open("127.0.0.1");
    EXPECT_EQ(server.events, (std::vector<std::string>{"8>2", "2>7", "7>5", "connected 0"}));
    Station client;
    client.open("127.0.0.1", server.socket->GetXPort());
    EXPECT_EQ(client.events, (std::vector<std::string>{"8>1", "1>5", "connected 0"}));

    EXPECT_EQ(client.socket->SendStr("ping"), 4);
    ASSERT_TRUE(runUntil([&] { return server.datagrams.size() == 1; }));
    EXPECT_EQ(server.datagrams[0], "ping");
    const sockaddr_in from = server.lastSender;
    EXPECT_EQ(std::string(inet_ntoa(from.sin_addr)), "127.0.0.1");
    EXPECT_EQ(std::to_string(ntohs(from.sin_port)), client.socket->GetLocalPort());
    EXPECT_EQ(server.socket->ReadCount(), 4);

    EXPECT_EQ(server.socket->SendTo(from, sizeof from, "pong!", 5), 5);
    EXPECT_EQ(server.socket->SendTo(from, sizeof from, "", 0), 0); // empty, but still one to read
    ASSERT_TRUE(runUntil([&] { return client.datagrams.size() == 2 && server.dataSent == 1; }));
    EXPECT_EQ(client.datagrams, (std::vector<std::string>{"pong!", ""}));

    // A datagram socket has no peer: the query is reported and the socket stays.
    int errors = 0;
    server.socket->OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(server.socket->PeerAddr(), "error");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(server.socket->GetState(), wsConnected);
}

TEST(SocketDatagram, AGroupJoinedOnTheLoopbackReceivesWhatIsSentToIt) {
    const std::string group = "239.255.43.21";
    Station receiver;
    receiver.socket->SetMultiCast(true);
    receiver.socket->SetMultiCastAddrStr(group);
    receiver.socket->SetReuseAddr(true);
    receiver.open("127.0.0.1"); // the interface that joins
    ASSERT_EQ(receiver.socket->GetState(), wsConnected);
    EXPECT_NE(receiver.option(SOL_SOCKET, SO_REUSEADDR), 0);

    Station sender; // leaves through LocalAddr, the loopback
    sender.socket->SetMultiCast(true);
    sender.socket->SetMultiCastIpTTL(2);
    sender.open(group, receiver.socket->GetXPort());
    EXPECT_EQ(sender.option(IPPROTO_IP, IP_MULTICAST_TTL), 2);
    EXPECT_EQ(sender.socket->SendStr("to the group"), 12);
    ASSERT_TRUE(runUntil([&] { return receiver.datagrams.size() == 1; }));
    EXPECT_EQ(receiver.datagrams[0], "to the group");
}

TEST(SocketDatagram, BroadcastIsAllowedAndArrives) {
    Station receiver;
    receiver.open("255.255.255.255");
    Station sender;
    sender.open("255.255.255.255", receiver.socket->GetXPort());
    EXPECT_EQ(sender.option(SOL_SOCKET, SO_BROADCAST), 1);
    EXPECT_EQ(sender.socket->SendStr("to all"), 6);
    ASSERT_TRUE(runUntil([&] { return receiver.datagrams.size() == 1 && sender.dataSent == 1; }));
    EXPECT_EQ(receiver.datagrams[0], "to all");
}

} // namespace
