#pragma once

#include "ComThread.h"
#include "PtySensorServer.h"
#include "RunUntil.h"
#include "Stations.h"
#include "TcpSensorServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace TestSupport {

using SimulatorCall = std::function<void(SensorSim::CSensorSimulator&)>;

// A driver on a real line to a simulated sensor that its server's own thread serves:
// over a pseudo-terminal with the serial transport, or over loopback with the TCP
// transport. start() starts the server and attaches the transport; with() runs a call
// with the simulator under the server's lock. The transport goes first, then its
// threads are awaited, then the server stops.
template <class Driver>
struct SerialRoad {
    static constexpr const char* kName = "OverAPseudoTerminal";
    SensorSim::CPtySensorServer server;
    Station<Driver, SerialLine> station{server.getDevicePath()};

    explicit SerialRoad(SensorSim::EModel model = SensorSim::EModel::Vkr25) : server(model) {}
    ~SerialRoad() {
        station.line.transport.reset();
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(std::chrono::seconds(5)));
        server.stop();
    }
    void start() {
        server.start();
        station.connect();
    }
    void with(const SimulatorCall& call) { server.withSimulator(call); }
};

template <class Driver>
struct TcpRoad {
    static constexpr const char* kName = "OverLoopback";
    SensorSim::CTcpSensorServer server;
    Station<Driver, TcpLine> station{server.port()};

    explicit TcpRoad(SensorSim::EModel model = SensorSim::EModel::Vkr25) : server(1, model) {}
    ~TcpRoad() {
        station.line.transport.reset();
        EXPECT_TRUE(NorvEngineering::SensorLib::CTcpInterface::waitForClientThreads(std::chrono::seconds(5)));
    }
    void start() { station.connect(); }
    void with(const SimulatorCall& call) { server.with(0, call); }
};

// 1.000 m, 1.001 m, ...: every measurement line differs from the one before.
inline void countUp(SensorSim::CSensorSimulator& sim) {
    sim.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index % 5000); });
}

// Counting up, started, ready, and the auto-start command that readiness sends answered.
template <class Road>
bool startedAndReady(Road& road) {
    road.with(countUp);
    road.start();
    return runUntil(
        [&] { return road.station.owner.sensorReady == 1 && road.station.driver.getQueue().empty(); });
}

// Names the typed tests of a road by its transport.
struct RoadName {
    template <class Road>
    static std::string GetName(int) {
        return Road::kName;
    }
};

// Measures (mode DX) until `lines` new distances have come, stops, and checks that
// every measurement line the simulator sent meanwhile arrived once, none lost, none
// twice. The sensor must not be measuring before.
template <class Road>
void measureAndCount(Road& road, std::size_t lines) {
    auto& owner = road.station.owner;
    uint64_t sentBefore = 0;
    road.with([&](SensorSim::CSensorSimulator& sim) { sentBefore = sim.getMeasurementLinesSent(); });
    owner.distances.clear();
    road.station.driver.setMode(decltype(road.station.driver)::lmDX);
    ASSERT_TRUE(runUntil([&] { return owner.distances.size() >= lines; }, std::chrono::seconds(20)));
    // The sensor holds its lines before the escape goes out: a line that crosses the
    // escape on the way is no reply to anything any more, and would not count.
    road.with([](SensorSim::CSensorSimulator& sim) { sim.holdMeasurements(true); });
    uint64_t sent = 0;
    const auto readSent = [&] {
        road.with(
            [&](SensorSim::CSensorSimulator& sim) { sent = sim.getMeasurementLinesSent() - sentBefore; });
    };
    ASSERT_TRUE(runUntil([&] {
        readSent();
        return owner.distances.size() >= sent;
    })) << "sent "
        << sent << ", arrived " << owner.distances.size();
    road.station.driver.setMode(decltype(road.station.driver)::lmEscaped);
    ASSERT_TRUE(runUntil([&] {
        bool measuring = true;
        road.with([&](SensorSim::CSensorSimulator& sim) { measuring = sim.isMeasuring(); });
        return !measuring;
    }));
    road.with([](SensorSim::CSensorSimulator& sim) { sim.holdMeasurements(false); });
    readSent();
    EXPECT_EQ(owner.distances.size(), sent);
    EXPECT_EQ(brokenStep(owner.distances), "");
}

} // namespace TestSupport
