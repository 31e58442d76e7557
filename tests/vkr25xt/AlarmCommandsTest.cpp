// FA and FB (alarms 2 and 3), the commands the Vkr25Xt has beyond the Vkr25's: they
// sit before escape and none and go out like any parameter command.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25Xt;
using Vkr25Family::Writes;
using Rig = Vkr25Family::Rig<Vkr25Family::Vkr25XtTraits>;
using Record = CVkr25Xt::CVkr25XtQueuedMode;

TEST(Vkr25XtAlarmCommands, FaAndFbComeBeforeEscapeAndTakeDecimalArguments) {
    EXPECT_EQ(CVkr25Xt::lmFA, 29);
    EXPECT_EQ(CVkr25Xt::lmFB, 30);
    for (const auto mode : {CVkr25Xt::lmFA, CVkr25Xt::lmFB}) {
        const std::string text = mode == CVkr25Xt::lmFA ? "FA" : "FB";
        EXPECT_EQ(CVkr25Xt::getModeText(mode), text);
        const Record bare(mode);
        EXPECT_EQ(bare.getId(), mode);
        EXPECT_EQ(bare.getText(), text);
        EXPECT_TRUE(bare.getSuffix().empty());
        EXPECT_EQ(Record(mode, "1,2,3").getText(), text + "1.2.3");
    }
    EXPECT_EQ(Record(CVkr25Xt::lmFA, "-1,25").getText(), "FA-1.25");

    const Record original(CVkr25Xt::lmFB, "2,5");
    const Record copy(original); // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.getId(), CVkr25Xt::lmFB);
    EXPECT_EQ(copy.getText(), "FB2.5");
    EXPECT_EQ(copy.getSuffix(), original.getSuffix());
}

TEST(Vkr25XtAlarmCommands, GoOutAsTextThenCarriageReturnAndWaitTheirTurn) {
    Rig fa;
    fa.driver.sendQueuedMode(Record(CVkr25Xt::lmFA, "0,75"));
    EXPECT_EQ(fa.iface.writes, (Writes{"FA0.75", "\r"}));
    EXPECT_EQ(fa.driver.getCurrentMode(), CVkr25Xt::lmFA);
    Rig fb;
    fb.driver.sendQueuedMode(Record(CVkr25Xt::lmFB, ""));
    EXPECT_EQ(fb.iface.writes, (Writes{"FB", "\r"}));
    EXPECT_EQ(fb.driver.getCurrentMode(), CVkr25Xt::lmFB);

    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25Xt::lmDT);
    rig.driver.setMode(CVkr25Xt::lmFA, "1,5");
    rig.driver.setMode(CVkr25Xt::lmTP);
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r"}));
    EXPECT_EQ(rig.driver.getQueue().size(), 3U);
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.writes, (Writes{"DT", "\r", "FA1.5", "\r"}));
    EXPECT_EQ(rig.driver.getCurrentMode(), CVkr25Xt::lmFA);
    EXPECT_EQ(rig.driver.getPreviousMode(), CVkr25Xt::lmDT);
    rig.driver.sendNextQueuedMode();
    rig.driver.sendNextQueuedMode();
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.iface.written(), "DT\rFA1.5\rTP\r");
    EXPECT_TRUE(rig.driver.getQueue().empty());
}
