#include "Application.h"
#include "SensorLib.h"
#include "TcpInterface.h"
#include "TcpSensorServer.h"
#include "Vkr25.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

using NorvEngineering::Platform::Application;
using NorvEngineering::SensorLib::CInterfaceError;
using NorvEngineering::SensorLib::CSensor;
using NorvEngineering::SensorLib::CSensorError;
using NorvEngineering::SensorLib::CSensorInterface;
using NorvEngineering::SensorLib::CSensorSink;
using NorvEngineering::SensorLib::CTcpInterface;
using NorvEngineering::SensorLib::CVkr25;
using SensorSim::CTcpSensorServer;
using namespace std::chrono_literals;

namespace {

// An owner in the manner of a sensor component, with synchronised delivery: all of
// this runs on the main thread.
class Owner : public CSensorSink {
public:
    void onDataUpdate(CSensor* sensor, const std::string&) override {
        auto* driver = static_cast<CVkr25*>(sensor);
        if (!driver->getStrDistance().empty() && driver->getStrDistance() != lastDistance) {
            lastDistance = driver->getStrDistance();
            distances.push_back(driver->getDistance());
        }
        ++updates;
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override {
        ++ready;
        sensor->initialize();
    }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError& error) override {
        errors.push_back(error.getMessage());
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override { ++released; }
    void onSensorReady(CSensor*) override { ++sensorReady; }
    void onSensorError(CSensor*, CSensorError& error) override { sensorErrors.push_back(error.getCode()); }
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }

    int ready = 0;
    int released = 0;
    int sensorReady = 0;
    int updates = 0;
    std::vector<std::string> errors;
    std::vector<int> sensorErrors;
    std::string lastDistance;
    std::vector<double> distances;
};

struct Station {
    Owner owner;
    CVkr25 driver{&owner};
    CTcpInterface::TTcpProperties properties{nullptr};
    std::unique_ptr<CTcpInterface> transport;

    explicit Station(uint16_t port) {
        properties.IpAddress = "127.0.0.1";
        properties.PortNumber = port;
        transport = std::make_unique<CTcpInterface>(&properties, true);
    }
    ~Station() { transport.reset(); }
    void connect() { driver.setInterface(transport.get()); }
};

void useCountingDistances(CTcpSensorServer& server, std::size_t index) {
    server.with(index, [](SensorSim::CSensorSimulator& sim) {
        sim.setDistanceSource([](std::uint64_t i) { return 1.0 + 0.001 * static_cast<double>(i % 5000); });
    });
}

// Every line once, none lost: each distance is the one before plus a millimetre.
void expectConsecutive(const std::vector<double>& distances) {
    for (std::size_t i = 1; i < distances.size(); ++i)
        ASSERT_NEAR(distances[i] - distances[i - 1], 0.001, 1e-6) << "at " << i;
}

} // namespace

TEST(TcpEndToEnd, StartsMeasuresAtFiftyPerSecondSeesTheSensorHangUpAndReconnects) {
    CTcpSensorServer server;
    useCountingDistances(server, 0);
    Station station(server.port());
    station.connect();
    ASSERT_TRUE(Application().RunUntil([&] { return station.owner.sensorReady == 1; }, 5s));
    EXPECT_EQ(station.owner.ready, 1);

    station.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(Application().RunUntil([&] { return station.owner.distances.size() >= 100; }, 10s))
        << station.owner.distances.size() << " updates " << station.owner.updates << " mode "
        << int(station.driver.getCurrentMode()) << " " << station.driver.getStrDistance();
    station.driver.setMode(CVkr25::lmEscaped);
    std::uint64_t sent = 0;
    ASSERT_TRUE(Application().RunUntil(
        [&] {
            server.with(0, [&](SensorSim::CSensorSimulator& sim) { sent = sim.getMeasurementLinesSent(); });
            return !station.owner.distances.empty() && station.owner.distances.size() == sent;
        },
        5s));
    expectConsecutive(station.owner.distances);
    EXPECT_TRUE(station.owner.errors.empty());
    EXPECT_TRUE(station.owner.sensorErrors.empty());

    server.hangUp();
    ASSERT_TRUE(Application().RunUntil([&] { return station.owner.released == 1; }, 5s));
    ASSERT_TRUE(CTcpInterface::waitForClientThreads(5s));
    Application().RunUntil([] { return false; }, 30ms);
    EXPECT_EQ(station.owner.released, 1);

    station.transport->initInterface_();
    ASSERT_TRUE(Application().RunUntil([&] { return station.owner.ready == 2; }, 5s));
    // The kernel completes the handshake before the server thread gets to accept.
    EXPECT_TRUE(Application().RunUntil([&] { return server.connectionsAccepted() == 2u; }, 5s));
}

TEST(TcpEndToEnd, FiftyConnectionsToFiftySimulatorsInOneProcess) {
    constexpr std::size_t kCount = 50;
    CTcpSensorServer server(kCount);
    std::vector<std::unique_ptr<Station>> stations;
    for (std::size_t i = 0; i < kCount; ++i) {
        useCountingDistances(server, i);
        stations.push_back(std::make_unique<Station>(server.port(i)));
        stations.back()->connect();
    }
    ASSERT_TRUE(Application().RunUntil(
        [&] {
            for (const auto& station : stations)
                if (station->owner.sensorReady != 1)
                    return false;
            return true;
        },
        20s));
    for (auto& station : stations)
        station->driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(Application().RunUntil(
        [&] {
            for (const auto& station : stations)
                if (station->owner.distances.size() < 25)
                    return false;
            return true;
        },
        20s));
    for (std::size_t i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        expectConsecutive(stations[i]->owner.distances);
        EXPECT_TRUE(stations[i]->owner.errors.empty());
    }
    stations.clear();
    EXPECT_TRUE(CTcpInterface::waitForClientThreads(10s));
}
