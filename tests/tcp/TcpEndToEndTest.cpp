// The Vkr25 driver over the TCP transport against simulated sensors on loopback; the
// measuring road itself runs over both transports in the end-to-end tests.
#include "RunUntil.h"
#include "SimulatedRoads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using NorvEngineering::SensorLib::CTcpInterface;
using NorvEngineering::SensorLib::CVkr25;
using SensorSim::CSensorSimulator;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

TEST(TcpEndToEnd, TheSensorHangingUpIsOneReleasedNotificationAndTheTransportReconnects) {
    TestSupport::TcpRoad<CVkr25> road;
    road.start();
    const auto& owner = road.station.owner;
    ASSERT_TRUE(runUntil([&] { return owner.sensorReady == 1; }));
    road.server.hangUp();
    ASSERT_TRUE(runUntil([&] { return owner.released == 1; }));
    ASSERT_TRUE(CTcpInterface::waitForClientThreads(5s));
    TestSupport::pumpFor(30ms);
    EXPECT_EQ(owner.released, 1);
    EXPECT_TRUE(owner.interfaceErrors.empty());

    road.station.line.transport->initInterface_();
    ASSERT_TRUE(runUntil([&] { return owner.ready == 2; }));
    // The kernel completes the handshake before the server thread gets to accept.
    EXPECT_TRUE(runUntil([&] { return road.server.connectionsAccepted() == 2u; }));
}

TEST(TcpEndToEnd, FiftyConnectionsToFiftySimulatorsInOneProcess) {
    constexpr std::size_t kCount = 50;
    using TcpStation = TestSupport::Station<CVkr25, TestSupport::TcpLine>;
    SensorSim::CTcpSensorServer server(kCount);
    std::vector<std::unique_ptr<TcpStation>> stations;
    for (std::size_t i = 0; i < kCount; ++i) {
        server.with(i, TestSupport::countUp);
        stations.push_back(std::make_unique<TcpStation>(server.port(i)));
        stations.back()->connect();
    }
    const auto all = [&](const auto& condition) {
        return runUntil([&] { return std::all_of(stations.begin(), stations.end(), condition); }, 20s);
    };
    ASSERT_TRUE(all([](const auto& station) { return station->owner.sensorReady == 1; }));
    for (auto& station : stations)
        station->driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(all([](const auto& station) { return station->owner.distances.size() >= 25; }));
    for (std::size_t i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(TestSupport::brokenStep(stations[i]->owner.distances), "");
        EXPECT_TRUE(stations[i]->owner.interfaceErrors.empty());
    }
    stations.clear();
    EXPECT_TRUE(CTcpInterface::waitForClientThreads(10s));
}

} // namespace
