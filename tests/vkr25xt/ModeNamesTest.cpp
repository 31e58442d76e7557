// The Vkr25Xt's table of auto-start names: the Vkr25's and FA and FB.

#include "SensorLib.h"

#include <gtest/gtest.h>

using namespace NorvEngineering::SensorLib;

TEST(Vkr25XtModeNames, ThirtyOneNamesWithFaAndFbButNotTm) {
    EXPECT_EQ(vkr25XtModeNameCount(), 31U);
    EXPECT_EQ(CVkr25Xt::getModeByName("fa"), CVkr25Xt::lmFA);
    EXPECT_EQ(CVkr25Xt::getModeByName("fb"), CVkr25Xt::lmFB);
    EXPECT_EQ(CVkr25Xt::getModeByName("tm"), CVkr25Xt::lmID);
    initVkr25XtModeNames();
    EXPECT_EQ(vkr25XtModeNameCount(), 31U);
}
