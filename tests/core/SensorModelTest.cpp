#include "FakeInterface.h"
#include "RecordingSink.h"

#include <gtest/gtest.h>

#include <memory>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Util::String::CBadConversion;
using TestSupport::FakeInterface;
using TestSupport::RecordingSink;

namespace {

// A processor that records every chunk it is fed.
class ChunkRecorder : public CSensorProcessor {
public:
    void feed(const char* data, unsigned int length) override { chunks.emplace_back(data, length); }
    void notifyDataUpdate() override {}
    std::vector<std::string> chunks;
};

class TestLaser : public CNorvLaser {
public:
    explicit TestLaser(CSensorSink* sink) : CNorvLaser(sink) {
        setProcessor_(&m_recorder);
        setSensorType_(makeSensorType(1, 239, 18));
    }
    ~TestLaser() override { setProcessor_(nullptr); }
    void initialize() override { ++initialized; }
    ChunkRecorder m_recorder;
    int initialized = 0;
};

class BareLaser : public CNorvLaser {
public:
    using CNorvLaser::CNorvLaser;
    void initialize() override {}
};

} // namespace

TEST(SensorModel, NewLaserStartsZeroed) {
    RecordingSink sink;
    BareLaser laser(&sink);
    EXPECT_EQ(laser.getDistance(), 0.0);
    EXPECT_EQ(laser.getTemperature(), 0.0);
    EXPECT_TRUE(laser.getStrDistance().empty());
    EXPECT_TRUE(laser.getStrTemperature().empty());
    EXPECT_EQ(laser.getActive(), 0);
    EXPECT_EQ(laser.getSensorType(), 0u);
    EXPECT_EQ(laser.getInterface(), nullptr);
    EXPECT_EQ(laser.getProcessor(), nullptr);
    EXPECT_EQ(laser.getSink(), &sink);
}

TEST(SensorModel, SensorTypeWord) {
    static_assert(makeSensorType(1, 239, 18) == 0x1EF12);
    static_assert(makeSensorType(2, 239, 19) == 0x2EF13);
    static_assert(makeSensorType(0xFFFF, 0xFF, 0xFF) == 0xFFFFFFFFu);
    RecordingSink sink;
    TestLaser laser(&sink);
    EXPECT_EQ(laser.getSensorType(), 0x1EF12u);
}

TEST(SensorModel, ScaleFactorKeepsTextAndNumberOnlyWhenValid) {
    CNorvLaser::CLaserConfig config;
    config.setScaleFactor("1.5");
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 1.5);
    config.setScaleFactor(" 2");
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 2.0);
    config.setScaleFactor("3.5 ");
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 3.5);

    EXPECT_THROW(config.setScaleFactor("1.5x"), CBadConversion);
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 3.5);
    EXPECT_EQ(config.getStrScaleFactor(), "1.5x");
    EXPECT_THROW(config.setScaleFactor(""), CBadConversion);
    EXPECT_DOUBLE_EQ(config.getScaleFactor(), 3.5);
    EXPECT_EQ(config.getStrScaleFactor(), "");
}

TEST(SensorModel, ConfigCopiesAllFields) {
    CNorvLaser::CLaserConfig config;
    config.setAverage(7);
    config.setScaleFactor("0.5");
    config.setIdentification("VKR25,123,1.2");
    CNorvLaser::CLaserConfig copy(config);
    CNorvLaser::CLaserConfig assigned;
    assigned = config;
    for (const auto* c : {&copy, &assigned}) {
        EXPECT_EQ(c->getAverage(), 7);
        EXPECT_DOUBLE_EQ(c->getScaleFactor(), 0.5);
        EXPECT_EQ(c->getStrScaleFactor(), "0.5");
        EXPECT_EQ(c->getIdentification(), "VKR25,123,1.2");
    }
}

