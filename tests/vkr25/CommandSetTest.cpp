#include "Vkr25TestRig.h"

#include <gtest/gtest.h>

using namespace NorvEngineering::SensorLib;
using Mode = CVkr25::ELaserMode;
using Record = CVkr25::CVkr25QueuedMode;

namespace {
Mode mode(int value) {
    return static_cast<Mode>(value);
}
} // namespace

TEST(Vkr25CommandSet, EveryModeHasItsWireText) {
    const char* const texts[] = {"ID", "DT", "DS", "DW", "DX", "DF", "DM", "TP",   "SA", "SD", "ST",
                                 "SF", "SE", "AC", "AH", "AW", "RB", "RE", "RM",   "TD", "TM", "BR",
                                 "AS", "OF", "SO", "LO", "LF", "PA", "PR", "\x1B", ""};
    for (int value = 0; value <= 30; ++value) {
        EXPECT_EQ(CVkr25::getModeText(mode(value)), texts[value]) << value;
        const Record record(mode(value));
        EXPECT_EQ(record.getId(), mode(value));
        EXPECT_EQ(record.getText(), texts[value]) << value;
        EXPECT_TRUE(record.getSuffix().empty());
    }
}

TEST(Vkr25CommandSet, ModeAboveTheTableHasNoTextButKeepsItsMode) {
    const Record bare(mode(31));
    const Record withArgument(mode(200), "5");
    EXPECT_EQ(bare.getId(), mode(31));
    EXPECT_TRUE(bare.getText().empty());
    EXPECT_EQ(withArgument.getId(), mode(200));
    EXPECT_TRUE(withArgument.getText().empty());
    EXPECT_TRUE(CVkr25::getModeText(mode(31)).empty());
}

TEST(Vkr25CommandSet, ArgumentsAreAppendedRawOrWithDecimalPoints) {
    EXPECT_EQ(Record(CVkr25::lmSF, "1,5").getText(), "SF1.5");
    EXPECT_EQ(Record(CVkr25::lmSA, "1,5").getText(), "SA1,5");
    EXPECT_EQ(Record(CVkr25::lmRM, "2 0,5 3").getText(), "RM2 0.5 3");
    EXPECT_EQ(Record(CVkr25::lmOF, "-1,2,3").getText(), "OF-1.2.3");
    EXPECT_EQ(Record(CVkr25::lmAS, "dt").getText(), "ASdt");
    EXPECT_EQ(Record(CVkr25::lmTD, "10 1").getText(), "TD10 1");
    EXPECT_EQ(Record(CVkr25::lmSA, "").getText(), "SA");
    EXPECT_EQ(Record(CVkr25::lmAC).getText(), "AC");
    // Commands without an argument ignore it.
    EXPECT_EQ(Record(CVkr25::lmDT, "123").getText(), "DT");
    EXPECT_EQ(Record(CVkr25::lmEscaped, "x").getText(), "\x1B");
    EXPECT_EQ(Record(CVkr25::lmNone, "x").getText(), "");
    EXPECT_EQ(Record(CVkr25::lmPA, "1,2").getText(), "PA");
}

TEST(Vkr25CommandSet, EveryParameterCommandTakesItsArgumentAsDocumented) {
    const std::string argument = "1,2";
    const Mode raw[] = {CVkr25::lmSA, CVkr25::lmSD, CVkr25::lmST, CVkr25::lmSE, CVkr25::lmTD,
                        CVkr25::lmTM, CVkr25::lmBR, CVkr25::lmAS, CVkr25::lmSO};
    const Mode decimal[] = {CVkr25::lmSF, CVkr25::lmAC, CVkr25::lmAH, CVkr25::lmAW,
                            CVkr25::lmRB, CVkr25::lmRE, CVkr25::lmRM, CVkr25::lmOF};
    for (const Mode m : raw)
        EXPECT_EQ(Record(m, argument).getText(), CVkr25::getModeText(m) + "1,2") << int(m);
    for (const Mode m : decimal)
        EXPECT_EQ(Record(m, argument).getText(), CVkr25::getModeText(m) + "1.2") << int(m);
}

TEST(Vkr25CommandSet, CopiedRecordIsEqual) {
    const Record original(CVkr25::lmSF, "2,5");
    const Record copy(original); // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.getId(), original.getId());
    EXPECT_EQ(copy.getText(), original.getText());
    EXPECT_EQ(copy.getSuffix(), original.getSuffix());
}

TEST(Vkr25CommandSet, ModeNameTableHasTwentyNineNamesAndNoTm) {
    EXPECT_EQ(vkr25ModeNameCount(), 29U);
    EXPECT_EQ(CVkr25::getModeByName("dt"), CVkr25::lmDT);
    EXPECT_EQ(CVkr25::getModeByName("br"), CVkr25::lmBR);
    EXPECT_EQ(CVkr25::getModeByName("pr"), CVkr25::lmPR);
    EXPECT_EQ(CVkr25::getModeByName("td"), CVkr25::lmTD);
    EXPECT_EQ(CVkr25::getModeByName("\x1B"), CVkr25::lmEscaped);
    for (const char* unknown : {"tm", "DT", "", "d", "dtx", "zz"})
        EXPECT_EQ(CVkr25::getModeByName(unknown), CVkr25::lmID) << unknown;
    // Lookups never add names.
    EXPECT_EQ(vkr25ModeNameCount(), 29U);
    initVkr25ModeNames();
    EXPECT_EQ(vkr25ModeNameCount(), 29U);
}

TEST(Vkr25CommandSet, EveryLowerCaseMnemonicButTmNamesItsMode) {
    for (int value = 0; value <= 28; ++value) {
        std::string name = CVkr25::getModeText(mode(value));
        for (char& c : name)
            c = static_cast<char>(c - 'A' + 'a');
        const Mode expected = value == CVkr25::lmTM ? CVkr25::lmID : mode(value);
        EXPECT_EQ(CVkr25::getModeByName(name), expected) << name;
    }
}
