// What the Vkr25Xt's parameter set keeps beyond the family's: alarms 2 and 3.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using NorvEngineering::SensorLib::CVkr25Xt;
using NorvEngineering::Util::String::CBadConversion;
using Config = CVkr25Xt::CVkr25XtConfig;

TEST(Vkr25XtConfig, StartsWithoutAlarmsTwoAndThree) {
    const Config config;
    EXPECT_EQ(config.getAlarm2(), 0.0F);
    EXPECT_EQ(config.getAlarm3(), 0.0F);
    EXPECT_TRUE(config.getStrAlarm2().empty());
    EXPECT_TRUE(config.getStrAlarm3().empty());
}

TEST(Vkr25XtConfig, AlarmsTwoAndThreeKeepTextAndNumber) {
    Config config;
    config.setStrAlarm2(" 3.5 \r\n");
    config.setStrAlarm3("-4.25");
    EXPECT_FLOAT_EQ(config.getAlarm2(), 3.5F);
    EXPECT_FLOAT_EQ(config.getAlarm3(), -4.25F);
    EXPECT_EQ(config.getStrAlarm2(), " 3.5 \r\n");

    EXPECT_THROW(config.setStrAlarm2("1,5"), CBadConversion);
    EXPECT_EQ(config.getStrAlarm2(), "1,5");
    EXPECT_FLOAT_EQ(config.getAlarm2(), 3.5F);
    EXPECT_THROW(config.setStrAlarm3(""), CBadConversion);
    EXPECT_FLOAT_EQ(config.getAlarm3(), -4.25F);
}

TEST(Vkr25XtConfig, AutostartNamesComeFromTheVkr25XtTable) {
    Config config;
    config.setAutostartMode("fa");
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmFA);
    config.setAutostartMode("fb");
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmFB);
}

TEST(Vkr25XtConfig, AssignmentCopiesAlarmsTwoAndThree) {
    Config source;
    source.setIdentification(Vkr25Family::Vkr25XtTraits::kIdLine);
    source.setStrAlarm2("1.5");
    source.setStrAlarm3("2.5");
    source.setAutostartMode("fb");
    source.setStrRangeEnd("9");

    Config target;
    target = source;
    ASSERT_NE(target.getVersionInfo(), nullptr);
    EXPECT_NE(target.getVersionInfo(), source.getVersionInfo());
    EXPECT_EQ(target.getVersionInfo()->getModel(), "VKR27");
    EXPECT_FLOAT_EQ(target.getAlarm2(), 1.5F);
    EXPECT_EQ(target.getStrAlarm3(), "2.5");
    EXPECT_EQ(target.getAutostartMode(), CVkr25Xt::lmFB);
    EXPECT_FLOAT_EQ(target.getRangeEnd(), 9.0F);

    const Config copy(source);
    EXPECT_FLOAT_EQ(copy.getAlarm3(), 2.5F);
    EXPECT_NE(copy.getVersionInfo(), source.getVersionInfo());

    target = Config();
    EXPECT_EQ(target.getVersionInfo(), nullptr);
    EXPECT_TRUE(target.getStrAlarm2().empty());
}

TEST(Vkr25XtConfig, DriverHandsOutItsOwnObjectByPointer) {
    Vkr25Family::Rig<Vkr25Family::Vkr25XtTraits> rig;
    ASSERT_NE(rig.driver.getConfig(), nullptr);
    EXPECT_EQ(rig.driver.getConfig(), rig.driver.getConfig());
    rig.driver.getConfig()->setStrAlarm2("7");
    const CVkr25Xt& constant = rig.driver;
    EXPECT_FLOAT_EQ(constant.getConfig()->getAlarm2(), 7.0F);
}
