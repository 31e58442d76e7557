// The commands every driver of the family shares: their wire texts and arguments.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <utility>

using namespace Vkr25Family;

template <class Traits>
class Vkr25FamilyCommandSet : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyCommandSet, FamilyDrivers, FamilyDriverNames);

TYPED_TEST(Vkr25FamilyCommandSet, EveryModeHasItsWireTextAndEscapeAndNoneComeLast) {
    using D = typename TypeParam::Driver;
    using Record = typename TypeParam::Record;
    EXPECT_EQ(D::lmEscaped, TypeParam::kEscapeCode);
    EXPECT_EQ(D::lmNone, TypeParam::kNoneCode);
    EXPECT_EQ(D::lmPR, 28);
    const char* const texts[] = {"ID", "DT", "DS", "DW", "DX", "DF", "DM", "TP", "SA", "SD",
                                 "ST", "SF", "SE", "AC", "AH", "AW", "RB", "RE", "RM", "TD",
                                 "TM", "BR", "AS", "OF", "SO", "LO", "LF", "PA", "PR"};
    for (int value = 0; value <= D::lmPR; ++value) {
        const auto mode = modeOf<TypeParam>(value);
        EXPECT_EQ(D::getModeText(mode), texts[value]) << value;
        const Record record(mode);
        EXPECT_EQ(record.getId(), mode);
        EXPECT_EQ(record.getText(), texts[value]) << value;
        EXPECT_TRUE(record.getSuffix().empty());
    }
    for (const auto& [mode, text] : {std::pair{D::lmEscaped, "\x1B"}, std::pair{D::lmNone, ""}}) {
        EXPECT_EQ(D::getModeText(mode), text);
        EXPECT_EQ(Record(mode).getText(), text);
        EXPECT_EQ(Record(mode).getId(), mode);
        EXPECT_TRUE(Record(mode).getSuffix().empty());
    }
}

TYPED_TEST(Vkr25FamilyCommandSet, ModeAboveTheTableHasNoTextButKeepsItsMode) {
    using Record = typename TypeParam::Record;
    for (const int beyond : {TypeParam::kNoneCode + 1, 200}) {
        const auto mode = modeOf<TypeParam>(beyond);
        const Record bare(mode);
        const Record withArgument(mode, "5");
        EXPECT_EQ(bare.getId(), mode);
        EXPECT_TRUE(bare.getText().empty());
        EXPECT_EQ(withArgument.getId(), mode);
        EXPECT_TRUE(withArgument.getText().empty());
        EXPECT_TRUE(TypeParam::Driver::getModeText(mode).empty());
    }
}

TYPED_TEST(Vkr25FamilyCommandSet, ArgumentsAreIgnoredAppendedRawOrWithDecimalPoints) {
    using D = typename TypeParam::Driver;
    using Record = typename TypeParam::Record;
    EXPECT_EQ(Record(D::lmSF, "1,5").getText(), "SF1.5");
    EXPECT_EQ(Record(D::lmSA, "1,5").getText(), "SA1,5");
    EXPECT_EQ(Record(D::lmRM, "2 0,5 3").getText(), "RM2 0.5 3");
    EXPECT_EQ(Record(D::lmOF, "-1,2,3").getText(), "OF-1.2.3");
    EXPECT_EQ(Record(D::lmAS, "dt").getText(), "ASdt");
    EXPECT_EQ(Record(D::lmTD, "10 1").getText(), "TD10 1");
    EXPECT_EQ(Record(D::lmSA, "").getText(), "SA");
    EXPECT_EQ(Record(D::lmAC).getText(), "AC");
    // Commands without an argument ignore it.
    EXPECT_EQ(Record(D::lmDT, "123").getText(), "DT");
    EXPECT_EQ(Record(D::lmEscaped, "x").getText(), "\x1B");
    EXPECT_EQ(Record(D::lmNone, "x").getText(), "");
    EXPECT_EQ(Record(D::lmPA, "1,2").getText(), "PA");
    for (const auto mode : {D::lmID, D::lmDT, D::lmDS, D::lmDW, D::lmDX, D::lmDF, D::lmDM, D::lmTP, D::lmLO,
                            D::lmLF, D::lmPA, D::lmPR, D::lmEscaped, D::lmNone})
        EXPECT_EQ(Record(mode, "x").getText(), D::getModeText(mode)) << int(mode);
}

TYPED_TEST(Vkr25FamilyCommandSet, EveryParameterCommandTakesItsArgumentAsDocumented) {
    using D = typename TypeParam::Driver;
    using Record = typename TypeParam::Record;
    const auto raw = {D::lmSA, D::lmSD, D::lmST, D::lmSE, D::lmTD, D::lmTM, D::lmBR, D::lmAS, D::lmSO};
    const auto decimal = {D::lmSF, D::lmAC, D::lmAH, D::lmAW, D::lmRB, D::lmRE, D::lmRM, D::lmOF};
    for (const auto& [argument, withPoints] : {std::pair{"1,2", "1.2"}, std::pair{"1,2,3", "1.2.3"}}) {
        for (const auto m : raw)
            EXPECT_EQ(Record(m, argument).getText(), D::getModeText(m) + argument) << int(m);
        for (const auto m : decimal)
            EXPECT_EQ(Record(m, argument).getText(), D::getModeText(m) + withPoints) << int(m);
    }
}

TYPED_TEST(Vkr25FamilyCommandSet, CopiedRecordIsEqual) {
    using Record = typename TypeParam::Record;
    const Record original(TypeParam::Driver::lmSF, "2,5");
    const Record copy(original); // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.getId(), original.getId());
    EXPECT_EQ(copy.getText(), "SF2.5");
    EXPECT_EQ(copy.getText(), original.getText());
    EXPECT_EQ(copy.getSuffix(), original.getSuffix());
}

TYPED_TEST(Vkr25FamilyCommandSet, EveryLowerCaseMnemonicButTmNamesItsMode) {
    using D = typename TypeParam::Driver;
    for (int value = 0; value <= D::lmPR; ++value) {
        std::string name = D::getModeText(modeOf<TypeParam>(value));
        for (char& c : name)
            c = static_cast<char>(c - 'A' + 'a');
        const auto expected = value == D::lmTM ? D::lmID : modeOf<TypeParam>(value);
        EXPECT_EQ(D::getModeByName(name), expected) << name;
    }
    EXPECT_EQ(D::getModeByName("\x1B"), D::lmEscaped);
    for (const char* unknown : {"tm", "DT", "", "d", "dtx", "zz", "FA", "fa "})
        EXPECT_EQ(D::getModeByName(unknown), D::lmID) << unknown;
}
