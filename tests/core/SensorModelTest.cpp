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
    explicit TestLaser(CSensorSink* sink, bool withProcessor = true) : CNorvLaser(sink) {
        if (withProcessor)
            setProcessor_(&m_recorder);
    }
    ~TestLaser() override { setProcessor_(nullptr); }
    void initialize() override {}
    ChunkRecorder m_recorder;
};

} // namespace

TEST(SensorModel, TypeWordPacksItsPartsAndTheScaleFactorKeepsItsNumberOnlyWhenValid) {
    static_assert(makeSensorType(1, 239, 18) == 0x1EF12);
    static_assert(makeSensorType(0xFFFF, 0xFF, 0xFF) == 0xFFFFFFFFu);
    CNorvLaser::CLaserConfig config;
    config.setScaleFactor(" 3.5 ");
    for (const char* bad : {"1.5x", "", "1,5"}) {
        EXPECT_THROW(config.setScaleFactor(bad), CBadConversion);
        EXPECT_DOUBLE_EQ(config.getScaleFactor(), 3.5);
        EXPECT_EQ(config.getStrScaleFactor(), bad);
    }
}

TEST(SensorWiring, DeletingEitherSideFirstClearsTheOther) {
    RecordingSink sink;
    TestLaser laser(&sink);
    auto iface = std::make_unique<FakeInterface>();
    laser.setInterface(iface.get());
    iface.reset();
    EXPECT_EQ(laser.getInterface(), nullptr);
    FakeInterface survivor;
    auto doomed = std::make_unique<TestLaser>(&sink);
    doomed->setInterface(&survivor);
    doomed.reset();
    EXPECT_EQ(survivor.getSensor(), nullptr);
    survivor.deliver("12345\n");
    survivor.notifyInterfaceReady();
    EXPECT_TRUE(sink.calls.empty());
}

TEST(SensorWiring, AttachingOpensOnceAndLinksBothSidesDetachingOnlyWhatIsLinked) {
    RecordingSink sink;
    TestLaser laser(&sink);
    TestLaser other(&sink);
    FakeInterface iface;
    FakeInterface stranger;
    laser.setInterface(&iface);
    laser.setInterface(nullptr);
    EXPECT_EQ(iface.opens, 1);
    EXPECT_EQ(laser.getInterface(), &iface);
    EXPECT_EQ(iface.getSensor(), &laser);
    laser.detachInterface(&stranger);
    EXPECT_EQ(laser.getInterface(), &iface);
    iface.detachSensor(&other);
    iface.detachSensor(nullptr);
    EXPECT_EQ(iface.getSensor(), &laser);
    laser.detachInterface(&iface);
    EXPECT_EQ(laser.getInterface(), nullptr);
    EXPECT_EQ(iface.getSensor(), nullptr);
}

// Each notification reaches the sensor and its sink; without a sensor, a sink or a
// processor it is dropped quietly.
TEST(SensorWiring, NotificationsReachSensorAndSinkAndAreDroppedWithoutThem) {
    RecordingSink sink;
    TestLaser laser(&sink);
    FakeInterface iface;
    CInterfaceError error(5, "Access denied", "here");
    const auto notifyAll = [&](FakeInterface& to) {
        to.notifyInterfaceReady();
        to.notifyInterfaceError(error);
        to.notifyInterfaceReleased();
        to.deliver("123\n");
    };
    notifyAll(iface); // no sensor yet
    laser.setInterface(&iface);
    iface.deliver("");
    EXPECT_TRUE(laser.m_recorder.chunks.empty());
    iface.deliver(std::string("a\0b", 3));
    ASSERT_EQ(laser.m_recorder.chunks.size(), 1u);
    EXPECT_EQ(laser.m_recorder.chunks[0], std::string("a\0b", 3));
    notifyAll(iface);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"ready", "interfaceError", "released"}));
    EXPECT_EQ(sink.lastSensor, &laser);
    EXPECT_EQ(sink.lastInterface, &iface);
    ASSERT_EQ(sink.interfaceErrors.size(), 1u);
    const auto& [code, message, place] = sink.interfaceErrors[0];
    EXPECT_EQ(std::to_string(code) + ' ' + message + ' ' + place, "5 Access denied here");

    TestLaser orphan(nullptr);
    FakeInterface orphans;
    orphan.setInterface(&orphans);
    notifyAll(orphans); // no sink
    EXPECT_EQ(orphan.m_recorder.chunks, std::vector<std::string>{"123\n"});
    TestLaser bare(&sink, false);
    FakeInterface other;
    bare.setInterface(&other);
    other.deliver("123\n"); // no processor
    EXPECT_EQ(sink.dataUpdates, 0);
}
