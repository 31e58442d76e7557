// The readers the family's parser is built from, at the edges the drivers' replies
// do not reach: their seven-character fields and 16-bit values from the top only.

#include "ReplyReading.h"
#include "SensorLib.h"

#include <gtest/gtest.h>

using NorvEngineering::Util::String::CBadConversion;
namespace RR = NorvEngineering::SensorLib::ReplyReading;

TEST(ReplyReading, ReadersAtTheirBoundaries) {
    EXPECT_EQ(RR::textAt("abc", 99, 2), "");
    EXPECT_EQ(RR::charAt("abc", 3), '\0');
    EXPECT_EQ(RR::readInt16("-32768"), -32768);
    EXPECT_THROW(RR::readInt16("-32769"), CBadConversion);
    EXPECT_EQ(RR::readInt16("40000"), static_cast<int16_t>(40000 - 65536));
    // Eight hexadecimal digits at most, and at least one.
    EXPECT_EQ(RR::readHexMillimetres("0FFFFFFF"), -1);
    for (const char* text : {"123456789", "", " ", "-1"})
        EXPECT_THROW(RR::readHexMillimetres(text), CBadConversion) << text;
    try {
        RR::readHexMillimetres("  zz");
        FAIL();
    } catch (const CBadConversion& error) {
        EXPECT_STREQ(error.what(), "  zz");
    }
}
