#include "Raised.h"
#include "RunUntil.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace NorvEngineering::Sockets;
namespace Platform = NorvEngineering::Platform;
using TestSupport::pumpFor;
using TestSupport::runUntil;
using TestSupport::whatRaised;
using namespace std::chrono_literals;

namespace {

struct Lookup {
    std::vector<uint16_t> done;
    bool onOwnerThread = true;
    std::unique_ptr<TWSocket> socket = std::make_unique<TWSocket>(nullptr);

    Lookup() {
        socket->OnDnsLookupDone = [this](TCustomWSocket*, uint16_t code) {
            onOwnerThread = onOwnerThread && Platform::isMainThread();
            done.push_back(code);
        };
    }
};

bool poolIdle() {
    return runUntil([] { return WSocketLookupThreadCount() == 0; });
}

// What the machine's own resolver answers, to compare with: names and addresses
// depend on the machine's /etc/hosts (the Debian installer puts the own name on
// 127.0.1.1, a minimal system may not list it at all, others put it on 127.0.0.1).
std::set<std::string> resolverAddressesOf(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    std::set<std::string> addresses;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
        return addresses;
    for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(item->ai_addr);
        addresses.insert(::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text));
    }
    ::freeaddrinfo(found);
    return addresses;
}

std::string resolverNameOf(const std::string& dotted) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, dotted.c_str(), &address.sin_addr);
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, name, sizeof name, nullptr,
                      0, NI_NAMEREQD) != 0)
        return {};
    return name;
}

TEST(SocketLookup, NamesAndAddressesAreLookedUpAwayFromTheOwnerAndReportedOnIt) {
    struct Case {
        std::string text;
        bool reverse;
        uint16_t code;
        std::string result;
    };
    // Usually "localhost"; "localhost.localdomain" where /etc/hosts names that first.
    const std::string loopbackName = resolverNameOf("127.0.0.1");
    ASSERT_FALSE(loopbackName.empty()) << "the resolver has no name for 127.0.0.1 (no /etc/hosts?)";
    const std::vector<Case> cases = {
        {"localhost", false, 0, "127.0.0.1"},
        {"nosuchhost.invalid", false, WSAHOST_NOT_FOUND, ""},
        {"127.0.0.1", true, 0, loopbackName},
    };
    Lookup dotted; // completes inside the call
    dotted.socket->DnsLookup(" 10.0.0.1 ");
    EXPECT_EQ(dotted.done, std::vector<uint16_t>{0});
    EXPECT_EQ(dotted.socket->DnsResultList().items(), std::vector<std::string>{"10.0.0.1"});
    for (const auto& [text, reverse, code, result] : cases) {
        SCOPED_TRACE(text);
        Lookup lookup;
        if (reverse)
            lookup.socket->ReverseDnsLookup(text);
        else
            lookup.socket->DnsLookup(text);
        EXPECT_TRUE(lookup.done.empty());
        ASSERT_TRUE(runUntil([&] { return !lookup.done.empty(); }));
        EXPECT_EQ(lookup.done, std::vector<uint16_t>{code});
        EXPECT_EQ(lookup.socket->DnsResult(), result);
        EXPECT_TRUE(lookup.onOwnerThread);
    }
    Lookup sync;
    sync.socket->ReverseDnsLookupSync("127.0.0.1");
    EXPECT_EQ(sync.done, std::vector<uint16_t>{0});
    EXPECT_EQ(sync.socket->DnsResult(), loopbackName);
    EXPECT_TRUE(poolIdle()); // no worker outlives the look-ups
}

TEST(SocketLookup, InvalidTextsAreReportedAndThenEndTheLookupWhenOnErrorIsBound) {
    Lookup lookup;
    EXPECT_EQ(whatRaised<ESocketException>([&] { lookup.socket->DnsLookup(""); }),
              "DNS lookup: invalid host name.");
    EXPECT_EQ(whatRaised<ESocketException>([&] { lookup.socket->ReverseDnsLookup(std::string(257, '1')); }),
              "Reverse DNS Lookup: Invalid host name.");
    EXPECT_TRUE(lookup.done.empty());
    lookup.socket->OnError = [](TCustomWSocket*) {};
    lookup.socket->DnsLookup("");
    lookup.socket->ReverseDnsLookupSync("");
    EXPECT_EQ(lookup.done, (std::vector<uint16_t>{WSAEINVAL, WSAEINVAL}));
}

TEST(SocketLookup, ACancelledLookupReportsOnceAndItsReplyIsDropped) {
    Lookup lookup;
    lookup.socket->DnsLookup("nosuchhost.invalid");
    lookup.socket->CancelDnsLookup();
    EXPECT_EQ(lookup.done, std::vector<uint16_t>{WSAEINTR});
    // A new lookup replaces a pending one without a report for the old one.
    lookup.socket->DnsLookup("nosuchhost.invalid");
    lookup.socket->DnsLookup("localhost");
    ASSERT_TRUE(poolIdle());
    ASSERT_TRUE(runUntil([&] { return lookup.done.size() == 2; }));
    pumpFor(50ms);
    EXPECT_EQ(lookup.done, (std::vector<uint16_t>{WSAEINTR, 0}));
    EXPECT_EQ(lookup.socket->DnsResult(), "127.0.0.1");
}

TEST(SocketLookup, ALookupThatEndsWhileTheSocketIsDetachedIsReportedAfterItsAttach) {
    Lookup lookup;
    lookup.socket->DnsLookup("localhost");
    lookup.socket->ThreadDetach();
    ASSERT_TRUE(poolIdle());
    pumpFor(20ms);
    EXPECT_TRUE(lookup.done.empty());
    lookup.socket->ThreadAttach();
    ASSERT_TRUE(runUntil([&] { return !lookup.done.empty(); }));
    EXPECT_EQ(lookup.done, std::vector<uint16_t>{0});
    EXPECT_EQ(lookup.socket->DnsResult(), "127.0.0.1");
}

TEST(SocketLookup, DestroyingComponentsWithLookupsPendingIsSafe) {
    int reports = 0;
    for (int i = 0; i < 200; ++i) {
        TWSocket socket(nullptr);
        socket.OnDnsLookupDone = [&](TCustomWSocket*, uint16_t) { ++reports; };
        socket.DnsLookup(i % 2 == 0 ? "nosuchhost.invalid" : "localhost");
        EXPECT_LE(WSocketLookupThreadCount(), 4);
        if (i % 10 == 0)
            pumpFor(1ms);
    }
    ASSERT_TRUE(poolIdle());
    pumpFor(20ms);
    EXPECT_LE(reports, 20); // only lookups that ended while their component was alive
}

TEST(SocketLookup, HostUtilities) {
    // The addresses of the machine's own name, as many as the resolver knows (none
    // where /etc/hosts does not list the name and no name server answers).
    const auto own = LocalIPList().items();
    EXPECT_EQ(std::set<std::string>(own.begin(), own.end()), resolverAddressesOf(LocalHostName()));
    EXPECT_EQ(WSocketResolveIp("127.0.0.1"), resolverNameOf("127.0.0.1"));
    EXPECT_EQ(WSocketGetHostByName("nosuchhost.invalid"), nullptr);
    EXPECT_EQ(whatRaised<ESocketException>([] { WSocketGetHostByName(""); }),
              "Winsock Get Host Name: Invalid Hostname.");
    EXPECT_EQ(whatRaised<ESocketException>([] { WSocketGetHostByAddr(std::string(257, '1')); }),
              "Winsock Get Host Addr: Invalid address.");
}

} // namespace
