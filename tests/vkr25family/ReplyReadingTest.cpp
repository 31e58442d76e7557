// The readers the family's parser is built from, at the edges the drivers' replies
// do not reach (where they take the dump value is checked through the drivers).

#include "ReplyReading.h"
#include "SensorLib.h"

#include <gtest/gtest.h>

using NorvEngineering::Util::String::CBadConversion;
namespace RR = NorvEngineering::SensorLib::ReplyReading;

TEST(ReplyReading, FixedPositionsNeverReadPastTheEnd) {
    EXPECT_EQ(RR::textAt("abc", 1, 7), "bc");
    EXPECT_EQ(RR::textAt("abc", 3, 2), "");
    EXPECT_EQ(RR::textAt("abc", 99, 2), "");
    EXPECT_EQ(RR::textAt("", 0, 2), "");
    EXPECT_EQ(RR::charAt("abc", 2), 'c');
    EXPECT_EQ(RR::charAt("abc", 3), '\0');
    EXPECT_EQ(RR::valueText("SA15\r\n"), "15");
    EXPECT_EQ(RR::valueText("SA\r\n"), "");
    EXPECT_EQ(RR::valueText("SA\n"), "\n");
    EXPECT_EQ(RR::valueText("S\n"), "");
    EXPECT_EQ(RR::valueText(""), "");
}

TEST(ReplyReading, ErrorRepliesAreKnownCodesInTheFirstThreeCharacters) {
    for (const char* reply : {"E15\r\n", "E64"})
        EXPECT_TRUE(RR::isErrorReply(reply)) << reply;
    for (const char* reply : {"E19\r\n", "e15\r\n", "E1", ""})
        EXPECT_FALSE(RR::isErrorReply(reply)) << reply;
}

TEST(ReplyReading, SixteenBitReadingsAcceptTheirRangeOnly) {
    EXPECT_EQ(RR::readInt16(" 23\r\n"), 23);
    EXPECT_EQ(RR::readInt16("-32768"), -32768);
    EXPECT_EQ(RR::readInt16("65535"), -1);
    EXPECT_EQ(RR::readInt16("40000"), static_cast<int16_t>(40000 - 65536));
    EXPECT_EQ(RR::readUInt16("65535 "), 65535);
    EXPECT_DOUBLE_EQ(RR::readDouble(" -1.25\r\n"), -1.25);
    for (const char* text : {"65536", "-32769", "1.5", ""})
        EXPECT_THROW(RR::readInt16(text), CBadConversion) << text;
    EXPECT_THROW(RR::readUInt16("65536"), CBadConversion);
    EXPECT_THROW(RR::readUInt16("x"), CBadConversion);
    EXPECT_THROW(RR::readDouble("1.2.3"), CBadConversion);
}

// The sign rule and the driver's seven-character field are checked through the
// drivers; here what no seven-character field can hold.
TEST(ReplyReading, HexReadingStopsAtTheFirstNonDigitAndNeedsOneToEight) {
    EXPECT_EQ(RR::readHexMillimetres("  1a\r\n"), 26);
    EXPECT_EQ(RR::readHexMillimetres("12G4"), 0x12);
    EXPECT_EQ(RR::readHexMillimetres("0FFFFFFF"), -1);
    for (const char* text : {"", " ", "\r\n", "      \r", "G123", "-1", "x0", "123456789"})
        EXPECT_THROW(RR::readHexMillimetres(text), CBadConversion) << text;
    try {
        RR::readHexMillimetres("  zz");
        FAIL();
    } catch (const CBadConversion& error) {
        EXPECT_STREQ(error.what(), "  zz");
    }
}
