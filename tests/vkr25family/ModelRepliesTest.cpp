// What each model of the family does on its own: the Vkr25 reads a reply too short
// for its positions as far as it goes; the Vkr25Xt takes such a reply as an unexpected
// line and learns alarms 2 and 3 from the replies to FA and FB (asked for at the end
// of every dump after the first).

#include "FamilyRig.h"

#include <gtest/gtest.h>

using namespace Vkr25Family;
using NorvEngineering::SensorLib::CVkr25;
using NorvEngineering::SensorLib::CVkr25Xt;
using XtRig = Rig<Vkr25XtTraits>;
using Traits = Vkr25XtTraits;

TEST(Vkr25ShortReplies, ShortParameterRepliesNeverReadPastTheirEnd) {
    const std::tuple<CVkr25::ELaserMode, const char*, const char*> cases[] = {
        {CVkr25::lmSD, "\n", "SD d"}, // NUL is not 'h'
        {CVkr25::lmAS, "A\n", "AS ID"},
        {CVkr25::lmAS, "\n", "AS ID"},
        {CVkr25::lmRM, "RM\n", "RM '\n'"},
    };
    for (const auto& [head, reply, changed] : cases) {
        Rig<Vkr25Traits> rig;
        rig.run({head, CVkr25::lmDM}, 'h');
        rig.feed(reply);
        EXPECT_EQ(rig.state(), "DM after ESC, queue DM, wrote <DM><\r>") << reply;
        EXPECT_EQ(rig.changes(), changed) << reply;
    }
}

TEST(Vkr25XtShortReplies, RepliesTooShortForTheirPositionsAreUnexpectedLines) {
    const std::pair<CVkr25Xt::ELaserMode, const char*> cases[] = {
        {CVkr25Xt::lmSA, "\n"},  {CVkr25Xt::lmSA, "SA\n"}, {CVkr25Xt::lmSD, "S\n"}, {CVkr25Xt::lmSD, "\n"},
        {CVkr25Xt::lmRM, "R\n"}, {CVkr25Xt::lmTD, "TD\n"}, {CVkr25Xt::lmTM, "\n"},  {CVkr25Xt::lmAS, "AS\n"},
        {CVkr25Xt::lmSF, "\n"},  {CVkr25Xt::lmOF, "O\n"},  {CVkr25Xt::lmFA, "\n"},  {CVkr25Xt::lmFB, "FB\n"},
        {CVkr25Xt::lmTP, "+\n"},
    };
    for (const auto& [head, reply] : cases) {
        XtRig rig;
        rig.run({head}, 'h');
        rig.feed(reply);
        const std::string name = rig.name(head);
        EXPECT_EQ(rig.snapshot(), name + " after none, queue " + name +
                                      ", wrote  | distance  0 | temperature  0 | errors | changed  | trace " +
                                      reply);
    }
}

TEST(Vkr25XtAlarmReplies, EchoesAreStoredAndFinishTheirCommandUnreadableOnesWait) {
    XtRig rig;
    rig.makeActive();
    rig.expectReplyEndsItsCommand(CVkr25Xt::lmFA, "FA3.25\r\n", "");
    rig.expectReplyEndsItsCommand(CVkr25Xt::lmFB, "FB-1\r\n", "");
    rig.expectReplyEndsItsCommand(CVkr25Xt::lmAS, "ASfbxyz\r\n", "");
    EXPECT_EQ(rig.values().substr(rig.values().find(" AS ")), " AS FB OF 0 '' FA 3.25 '3.25' FB -1 '-1'");
    rig.driver.setMode(CVkr25Xt::lmFA);
    rig.forget();
    rig.feed("FA1,5\r\n"); // the text is kept, the number is not
    EXPECT_EQ(rig.snapshot(),
              "FA after DM, queue FA, wrote  | distance  0 | temperature  0 | errors | changed FA "
              "3.25 '1,5' | trace FA1,5\r\n");
    rig.feed("FA1.5\r\n");
    EXPECT_EQ(rig.state(), "ESC after FA, queue, wrote ");
    EXPECT_EQ(rig.changes(), "FA 1.5 '1.5'");
}

// The first dump asks for nothing (as the family's tests show); later ones ask for FA
// and FB behind what waits.
TEST(Vkr25XtAlarmReplies, LaterDumpsAskForFaThenFbBehindWhatWaitsAndStoreTheirReplies) {
    XtRig rig;
    rig.start();
    rig.request("esc pr tp");
    rig.forget();
    rig.feed(Traits::kDump);
    EXPECT_EQ(rig.sink.sensorReady, 0);
    EXPECT_EQ(rig.state(), "TP after ESC, queue TP FA FB, wrote <TP><\r>");
    rig.forget();
    rig.feed("+21\r\nFA3.5\r\nFB4.5\r\n");
    EXPECT_EQ(rig.snapshot(),
              "ESC after FB, queue, wrote <FA><\r><FB><\r> | distance  0 | temperature 21 21 | "
              "errors | changed FA 3.5 '3.5', FB 4.5 '4.5' | trace ");
}

// Read literally, the refusal would be reported to the owner after every dump, or
// leave the queue stuck behind FA.
TEST(Vkr25XtAlarmReplies, ErrorCodeToFaOrFbEndsTheCommandQuietly) {
    // A sensor without alarms 2 and 3 refuses both after every dump.
    XtRig rig;
    rig.start();
    rig.driver.setMode(CVkr25Xt::lmEscaped);
    rig.driver.setMode(CVkr25Xt::lmPA);
    rig.feed(Traits::kDump);
    rig.config().setStrAlarm2("1");
    rig.forget();
    rig.feed("E62\r\n");
    EXPECT_EQ(rig.state(), "FB after ESC, queue FB, wrote <FB><\r>");
    rig.feed("E15\r\n");
    EXPECT_EQ(rig.snapshot(),
              "ESC after FB, queue, wrote <FB><\r> | distance  0 | temperature  0 | errors | changed  "
              "| trace E62\r\nE15\r\n");
    EXPECT_EQ(rig.sink.calls, (Writes{"mode", "mode", "update", "mode", "update"}));

    // Later requests are not stuck behind them.
    rig.driver.setMode(CVkr25Xt::lmTP);
    rig.feed("+20\r\n");
    EXPECT_EQ(rig.driver.getTemperature(), 20.0);
}
