// The parameter set and the identity that every driver of the family keeps.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Vkr25Family;
using NorvEngineering::SensorLib::CNorvLaser;
using NorvEngineering::SensorLib::CVkr25FamilyVersionInfo;
using NorvEngineering::Util::String::CBadConversion;
using VersionInfo = CVkr25FamilyVersionInfo;

template <class Traits>
class Vkr25FamilyConfig : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyConfig, FamilyDrivers, FamilyDriverNames);

TYPED_TEST(Vkr25FamilyConfig, StartsEmpty) {
    const typename TypeParam::Config config;
    EXPECT_EQ(config.getDisplayFormat(), '\0');
    EXPECT_EQ(config.getAutostartMode(), TypeParam::Driver::lmNone);
    EXPECT_EQ(config.getVersionInfo(), nullptr);
    EXPECT_EQ(config.getMeasureTime(), 0);
    EXPECT_EQ(config.getErrorMode(), 0);
    EXPECT_EQ(config.getBaudRate(), 0);
    EXPECT_EQ(config.getAverage(), 0);
    EXPECT_EQ(config.getOffset(), 0.0);
    EXPECT_TRUE(config.getStrOffset().empty());
    EXPECT_TRUE(config.getRemoveMeasurement().empty());
    EXPECT_TRUE(config.getTriggerDelay().empty());
    EXPECT_TRUE(config.getTriggerMode().empty());
    EXPECT_TRUE(config.getStrAlarmCenter().empty());
    EXPECT_TRUE(config.getIdentification().empty());
}

TYPED_TEST(Vkr25FamilyConfig, BoundedValuesAreClampedSilently) {
    typename TypeParam::Config config;
    config.setMeasureTime(26);
    EXPECT_EQ(config.getMeasureTime(), 25);
    config.setMeasureTime(25);
    EXPECT_EQ(config.getMeasureTime(), 25);
    config.setMeasureTime(255);
    EXPECT_EQ(config.getMeasureTime(), 25);
    config.setErrorMode(3);
    EXPECT_EQ(config.getErrorMode(), 2);
    config.setErrorMode(1);
    EXPECT_EQ(config.getErrorMode(), 1);
    config.setAverage(21);
    EXPECT_EQ(config.getAverage(), 20);
    config.setAverage(20);
    EXPECT_EQ(config.getAverage(), 20);
    // Through the base class as well: the parser stores the average that way.
    CNorvLaser::CLaserConfig& base = config;
    base.setAverage(65535);
    EXPECT_EQ(config.getAverage(), 20);
    config.setAverage(0);
    EXPECT_EQ(config.getAverage(), 0);
}

TYPED_TEST(Vkr25FamilyConfig, DisplayFormatIsDecimalUnlessHexadecimal) {
    typename TypeParam::Config config;
    config.setDisplayFormat('h');
    EXPECT_EQ(config.getDisplayFormat(), 'h');
    for (const char other : {'x', 'D', 'H', '\0', 'd'}) {
        config.setDisplayFormat(other);
        EXPECT_EQ(config.getDisplayFormat(), 'd') << int(other);
    }
}

TYPED_TEST(Vkr25FamilyConfig, AutostartNameGivesItsModeOrIdentification) {
    using D = typename TypeParam::Driver;
    typename TypeParam::Config config;
    config.setAutostartMode("dt");
    EXPECT_EQ(config.getAutostartMode(), D::lmDT);
    config.setAutostartMode("id");
    EXPECT_EQ(config.getAutostartMode(), D::lmID);
    config.setAutostartMode("\x1B");
    EXPECT_EQ(config.getAutostartMode(), TypeParam::kEscapeCode);
    config.setAutostartMode("dx");
    config.setAutostartMode("tm");
    EXPECT_EQ(config.getAutostartMode(), D::lmID);
    config.setAutostartMode("DT");
    EXPECT_EQ(config.getAutostartMode(), D::lmID);
}

