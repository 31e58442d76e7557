#include "NumberConversion.h"
#include "SensorLib.h"

#include <gtest/gtest.h>

using namespace NorvEngineering::Util::String;
using Tokens = std::vector<std::string>;

TEST(StringTokenizer, CollapsesRunsAndDropsEndDelimitersBeforeSplitting) {
    struct Case {
        const char *text, *delimiter, *normalised;
        Tokens tokens;
    };
    const Case cases[] = {
        {"a,,b,", ",", "a,b", {"a", "b"}},
        {",,,a,,,,b,,,", ",", "a,b", {"a", "b"}},
        {",,,", ",", "", {}},
        {",", ",", "", {}},
        {"a b  c", " ", "a b c", {"a", "b", "c"}},
        // Five colons are two whole delimiters and an odd colon; only the whole
        // delimiter that follows the first one is collapsed.
        {"::a:::::b:c::", "::", "a:::b:c", {"a", ":b:c"}},
        {"a,b", "", "", {}},
        {"", ",", "", {}},
        {"VKR25", ",", "VKR25", {"VKR25"}},
        {"1.23", ".", "1.23", {"1", "23"}},
    };
    for (const Case& c : cases) {
        StringTokenizer tokenizer(c.text, c.delimiter);
        EXPECT_EQ(tokenizer.remainder(), c.normalised) << c.text;
        EXPECT_EQ(tokenizer.countTokens(), c.tokens.size()) << c.text;
        Tokens taken;
        for (std::size_t i = 0; i < c.tokens.size(); ++i)
            taken.push_back(tokenizer.nextToken());
        EXPECT_EQ(taken, c.tokens) << c.text;
        EXPECT_EQ(tokenizer.nextToken(), "") << c.text;
        EXPECT_EQ(tokenizer.countTokens(), 0u) << c.text;
        EXPECT_EQ(tokenizer.remainder(), "") << c.text;
    }
    StringTokenizer version("1.23", ".");
    version.nextToken();
    EXPECT_EQ(version.remainder(), "23");
}

TEST(StringTokenizer, StrippedTokenLosesEveryBlank) {
    StringTokenizer tokens(" V K R 25 , 12 34 ,x", ",");
    EXPECT_EQ(tokens.nextTokenStripped(" "), "VKR25");
    EXPECT_EQ(tokens.nextTokenStripped(" "), "1234");
    EXPECT_EQ(tokens.nextTokenStripped(" "), "x");
    EXPECT_EQ(StringTokenizer("a   b", ",").nextTokenStripped(" "), "ab");
    EXPECT_EQ(StringTokenizer("a b", ",").nextTokenStripped(""), "a b");
}

TEST(ReplaceAll, ReplacesEveryOccurrenceRestartingFromTheStartUnlessDegenerate) {
    EXPECT_EQ(replaceAll("1,5,7", ",", "."), "1.5.7");
    EXPECT_EQ(replaceAll("1.5", ",", "."), "1.5");
    EXPECT_EQ(replaceAll("aab", "ab", "b"), "b");
    EXPECT_EQ(replaceAll("", ",", "."), "");
    EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(replaceAll("a,b", ",", ",,"), "a,b");
}

TEST(NumberConversion, ReadsLikeStreamExtractionAndRejectsTrailingText) {
    EXPECT_DOUBLE_EQ(readNumber<double>("1.5"), 1.5);
    EXPECT_DOUBLE_EQ(readNumber<double>(" 2"), 2.0);
    EXPECT_DOUBLE_EQ(readNumber<double>("3.25 \r\n"), 3.25);
    for (const char* bad : {"1.5x", "", "1,5"})
        EXPECT_THROW(readNumber<double>(bad), CBadConversion) << bad;
    EXPECT_EQ(readNumber<int16_t>("-12"), -12);
    EXPECT_THROW(readNumber<int16_t>("40000"), CBadConversion);
    EXPECT_EQ(readNumber<uint32_t>("FFFFFFF", std::hex), 0xFFFFFFFu);
    double kept = 7.0;
    EXPECT_FALSE(tryReadNumber("abc", kept));
    EXPECT_DOUBLE_EQ(kept, 7.0);
}
