#include "Raised.h"
#include "SocketException.h"
#include "WSocketBinding.h"
#include "WSocketErrors.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace NorvEngineering::Sockets;

namespace {
// Restores the requested version for the tests that follow.
struct VersionGuard {
    ~VersionGuard() {
        WSocketUnloadWinsock();
        WSocketSetReqVerLow(1);
        WSocketSetReqVerHigh(1);
    }
};
} // namespace

TEST(WinsockBinding, ReferencesAndForcedLoadingKeepItLoadedUntilTheLastGoes) {
    ASSERT_EQ(SafeWSocketGCount(), 0);
    WSocketAddRef();
    WSocketAddRef();
    WSocketLoad();
    EXPECT_TRUE(WSocketIsLoaded());
    WSocketReleaseRef();
    EXPECT_TRUE(WSocketIsLoaded());
    WSocketReleaseRef();
    EXPECT_FALSE(WSocketIsLoaded());

    // A call loads it; forced loading holds one reference.
    const TSocket s = WSocket_socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_TRUE(WSocketIsLoaded());
    WSocket_closesocket(s);
    WSocketUnloadWinsock();
    EXPECT_FALSE(WSocketIsLoaded());

    WSocketForceLoadWinsock();
    EXPECT_TRUE(WSocketIsLoaded());
    EXPECT_EQ(SafeWSocketGCount(), 1);
    WSocketForceLoadWinsock(); // once only
    EXPECT_EQ(SafeWSocketGCount(), 1);
    WSocketCancelForceLoadWinsock();
    EXPECT_FALSE(WSocketIsLoaded());
    EXPECT_EQ(SafeWSocketGCount(), 0);
}

TEST(WinsockBinding, VersionIsFixedWhileLoadedAndStartupRefusesVersionZero) {
    VersionGuard guard;
    ASSERT_FALSE(WSocketIsLoaded());
    EXPECT_TRUE(WSocketSetReqVerHigh(2));
    EXPECT_EQ(WinsockInfo().wVersion, 0x0201);
    EXPECT_FALSE(WSocketIsLoaded()); // loaded only for the call
    WSocketForceLoadWinsock();
    EXPECT_FALSE(WSocketSetReqVerHigh(1));
    EXPECT_TRUE(WSocketSetReqVerHigh(2)); // the same value is no change
    WSocketCancelForceLoadWinsock();

    ASSERT_TRUE(WSocketSetReqVerLow(0));
    EXPECT_EQ(TestSupport::whatRaised<ESocketException>([] { WSocket_socket(AF_INET, SOCK_STREAM, 0); }),
              "Winsock startup error wsock32.dll - WinSock DLL cannot support this application (#10092)");
    EXPECT_FALSE(WSocketIsLoaded());
    EXPECT_EQ(SafeWSocketGCount(), 0);
}

// Each failure in Winsock codes, the last one per thread; a send to a closed peer
// without the SIGPIPE that would end the process.
TEST(WinsockBinding, FailuresGiveWinsockCodesPerThreadAndNoSignal) {
    char byte = 0;
    EXPECT_EQ(WSocket_recv(-1, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSocket_WSAGetLastError(), WSAENOTSOCK);
    std::thread([] {
        EXPECT_EQ(WSocket_WSAGetLastError(), 0);
        WSocket_WSASetLastError(WSAECONNRESET);
    }).join();
    EXPECT_EQ(WSocket_WSAGetLastError(), WSAENOTSOCK);

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    EXPECT_EQ(WSocket_send(pair[0], "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSocket_WSAGetLastError(), WSAECONNABORTED);
    // An ioctl Linux lacks is refused.
    TTcpKeepAlive values{1, 30000, 1500};
    uint32_t returned = 0;
    EXPECT_EQ(WSocket_WSAIoctl(pair[0], SIO_RCVALL, &values, 4, nullptr, 0, &returned), SOCKET_ERROR);
    EXPECT_EQ(WSocket_WSAGetLastError(), WSAEOPNOTSUPP);
    WSocket_closesocket(pair[0]);
    WSocketUnloadWinsock();
}
