// The road of a Vkr27 over each real transport against its simulator: the start-up
// with its model check, the auto-start mode, setting alarm 2, a second dump that reads
// alarms 2 and 3, and a quick run of lines, none lost.
#include "RunUntil.h"
#include "SimulatedRoads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using NorvEngineering::SensorLib::CVkr25Xt;
using SensorSim::CSensorSimulator;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

// A Vkr27 with its alarms set, measuring 1.000 m, 1.001 m, ... one line after the
// other, quickly.
void prepareVkr27(CSensorSimulator& sim) {
    sim.setModel(SensorSim::EModel::Vkr27);
    sim.setIdentity({"VKR27", "SN 4711", "V7.03"});
    sim.getParameters().set("AS", "dt");
    sim.getParameters().set("FA", "2.5");
    sim.getParameters().set("FB", "-1.25");
    TestSupport::countUp(sim);
    sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DT, 5ms);
    sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, 2ms);
}

template <class Road>
class Vkr27Road : public ::testing::Test {};
using Roads = ::testing::Types<TestSupport::SerialRoad<CVkr25Xt>, TestSupport::TcpRoad<CVkr25Xt>>;
TYPED_TEST_SUITE(Vkr27Road, Roads, TestSupport::RoadName);

TYPED_TEST(Vkr27Road, StartsReadsTheAlarmsAndMeasures) {
    TypeParam road(SensorSim::EModel::Vkr27);
    road.with(prepareVkr27);
    road.start();
    CVkr25Xt& driver = road.station.driver;
    TestSupport::MeasuringOwner& owner = road.station.owner;
    // Stops the running mode and waits until every line the sensor sent has been read,
    // so that no measurement still on its way is taken for the next command's reply.
    const auto stopAndDrain = [&] {
        driver.setMode(CVkr25Xt::lmEscaped);
        return runUntil([&] {
            bool measuring = true;
            uint64_t sent = 0;
            road.with([&](CSensorSimulator& sim) {
                measuring = sim.isMeasuring();
                sent = sim.getLinesSent();
            });
            return !measuring && static_cast<uint64_t>(owner.dataUpdates) == sent;
        });
    };

    ASSERT_TRUE(runUntil([&] { return owner.sensorReady == 1 && owner.distances.size() >= 5; }));
    ASSERT_NE(driver.getConfig()->getVersionInfo(), nullptr);
    EXPECT_EQ(driver.getConfig()->getVersionInfo()->getModel(), "VKR27");
    EXPECT_EQ(driver.getCurrentMode(), CVkr25Xt::lmDT);
    EXPECT_TRUE(driver.getConfig()->getStrAlarm2().empty()); // not read at the first dump

    ASSERT_TRUE(stopAndDrain());
    driver.setMode(CVkr25Xt::lmFA, "3,75");
    ASSERT_TRUE(runUntil([&] { return driver.getQueue().empty(); }));
    EXPECT_FLOAT_EQ(driver.getConfig()->getAlarm2(), 3.75F);

    driver.setMode(CVkr25Xt::lmPA);
    ASSERT_TRUE(
        runUntil([&] { return driver.getQueue().empty() && !driver.getConfig()->getStrAlarm3().empty(); }));
    EXPECT_FLOAT_EQ(driver.getConfig()->getAlarm2(), 3.75F);
    EXPECT_FLOAT_EQ(driver.getConfig()->getAlarm3(), -1.25F);
    EXPECT_EQ(owner.sensorReady, 1);

    TestSupport::measureAndCount(road, 100);

    road.with([](CSensorSimulator& sim) {
        const std::vector<std::string> expected = {"\x1B",   "\x1B", "ID", "PA", "DT", "\x1B",
                                                   "FA3.75", "PA",   "FA", "FB", "DX", "\x1B"};
        EXPECT_EQ(sim.getCommandsReceived(), expected);
        EXPECT_EQ(sim.getParameters().get("FA"), "3.75");
    });
    EXPECT_TRUE(owner.sensorErrors.empty());
    EXPECT_TRUE(owner.interfaceErrors.empty());

    road.station.line.transport.reset();
    EXPECT_EQ(driver.getInterface(), nullptr);
}

} // namespace
