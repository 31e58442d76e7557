#include "WSocketBinding.h"
#include "WSocketErrors.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace NorvEngineering::Sockets;

TEST(SocketErrorTexts, TableLookupIsExact) {
    EXPECT_EQ(WSocketErrorDesc(0), "No Error");
    EXPECT_EQ(WSocketErrorDesc(10035), "Operation would block");
    EXPECT_EQ(WSocketErrorDesc(10054), "Connection reset by peer");
    EXPECT_EQ(WSocketErrorDesc(10092), "WinSock DLL cannot support this application");
    EXPECT_EQ(WSocketErrorDesc(11004), "No Data");
    for (int32_t code : {10080, 10072, 10090, -1, 11005, 10000, 1, 10107})
        EXPECT_EQ(WSocketErrorDesc(code), "Not a WinSock error") << code;
}

TEST(SocketErrorTexts, FormatsCarryTheSignedCode) {
    EXPECT_EQ(GetWinsockErr(10061), "Connection refused (#10061)");
    EXPECT_EQ(GetWinsockErr(-5), "Not a WinSock error (#-5)");
    EXPECT_EQ(GetWindowsErr(ENOENT), "No such file or directory (#2)");
}

TEST(SocketErrorTexts, SystemErrorsBecomeWinsockCodes) {
    const std::pair<int, int32_t> codes[] = {
        {EWOULDBLOCK, WSAEWOULDBLOCK},   {EINPROGRESS, WSAEWOULDBLOCK},   {ECONNREFUSED, WSAECONNREFUSED},
        {ETIMEDOUT, WSAETIMEDOUT},       {ECONNRESET, WSAECONNRESET},     {ENOTCONN, WSAENOTCONN},
        {EPIPE, WSAECONNABORTED},        {ECONNABORTED, WSAECONNABORTED}, {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
        {EHOSTUNREACH, WSAEHOSTUNREACH}, {EIO, WSASYSCALLFAILURE}};
    for (const auto& [error, code] : codes)
        EXPECT_EQ(WSocketErrnoToWinsock(error), code) << error;
}
