// An owner that holds up the main thread while the sensor measures fast: the lines
// pile up in the line's buffers and then arrive as full receive buffers at once.
// None of them may be lost.
#include "RunUntil.h"
#include "SimulatedRoads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace NorvEngineering::SensorLib;
using SensorSim::CSensorSimulator;
using namespace std::chrono_literals;

namespace {

template <class Road>
class StalledOwner : public ::testing::Test {};
using Roads = ::testing::Types<TestSupport::SerialRoad<CVkr25>, TestSupport::TcpRoad<CVkr25>>;
TYPED_TEST_SUITE(StalledOwner, Roads, TestSupport::RoadName);

TYPED_TEST(StalledOwner, EveryLineOfAThousandASecondArrivesAfterAHalfSecondStall) {
    TypeParam road;
    road.with([](CSensorSimulator& sim) {
        // 1.000 m, 1.001 m, ...: every line differs from the one before.
        sim.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index % 5000); });
        sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, 1ms);
    });
    road.start();
    auto& owner = road.station.owner;
    ASSERT_TRUE(TestSupport::runUntil(
        [&] { return owner.sensorReady == 1 && road.station.driver.getQueue().empty(); }));
    road.station.driver.setMode(CVkr25::lmEscaped); // the auto-start mode measures slowly

    owner.afterNewDistance = [&owner] {
        if (owner.distances.size() == 300)
            std::this_thread::sleep_for(500ms); // a sink that is busy for a moment
    };
    TestSupport::measureAndCount(road, 2000);
    EXPECT_TRUE(owner.interfaceErrors.empty());
    EXPECT_TRUE(owner.sensorErrors.empty());
}

} // namespace
