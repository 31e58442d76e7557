// The whole road on a real line: the Vkr25 driver over the serial transport, talking
// through a pseudo-terminal to the simulated sensor served by its own thread.
#include "ComThread.h"
#include "PtySensorServer.h"
#include "RunUntil.h"
#include "Stations.h"

#include "Exception.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::EAbort;
using SensorSim::CPtySensorServer;
using SensorSim::CSensorSimulator;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

struct Rig {
    CPtySensorServer server;
    TestSupport::Station<CVkr25, TestSupport::SerialLine> station{server.getDevicePath()};
    TestSupport::MeasuringOwner& owner = station.owner;
    CVkr25& driver = station.driver;

    Rig() {
        // 1.000 m, 1.001 m, ...: every measurement line differs from the one before.
        server.withSimulator([](CSensorSimulator& sensor) {
            sensor.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index); });
        });
    }
    ~Rig() {
        station.line.transport.reset();
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
        server.stop();
    }
    // Ready, and the auto-start command that readiness sends has been answered.
    bool connect() {
        server.start();
        station.connect();
        return runUntil([&] { return owner.sensorReady == 1 && driver.getQueue().empty(); });
    }
    // Measures until `lines` distances have come, stops, and checks that every line the
    // simulator sent arrived once: none lost, none twice.
    void measureAndCount(std::size_t lines) {
        driver.setMode(CVkr25::lmDX);
        ASSERT_TRUE(runUntil([&] { return owner.distances.size() >= lines; }, 20s));
        driver.setMode(CVkr25::lmEscaped);
        ASSERT_TRUE(runUntil([&] {
            bool measuring = true;
            server.withSimulator([&](CSensorSimulator& sensor) { measuring = sensor.isMeasuring(); });
            return !measuring;
        }));
        const uint64_t sent = server.getMeasurementLinesSent();
        ASSERT_TRUE(runUntil([&] { return owner.distances.size() >= sent; }, 5s));
        EXPECT_EQ(owner.distances.size(), sent);
        EXPECT_EQ(TestSupport::brokenStep(owner.distances), "");
    }
};

TEST(SerialEndToEnd, StartUpMeasuringFiftyTimesASecondAndAParameterChange) {
    Rig rig;
    ASSERT_TRUE(rig.connect());
    EXPECT_EQ(rig.owner.ready, 1);
    EXPECT_EQ(rig.driver.getActive(), 1);
    ASSERT_NE(rig.driver.getConfig().getVersionInfo(), nullptr);
    EXPECT_EQ(rig.driver.getConfig().getVersionInfo()->getModel(), "VKR25");

    rig.measureAndCount(150); // three seconds at 50 lines a second
    EXPECT_EQ(rig.owner.distances.front(), "001.000");
    EXPECT_TRUE(rig.owner.interfaceErrors.empty());

    rig.driver.setMode(CVkr25::lmSA, "7");
    ASSERT_TRUE(runUntil([&] { return rig.driver.getConfig().getAverage() == 7; }));
    std::string stored;
    rig.server.withSimulator([&](CSensorSimulator& sensor) { stored = sensor.getParameters().get("SA"); });
    EXPECT_EQ(stored, "7");
    EXPECT_TRUE(rig.owner.sensorErrors.empty());
}

TEST(SerialEndToEnd, SplitRepliesGarbageErrorRepliesAndAFloodDoNotDerailTheDriver) {
    Rig rig;
    rig.server.setSplitReplies(3, 1ms);
    rig.server.setGarbageEvery(4);
    ASSERT_TRUE(rig.connect());

    rig.server.withSimulator([](CSensorSimulator& sensor) { sensor.setErrorReply("SA", "E15"); });
    rig.driver.setMode(CVkr25::lmSA, "9");
    ASSERT_TRUE(runUntil([&] { return !rig.owner.sensorErrors.empty(); }));
    EXPECT_EQ(rig.owner.sensorErrors.front(), 15);
    rig.measureAndCount(30);

    // A run of bytes without line end is survived and measuring goes on.
    rig.server.setSplitReplies(0, 0ms);
    rig.server.setGarbageEvery(0);
    rig.driver.setMode(CVkr25::lmDX);
    rig.server.withSimulator([](CSensorSimulator& sensor) { sensor.emitFlood(); });
    const std::size_t before = rig.owner.distances.size();
    ASSERT_TRUE(runUntil([&] { return rig.owner.distances.size() >= before + 20; }, 20s));
    EXPECT_TRUE(rig.owner.interfaceErrors.empty());
}

TEST(SerialEndToEnd, AHangUpIsAnInterfaceErrorAndNothingBreaks) {
    Rig rig;
    ASSERT_TRUE(rig.connect());
    rig.server.withSimulator([](CSensorSimulator& sensor) { sensor.setHangUpAfterLines(10); });
    rig.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(runUntil([&] { return !rig.owner.interfaceErrors.empty(); }, 20s));
    EXPECT_TRUE(rig.server.isHungUp());
    ASSERT_EQ(rig.owner.interfaceErrors.size(), 1u);
    EXPECT_EQ(rig.owner.interfaceErrors[0].code, 5);
    EXPECT_EQ(rig.owner.interfaceErrors[0].message, "Input/output error");
    EXPECT_LE(rig.owner.distances.size(), 10u);
    EXPECT_EQ(TestSupport::brokenStep(rig.owner.distances), "");
    // Commands after the hang-up are reported, not sent into the void.
    EXPECT_THROW(rig.driver.setMode(CVkr25::lmEscaped), EAbort);
    EXPECT_EQ(rig.owner.interfaceErrors.size(), 2u);
    rig.station.line.transport->releaseInterface();
    EXPECT_EQ(rig.station.line.transport->getComPort(), nullptr);
}

} // namespace
