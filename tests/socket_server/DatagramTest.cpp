#include "RunUntil.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

using namespace NorvEngineering::Sockets;
using TestSupport::runUntil;

namespace {

// A datagram component that keeps what arrives and who sent it.
struct Station {
    std::vector<std::string> events;
    std::vector<std::string> datagrams;
    std::vector<sockaddr_in> senders;
    int dataSent = 0;
    std::unique_ptr<TWSocket> socket = std::make_unique<TWSocket>(nullptr);

    Station() {
        socket->OnChangeState = [this](TCustomWSocket*, TSocketState from, TSocketState to) {
            events.push_back("state " + std::to_string(from) + ">" + std::to_string(to));
        };
        socket->OnSessionConnected = [this](TCustomWSocket*, uint16_t code) {
            events.push_back("connected " + std::to_string(code));
        };
        socket->OnDataSent = [this](TCustomWSocket*, uint16_t) { ++dataSent; };
        socket->OnDataAvailable = [this](TCustomWSocket* sender, uint16_t) {
            char buffer[2048];
            sockaddr_in from{};
            int length = sizeof from;
            const int n = sender->ReceiveFrom(buffer, sizeof buffer, from, length);
            if (n >= 0) {
                datagrams.emplace_back(buffer, static_cast<std::size_t>(n));
                senders.push_back(from);
            }
        };
    }
    void listen(const std::string& addr) {
        socket->SetProto("udp");
        socket->SetAddr(addr);
        socket->SetPort("0");
        socket->Listen();
    }
    void connect(const std::string& addr, const std::string& port) {
        socket->SetProto("udp");
        socket->SetAddr(addr);
        socket->SetPort(port);
        socket->SetLocalAddr("127.0.0.1");
        socket->Connect();
    }
    int option(int level, int name) const {
        int value = 0;
        socklen_t length = sizeof value;
        ::getsockopt(socket->HSocket(), level, name, &value, &length);
        return value;
    }
};

TEST(SocketDatagram, ListenOnUdpIsBoundListeningThenConnected) {
    Station station;
    station.listen("127.0.0.1");
    const std::vector<std::string> expected = {"state 8>2", "state 2>7", "state 7>5", "connected 0"};
    EXPECT_EQ(station.events, expected);
    EXPECT_EQ(station.socket->GetState(), wsConnected);
    EXPECT_EQ(station.socket->GetXAddr(), "127.0.0.1");
    int errors = 0;
    station.socket->OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(station.socket->PeerAddr(), "error"); // no peer: reported, and the socket stays
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(station.socket->LastError(), WSAENOTCONN);
    EXPECT_EQ(station.socket->GetState(), wsConnected);
}

TEST(SocketDatagram, UnicastBothWaysWithTheSenderReported) {
    Station server;
    server.listen("127.0.0.1");
    Station client;
    client.connect("127.0.0.1", server.socket->GetXPort());
    EXPECT_EQ(client.events.back(), "connected 0");
    EXPECT_EQ(client.socket->GetState(), wsConnected);

    EXPECT_EQ(client.socket->SendStr("ping"), 4);
    ASSERT_TRUE(runUntil([&] { return server.datagrams.size() == 1; }));
    EXPECT_EQ(server.datagrams[0], "ping");
    const sockaddr_in from = server.senders[0];
    EXPECT_EQ(std::string(inet_ntoa(from.sin_addr)), "127.0.0.1");
    EXPECT_EQ(std::to_string(ntohs(from.sin_port)), client.socket->GetLocalPort());
    EXPECT_EQ(server.socket->ReadCount(), 4);

    EXPECT_EQ(server.socket->SendTo(from, sizeof from, "pong!", 5), 5);
    ASSERT_TRUE(runUntil([&] { return client.datagrams.size() == 1 && server.dataSent == 1; }));
    EXPECT_EQ(client.datagrams[0], "pong!");

    // An empty datagram is still a datagram to read.
    EXPECT_EQ(server.socket->SendTo(from, sizeof from, "", 0), 0);
    ASSERT_TRUE(runUntil([&] { return client.datagrams.size() == 2; }));
    EXPECT_EQ(client.datagrams[1], "");
}

TEST(SocketDatagram, AGroupJoinedOnTheLoopbackReceivesWhatIsSentToIt) {
    const std::string group = "239.255.43.21";
    Station receiver;
    receiver.socket->SetMultiCast(true);
    receiver.socket->SetMultiCastAddrStr(group);
    receiver.socket->SetReuseAddr(true);
    receiver.listen("127.0.0.1"); // the interface that joins
    ASSERT_EQ(receiver.socket->GetState(), wsConnected);
    EXPECT_NE(receiver.option(SOL_SOCKET, SO_REUSEADDR), 0);

    Station sender;
    sender.socket->SetMultiCast(true);
    sender.socket->SetMultiCastIpTTL(2);
    sender.connect(group, receiver.socket->GetXPort());
    EXPECT_EQ(sender.option(IPPROTO_IP, IP_MULTICAST_TTL), 2);
    in_addr outgoing{};
    socklen_t length = sizeof outgoing;
    ::getsockopt(sender.socket->HSocket(), IPPROTO_IP, IP_MULTICAST_IF, &outgoing, &length);
    EXPECT_EQ(std::string(inet_ntoa(outgoing)), "127.0.0.1");

    EXPECT_EQ(sender.socket->SendStr("to the group"), 12);
    ASSERT_TRUE(runUntil([&] { return receiver.datagrams.size() == 1; }));
    EXPECT_EQ(receiver.datagrams[0], "to the group");
}

TEST(SocketDatagram, BroadcastIsAllowedAndArrives) {
    Station receiver;
    receiver.listen("255.255.255.255");
    Station sender;
    sender.connect("255.255.255.255", receiver.socket->GetXPort());
    EXPECT_EQ(sender.option(SOL_SOCKET, SO_BROADCAST), 1);
    EXPECT_EQ(sender.socket->SendStr("to all"), 6);
    ASSERT_TRUE(runUntil([&] { return receiver.datagrams.size() == 1 && sender.dataSent == 1; }));
    EXPECT_EQ(receiver.datagrams[0], "to all");
}

} // namespace
