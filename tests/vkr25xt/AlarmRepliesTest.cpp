// How the Vkr25Xt learns alarms 2 and 3: not from the dump, but from the replies to
// FA and FB, which it asks for at the end of every dump after the first.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25Xt;
using NorvEngineering::Util::String::CBadConversion;
using Vkr25Family::Writes;
using Traits = Vkr25Family::Vkr25XtTraits;
using Rig = Vkr25Family::Rig<Traits>;

TEST(Vkr25XtAlarmReplies, AlarmsKeepTextAndNumber) {
    CVkr25Xt::CVkr25XtConfig config;
    config.setStrAlarm2(" 3.5 \r\n");
    config.setStrAlarm3("-4.25");
    EXPECT_EQ(config.getStrAlarm2(), " 3.5 \r\n");
    EXPECT_THROW(config.setStrAlarm2("1,5"), CBadConversion);
    EXPECT_THROW(config.setStrAlarm3(""), CBadConversion);
    EXPECT_FLOAT_EQ(config.getAlarm2(), 3.5F);
    EXPECT_FLOAT_EQ(config.getAlarm3(), -4.25F);
    EXPECT_EQ(config.getStrAlarm2(), "1,5");
}

TEST(Vkr25XtAlarmReplies, EchoesAreStoredAndFinishTheirCommandUnreadableOnesWait) {
    Rig rig;
    rig.makeActive();
    rig.expectReplyEndsItsCommand(CVkr25Xt::lmFA, "FA3.25\r\n", "");
    rig.expectReplyEndsItsCommand(CVkr25Xt::lmFB, "FB-1\r\n", "");
    rig.expectReplyEndsItsCommand(CVkr25Xt::lmAS, "ASfbxyz\r\n", "");
    EXPECT_EQ(rig.values().substr(rig.values().find(" AS ")), " AS FB OF 0 '' FA 3.25 '3.25' FB -1 '-1'");
    rig.startWith(CVkr25Xt::lmFA);
    rig.feed("FA1,5\r\n");
    EXPECT_EQ(rig.state(), "FA after DM, queue FA, wrote ");
    EXPECT_EQ(rig.config().getStrAlarm2(), "1,5");
    EXPECT_FLOAT_EQ(rig.config().getAlarm2(), 3.25F);
    EXPECT_EQ(rig.sink.updates, (Writes{"FA1,5\r\n"}));
    rig.feed("FA1.5\r\n");
    EXPECT_FLOAT_EQ(rig.config().getAlarm2(), 1.5F);
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

TEST(Vkr25XtAlarmReplies, FirstDumpAsksForNothingLaterDumpsAskForFaThenFbAndStoreTheirReplies) {
    Rig rig;
    rig.beginDump();
    rig.feed(Traits::kDump);
    EXPECT_TRUE(rig.config().getStrAlarm2().empty());
    EXPECT_TRUE(rig.config().getStrAlarm3().empty());
    EXPECT_EQ(rig.state(), "DT after ESC, queue DT, wrote <DT><\r>");
    rig.driver.setMode(CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmPR);
    rig.forget();
    rig.feed(Traits::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 0);
    EXPECT_EQ(rig.state(), "FA after ESC, queue FA FB, wrote <FA><\r>");
    rig.feed("FA3.5\r\n");
    rig.feed("FB4.5\r\n");
    EXPECT_EQ(rig.state(), "ESC after FB, queue, wrote <FA><\r><FB><\r>");
    EXPECT_FLOAT_EQ(rig.config().getAlarm2(), 3.5F);
    EXPECT_FLOAT_EQ(rig.config().getAlarm3(), 4.5F);
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
}

TEST(Vkr25XtAlarmReplies, RequestsWaitingBehindTheDumpGoFirst) {
    Rig rig;
    rig.start();
    rig.driver.setMode(CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmPA);
    rig.driver.setMode(CVkr25Xt::lmTP);
    rig.forget();
    rig.feed(Traits::kDump + "+21\r\nFA1\r\nFB2\r\n");
    EXPECT_EQ(rig.iface.written(), "TP\rFA\rFB\r");
    EXPECT_EQ(rig.driver.getTemperature(), 21.0);
    EXPECT_FLOAT_EQ(rig.config().getAlarm3(), 2.0F);
    EXPECT_TRUE(rig.driver.getQueue().empty());
}

// Read literally, the refusal would be reported to the owner after every dump, or
// leave the queue stuck behind FA.
TEST(Vkr25XtAlarmReplies, ErrorCodeToFaOrFbEndsTheCommandQuietly) {
    // A sensor without alarms 2 and 3 refuses both after every dump.
    Rig rig;
    rig.start();
    rig.driver.setMode(CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmPA);
    rig.feed(Traits::kDump);
    rig.config().setStrAlarm2("1");
    rig.forget();
    rig.feed("E62\r\n");
    EXPECT_EQ(rig.state(), "FB after ESC, queue FB, wrote <FB><\r>");
    rig.feed("E15\r\n");
    EXPECT_EQ(rig.state(), "ESC after FB, queue, wrote <FB><\r>");
    EXPECT_TRUE(rig.sink.sensorErrors.empty());
    EXPECT_EQ(rig.sink.updates, (Writes{"E62\r\n", "E15\r\n"}));
    EXPECT_EQ(rig.sink.calls, (Writes{"mode", "mode", "update", "mode", "update"}));
    EXPECT_EQ(rig.config().getStrAlarm2(), "1");
    EXPECT_TRUE(rig.config().getStrAlarm3().empty());

    // Later requests are not stuck behind them.
    rig.driver.setMode(CVkr25Xt::lmTP);
    rig.feed("+20\r\n");
    EXPECT_EQ(rig.driver.getTemperature(), 20.0);
}
