#include "ReplyReading.h"
#include "SensorLib.h"

#include <gtest/gtest.h>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Util::String::CBadConversion;
namespace RR = ReplyReading;

TEST(ReplyReading, FixedPositionsNeverReadPastTheEnd) {
    EXPECT_EQ(RR::textAt("abc", 1, 7), "bc");
    EXPECT_EQ(RR::textAt("abc", 3, 2), "");
    EXPECT_EQ(RR::textAt("abc", 99, 2), "");
    EXPECT_EQ(RR::textAt("", 0, 2), "");
    EXPECT_EQ(RR::charAt("abc", 2), 'c');
    EXPECT_EQ(RR::charAt("abc", 3), '\0');
}

TEST(ReplyReading, ValueTextIsBetweenMnemonicAndLineEnd) {
    EXPECT_EQ(RR::valueText("SA15\r\n"), "15");
    EXPECT_EQ(RR::valueText("SA\r\n"), "");
    EXPECT_EQ(RR::valueText("SA\n"), "\n");
    EXPECT_EQ(RR::valueText("S\n"), "");
    EXPECT_EQ(RR::valueText(""), "");
}

TEST(ReplyReading, DumpValueFollowsTheLastTwoDots) {
    const auto value = RR::findDumpValue("[SF] Scale.. factor....1.0936\r\n");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->value, "1.0936");
    EXPECT_EQ(value->start, 23U);
    EXPECT_FALSE(RR::findDumpValue("[SF] 1.0936\r\n").has_value());
    EXPECT_EQ(RR::findDumpValue("[SA]..\r\n")->value, "");
    EXPECT_EQ(RR::findDumpValue("[SA]..\n")->value, "\n");
    EXPECT_EQ(RR::findDumpValue("..")->value, "");
    EXPECT_EQ(RR::findDumpValue("..")->start, 2U);
}

TEST(ReplyReading, ErrorRepliesAreKnownCodesInTheFirstThreeCharacters) {
    EXPECT_TRUE(RR::isErrorReply("E15\r\n"));
    EXPECT_TRUE(RR::isErrorReply("E64"));
    EXPECT_FALSE(RR::isErrorReply("E19\r\n"));
    EXPECT_FALSE(RR::isErrorReply("e15\r\n"));
    EXPECT_FALSE(RR::isErrorReply("E1"));
    EXPECT_FALSE(RR::isErrorReply(""));
}

TEST(ReplyReading, SixteenBitReadingsAcceptTheirRangeOnly) {
    EXPECT_EQ(RR::readInt16(" 23\r\n"), 23);
    EXPECT_EQ(RR::readInt16("-32768"), -32768);
    EXPECT_EQ(RR::readInt16("65535"), -1);
    EXPECT_EQ(RR::readInt16("40000"), static_cast<int16_t>(40000 - 65536));
    EXPECT_THROW(RR::readInt16("65536"), CBadConversion);
    EXPECT_THROW(RR::readInt16("-32769"), CBadConversion);
    EXPECT_THROW(RR::readInt16("1.5"), CBadConversion);
    EXPECT_THROW(RR::readInt16(""), CBadConversion);
    EXPECT_EQ(RR::readUInt16("65535 "), 65535);
    EXPECT_THROW(RR::readUInt16("65536"), CBadConversion);
    EXPECT_THROW(RR::readUInt16("x"), CBadConversion);
    EXPECT_DOUBLE_EQ(RR::readDouble(" -1.25\r\n"), -1.25);
    EXPECT_THROW(RR::readDouble("1.2.3"), CBadConversion);
}

TEST(ReplyReading, HexDistanceSignIsBit27) {
    EXPECT_EQ(RR::readHexMillimetres("FFFFFFF"), -1);
    EXPECT_EQ(RR::readHexMillimetres("0000001"), 1);
    EXPECT_EQ(RR::readHexMillimetres("7FFFFFF"), 134217727);
    EXPECT_EQ(RR::readHexMillimetres("8000000"), -134217728);
    EXPECT_EQ(RR::readHexMillimetres("  1a\r\n"), 26);
    EXPECT_EQ(RR::readHexMillimetres("12G4"), 0x12);
    EXPECT_DOUBLE_EQ(RR::readHexDistance("FFFFFFF"), -0.001);
    EXPECT_DOUBLE_EQ(RR::readHexDistance("0000001"), 0.001);
    EXPECT_DOUBLE_EQ(RR::readHexDistance("7FFFFFF"), 134217.727);
    EXPECT_DOUBLE_EQ(RR::readHexDistance("8000000"), -134217.728);
    EXPECT_DOUBLE_EQ(RR::readHexDistance("0001000"), 4.096);
}

TEST(ReplyReading, HexTextWithoutDigitsIsNoReading) {
    for (const char* text : {"", " ", "\r\n", "      \r", "G123", "-1", "x0"})
        EXPECT_THROW(RR::readHexMillimetres(text), CBadConversion) << text;
    EXPECT_THROW(RR::readHexMillimetres("123456789"), CBadConversion);
    try {
        RR::readHexMillimetres("  zz");
        FAIL();
    } catch (const CBadConversion& error) {
        EXPECT_STREQ(error.what(), "  zz");
    }
}