TYPED_TEST(Vkr25FamilyConfig, NumbersAreReadFromTheirTextOrNotAtAll) {
    using Config = typename TypeParam::Config;
    Config config;
    config.setStrOffset("1.5");
    EXPECT_EQ(config.getOffset(), 1.5);
    config.setStrOffset("  -2.25 \r\n");
    EXPECT_EQ(config.getOffset(), -2.25);
    EXPECT_EQ(config.getStrOffset(), "  -2.25 \r\n");

    EXPECT_THROW(config.setStrOffset("1,5"), CBadConversion);
    EXPECT_EQ(config.getStrOffset(), "1,5");
    EXPECT_EQ(config.getOffset(), -2.25);
    EXPECT_THROW(config.setStrOffset(""), CBadConversion);
    EXPECT_EQ(config.getOffset(), -2.25);
    EXPECT_THROW(config.setStrOffset("12.5mm"), CBadConversion);
    EXPECT_EQ(config.getStrOffset(), "12.5mm");
    config.setStrOffset("12.5 ");
    EXPECT_DOUBLE_EQ(config.getOffset(), 12.5);

    using Setter = void (Config::*)(const std::string&);
    using Getter = float (Config::*)() const;
    using TextGetter = const std::string& (Config::*)() const;
    struct Field {
        Setter set;
        Getter get;
        TextGetter text;
    };
    const Field fields[] = {
        {&Config::setStrAlarmCenter, &Config::getAlarmCenter, &Config::getStrAlarmCenter},
        {&Config::setStrAlarmHysteresis, &Config::getAlarmHysteresis, &Config::getStrAlarmHysteresis},
        {&Config::setStrAlarmWidth, &Config::getAlarmWidth, &Config::getStrAlarmWidth},
        {&Config::setStrRangeBegin, &Config::getRangeBegin, &Config::getStrRangeBegin},
        {&Config::setStrRangeEnd, &Config::getRangeEnd, &Config::getStrRangeEnd},
    };
    for (const Field& field : fields) {
        (config.*field.set)(" 2.5 ");
        EXPECT_FLOAT_EQ((config.*field.get)(), 2.5F);
        EXPECT_THROW((config.*field.set)("2.5x"), CBadConversion);
        EXPECT_EQ((config.*field.text)(), "2.5x");
        EXPECT_FLOAT_EQ((config.*field.get)(), 2.5F);
    }
}

TYPED_TEST(Vkr25FamilyConfig, ScaleFactorConvertsThroughTheBase) {
    typename TypeParam::Config config;
    config.setScaleFactor("1.0936");
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 1.0936);
    EXPECT_THROW(config.setScaleFactor("1,0936"), CBadConversion);
    EXPECT_EQ(config.getStrScaleFactor(), "1,0936");
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 1.0936);
}

TYPED_TEST(Vkr25FamilyConfig, FailedIdentificationLeavesNoIdentityAndTheOldText) {
    typename TypeParam::Config config;
    config.setIdentification(TypeParam::kIdLine);
    ASSERT_NE(config.getVersionInfo(), nullptr);
    EXPECT_EQ(config.getVersionInfo()->getModel(), TypeParam::kModel);
    EXPECT_EQ(config.getIdentification(), TypeParam::kIdLine);

    EXPECT_THROW(config.setIdentification(std::string(TypeParam::kModel) + " broken\r\n"),
                 std::runtime_error);
    EXPECT_EQ(config.getVersionInfo(), nullptr);
    EXPECT_EQ(config.getIdentification(), TypeParam::kIdLine);
}

TYPED_TEST(Vkr25FamilyConfig, AssignmentCopiesEveryValueAndGivesTheTargetItsOwnIdentity) {
    using Config = typename TypeParam::Config;
    Config source;
    source.setIdentification("VKR25,SN 77,V 8.01");
    source.setAverage(7);
    source.setScaleFactor("1.5");
    source.setDisplayFormat('h');
    source.setMeasureTime(4);
    source.setErrorMode(2);
    source.setBaudRate(19200);
    source.setAutostartMode("dw");
    source.setStrOffset("0.25");
    source.setRemoveMeasurement("1 2 3");
    source.setTriggerDelay("10 1");
    source.setTriggerMode("1 0");
    source.setStrAlarmCenter("1");
    source.setStrAlarmHysteresis("2");
    source.setStrAlarmWidth("3");
    source.setStrRangeBegin("4");
    source.setStrRangeEnd("5");

    Config target;
    target.setIdentification("VKR25,1,1.1");
    target = source;
    EXPECT_EQ(target.getIdentification(), "VKR25,SN 77,V 8.01");
    EXPECT_EQ(target.getAverage(), 7);
    EXPECT_EQ(target.getScaleFactor(), 1.5);
    EXPECT_EQ(target.getStrScaleFactor(), "1.5");
    EXPECT_EQ(target.getDisplayFormat(), 'h');
    EXPECT_EQ(target.getMeasureTime(), 4);
    EXPECT_EQ(target.getErrorMode(), 2);
    EXPECT_EQ(target.getBaudRate(), 19200);
    EXPECT_EQ(target.getAutostartMode(), TypeParam::Driver::lmDW);
    EXPECT_EQ(target.getOffset(), 0.25);
    EXPECT_EQ(target.getStrOffset(), "0.25");
    EXPECT_EQ(target.getRemoveMeasurement(), "1 2 3");
    EXPECT_EQ(target.getTriggerDelay(), "10 1");
    EXPECT_EQ(target.getTriggerMode(), "1 0");
    EXPECT_EQ(target.getAlarmCenter(), 1.0F);
    EXPECT_EQ(target.getAlarmHysteresis(), 2.0F);
    EXPECT_EQ(target.getAlarmWidth(), 3.0F);
    EXPECT_EQ(target.getRangeBegin(), 4.0F);
    EXPECT_EQ(target.getRangeEnd(), 5.0F);
    EXPECT_EQ(target.getStrRangeEnd(), "5");

    ASSERT_NE(target.getVersionInfo(), nullptr);
    EXPECT_NE(target.getVersionInfo(), source.getVersionInfo());
    EXPECT_EQ(target.getVersionInfo()->getSerial(), "77");
    EXPECT_EQ(target.getVersionInfo()->getMajorVersion(), 8);

    // The copy outlives a change of the source's identity.
    source.setIdentification("VKR25,SN 99,V 9.00");
    EXPECT_EQ(target.getVersionInfo()->getSerial(), "77");

    const Config copy(target);
    ASSERT_NE(copy.getVersionInfo(), nullptr);
    EXPECT_NE(copy.getVersionInfo(), target.getVersionInfo());
    EXPECT_EQ(copy.getVersionInfo()->getSerial(), "77");

    target = Config();
    EXPECT_EQ(target.getVersionInfo(), nullptr);
    EXPECT_TRUE(target.getIdentification().empty());

    Config& self = target;
    target = self;
    EXPECT_EQ(target.getVersionInfo(), nullptr);
}

