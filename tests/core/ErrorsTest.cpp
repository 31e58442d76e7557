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
    const CVkr25Error error("E31");
    EXPECT_TRUE(error.getMessage().empty());
    EXPECT_TRUE(error.getPlace().empty());
    initVkr25ErrorCodes();
    initVkr25ErrorCodes();
    EXPECT_EQ(vkr25ErrorCodeCount(), known.size());
}

TEST(Vkr25Error, ErrorReplyLooksAtTheFirstThreeCharactersOnly) {
    for (const char* reply : {"E15\r\n", "E62"})
        EXPECT_TRUE(CVkr25Error::isErrorReply(reply)) << reply;
    for (const char* reply : {"E1", "0012345\r\n", ""})
        EXPECT_FALSE(CVkr25Error::isErrorReply(reply)) << reply;
}

TEST(BadConversion, MessageIsTheTextCutAt255UpToTheFirstNul) {
    const std::string longText(300, 'x');
    const CBadConversion error(longText);
    EXPECT_EQ(std::string(error.what()), longText.substr(0, 255));
    const CBadConversion copy(error);
    EXPECT_EQ(std::string(copy.what()), longText.substr(0, 255));
    EXPECT_EQ(std::string(CBadConversion(std::string(255, 'y')).what()), std::string(255, 'y'));
    EXPECT_STREQ(CBadConversion(std::string("ab\0cd", 5)).what(), "ab");
    try {
        throw CBadConversion("1.5x");
    } catch (const std::runtime_error& caught) {
        EXPECT_STREQ(caught.what(), "1.5x");
    }
}
