// The commands every driver of the family shares: their wire texts and arguments.

#include "FamilyRig.h"

#include <gtest/gtest.h>

using namespace Vkr25Family;

template <class Traits>
class Vkr25FamilyCommandSet : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyCommandSet, FamilyDrivers, FamilyDriverNames);

TYPED_TEST(Vkr25FamilyCommandSet, EveryModeHasItsWireTextEscapeAndNoneComeLastAndNothingLiesBeyond) {
    using D = typename TypeParam::Driver;
    using Record = typename TypeParam::Record;
    EXPECT_EQ(D::lmEscaped, TypeParam::kEscapeCode);
    EXPECT_EQ(D::lmNone, TypeParam::kNoneCode);
    EXPECT_EQ(D::lmPR, 28);
    const char* const texts[] = {"ID", "DT", "DS", "DW", "DX", "DF", "DM", "TP", "SA", "SD",
                                 "ST", "SF", "SE", "AC", "AH", "AW", "RB", "RE", "RM", "TD",
                                 "TM", "BR", "AS", "OF", "SO", "LO", "LF", "PA", "PR"};
    std::vector<std::pair<int, std::string>> expected;
    for (int value = 0; value <= D::lmPR; ++value)
        expected.emplace_back(value, texts[value]);
    for (const std::string& text : TypeParam::kModelCommands)
        expected.emplace_back(static_cast<int>(expected.size()), text);
    ASSERT_EQ(expected.size(), std::size_t(TypeParam::kEscapeCode));
    expected.insert(expected.end(),
                    {{D::lmEscaped, "\x1B"}, {D::lmNone, ""}, {D::lmNone + 1, ""}, {200, ""}});
    for (const auto& [value, text] : expected) {
        const auto mode = modeOf<TypeParam>(value);
        EXPECT_EQ(D::getModeText(mode), text) << value;
        for (const Record& record : {Record(mode), Record(mode, "")}) {
            EXPECT_EQ(record.getId(), mode);
            EXPECT_EQ(record.getText(), text) << value;
            EXPECT_TRUE(record.getSuffix().empty());
        }
    }
}

TYPED_TEST(Vkr25FamilyCommandSet, ArgumentsAreIgnoredAppendedRawOrWithDecimalPoints) {
    using D = typename TypeParam::Driver;
    using Record = typename TypeParam::Record;
    const auto none = {D::lmID, D::lmDT, D::lmDS,      D::lmDW,   D::lmDX,
                       D::lmDF, D::lmDM, D::lmTP,      D::lmLO,   D::lmLF,
                       D::lmPA, D::lmPR, D::lmEscaped, D::lmNone, modeOf<TypeParam>(40)};
    const auto raw = {D::lmSA, D::lmSD, D::lmST, D::lmSE, D::lmTD, D::lmTM, D::lmBR, D::lmAS, D::lmSO};
    std::vector decimal = {D::lmSF, D::lmAC, D::lmAH, D::lmAW, D::lmRB, D::lmRE, D::lmRM, D::lmOF};
    for (int value = D::lmPR + 1; value < TypeParam::kEscapeCode; ++value)
        decimal.push_back(modeOf<TypeParam>(value)); // the model's own
    for (const auto& [argument, withPoints] : {std::pair{"1,2", "1.2"}, std::pair{"-1,2,3", "-1.2.3"},
                                               std::pair{"2 0,5 3", "2 0.5 3"}, std::pair{"", ""}}) {
        for (const auto m : none)
            EXPECT_EQ(Record(m, argument).getText(), D::getModeText(m)) << int(m);
        for (const auto m : raw)
            EXPECT_EQ(Record(m, argument).getText(), D::getModeText(m) + argument) << int(m);
        for (const auto m : decimal)
            EXPECT_EQ(Record(m, argument).getText(), D::getModeText(m) + withPoints) << int(m);
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
    if (TypeParam::kModelCommands.empty()) {
        EXPECT_EQ(D::getModeByName("fa"), D::lmID);
        EXPECT_EQ(D::getModeByName("fb"), D::lmID);
    }
    // One name a command but TM, and escape; neither lookups nor a second
    // initialisation add any.
    EXPECT_EQ(TypeParam::nameCount(), std::size_t(TypeParam::kEscapeCode));
    TypeParam::initNames();
    EXPECT_EQ(TypeParam::nameCount(), std::size_t(TypeParam::kEscapeCode));
}
