#include "NumberConversion.h"
#include "SensorLib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <locale>
#include <sstream>

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

TEST(StringTokenizer, StripTextOfSeveralCharactersGoesWholeWithADelimiterOfSeveral) {
    StringTokenizer tokens("<>a<>b<>::::c<>", "::");
    EXPECT_EQ(tokens.nextTokenStripped("<>"), "ab");
    EXPECT_EQ(tokens.nextTokenStripped("<>"), "c");
    EXPECT_EQ(tokens.nextTokenStripped("<>"), "");
    // The search goes on where the erased text began: what the erasure joins is kept.
    EXPECT_EQ(StringTokenizer("aabb", ",").nextTokenStripped("ab"), "ab");
    EXPECT_EQ(StringTokenizer("x<><>y<", ",").nextTokenStripped("<>"), "xy<");
}

TEST(ReplaceAll, ReplacesEveryOccurrenceRestartingFromTheStartUnlessDegenerate) {
    EXPECT_EQ(replaceAll("1,5,7", ",", "."), "1.5.7");
    EXPECT_EQ(replaceAll("1.5", ",", "."), "1.5");
    EXPECT_EQ(replaceAll("aab", "ab", "b"), "b");
    EXPECT_EQ(replaceAll("", ",", "."), "");
    EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(replaceAll("a,b", ",", ",,"), "a,b");
}

namespace {
// The reader against stream extraction itself: the same success, the same bits,
// and the target untouched on failure.
template <typename T>
void expectSameAsStream(const std::string& text, std::ios_base& (*base)(std::ios_base&),
                        const char* baseName) {
    T expected;
    std::memset(&expected, 0x5A, sizeof expected);
    T actual = expected;
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    T value{};
    char rest = 0;
    const bool expectedRead = (stream >> base >> value) && !(stream >> rest);
    if (expectedRead)
        expected = value;
    EXPECT_EQ(tryReadNumber(text, actual, base), expectedRead) << '"' << text << "\" " << baseName;
    EXPECT_EQ(std::memcmp(&expected, &actual, sizeof(T)), 0) << '"' << text << "\" " << baseName;
}
} // namespace

// Where a reader of its own goes wrong most easily: signs, prefixes, exponents
// without digits, the edges of each type's range, rounding of long mantissas,
// overflow and underflow, and what follows the number. One text between bars.
const std::string kTrickyNumbers =
    "001.234| -1.5e3 \r\n|+5|-0|| |1.|.5|.|-|1e|1e+|1E-5x|1e5.3|1.2.3|inf|nan|1,5|12 x|0x1F|0X|00x1|0777|"
    "089|ff|-FFFF|65535|65536|65540|-65535|-32769|2147483648|-2147483649|9223372036854775808|"
    "-9223372036854775808|18446744073709551616|18446744073709551620|9007199254740993|9007199254740993e-3|"
    "1e22|1e23|16777217|16777216e10|3.4028235e38|3.40282357e38|1.8e308|1e-400|-1e-400|4.9e-324|1e-45|"
    "0e999999999|123456789012345678901234567890|.000000000000000000000000000000000001e35|"
    // Every blank a stream skips, before and after.
    "\v7|\t8\f|\f9\v|\r\n\v\t -6\v\r|"
    // More digits than the type holds exactly, then scaled: rounded once, not twice.
    "9007199254740993e1|9007199254740995e-1|16777217e1|16777219e-1";

TEST(NumberConversion, ReadsExactlyAsStreamExtraction) {
    using Base = std::ios_base& (*)(std::ios_base&);
    std::istringstream texts(kTrickyNumbers);
    for (std::string text; std::getline(texts, text, '|');) {
        for (const auto& [base, name] :
             {std::pair<Base, const char*>{std::dec, "dec"}, {std::hex, "hex"}, {std::oct, "oct"}}) {
            expectSameAsStream<short>(text, base, name);
            expectSameAsStream<unsigned short>(text, base, name);
            expectSameAsStream<int>(text, base, name);
            expectSameAsStream<unsigned>(text, base, name);
            expectSameAsStream<long>(text, base, name);
            expectSameAsStream<unsigned long long>(text, base, name);
            expectSameAsStream<float>(text, base, name);
            expectSameAsStream<double>(text, base, name);
        }
    }
}
