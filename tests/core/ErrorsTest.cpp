#include "SensorLib.h"

#include <gtest/gtest.h>

#include <set>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Util::String::CBadConversion;

TEST(Vkr25Error, KnownCodesWithTheSwappedPairAndUnknownTextsGiveMinusOneWithoutGrowingTheTable) {
    const std::set<int> known = {15, 16, 17, 18, 23, 24, 31, 51, 52, 53, 54, 55, 61, 62, 63, 64};
    for (int n = 0; n < 100; ++n) {
        const std::string text = (n < 10 ? "E0" : "E") + std::to_string(n);
        const int expected = !known.contains(n) ? -1 : n == 23 ? 24 : n == 24 ? 23 : n;
        EXPECT_EQ(CVkr25Error(text).getCode(), expected) << text;
    }
    for (const char* text : {"e15", "E1", "", "E150", " E15", "E15 ", "E15\r\n"})
        EXPECT_EQ(CVkr25Error(text).getCode(), -1) << '"' << text << '"';
    initVkr25ErrorCodes();
    initVkr25ErrorCodes();
    EXPECT_EQ(vkr25ErrorCodeCount(), known.size());
}

TEST(Vkr25Error, ErrorReplyLooksAtTheFirstThreeCharactersOnly) {
    for (const auto& [reply, isError] :
         {std::pair{"E15\r\n", true}, {"E62", true}, {"E1", false}, {"0012345\r\n", false}, {"", false}})
        EXPECT_EQ(CVkr25Error::isErrorReply(reply), isError) << reply;
}

TEST(BadConversion, MessageIsTheTextCutAt255UpToTheFirstNul) {
    const CBadConversion error(std::string(300, 'x'));
    EXPECT_EQ(std::string(CBadConversion(error).what()), std::string(255, 'x'));
    EXPECT_STREQ(CBadConversion(std::string("ab\0cd", 5)).what(), "ab");
    const std::runtime_error& base = CBadConversion("1.5x");
    EXPECT_STREQ(base.what(), "1.5x");
}
