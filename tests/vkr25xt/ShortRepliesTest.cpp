// The Vkr25Xt takes a reply too short for the positions its command reads as an
// unexpected line: traced, nothing stored, the command waits for its real reply.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25Xt;
using Vkr25Family::Writes;
using Rig = Vkr25Family::Rig<Vkr25Family::Vkr25XtTraits>;

TEST(Vkr25XtShortReplies, RepliesTooShortForTheirPositionsAreUnexpectedLines) {
    struct Case {
        CVkr25Xt::ELaserMode head;
        const char* reply;
    };
    const Case cases[] = {
        {CVkr25Xt::lmSA, "\n"},  {CVkr25Xt::lmSA, "SA\n"}, {CVkr25Xt::lmSD, "S\n"}, {CVkr25Xt::lmSD, "\n"},
        {CVkr25Xt::lmRM, "R\n"}, {CVkr25Xt::lmTD, "TD\n"}, {CVkr25Xt::lmTM, "\n"},  {CVkr25Xt::lmAS, "AS\n"},
        {CVkr25Xt::lmSF, "\n"},  {CVkr25Xt::lmOF, "O\n"},  {CVkr25Xt::lmFA, "\n"},  {CVkr25Xt::lmFB, "FB\n"},
        {CVkr25Xt::lmTP, "+\n"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.makeActive('h');
        rig.config().setRemoveMeasurement("1 2 3");
        rig.config().setTriggerDelay("5 1");
        rig.config().setTriggerMode("1 1");
        rig.config().setAutostartMode("dw");
        rig.startWith(c.head);
        rig.feed(c.reply);
        EXPECT_EQ(rig.sink.updates, (Writes{c.reply})) << int(c.head);
        EXPECT_EQ(rig.head(), c.head) << int(c.head);
        EXPECT_TRUE(rig.iface.writes.empty()) << int(c.head);
        EXPECT_EQ(rig.config().getDisplayFormat(), 'h') << int(c.head);
        EXPECT_EQ(rig.config().getRemoveMeasurement(), "1 2 3") << int(c.head);
        EXPECT_EQ(rig.config().getTriggerDelay(), "5 1") << int(c.head);
        EXPECT_EQ(rig.config().getTriggerMode(), "1 1") << int(c.head);
        EXPECT_EQ(rig.config().getAutostartMode(), CVkr25Xt::lmDW) << int(c.head);
        EXPECT_TRUE(rig.config().getStrAlarm2().empty()) << int(c.head);
    }
}
