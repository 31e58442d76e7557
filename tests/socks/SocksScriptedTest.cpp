// The SOCKS layer against a scripted server: the replies real servers do not send on
// demand, a reply in pieces, a reply with the first application bytes.
#include "SocksRig.h"

#include "Raised.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <string>
#include <vector>

using namespace SocksTests;
using TestSupport::whatRaised;

namespace {

const std::string kHost = "sensor.invalid";
constexpr uint16_t kTargetPort = 4001;
const std::string kSocks5Request = bytes({5, 1, 0, 3, 14}) + kHost + bytes({0x0F, 0xA1});

// Connects through the peer as user "user" with password "secret", up to the server's
// choice of the password method: the client's next bytes are its credentials.
void startSocks5WithPassword(ScriptedPeer& peer, RecordedClient& client) {
    client.socket->SetSocksAuthentication(socksAuthenticateUsercode);
    client.socket->SetSocksUsercode("user");
    client.socket->SetSocksPassword("secret");
    client.connectThrough(peer.port(), "5", kHost, kTargetPort);
    EXPECT_EQ(peer.read(3), bytes({5, 1, 2}));
    peer.send(bytes({5, 2}));
}

// Waits until the client has read everything the peer sent so far.
bool clientDrained(const RecordedClient& client) {
    return runUntil([&] {
        int waiting = 0;
        return ::ioctl(client.socket->HSocket(), FIONREAD, &waiting) == 0 && waiting == 0;
    });
}

TEST(SocksScripted, Socks5ReplyInPiecesThenWithTheFirstApplicationBytes) {
    ScriptedPeer peer;
    RecordedClient client;
    client.connectThrough(peer.port(), "5", kHost, kTargetPort);
    EXPECT_EQ(peer.read(3), bytes({5, 1, 0}));
    peer.send(bytes({5, 0}));
    EXPECT_EQ(peer.read(kSocks5Request.size()), kSocks5Request);

    // A bound domain of the longest kind, one byte at a time but its last.
    const std::string reply = bytes({5, 0, 0, 3, 255}) + std::string(255, 'b') + bytes({0x12, 0x34});
    for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
        peer.send(reply.substr(i, 1));
        ASSERT_TRUE(clientDrained(client));
    }
    EXPECT_EQ(client.connected, 0); // only the whole reply makes the connection
    peer.send(reply.substr(reply.size() - 1) + "hello");
    ASSERT_TRUE(client.waitReceived(5));

    EXPECT_EQ(client.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data hello"}));
    EXPECT_EQ(client.socket->GetBoundAddr(), std::string(255, 'b'));
    EXPECT_EQ(client.socket->GetBoundPort(), "4660");
}

// The bytes of the requests; what the replies make of them for SOCKS 5 with user and
// password is checked with a real server.
TEST(SocksScripted, RequestsOfSocks5WithPasswordAnd4And4A) {
    {
        ScriptedPeer peer;
        RecordedClient client;
        startSocks5WithPassword(peer, client);
        EXPECT_EQ(peer.read(13), bytes({1, 4}) + "user" + bytes({6}) + "secret");
        peer.send(bytes({1, 0}));
        EXPECT_EQ(peer.read(kSocks5Request.size()), kSocks5Request);
    }
    for (const std::string level : {"4", "4a"}) {
        ScriptedPeer peer;
        RecordedClient client;
        client.socket->SetSocksUsercode("me");
        const bool is4a = level == "4a";
        client.connectThrough(peer.port(), level, is4a ? kHost : "127.0.0.1", kTargetPort);
        EXPECT_EQ(client.socket->GetSocksLevel(), is4a ? "4A" : "4");
        const std::string expected =
            is4a ? bytes({4, 1, 0x0F, 0xA1, 0, 0, 0, 1}) + "me" + bytes({0}) + kHost + bytes({0})
                 : bytes({4, 1, 0x0F, 0xA1, 127, 0, 0, 1}) + "me" + bytes({0});
        EXPECT_EQ(peer.read(expected.size()), expected) << level;
        peer.send(bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "app");
        ASSERT_TRUE(client.waitReceived(3)) << level;
        EXPECT_EQ(client.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data app"}))
            << level;
    }
}

TEST(SocksScripted, LinesThatComeWithTheReplyAreCutInLineMode) {
    ScriptedPeer peer;
    RecordedClient client;
    client.socket->SetLineMode(true);
    client.connectThrough(peer.port(), "5", kHost, kTargetPort);
    EXPECT_EQ(peer.read(3), bytes({5, 1, 0}));
    peer.send(bytes({5, 0}));
    EXPECT_EQ(peer.read(kSocks5Request.size()), kSocks5Request);
    peer.send(bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}) + "one\r\ntwo\r\nthr");
    ASSERT_TRUE(client.waitReceived(10));
    peer.send("ee\r\n");
    ASSERT_TRUE(client.waitReceived(15));
    EXPECT_EQ(client.socket->GetBoundAddr() + ":" + client.socket->GetBoundPort(), "127.0.0.1:80");
    EXPECT_EQ(client.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data one\r\n",
                                                       "data two\r\n", "data three\r\n"}));
}

