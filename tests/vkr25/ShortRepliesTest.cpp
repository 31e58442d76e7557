// The Vkr25 reads a reply too short for the positions its command reads as far as
// it goes: a text beyond the end is empty, a character there NUL.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25;
using Rig = Vkr25Family::Rig<Vkr25Family::Vkr25Traits>;

TEST(Vkr25ShortReplies, ShortParameterRepliesNeverReadPastTheirEnd) {
    Rig rig;
    rig.makeActive();
    rig.config().setDisplayFormat('h');
    rig.startWith(CVkr25::lmSD);
    rig.feed("\n");
    EXPECT_EQ(rig.config().getDisplayFormat(), 'd'); // NUL is not 'h'
    rig.startWith(CVkr25::lmAS);
    rig.feed("A\n");
    EXPECT_EQ(rig.config().getAutostartMode(), CVkr25::lmID);
    rig.startWith(CVkr25::lmRM);
    rig.feed("RM\n");
    EXPECT_EQ(rig.config().getRemoveMeasurement(), "\n");
    EXPECT_TRUE(rig.driver.getQueue().empty());
}
