#include "NumberConversion.h"
#include "SensorLib.h"

#include <gtest/gtest.h>

using namespace NorvEngineering::Util::String;

TEST(StringTokenizer, CollapsesRunsAndDropsEndDelimiters) {
    StringTokenizer tokens("a,,b,", ",");
    EXPECT_EQ(tokens.remainder(), "a,b");
    EXPECT_EQ(tokens.countTokens(), 2u);
    EXPECT_EQ(tokens.nextToken(), "a");
    EXPECT_EQ(tokens.nextToken(), "b");
    EXPECT_EQ(tokens.nextToken(), "");
    EXPECT_EQ(tokens.countTokens(), 0u);
}

TEST(StringTokenizer, NormalisesLeadingRunsAndLongRuns) {
    EXPECT_EQ(StringTokenizer(",,,a,,,,b,,,", ",").remainder(), "a,b");
    EXPECT_EQ(StringTokenizer(",,,", ",").remainder(), "");
    EXPECT_EQ(StringTokenizer(",,,", ",").countTokens(), 0u);
    EXPECT_EQ(StringTokenizer(",", ",").countTokens(), 0u);
    EXPECT_EQ(StringTokenizer("a b  c", " ").countTokens(), 3u);
}

TEST(StringTokenizer, MultiCharacterDelimiterIsMatchedWhole) {
    StringTokenizer tokens("::a:::::b:c::", "::");
    // Five colons are two whole delimiters and an odd colon; only the whole
    // delimiter that follows the first one is collapsed.
    EXPECT_EQ(tokens.remainder(), "a:::b:c");
    EXPECT_EQ(tokens.countTokens(), 2u);
    EXPECT_EQ(tokens.nextToken(), "a");
    EXPECT_EQ(tokens.nextToken(), ":b:c");
}

TEST(StringTokenizer, EmptyInputsHoldNothing) {
    StringTokenizer noDelimiter("a,b", "");
    EXPECT_EQ(noDelimiter.countTokens(), 0u);
    EXPECT_EQ(noDelimiter.remainder(), "");
    EXPECT_EQ(noDelimiter.nextToken(), "");
    StringTokenizer noText("", ",");
    EXPECT_EQ(noText.countTokens(), 0u);
}

TEST(StringTokenizer, SingleTokenAndVersionSplit) {
    StringTokenizer whole("VKR25", ",");
    EXPECT_EQ(whole.countTokens(), 1u);
    EXPECT_EQ(whole.nextToken(), "VKR25");
    EXPECT_EQ(whole.remainder(), "");

    StringTokenizer version("1.23", ".");
    EXPECT_EQ(version.nextToken(), "1");
    EXPECT_EQ(version.remainder(), "23");
}

TEST(StringTokenizer, StrippedTokenLosesEveryBlank) {
    StringTokenizer tokens(" V K R 25 , 12 34 ,x", ",");
    EXPECT_EQ(tokens.nextTokenStripped(" "), "VKR25");
    EXPECT_EQ(tokens.nextTokenStripped(" "), "1234");
    EXPECT_EQ(tokens.nextTokenStripped(" "), "x");
    StringTokenizer runs("a   b", ",");
    EXPECT_EQ(runs.nextTokenStripped(" "), "ab");
    StringTokenizer keep("a b", ",");
    EXPECT_EQ(keep.nextTokenStripped(""), "a b");
}

TEST(ReplaceAll, ReplacesEveryOccurrenceRestartingFromTheStart) {
    EXPECT_EQ(replaceAll("1,5,7", ",", "."), "1.5.7");
    EXPECT_EQ(replaceAll("1.5", ",", "."), "1.5");
    EXPECT_EQ(replaceAll("aab", "ab", "b"), "b");
    EXPECT_EQ(replaceAll("", ",", "."), "");
}

TEST(ReplaceAll, DegenerateArgumentsReturnTheTextUnchanged) {
    EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(replaceAll("a,b", ",", ",,"), "a,b");
}

TEST(NumberConversion, ReadsLikeStreamExtractionAndRejectsTrailingText) {
    EXPECT_DOUBLE_EQ(readNumber<double>("1.5"), 1.5);
    EXPECT_DOUBLE_EQ(readNumber<double>(" 2"), 2.0);
    EXPECT_DOUBLE_EQ(readNumber<double>("3.25 \r\n"), 3.25);
    EXPECT_THROW(readNumber<double>("1.5x"), CBadConversion);
    EXPECT_THROW(readNumber<double>(""), CBadConversion);
    EXPECT_THROW(readNumber<double>("1,5"), CBadConversion);
    EXPECT_EQ(readNumber<int16_t>("-12"), -12);
    EXPECT_THROW(readNumber<int16_t>("40000"), CBadConversion);
    EXPECT_EQ(readNumber<uint32_t>("FFFFFFF", std::hex), 0xFFFFFFFu);

    double kept = 7.0;
    EXPECT_FALSE(tryReadNumber("abc", kept));
    EXPECT_DOUBLE_EQ(kept, 7.0);
}
