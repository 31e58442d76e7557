// The Vkr25 reads a reply too short for the positions its command reads as far as
// it goes: a text beyond the end is empty, a character there NUL.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25;
using Rig = Vkr25Family::Rig<Vkr25Family::Vkr25Traits>;

TEST(Vkr25ShortReplies, ShortParameterRepliesNeverReadPastTheirEnd) {
    const std::tuple<CVkr25::ELaserMode, const char*, const char*> cases[] = {
        {CVkr25::lmSD, "\n", "SD d"}, // NUL is not 'h'
        {CVkr25::lmAS, "A\n", "AS ID"},
        {CVkr25::lmAS, "\n", "AS ID"},
        {CVkr25::lmRM, "RM\n", "RM '\n'"},
    };
    for (const auto& [head, reply, changed] : cases) {
        Rig rig;
        rig.run({head, CVkr25::lmDM}, 'h');
        rig.feed(reply);
        EXPECT_EQ(rig.state(), "DM after ESC, queue DM, wrote <DM><\r>") << reply;
        EXPECT_EQ(rig.changes(), changed) << reply;
    }
}