TEST(SensorWiring, AttachingOpensOnceAndLinksBothSides) {
    RecordingSink sink;
    TestLaser laser(&sink);
    FakeInterface iface;
    laser.setInterface(&iface);
    EXPECT_EQ(iface.opens, 1);
    EXPECT_EQ(laser.getInterface(), &iface);
    EXPECT_EQ(iface.getSensor(), &laser);

    laser.setInterface(nullptr);
    EXPECT_EQ(laser.getInterface(), &iface);
    EXPECT_EQ(iface.opens, 1);
}

TEST(SensorWiring, DeletingTheTransportFirstClearsTheSensor) {
    RecordingSink sink;
    TestLaser laser(&sink);
    auto iface = std::make_unique<FakeInterface>();
    laser.setInterface(iface.get());
    iface.reset();
    EXPECT_EQ(laser.getInterface(), nullptr);
}

TEST(SensorWiring, DeletingTheSensorFirstClearsTheTransport) {
    RecordingSink sink;
    FakeInterface iface;
    auto laser = std::make_unique<TestLaser>(&sink);
    laser->setInterface(&iface);
    laser.reset();
    EXPECT_EQ(iface.getSensor(), nullptr);
    iface.deliver("12345\n");
    iface.notifyInterfaceReady();
    EXPECT_TRUE(sink.calls.empty());
}

TEST(SensorWiring, DetachIgnoresOtherInterfacesAndSensors) {
    RecordingSink sink;
    TestLaser laser(&sink);
    TestLaser other(&sink);
    FakeInterface iface;
    FakeInterface stranger;
    laser.setInterface(&iface);

    laser.detachInterface(&stranger);
    EXPECT_EQ(laser.getInterface(), &iface);
    iface.detachSensor(&other);
    iface.detachSensor(nullptr);
    EXPECT_EQ(iface.getSensor(), &laser);

    laser.detachInterface(&iface);
    EXPECT_EQ(laser.getInterface(), nullptr);
    EXPECT_EQ(iface.getSensor(), nullptr);
}

TEST(SensorWiring, NotificationsReachSensorAndSink) {
    RecordingSink sink;
    TestLaser laser(&sink);
    FakeInterface iface(CSensorInterface::itTcpSocket);
    EXPECT_EQ(iface.getInterfaceType(), CSensorInterface::itTcpSocket);
    laser.setInterface(&iface);

    iface.deliver("");
    EXPECT_TRUE(laser.m_recorder.chunks.empty());
    iface.deliver(std::string("a\0b", 3));
    ASSERT_EQ(laser.m_recorder.chunks.size(), 1u);
    EXPECT_EQ(laser.m_recorder.chunks[0], std::string("a\0b", 3));

    iface.notifyInterfaceReady();
    CInterfaceError error(5, "Access denied", "here");
    iface.notifyInterfaceError(error);
    iface.notifyInterfaceReleased();
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"ready", "interfaceError", "released"}));
    EXPECT_EQ(sink.lastSensor, &laser);
    EXPECT_EQ(sink.lastInterface, &iface);
    ASSERT_EQ(sink.interfaceErrors.size(), 1u);
    EXPECT_EQ(sink.interfaceErrors[0].code, 5);
    EXPECT_EQ(sink.interfaceErrors[0].message, "Access denied");
    EXPECT_EQ(sink.interfaceErrors[0].place, "here");
}

TEST(SensorWiring, InterfaceWithoutSensorOrSinkDropsEverything) {
    FakeInterface iface;
    iface.deliver("123\n");
    iface.notifyInterfaceReady();
    CInterfaceError error(1, "x", "y");
    iface.notifyInterfaceError(error);
    iface.notifyInterfaceReleased();

    TestLaser orphan(nullptr);
    orphan.setInterface(&iface);
    iface.notifyInterfaceReady();
    iface.notifyInterfaceError(error);
    iface.notifyInterfaceReleased();
    iface.deliver("x");
    EXPECT_EQ(orphan.m_recorder.chunks.size(), 1u);
}

TEST(SensorWiring, SensorWithoutProcessorDropsBytes) {
    RecordingSink sink;
    BareLaser laser(&sink);
    FakeInterface iface;
    laser.setInterface(&iface);
    iface.deliver("123\n");
    EXPECT_EQ(sink.dataUpdates, 0);
}