// Every failure is told three ways, in order, and the socket is closed. A refused
// target and a refused password come from the real servers.
TEST(SocksScripted, FailuresAreReportedThreeWaysAndClose) {
    const std::string ok5 = bytes({5, 0});
    const struct {
        std::string name, level;
        std::vector<std::string> replies; // one per request the client sends
        std::string error;                // code and text
    } cases[] = {
        {"socks 4 version", "4", {bytes({1, 90, 0, 0, 0, 0, 0, 0})}, "20002 socks version error"},
        {"method version", "5", {bytes({4, 0})}, "20002 socks version error"},
        {"method refused", "5", {bytes({5, 0xFF})}, "20003 authentification method not acceptable"},
        {"method with extra bytes", "5", {bytes({5, 0, 5})}, "20001 too much data availaible"},
        {"reply 9", "5", {ok5, bytes({5, 9, 0})}, "20012 unassigned error #9"},
        {"address type 4", "5", {ok5, bytes({5, 0, 0, 4, 0, 0})}, "20011 address type not supported"},
        {"hang-up", "5", {ok5, ""}, "10054 data receive error"},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer;
        RecordedClient client;
        client.connectThrough(peer.port(), c.level, "127.0.0.1", kTargetPort);
        for (const auto& reply : c.replies) {
            ASSERT_FALSE(peer.readSome().empty()) << c.name; // a request has come
            if (reply.empty())
                peer.close();
            else
                peer.send(reply);
        }
        ASSERT_TRUE(client.waitClosed()) << c.name;
        const std::string code = c.error.substr(0, c.error.find(' '));
        EXPECT_EQ(client.events, (std::vector<std::string>{"socks connected 0", "socks error " + c.error,
                                                           "connected " + code, "closed " + code}))
            << c.name;
        EXPECT_EQ(client.socket->GetState(), wsClosed) << c.name;
    }
}

// However the authentication ends without success, it is told as failed before the
// connection is.
TEST(SocksScripted, AuthenticationThatEndsUnfinishedIsReportedAsFailedFirst) {
    for (const bool serverHangsUp : {true, false}) {
        SCOPED_TRACE(serverHangsUp ? "the server hangs up" : "the client closes");
        ScriptedPeer peer;
        RecordedClient client;
        startSocks5WithPassword(peer, client);
        EXPECT_EQ(peer.read(13).size(), 13u);
        if (serverHangsUp)
            peer.close();
        else
            client.socket->Close();
        ASSERT_TRUE(client.waitClosed());
        const std::vector<std::string> ending =
            serverHangsUp ? std::vector<std::string>{"socks error 10054 data receive error",
                                                     "connected 10054", "closed 10054"}
                          : std::vector<std::string>{"closed 0"};
        std::vector<std::string> expected = {"socks connected 0", "auth 0", "auth 2"};
        expected.insert(expected.end(), ending.begin(), ending.end());
        EXPECT_EQ(client.events, expected);
    }
}

