#include "Vkr25XtTestRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace NorvEngineering::SensorLib;
using Vkr25XtTest::Rig;
using Mode = CVkr25Xt::ELaserMode;
using Record = CVkr25Xt::CVkr25XtQueuedMode;
using Writes = std::vector<std::string>;

namespace {
Mode mode(int value) {
    return static_cast<Mode>(value);
}
} // namespace

TEST(Vkr25XtCommandSet, EveryModeHasItsWireTextWithFaAndFbBeforeEscape) {
    const char* const texts[] = {"ID", "DT", "DS", "DW", "DX", "DF", "DM", "TP", "SA", "SD",   "ST",
                                 "SF", "SE", "AC", "AH", "AW", "RB", "RE", "RM", "TD", "TM",   "BR",
                                 "AS", "OF", "SO", "LO", "LF", "PA", "PR", "FA", "FB", "\x1B", ""};
    for (int value = 0; value <= 32; ++value) {
        EXPECT_EQ(CVkr25Xt::getModeText(mode(value)), texts[value]) << value;
        const Record bare(mode(value));
        EXPECT_EQ(bare.getId(), mode(value));
        EXPECT_EQ(bare.getText(), texts[value]) << value;
        EXPECT_TRUE(bare.getSuffix().empty());
    }
    EXPECT_EQ(CVkr25Xt::lmEscaped, 31);
    EXPECT_EQ(CVkr25Xt::lmNone, 32);
    for (const int beyond : {33, 200}) {
        EXPECT_TRUE(Record(mode(beyond), "5").getText().empty());
        EXPECT_EQ(Record(mode(beyond)).getId(), mode(beyond));
    }
}

TEST(Vkr25XtCommandSet, ArgumentsAreIgnoredAppendedRawOrWithDecimalPoints) {
    const std::string argument = "1,2,3";
    const Mode raw[] = {CVkr25Xt::lmSA, CVkr25Xt::lmSD, CVkr25Xt::lmST, CVkr25Xt::lmSE, CVkr25Xt::lmTD,
                        CVkr25Xt::lmTM, CVkr25Xt::lmBR, CVkr25Xt::lmAS, CVkr25Xt::lmSO};
    const Mode decimal[] = {CVkr25Xt::lmSF, CVkr25Xt::lmAC, CVkr25Xt::lmAH, CVkr25Xt::lmAW, CVkr25Xt::lmRB,
                            CVkr25Xt::lmRE, CVkr25Xt::lmRM, CVkr25Xt::lmOF, CVkr25Xt::lmFA, CVkr25Xt::lmFB};
    for (const Mode m : raw)
        EXPECT_EQ(Record(m, argument).getText(), CVkr25Xt::getModeText(m) + "1,2,3") << int(m);
    for (const Mode m : decimal)
        EXPECT_EQ(Record(m, argument).getText(), CVkr25Xt::getModeText(m) + "1.2.3") << int(m);
    for (const int none : {0, 1, 2, 3, 4, 5, 6, 7, 25, 26, 27, 28, 31, 32})
        EXPECT_EQ(Record(mode(none), "x").getText(), CVkr25Xt::getModeText(mode(none))) << none;
    EXPECT_EQ(Record(CVkr25Xt::lmSA, "").getText(), "SA");
    EXPECT_EQ(Record(CVkr25Xt::lmFA, "-1,25").getText(), "FA-1.25");

    const Record original(CVkr25Xt::lmFB, "2,5");
    const Record copy(original); // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.getId(), CVkr25Xt::lmFB);
    EXPECT_EQ(copy.getText(), "FB2.5");
    EXPECT_EQ(copy.getSuffix(), original.getSuffix());
}

TEST(Vkr25XtCommandSet, WireFormIsTextThenCarriageReturnButEscapeAlone) {
    struct Case {
        int mode;
        const char* argument;
        Writes writes;
    };
    const Case cases[] = {
        {11, "1,0936", {"SF1.0936", "\r"}},
        {8, "5", {"SA5", "\r"}},
        {8, "1,5", {"SA1,5", "\r"}},
        {13, "", {"AC", "\r"}},
        {0, "x", {"ID", "\r"}},
        {29, "0,75", {"FA0.75", "\r"}},
        {30, "", {"FB", "\r"}},
        {31, "x", {"\x1B"}},
        {32, "", {"\r"}},
        {77, "5", {"\r"}},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.driver.sendQueuedMode(Record(mode(c.mode), c.argument));
        EXPECT_EQ(rig.iface.writes, c.writes) << c.mode;
        EXPECT_EQ(rig.driver.getCurrentMode(), mode(c.mode));
    }
}

TEST(Vkr25XtCommandSet, NameTableHasThirtyOneNamesWithFaAndFb) {
    EXPECT_EQ(vkr25XtModeNameCount(), 31U);
    for (int value = 0; value <= 30; ++value) {
        if (value == CVkr25Xt::lmTM)
            continue;
        std::string name = CVkr25Xt::getModeText(mode(value));
        for (char& c : name)
            c = static_cast<char>(c - 'A' + 'a');
        EXPECT_EQ(CVkr25Xt::getModeByName(name), mode(value)) << name;
    }
    EXPECT_EQ(CVkr25Xt::getModeByName("fa"), CVkr25Xt::lmFA);
    EXPECT_EQ(CVkr25Xt::getModeByName("fb"), CVkr25Xt::lmFB);
    EXPECT_EQ(CVkr25Xt::getModeByName("\x1B"), CVkr25Xt::lmEscaped);
    for (const char* unknown : {"tm", "DT", "", "FA", "fa ", "zz"})
        EXPECT_EQ(CVkr25Xt::getModeByName(unknown), CVkr25Xt::lmID) << unknown;
    initVkr25XtModeNames();
    EXPECT_EQ(vkr25XtModeNameCount(), 31U);
    // The Vkr25's table is a separate one.
    EXPECT_EQ(CVkr25::getModeByName("fa"), CVkr25::lmID);
}
