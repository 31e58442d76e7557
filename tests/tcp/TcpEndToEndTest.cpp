// The Vkr25 driver over the TCP transport against simulated sensors on loopback.
#include "RunUntil.h"
#include "Stations.h"
#include "TcpSensorServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using NorvEngineering::SensorLib::CTcpInterface;
using NorvEngineering::SensorLib::CVkr25;
using SensorSim::CTcpSensorServer;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

using TcpStation = TestSupport::Station<CVkr25, TestSupport::TcpLine>;

// 1.000 m, 1.001 m, ...: every measurement line differs from the one before.
void useCountingDistances(CTcpSensorServer& server, std::size_t index) {
    server.with(index, [](SensorSim::CSensorSimulator& sim) {
        sim.setDistanceSource([](std::uint64_t i) { return 1.0 + 0.001 * static_cast<double>(i % 5000); });
    });
}

TEST(TcpEndToEnd, StartsMeasuresAtFiftyPerSecondSeesTheSensorHangUpAndReconnects) {
    CTcpSensorServer server;
    useCountingDistances(server, 0);
    TcpStation station(server.port());
    station.connect();
    ASSERT_TRUE(runUntil([&] { return station.owner.sensorReady == 1; }, 5s));
    EXPECT_EQ(station.owner.ready, 1);

    // Two seconds at 50 lines a second, then every line the simulator sent has come once.
    station.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(runUntil([&] { return station.owner.distances.size() >= 100; }));
    station.driver.setMode(CVkr25::lmEscaped);
    std::uint64_t sent = 0;
    ASSERT_TRUE(runUntil([&] {
        server.with(0, [&](SensorSim::CSensorSimulator& sim) { sent = sim.getMeasurementLinesSent(); });
        return !station.owner.distances.empty() && station.owner.distances.size() == sent;
    }));
    EXPECT_EQ(TestSupport::brokenStep(station.owner.distances), "");
    EXPECT_TRUE(station.owner.interfaceErrors.empty());
    EXPECT_TRUE(station.owner.sensorErrors.empty());

    server.hangUp();
    ASSERT_TRUE(runUntil([&] { return station.owner.released == 1; }, 5s));
    ASSERT_TRUE(CTcpInterface::waitForClientThreads(5s));
    TestSupport::pumpFor(30ms);
    EXPECT_EQ(station.owner.released, 1);

    station.line.transport->initInterface_();
    ASSERT_TRUE(runUntil([&] { return station.owner.ready == 2; }, 5s));
    // The kernel completes the handshake before the server thread gets to accept.
    EXPECT_TRUE(runUntil([&] { return server.connectionsAccepted() == 2u; }, 5s));
}

TEST(TcpEndToEnd, FiftyConnectionsToFiftySimulatorsInOneProcess) {
    constexpr std::size_t kCount = 50;
    CTcpSensorServer server(kCount);
    std::vector<std::unique_ptr<TcpStation>> stations;
    for (std::size_t i = 0; i < kCount; ++i) {
        useCountingDistances(server, i);
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
