#include "SocksProtocol.h"
#include "SocksRig.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace NorvEngineering::Sockets;
using SocksTests::bytes;

namespace {

using Kind = TSocksReplyKind;

TSocksReply readReply(Kind kind, const std::string& reply) {
    return SocksReadReply(kind, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
}

std::string outcome(const TSocksReply& reply) {
    switch (reply.status) {
    case TSocksReply::NeedMore:
        return "more";
    case TSocksReply::Done:
        return "done " + std::to_string(reply.length);
    case TSocksReply::Failed:
        return std::to_string(reply.code) + " " + reply.text;
    }
    return "?";
}

// Connect refuses what does not fit (see the scripted tests); all that fits goes whole.
TEST(SocksProtocol, FieldsUpTo255BytesGoWholeLongerOnesAreRefused) {
    const std::string full(255, 'x');
    const std::string over(256, 'x');
    EXPECT_EQ(SocksAuthRequest(full, full).size(), 1u + 1 + 255 + 1 + 255);
    EXPECT_EQ(Socks5ConnectRequest(full, 1).size(), 4u + 1 + 255 + 2);
    EXPECT_EQ(Socks4ConnectRequest(1, 1, full, &full).size(), 8u + 256 + 256);
    EXPECT_THROW(Socks4ConnectRequest(1, 1, "", &over), std::length_error);
    EXPECT_THROW(Socks4ConnectRequest(1, 1, std::string("a\0b", 3), nullptr), std::length_error);
}

TEST(SocksProtocol, RepliesAndTheirErrors) {
    struct Case {
        Kind kind;
        std::string reply;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {Kind::MethodChoice, bytes({5, 0}), "done 2"},
        {Kind::MethodChoice, bytes({5, 2}), "done 2"},
        {Kind::MethodChoice, bytes({5, 1}), "20003 authentification method not acceptable"},
        {Kind::AuthStatus, bytes({1, 0}), "done 2"},
        {Kind::AuthStatus, bytes({1, 1}), "20015 socks authentication failed"},
        {Kind::AuthStatus, bytes({5}), "20002 socks version error"},
        {Kind::AuthStatus, bytes({1, 0, 0}), "20001 too much data availaible"},
        {Kind::Socks4Connect, bytes({0, 90, 0, 0, 0, 0, 0, 0}), "done 8"},
        {Kind::Socks4Connect, bytes({0, 91, 0, 0, 0, 0, 0, 0}), "20016 request rejected or failed"},
        {Kind::Socks4Connect, bytes({0, 92, 0, 0, 0, 0, 0, 0}), "20008 connection refused"},
        {Kind::Socks4Connect, bytes({0, 93, 0, 0, 0, 0, 0, 0}), "20015 authentification failed"},
        {Kind::Socks4Connect, bytes({0, 89, 0, 0, 0, 0, 0, 0}), "20012 unassigned error #89"},
        {Kind::Socks4Connect, bytes({4, 90, 0, 0, 0, 0, 0, 0}), "20002 socks version error"},
        {Kind::Socks4Connect, bytes({0, 90, 0, 0, 0, 0, 0}), "more"},
        {Kind::Socks5Connect, bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x0F, 0xA1}), "done 10"},
        {Kind::Socks5Connect, bytes({5, 0, 0, 3, 1, 'h', 0, 80, 'x'}), "done 8"},
        {Kind::Socks5Connect, bytes({5, 0, 0, 0, 0}), "20011 address type not supported"},
        {Kind::Socks5Connect, bytes({4}), "20002 socks version error"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome(readReply(c.kind, c.reply)), c.expected) << static_cast<int>(c.kind);
    // The SOCKS 5 reply codes, 1 to 9 and beyond. The replies the scripted failures give
    // through the socket are not repeated here.
    const char* const texts[] = {
        "20004 general SOCKS server failure", "20005 connection not allowed by ruleset",
        "20006 network unreachable",          "20007 host unreachable",
        "20008 connection refused",           "20009 time to live expired",
        "20010 command not supported",        "20011 address type not supported",
        "20012 unassigned error #9"};
    for (int code = 1; code <= 9; ++code)
        EXPECT_EQ(outcome(readReply(Kind::Socks5Connect, bytes({5, code}))), texts[code - 1]) << code;
    EXPECT_EQ(outcome(readReply(Kind::Socks5Connect, bytes({5, 255}))), "20012 unassigned error #255");
}

} // namespace
