// The commands every driver of the family shares: their wire texts and arguments.

#include "FamilyRig.h"

#include <gtest/gtest.h>

using namespace Vkr25Family;

template <class Traits>
class Vkr25FamilyCommandSet : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyCommandSet, FamilyDrivers, FamilyDriverNames);

// Every mode has its wire text, escape and none come last, nothing lies beyond; an
// argument is ignored, appended raw or appended with decimal points.
TYPED_TEST(Vkr25FamilyCommandSet, WireTextsAndArguments) {
    using D = typename TypeParam::Driver;
    using Record = typename TypeParam::Record;
    EXPECT_EQ(D::lmEscaped, TypeParam::kEscapeCode);
    EXPECT_EQ(D::lmNone, TypeParam::kEscapeCode + 1);
    std::vector<std::string> texts = {"ID", "DT", "DS", "DW", "DX", "DF", "DM", "TP", "SA", "SD",
                                      "ST", "SF", "SE", "AC", "AH", "AW", "RB", "RE", "RM", "TD",
                                      "TM", "BR", "AS", "OF", "SO", "LO", "LF", "PA", "PR"};
    texts.insert(texts.end(), TypeParam::kModelCommands.begin(), TypeParam::kModelCommands.end());
    ASSERT_EQ(texts.size(), std::size_t(TypeParam::kEscapeCode));
    texts.insert(texts.end(), {"\x1B", "", "", ""});
    const std::string raw = "SA SD ST SE TD TM BR AS SO ";
    const std::string decimal = "SF AC AH AW RB RE RM OF FA FB ";
    for (std::size_t value = 0; value < texts.size(); ++value) {
        const auto mode = modeOf<TypeParam>(value < texts.size() - 1 ? int(value) : 200);
        const std::string& text = texts[value];
        EXPECT_EQ(D::getModeText(mode), text) << value;
        EXPECT_EQ(Record(mode).getText(), text) << value;
        const bool isRaw = !text.empty() && raw.find(text + ' ') != std::string::npos;
        const bool isDecimal = !text.empty() && decimal.find(text + ' ') != std::string::npos;
        for (const auto& [argument, withPoints] : {std::pair{"1,2", "1.2"}, std::pair{"-1,2,3", "-1.2.3"},
                                                   std::pair{"2 0,5 3", "2 0.5 3"}, std::pair{"", ""}}) {
            const std::string sent = text + (isRaw ? argument : isDecimal ? withPoints : "");
            EXPECT_EQ(Record(mode, argument).getText(), sent) << value << ' ' << argument;
        }
    }
}

TYPED_TEST(Vkr25FamilyCommandSet, EveryLowerCaseMnemonicButTmNamesItsMode) {
    using D = typename TypeParam::Driver;
    for (int value = 0; value < TypeParam::kEscapeCode; ++value) {
        std::string name = D::getModeText(modeOf<TypeParam>(value));
        for (char& c : name)
            c = static_cast<char>(c - 'A' + 'a');
        const auto expected = value == D::lmTM ? D::lmID : modeOf<TypeParam>(value);
        EXPECT_EQ(D::getModeByName(name), expected) << name;
    }
    EXPECT_EQ(D::getModeByName("\x1B"), D::lmEscaped);
    for (const char* unknown : {"tm", "DT", "", "d", "dtx", "zz", "FA", "fa "})
        EXPECT_EQ(D::getModeByName(unknown), D::lmID) << unknown;
    EXPECT_EQ(D::getModeByName("fa") == D::lmID, TypeParam::kModelCommands.empty());
    // One name a command but TM, and escape; neither lookups nor a second
    // initialisation add any.
    TypeParam::initNames();
    EXPECT_EQ(TypeParam::nameCount(), std::size_t(TypeParam::kEscapeCode));
}
