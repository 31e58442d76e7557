// An owner that pumps the main thread's loop inside a notification, as one that shows a
// message box on a sensor error does: the driver's next reply comes after the handler
// has returned, never inside it, over each transport.
#include "RunUntil.h"
#include "SimulatedRoads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;
using SensorSim::CSensorSimulator;
using TestSupport::pumpFor;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

template <class Road>
class NestedLoopRoad : public ::testing::Test {};
using Roads = ::testing::Types<TestSupport::SerialRoad<CVkr25Xt>, TestSupport::TcpRoad<CVkr25Xt>>;
TYPED_TEST_SUITE(NestedLoopRoad, Roads, TestSupport::RoadName);

// Measurement line n of the simulator: an error when n + 1 is a multiple of three,
// otherwise the distance 1.000 m + n mm.
bool isErrorLine(uint64_t n) {
    return (n + 1) % 3 == 0;
}

TYPED_TEST(NestedLoopRoad, ErrorsAndDistancesArriveOneByOneAsSentWhileEachErrorPumpsTheLoop) {
    TypeParam road(SensorSim::EModel::Vkr27);
    road.with([](CSensorSimulator& sim) {
        sim.setMeasurementErrorEvery(3);
        sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DT, 10ms);
    });
    ASSERT_TRUE(TestSupport::startedAndReady(road));
    auto& owner = road.station.owner;
    auto& driver = road.station.driver;
    driver.setMode(CVkr25Xt::lmEscaped);
    ASSERT_TRUE(runUntil([&] { return driver.getQueue().empty(); }));

    // What the owner heard, in order: "E" for an error, the distance otherwise.
    std::vector<std::string> heard;
    int depth = 0;
    int nested = 0;
    owner.afterNewDistance = [&] {
        nested += depth;
        heard.push_back(owner.distances.back());
    };
    owner.afterSensorError = [&] {
        nested += depth;
        heard.emplace_back("E");
        ++depth;
        pumpFor(60ms);
        --depth;
    };
    driver.setMode(CVkr25Xt::lmDT);
    ASSERT_TRUE(runUntil([&] { return heard.size() >= 45; }, 20s));
    driver.setMode(CVkr25Xt::lmEscaped);
    owner.afterNewDistance = nullptr;
    owner.afterSensorError = nullptr;

    EXPECT_EQ(nested, 0) << "notifications that ran inside a nested loop";
    // From the first distance on, line after line as the simulator sent them.
    std::size_t first = 0;
    while (first < heard.size() && heard[first] == "E")
        ++first;
    ASSERT_LT(first, heard.size());
    auto line = static_cast<uint64_t>(std::llround((std::stod(heard[first]) - 1.0) * 1000.0));
    for (std::size_t i = first; i < heard.size(); ++i, ++line) {
        SCOPED_TRACE("heard " + std::to_string(i) + ", line " + std::to_string(line));
        if (isErrorLine(line)) {
            ASSERT_EQ(heard[i], "E");
        } else {
            ASSERT_NE(heard[i], "E");
            EXPECT_NEAR(std::stod(heard[i]), 1.0 + 0.001 * static_cast<double>(line), 1e-6);
        }
    }
    EXPECT_TRUE(owner.interfaceErrors.empty());
}

} // namespace
