// The Vkr25Xt takes a reply too short for the positions its command reads as an
// unexpected line: traced, nothing stored, the command waits for its real reply.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25Xt;
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
        rig.run(head, 'h');
        rig.feed(reply);
        const std::string name = rig.name(head);
        EXPECT_EQ(rig.snapshot(), name + " after none, queue " + name +
                                      ", wrote  | distance  0 | temperature  0 | errors | changed  | trace " +
                                      reply);
    }
}