TEST(SocksScripted, Socks4TargetThatCannotBeResolvedFailsWith20017) {
    ScriptedPeer peer;
    RecordedClient client;
    client.connectThrough(peer.port(), "4", "nosuchhost.invalid", kTargetPort);
    ASSERT_TRUE(client.waitClosed());
    ASSERT_EQ(client.events.size(), 4u) << ::testing::PrintToString(client.events);
    EXPECT_EQ(client.events[1].rfind("socks error 20017 ESocketException ", 0), 0u) << client.events[1];
    EXPECT_EQ(client.events[2], "connected 20017");
    EXPECT_EQ(client.events[3], "closed 20017");
}

TEST(SocksScripted, FieldsTooLongForTheProtocolAreRefusedBeforeConnecting) {
    const std::string over(256, 'x');
    struct Case {
        std::string level;
        std::string user, password, host;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"5", over, "", "h", "Connect: Socks user code is longer than 255 bytes"},
        {"5", "", over, "h", "Connect: Socks password is longer than 255 bytes"},
        {"5", "", "", over, "Connect: Host name is longer than 255 bytes"},
        {"4A", "", "", over, "Connect: Host name is longer than 255 bytes or holds a NUL byte"},
        {"4", over, "", "127.0.0.1", "Connect: Socks user code is longer than 255 bytes or holds a NUL byte"},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer;
        RecordedClient client;
        client.socket->SetSocksAuthentication(socksAuthenticateUsercode);
        client.socket->SetSocksUsercode(c.user);
        client.socket->SetSocksPassword(c.password);
        EXPECT_EQ(whatRaised<ESocketException>(
                      [&] { client.connectThrough(peer.port(), c.level, c.host, kTargetPort); }),
                  c.expected);
        EXPECT_EQ(client.socket->GetState(), wsClosed);
        EXPECT_EQ(client.socket->HSocket(), INVALID_SOCKET);
    }
}

TEST(SocksScripted, SettingsAreCheckedAndForgottenAtClose) {
    ScriptedPeer peer;
    RecordedClient client;
    TWSocket& socket = *client.socket;
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.SetSocksLevel("6"); }),
              "Invalid socks level. Must be 4, 4A or 5.");
    socket.SetSocksServer(" \t127.0.0.1\r\n");
    EXPECT_EQ(socket.GetSocksServer(), "127.0.0.1");
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.Connect(); }), "Connect: No Port Specified");
    EXPECT_EQ(whatRaised<ESocketException>([&] {
                  socket.SetProto("udp");
                  socket.SetSocksPort("1080");
                  socket.SetAddr("h");
                  socket.SetPort("1");
                  socket.Connect();
              }),
              "TCP is the only protocol supported thru socks server");
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.Listen(); }),
              "Listening is not supported thru socks server");

    socket.SetProto("tcp");
    client.connectThrough(peer.port(), "5", kHost, kTargetPort);
    EXPECT_EQ(peer.read(3).size(), 3u);
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.SetSocksLevel("4"); }),
              "Can't change socks level if not closed");
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.SetSocksServer("x"); }),
              "Can't change socks server if not closed");
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.SetSocksPort("1"); }),
              "Can't change socks port if not closed");
    socket.Close();
    EXPECT_EQ(client.reports(), (std::vector<std::string>{"socks connected 0", "closed 0"}));
    EXPECT_EQ(socket.GetSocksServer(), "");
    EXPECT_EQ(socket.GetSocksPort(), "");
    EXPECT_EQ(socket.GetSocksLevel(), "5");
}

} // namespace