// ---- the identity: one class for the whole family ----------------------------------------

TEST(Vkr25FamilyVersionInfo, SplitsModelSerialAndVersion) {
    const VersionInfo info("A 1, SN 042, V 7.05\r\n");
    EXPECT_EQ(info.getModel(), "A1");
    EXPECT_EQ(info.getSerial(), "042");
    EXPECT_EQ(info.getStrMajorVersion(), "7");
    EXPECT_EQ(info.getMajorVersion(), 7);
    EXPECT_EQ(info.getStrMinorVersion(), "05");
    EXPECT_EQ(info.getMinorVersion(), 5);
    EXPECT_FALSE(info.isVersionBelow(7));
    EXPECT_TRUE(info.isVersionBelow(8));

    const VersionInfo vkr27(Vkr25XtTraits::kIdLine);
    EXPECT_EQ(vkr27.getModel(), "VKR27");
    EXPECT_EQ(vkr27.getSerial(), "12345");
    EXPECT_EQ(vkr27.getStrMajorVersion(), "7");
    EXPECT_EQ(vkr27.getStrMinorVersion(), "03");
    EXPECT_EQ(vkr27.getMajorVersion(), 7);
    EXPECT_EQ(vkr27.getMinorVersion(), 3);
    EXPECT_FALSE(vkr27.isVersionBelow(7));
    EXPECT_TRUE(vkr27.isVersionBelow(8));
    EXPECT_EQ(VersionInfo("VKR 27,1,V10.25b").getModel(), "VKR27");
    EXPECT_EQ(VersionInfo("VKR 27,1,V10.25b").getMinorVersion(), 25);
}

TEST(Vkr25FamilyVersionInfo, CommaRunsAndCommasAtTheEndsAreOneSeparator) {
    EXPECT_EQ(VersionInfo("VKR25,,123,1.2").getSerial(), "123");
    EXPECT_EQ(VersionInfo(",VKR25,123,1.2,").getModel(), "VKR25");
    EXPECT_EQ(VersionInfo("VKR25,123,7.123").getStrMinorVersion(), "12");
    EXPECT_EQ(VersionInfo("A,,B1,C1.0").getSerial(), "1");
}

TEST(Vkr25FamilyVersionInfo, RejectsWhatIsNotAnIdentity) {
    EXPECT_THROW(VersionInfo("VKR25,123"), std::runtime_error);
    EXPECT_THROW(VersionInfo("VKR25,123,1.2,x"), std::runtime_error);
    EXPECT_THROW(VersionInfo("VKR27,1,2.0,4"), std::runtime_error);
    EXPECT_THROW(VersionInfo(""), std::runtime_error);
    EXPECT_THROW(VersionInfo("VKR25,SN,1.2"), std::out_of_range);
    EXPECT_THROW(VersionInfo("VKR27,ABC,V7.03"), std::out_of_range);
    EXPECT_THROW(VersionInfo("VKR25,123,V.2"), std::out_of_range);
    // No point: the minor version is empty and not a number.
    EXPECT_THROW(VersionInfo("VKR25,123,7"), CBadConversion);
    EXPECT_THROW(VersionInfo("VKR25,123,7.x"), CBadConversion);
    EXPECT_THROW(VersionInfo("VKR27,1,V7.3a"), CBadConversion);
}
