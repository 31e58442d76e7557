#include "Raised.h"
#include "SocketException.h"
#include "SystemFiles.h"
#include "WSocketBinding.h"
#include "WSocketResolve.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

using namespace NorvEngineering::Sockets;

TEST(DottedAddress, FourPartsWithBlanksAroundAndNothingElse) {
    for (const char* text : {"192.168.0.1", "  10.0.0.1  ", "255.255.255.255", "0.0.0.0"})
        EXPECT_TRUE(WSocketIsDottedIP(text)) << '"' << text << '"';
    for (const char* text :
         {"1.2.3", "1.2.3.4.5", "1.2.3.", ".1.2.3", "256.1.1.1", "1.2.3.256", "1.2.3.4a", "", "   ", "1..2.3",
          "1.2.3.4 x", "localhost", "999.1.1.1", "1.2.3.99999999999999999999999"})
        EXPECT_FALSE(WSocketIsDottedIP(text)) << '"' << text << '"';
}

namespace {
template <class Call>
std::string failureOf(const Call& call) {
    return TestSupport::whatRaised<ESocketException>(call);
}
} // namespace

TEST(ResolveHost, DottedAndLocalNamesAndFailuresInTheComponentTexts) {
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), inet_addr("127.0.0.1"));
    EXPECT_EQ(WSocketResolveHost("localhost"), inet_addr("127.0.0.1"));
    EXPECT_EQ(failureOf([] { WSocketResolveHost(""); }), "Winsock Resolve Host: '' Invalid Hostname.");
    const std::string longName(257, 'a');
    EXPECT_EQ(failureOf([&] { WSocketResolveHost(longName); }),
              "Winsock Resolve Host: '" + longName + "' Invalid Hostname.");
}

TEST(ResolvePort, NumbersNamesAndLimits) {
    EXPECT_EQ(WSocketResolvePort("23", "tcp"), 23);
    EXPECT_EQ(WSocketResolvePort("23abc", "tcp"), 23);
    EXPECT_EQ(WSocketAtoi("  23abc"), 23); // leading digits after blanks
    EXPECT_EQ(WSocketAtoi("abc"), 0);
    if (TestSupport::netbaseFileThere("/etc/services")) {
        EXPECT_EQ(WSocketResolvePort("telnet", "tcp"), 23);
    }
    EXPECT_EQ(failureOf([] { WSocketResolvePort("", "tcp"); }), "Winsock Resolve Port: Invalid Port.");
    EXPECT_EQ(failureOf([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "Winsock Resolve Port: Invalid Port.");
    EXPECT_EQ(failureOf([] { WSocketResolvePort("23", ""); }), "Winsock Resolve Port: Invalid Proto.");
    EXPECT_EQ(failureOf([] { WSocketResolvePort("70000", "tcp"); }), "Winsock Resolve Port: Invalid Port.");
    EXPECT_EQ(failureOf([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "Winsock Resolve Port: Cannot convert port 'nosuchservice' - No Data (#11004)");
}

TEST(ResolveProto, KnownNamesNumbersAndLookups) {
    EXPECT_EQ(WSocketResolveProto("TCP"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp "), 17);
    EXPECT_EQ(WSocketResolveProto("raw"), 255);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    if (TestSupport::netbaseFileThere("/etc/protocols")) {
        EXPECT_EQ(WSocketResolveProto("icmp"), 1);
    }
    EXPECT_EQ(failureOf([] { WSocketResolveProto(""); }), "Winsock Resolve Proto: Invalid Protocol.");
    EXPECT_EQ(failureOf([] { WSocketResolveProto("nosuchproto"); }),
              "Winsock Resolve Proto: Cannot convert protocol 'nosuchproto' - No Data (#11004)");
}
