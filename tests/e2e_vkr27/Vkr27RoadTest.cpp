// The road of a Vkr27 over each real transport against its simulator: the start-up
// with its model check, the auto-start mode, setting alarm 2, a second dump that reads
// alarms 2 and 3, and a quick run of lines without a line lost.
#include "ComThread.h"
#include "PtySensorServer.h"
#include "RunUntil.h"
#include "Stations.h"
#include "TcpSensorServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using NorvEngineering::SensorLib::CTcpInterface;
using NorvEngineering::SensorLib::CVkr25Xt;
using SensorSim::CSensorSimulator;
using TestSupport::runUntil;
using TestSupport::Station;
using namespace std::chrono_literals;

namespace {

using SimulatorCall = std::function<void(CSensorSimulator&)>;

// A Vkr27 with its alarms set, measuring 1.000 m, 1.001 m, ... one line after the
// other, quickly.
void prepareVkr27(CSensorSimulator& sim) {
    sim.setModel(SensorSim::EModel::Vkr27);
    sim.setIdentity({"VKR27", "SN 4711", "V7.03"});
    sim.getParameters().set("AS", "dt");
    sim.getParameters().set("FA", "2.5");
    sim.getParameters().set("FB", "-1.25");
    sim.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index % 5000); });
    sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DT, 5ms);
    sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, 2ms);
}

struct OverSerial {
    static constexpr const char* kName = "OverAPseudoTerminal";
    SensorSim::CPtySensorServer server{SensorSim::EModel::Vkr27};
    Station<CVkr25Xt, TestSupport::SerialLine> station{server.getDevicePath()};
    OverSerial() {
        server.withSimulator(prepareVkr27);
        server.start();
        station.connect();
    }
    void with(const SimulatorCall& call) { server.withSimulator(call); }
    bool threadsEnd() { return NorvEngineering::Serial::TComThread::WaitForAll(5s); }
};

struct OverTcp {
    static constexpr const char* kName = "OverLoopback";
    SensorSim::CTcpSensorServer server;
    Station<CVkr25Xt, TestSupport::TcpLine> station{server.port()};
    OverTcp() {
        server.with(0, prepareVkr27);
        station.connect();
    }
    void with(const SimulatorCall& call) { server.with(0, call); }
    bool threadsEnd() { return CTcpInterface::waitForClientThreads(5s); }
};

template <class Road>
class Vkr27Road : public ::testing::Test {};
struct RoadName {
    template <class Road>
    static std::string GetName(int) {
        return Road::kName;
    }
};
using Roads = ::testing::Types<OverSerial, OverTcp>;
TYPED_TEST_SUITE(Vkr27Road, Roads, RoadName);

TYPED_TEST(Vkr27Road, StartsReadsTheAlarmsAndMeasures) {
    TypeParam road;
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
            return !measuring && owner.updates == sent;
        });
    };

    ASSERT_TRUE(runUntil([&] { return owner.sensorReady == 1 && owner.distances.size() >= 5; }));
    const auto* identity = driver.getConfig()->getVersionInfo();
    ASSERT_NE(identity, nullptr);
    EXPECT_EQ(identity->getModel(), "VKR27");
    EXPECT_FALSE(identity->isVersionBelow(7));
    EXPECT_EQ(driver.getConfig()->getAutostartMode(), CVkr25Xt::lmDT);
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

    owner.distances.clear();
    driver.setMode(CVkr25Xt::lmDX);
    ASSERT_TRUE(runUntil([&] { return owner.distances.size() >= 100; }));
    ASSERT_TRUE(stopAndDrain());
    EXPECT_EQ(TestSupport::brokenStep(owner.distances), "");

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
    EXPECT_TRUE(road.threadsEnd());
}

} // namespace
