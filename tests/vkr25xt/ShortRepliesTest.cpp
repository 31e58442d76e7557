// The Vkr25Xt takes a reply too short for the positions its command reads as an
// unexpected line: traced, nothing stored, the command waits for its real reply.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25Xt;
using Vkr25Family::Writes;
using Rig = Vkr25Family::Rig<Vkr25Family::Vkr25XtTraits>;

TEST(Vkr25XtShortReplies, RepliesTooShortForTheirPositionsAreUnexpectedLines) {
    const std::pair<CVkr25Xt::ELaserMode, const char*> cases[] = {
        {CVkr25Xt::lmSA, "\n"},  {CVkr25Xt::lmSA, "SA\n"}, {CVkr25Xt::lmSD, "S\n"}, {CVkr25Xt::lmSD, "\n"},
        {CVkr25Xt::lmRM, "R\n"}, {CVkr25Xt::lmTD, "TD\n"}, {CVkr25Xt::lmTM, "\n"},  {CVkr25Xt::lmAS, "AS\n"},
        {CVkr25Xt::lmSF, "\n"},  {CVkr25Xt::lmOF, "O\n"},  {CVkr25Xt::lmFA, "\n"},  {CVkr25Xt::lmFB, "FB\n"},
        {CVkr25Xt::lmTP, "+\n"},
    };
    for (const auto& [head, reply] : cases) {
        Rig rig;
        rig.start(); // a value in every field
        rig.config().setDisplayFormat('h');
        rig.config().setStrAlarm2("1");
        const std::string before = rig.values();
        rig.driver.setMode(CVkr25Xt::lmEscaped);
        rig.startWith(head);
        rig.feed(reply);
        EXPECT_EQ(rig.sink.updates, (Writes{reply})) << int(head);
        EXPECT_EQ(rig.state(), rig.name(head) + " after ESC, queue " + rig.name(head) + ", wrote ")
            << int(head);
        EXPECT_EQ(rig.values(), before) << int(head);
        EXPECT_TRUE(rig.driver.getStrTemperature().empty()) << int(head);
    }
}
