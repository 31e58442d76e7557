// The Vkr25's table of auto-start names: every command but TM, nothing of the larger
// models.

#include "SensorLib.h"

#include <gtest/gtest.h>

using namespace NorvEngineering::SensorLib;

TEST(Vkr25ModeNames, TwentyNineNamesWithoutTmOrTheAlarmsOfTheLargerModels) {
    const std::size_t count = vkr25ModeNameCount();
    EXPECT_EQ(count, 29U);
    for (const char* unknown : {"tm", "fa", "fb"})
        EXPECT_EQ(CVkr25::getModeByName(unknown), CVkr25::lmID) << unknown;
    // Neither lookups nor a second initialisation add names.
    initVkr25ModeNames();
    EXPECT_EQ(vkr25ModeNameCount(), count);
}
