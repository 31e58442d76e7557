#include "Vkr25XtTestRig.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Util::String::CBadConversion;
using Config = CVkr25Xt::CVkr25XtConfig;
using VersionInfo = Config::CVkr25XtVersionInfo;

TEST(Vkr25XtConfig, StartsEmptyWithAutostartNone) {
    const Config config;
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmNone);
    EXPECT_EQ(config.getDisplayFormat(), '\0');
    EXPECT_EQ(config.getVersionInfo(), nullptr);
    EXPECT_EQ(config.getAlarm2(), 0.0F);
    EXPECT_EQ(config.getAlarm3(), 0.0F);
    EXPECT_TRUE(config.getStrAlarm2().empty());
    EXPECT_TRUE(config.getStrAlarm3().empty());
}

TEST(Vkr25XtConfig, ClampsAreTheFamilysOwn) {
    Config config;
    config.setMeasureTime(26);
    EXPECT_EQ(config.getMeasureTime(), 25);
    config.setMeasureTime(255);
    EXPECT_EQ(config.getMeasureTime(), 25);
    config.setErrorMode(3);
    EXPECT_EQ(config.getErrorMode(), 2);
    CNorvLaser::CLaserConfig& base = config;
    base.setAverage(65535);
    EXPECT_EQ(config.getAverage(), 20);
    config.setAverage(0);
    EXPECT_EQ(config.getAverage(), 0);
    config.setDisplayFormat('D');
    EXPECT_EQ(config.getDisplayFormat(), 'd');
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

    EXPECT_THROW(config.setStrOffset("12.5mm"), CBadConversion);
    EXPECT_EQ(config.getStrOffset(), "12.5mm");
    config.setStrOffset("12.5 ");
    EXPECT_DOUBLE_EQ(config.getOffset(), 12.5);
}

TEST(Vkr25XtConfig, AutostartNamesComeFromTheVkr25XtTable) {
    Config config;
    config.setAutostartMode("dt");
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmDT);
    config.setAutostartMode("fa");
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmFA);
    config.setAutostartMode("\x1B");
    EXPECT_EQ(config.getAutostartMode(), 31);
    config.setAutostartMode("tm");
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmID);
    config.setAutostartMode("DT");
    EXPECT_EQ(config.getAutostartMode(), CVkr25Xt::lmID);
}

TEST(Vkr25XtConfig, Vkr27IdentityGivesModelSerialAndVersion) {
    Config config;
    config.setIdentification(Vkr25XtTest::kIdLine);
    const VersionInfo* info = config.getVersionInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getModel(), "VKR27");
    EXPECT_EQ(info->getSerial(), "12345");
    EXPECT_EQ(info->getStrMajorVersion(), "7");
    EXPECT_EQ(info->getStrMinorVersion(), "03");
    EXPECT_EQ(info->getMajorVersion(), 7);
    EXPECT_EQ(info->getMinorVersion(), 3);
    EXPECT_FALSE(info->isVersionBelow(7));
    EXPECT_TRUE(info->isVersionBelow(8));

    EXPECT_EQ(VersionInfo("VKR 27,1,V10.25b").getModel(), "VKR27");
    EXPECT_EQ(VersionInfo("VKR 27,1,V10.25b").getMinorVersion(), 25);
    EXPECT_EQ(VersionInfo("A,,B1,C1.0").getSerial(), "1");
    EXPECT_THROW(VersionInfo("VKR27,12345"), std::runtime_error);
    EXPECT_THROW(VersionInfo("VKR27,1,2.0,4"), std::runtime_error);
    EXPECT_THROW(VersionInfo("VKR27,ABC,V7.03"), std::out_of_range);
    EXPECT_THROW(VersionInfo("VKR27,1,V7"), CBadConversion);
    EXPECT_THROW(VersionInfo("VKR27,1,V7.3a"), CBadConversion);
}

TEST(Vkr25XtConfig, FailedIdentificationLeavesNoIdentityAndTheOldText) {
    Config config;
    config.setIdentification("VKR27,1,V1.0");
    EXPECT_THROW(config.setIdentification("VKR27 only"), std::runtime_error);
    EXPECT_EQ(config.getVersionInfo(), nullptr);
    EXPECT_EQ(config.getIdentification(), "VKR27,1,V1.0");
}

TEST(Vkr25XtConfig, AssignmentCopiesEverythingAndBuildsItsOwnIdentity) {
    Config source;
    source.setIdentification(Vkr25XtTest::kIdLine);
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

TEST(Vkr25XtConfig, DriverHandsOutItsOwnObject) {
    Vkr25XtTest::Rig rig;
    ASSERT_NE(rig.driver.getConfig(), nullptr);
    EXPECT_EQ(rig.driver.getConfig(), rig.driver.getConfig());
    rig.driver.getConfig()->setStrAlarm2("7");
    const CVkr25Xt& constant = rig.driver;
    EXPECT_FLOAT_EQ(constant.getConfig()->getAlarm2(), 7.0F);
}
