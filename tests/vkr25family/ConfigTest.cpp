// The parameter set and the identity that every driver of the family keeps.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Vkr25Family;
using NorvEngineering::SensorLib::CNorvLaser;
using NorvEngineering::Util::String::CBadConversion;
using VersionInfo = NorvEngineering::SensorLib::CVkr25FamilyVersionInfo;

template <class Traits>
class Vkr25FamilyConfig : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyConfig, FamilyDrivers, FamilyDriverNames);

TYPED_TEST(Vkr25FamilyConfig, ClampsBoundedValuesSilentlyAndKnowsTwoDisplayFormats) {
    using Config = typename TypeParam::Config;
    Config config;
    const std::tuple<void (Config::*)(uint8_t), uint8_t (Config::*)() const, int, int> bounded[] = {
        {&Config::setMeasureTime, &Config::getMeasureTime, 25, 255},
        {&Config::setErrorMode, &Config::getErrorMode, 2, 255},
    };
    for (const auto& [set, get, most, top] : bounded) {
        for (const int value : {0, 1, most, most + 1, top}) {
            (config.*set)(static_cast<uint8_t>(value));
            EXPECT_EQ((config.*get)(), std::min(value, most)) << value;
        }
    }
    // The average through the base class as well: the parser stores it that way.
    CNorvLaser::CLaserConfig& base = config;
    for (const int value : {0, 20, 21, 65535}) {
        base.setAverage(static_cast<uint16_t>(value));
        EXPECT_EQ(config.getAverage(), std::min(value, 20)) << value;
    }
    // The display format is decimal unless hexadecimal.
    for (const char format : {'h', 'x', 'h', 'D', 'h', 'H', 'h', '\0'}) {
        config.setDisplayFormat(format);
        EXPECT_EQ(config.getDisplayFormat(), format == 'h' ? 'h' : 'd') << int(format);
    }
}

// Every number field is stored the same way; the offset stands for them.
TYPED_TEST(Vkr25FamilyConfig, NumbersAreReadFromTheirTextOrNotAtAll) {
    typename TypeParam::Config config;
    config.setStrOffset("  -2.25 \r\n");
    for (const char* bad : {"1,5", "", "12.5mm"}) {
        EXPECT_THROW(config.setStrOffset(bad), CBadConversion);
        EXPECT_EQ(config.getStrOffset(), bad);
        EXPECT_EQ(config.getOffset(), -2.25);
    }
}

TYPED_TEST(Vkr25FamilyConfig, CopiesTakeEveryValueAndAnIdentityOfTheirOwn) {
    using Config = typename TypeParam::Config;
    Rig<TypeParam> rig;
    rig.start(); // every value from a dump
    Config& source = rig.config();
    source.setIdentification("VKR25,SN 77,V 8.01");
    source.setDisplayFormat('h');
    if constexpr (TypeParam::kHasAlarms2And3) {
        source.setStrAlarm2("1.5");
        source.setStrAlarm3("2.5");
    }
    const std::string values = configText<TypeParam>(source);
    EXPECT_EQ(values.find("''"), std::string::npos) << values; // no field left empty
    Config target;
    target.setIdentification("VKR25,1,1.1");
    target = source;
    Config copy(target);
    for (const Config* c : {&target, &copy}) {
        EXPECT_EQ(configText<TypeParam>(*c), values);
        EXPECT_EQ(c->getIdentification(), "VKR25,SN 77,V 8.01");
        ASSERT_NE(c->getVersionInfo(), nullptr);
        EXPECT_NE(c->getVersionInfo(), source.getVersionInfo());
        EXPECT_EQ(c->getVersionInfo()->getSerial(), "77");
        EXPECT_EQ(c->getVersionInfo()->getMajorVersion(), 8);
    }
    EXPECT_NE(copy.getVersionInfo(), target.getVersionInfo());
    // The copies outlive a change of the source's identity.
    source.setIdentification("VKR25,SN 99,V 9.00");
    EXPECT_EQ(target.getVersionInfo()->getSerial(), "77");
    target = Config();
    EXPECT_EQ(configText<TypeParam>(target), configText<TypeParam>(Config()));
    EXPECT_EQ(target.getVersionInfo(), nullptr);
    EXPECT_TRUE(target.getIdentification().empty());
    Config& self = target;
    target = self;
    EXPECT_EQ(target.getVersionInfo(), nullptr);
}

// ---- the identity: one class for the whole family ----------------------------------------

TEST(Vkr25FamilyVersionInfo, SplitsModelSerialAndVersion) {
    struct Case {
        const char* line;
        const char *model, *serial, *major, *minor;
        int majorNumber, minorNumber;
    };
    for (const Case& c : {Case{"A 1, SN 042, V 7.05\r\n", "A1", "042", "7", "05", 7, 5},
                          Case{"VKR27,SN 12345,V7.03\r\n", "VKR27", "12345", "7", "03", 7, 3},
                          Case{"VKR 27,1,V10.25b", "VKR27", "1", "10", "25", 10, 25},
                          Case{"VKR25,,123,1.2", "VKR25", "123", "1", "2", 1, 2},
                          Case{",VKR25,123,7.123,", "VKR25", "123", "7", "12", 7, 12},
                          Case{"A,,B1,C1.0", "A", "1", "1", "0", 1, 0}}) {
        const VersionInfo info(c.line);
        EXPECT_EQ(info.getModel(), c.model) << c.line;
        EXPECT_EQ(info.getSerial(), c.serial) << c.line;
        EXPECT_EQ(info.getStrMajorVersion(), c.major) << c.line;
        EXPECT_EQ(info.getStrMinorVersion(), c.minor) << c.line;
        EXPECT_EQ(info.getMajorVersion(), c.majorNumber) << c.line;
        EXPECT_EQ(info.getMinorVersion(), c.minorNumber) << c.line;
        EXPECT_FALSE(info.isVersionBelow(static_cast<uint16_t>(c.majorNumber))) << c.line;
        EXPECT_TRUE(info.isVersionBelow(static_cast<uint16_t>(c.majorNumber + 1))) << c.line;
    }
}

TEST(Vkr25FamilyVersionInfo, RejectsWhatIsNotAnIdentity) {
    for (const char* fields : {"VKR25,123", "VKR25,123,1.2,x", "VKR27,1,2.0,4", ""})
        EXPECT_THROW(VersionInfo{fields}, std::runtime_error) << fields;
    for (const char* noDigit : {"VKR25,SN,1.2", "VKR27,ABC,V7.03", "VKR25,123,V.2"})
        EXPECT_THROW(VersionInfo{noDigit}, std::out_of_range) << noDigit;
    // Without a point the minor version is empty and not a number.
    for (const char* notANumber : {"VKR25,123,7", "VKR25,123,7.x", "VKR27,1,V7.3a"})
        EXPECT_THROW(VersionInfo{notANumber}, CBadConversion) << notANumber;
}
