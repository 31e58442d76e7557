#include "WSockBuf.h"

#include <gtest/gtest.h>

#include <string>

using NorvEngineering::Sockets::TBuffer;

namespace {

std::string unread(const TBuffer& chunk) {
    int32_t len = 0;
    const uint8_t* rest = chunk.Peek(len);
    return rest == nullptr ? ""
                           : std::string(reinterpret_cast<const char*>(rest), static_cast<std::size_t>(len));
}

TEST(SendChunk, FillsFromTheFrontReusesOnlyWhenEmptyAndGrowsKeepingUnreadBytes) {
    EXPECT_EQ(TBuffer(0).BufSize(), 1514); // non-positive sizes get the default
    EXPECT_EQ(TBuffer(-7).BufSize(), 1514);
    TBuffer chunk(8);
    char out[4] = {};
    EXPECT_EQ(chunk.Read(out, 2), 0); // nothing to read or remove yet
    EXPECT_EQ(chunk.Remove(1), 0);
    EXPECT_EQ(chunk.Write("ab", 0), 0);
    EXPECT_EQ(chunk.Write(nullptr, 2), 0);

    EXPECT_EQ(chunk.Write("abcdef", 6), 6);
    EXPECT_EQ(chunk.Write("ghij", 4), 2); // only the space left
    EXPECT_EQ(chunk.Write("x", 1), 0);
    EXPECT_EQ(chunk.Read(out, 3), 3);
    EXPECT_EQ(std::string(out, 3), "abc");
    // Freed space at the front is not reused yet.
    EXPECT_EQ(chunk.Write("x", 1), 0);
    EXPECT_EQ(unread(chunk), "defgh");

    EXPECT_EQ(chunk.Remove(100), 5);
    EXPECT_EQ(chunk.GetBufUsed(), 0);
    int32_t len = 1;
    EXPECT_EQ(chunk.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(chunk.Write("12345678", 8), 8);

    // Growing keeps the unread bytes.
    chunk.Read(out, 1);
    chunk.SetBufSize(10);
    EXPECT_EQ(unread(chunk), "2345678");
    EXPECT_EQ(chunk.Write("abcd", 4), 2);
}

} // namespace
