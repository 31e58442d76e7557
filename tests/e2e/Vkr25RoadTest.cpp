// The whole road on real lines: the Vkr25 driver over each transport, talking to the
// simulated sensor that its server's thread serves.
#include "RunUntil.h"
#include "SimulatedRoads.h"

#include "Exception.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::EAbort;
using SensorSim::CSensorSimulator;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

template <class Road>
class Vkr25Road : public ::testing::Test {};
using Roads = ::testing::Types<TestSupport::SerialRoad<CVkr25>, TestSupport::TcpRoad<CVkr25>>;
TYPED_TEST_SUITE(Vkr25Road, Roads, TestSupport::RoadName);

TYPED_TEST(Vkr25Road, StartUpMeasuringFiftyTimesASecondAndAParameterChange) {
    TypeParam road;
    ASSERT_TRUE(TestSupport::startedAndReady(road));
    const auto& owner = road.station.owner;
    CVkr25& driver = road.station.driver;
    EXPECT_EQ(owner.ready, 1);
    ASSERT_NE(driver.getConfig().getVersionInfo(), nullptr);

    TestSupport::measureAndCount(road, 150); // three seconds at 50 lines a second
    EXPECT_EQ(owner.distances.front(), "001.000");
    EXPECT_TRUE(owner.interfaceErrors.empty());

    driver.setMode(CVkr25::lmSA, "7");
    ASSERT_TRUE(runUntil([&] { return driver.getConfig().getAverage() == 7; }));
    road.with([](CSensorSimulator& sim) { EXPECT_EQ(sim.getParameters().get("SA"), "7"); });
    EXPECT_TRUE(owner.sensorErrors.empty());
}

// An owner that holds up the main thread while the sensor measures fast: the lines
// pile up in the line's buffers and then arrive as full receive buffers at once.
// None of them may be lost.
TYPED_TEST(Vkr25Road, EveryLineOfAThousandASecondArrivesAfterAHalfSecondStall) {
    TypeParam road;
    road.with([](CSensorSimulator& sim) { sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, 1ms); });
    ASSERT_TRUE(TestSupport::startedAndReady(road));
    auto& owner = road.station.owner;
    road.station.driver.setMode(CVkr25::lmEscaped); // the auto-start mode measures slowly

    owner.afterNewDistance = [&owner] {
        if (owner.distances.size() == 300)
            std::this_thread::sleep_for(500ms); // a sink that is busy for a moment
    };
    TestSupport::measureAndCount(road, 2000);
    EXPECT_TRUE(owner.interfaceErrors.empty());
    EXPECT_TRUE(owner.sensorErrors.empty());
}

TEST(SerialEndToEnd, AHangUpIsAnInterfaceErrorAndNothingBreaks) {
    TestSupport::SerialRoad<CVkr25> road;
    ASSERT_TRUE(TestSupport::startedAndReady(road));
    const auto& owner = road.station.owner;
    road.with([](CSensorSimulator& sim) { sim.setHangUpAfterLines(10); });
    road.station.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(runUntil([&] { return !owner.interfaceErrors.empty(); }, 20s));
    EXPECT_TRUE(road.server.isHungUp());
    ASSERT_EQ(owner.interfaceErrors.size(), 1u);
    EXPECT_EQ(owner.interfaceErrors[0].code, 5);
    EXPECT_EQ(owner.interfaceErrors[0].message, "Input/output error");
    EXPECT_LE(owner.distances.size(), 10u);
    EXPECT_EQ(TestSupport::brokenStep(owner.distances), "");
    // Commands after the hang-up are reported, not sent into the void.
    EXPECT_THROW(road.station.driver.setMode(CVkr25::lmEscaped), EAbort);
    ASSERT_EQ(owner.interfaceErrors.size(), 2u);
    EXPECT_EQ(owner.interfaceErrors[1].message, "Can't perform this operation on a closed port");
    road.station.line.transport->releaseInterface();
    EXPECT_EQ(road.station.line.transport->getComPort(), nullptr);
}

} // namespace
