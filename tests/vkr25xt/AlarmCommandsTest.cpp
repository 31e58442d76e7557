// FA and FB (alarms 2 and 3), the commands the Vkr25Xt has beyond the Vkr25's: they
// sit before escape and none, go out like any parameter command and name an
// auto-start mode.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25Xt;
using Rig = Vkr25Family::Rig<Vkr25Family::Vkr25XtTraits>;
using Record = CVkr25Xt::CVkr25XtQueuedMode;

TEST(Vkr25XtAlarmCommands, FaAndFbComeBeforeEscapeTakeDecimalArgumentsAndNameTheirMode) {
    EXPECT_EQ(CVkr25Xt::lmFA, 29);
    EXPECT_EQ(CVkr25Xt::lmFB, 30);
    for (const auto& [mode, text] : {std::pair{CVkr25Xt::lmFA, "FA"}, std::pair{CVkr25Xt::lmFB, "FB"}}) {
        EXPECT_EQ(CVkr25Xt::getModeText(mode), text);
        EXPECT_EQ(Record(mode).getText(), text);
        EXPECT_EQ(Record(mode).getId(), mode);
        EXPECT_EQ(Record(mode, "-1,2,3").getText(), text + std::string("-1.2.3"));
        std::string name = text;
        for (char& c : name)
            c = static_cast<char>(c - 'A' + 'a');
        EXPECT_EQ(CVkr25Xt::getModeByName(name), mode);
        CVkr25Xt::CVkr25XtConfig config;
        config.setAutostartMode(name);
        EXPECT_EQ(config.getAutostartMode(), mode);
    }
    // Thirty-one names: TM still has none, and neither lookups nor a second
    // initialisation add any.
    EXPECT_EQ(CVkr25Xt::getModeByName("tm"), CVkr25Xt::lmID);
    EXPECT_EQ(NorvEngineering::SensorLib::vkr25XtModeNameCount(), 31U);
    NorvEngineering::SensorLib::initVkr25XtModeNames();
    EXPECT_EQ(NorvEngineering::SensorLib::vkr25XtModeNameCount(), 31U);
}

TEST(Vkr25XtAlarmCommands, GoOutAsTextThenCarriageReturnAndWaitTheirTurn) {
    Rig rig;
    rig.makeActive();
    rig.driver.setMode(CVkr25Xt::lmDT);
    rig.driver.setMode(CVkr25Xt::lmFA, "1,5");
    rig.driver.setMode(CVkr25Xt::lmFB, "");
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.state(), "FA after DT, queue FA FB, wrote <DT><\r><FA1.5><\r>");
    rig.driver.sendNextQueuedMode();
    EXPECT_EQ(rig.state(), "FB after FA, queue FB, wrote <DT><\r><FA1.5><\r><FB><\r>");
}
