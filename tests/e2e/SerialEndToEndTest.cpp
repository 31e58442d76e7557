// The whole road on a real line: the Vkr25 driver over the serial transport, talking
// through a pseudo-terminal to the simulated sensor served by its own thread.
#include "ComThread.h"
#include "PtySensorServer.h"
#include "RecordingSink.h"
#include "SensorLib.h"
#include "SerialInterface.h"

#include "Application.h"
#include "Exception.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::EAbort;
using SensorSim::CPtySensorServer;
using SensorSim::CSensorSimulator;
using namespace std::chrono_literals;

namespace {

// An owner as the library expects one: it starts the sensor when the transport is
// ready and keeps every distance the sensor reports (each differs from the last).
class Owner : public TestSupport::RecordingSink {
public:
    CVkr25* driver = nullptr;
    std::vector<std::string> distances;

    void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) override {
        RecordingSink::onInterfaceReady(sensor, iface);
        sensor->initialize();
    }
    void onDataUpdate(CSensor* sensor, const std::string& text) override {
        RecordingSink::onDataUpdate(sensor, text);
        const std::string& distance = driver->getStrDistance();
        if (!distance.empty() && (distances.empty() || distances.back() != distance))
            distances.push_back(distance);
    }
};

struct Rig {
    CPtySensorServer server;
    Owner owner;
    CVkr25 driver{&owner};
    CSerialInterface::TSerialProperties properties{nullptr};
    std::unique_ptr<CSerialInterface> transport;

    Rig() {
        owner.driver = &driver;
        // 1.000 m, 1.001 m, ...: every measurement line differs from the one before.
        server.withSimulator([](CSensorSimulator& sensor) {
            sensor.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index); });
        });
        properties.DeviceName = server.getDevicePath();
        properties.BaudRate = br115200;
        properties.DataBits = db8;
        properties.Parity = paNone;
        properties.StopBits = sb1;
        transport = std::make_unique<CSerialInterface>(&properties, true);
    }
    ~Rig() {
        transport.reset();
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
        server.stop();
    }

    bool connect() {
        server.start();
        driver.setInterface(transport.get());
        // Ready, and the auto-start command that readiness sends has been answered.
        return Application().RunUntil([&] { return owner.sensorReady == 1 && driver.getQueue().empty(); },
                                      10s);
    }
    bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
        return Application().RunUntil(condition, limit);
    }
    bool measuring() {
        bool running = false;
        server.withSimulator([&](CSensorSimulator& sensor) { running = sensor.isMeasuring(); });
        return running;
    }
};

// Each distance 1 mm above the one before: nothing lost, nothing twice.
void expectConsecutive(const std::vector<std::string>& distances) {
    for (std::size_t i = 1; i < distances.size(); ++i) {
        const double step = std::stod(distances[i]) - std::stod(distances[i - 1]);
        ASSERT_NEAR(step, 0.001, 1e-6) << distances[i - 1] << " -> " << distances[i];
    }
}

TEST(SerialEndToEnd, StartUpMeasuringFiftyTimesASecondAndAParameterChange) {
    Rig rig;
    ASSERT_TRUE(rig.connect());
    EXPECT_EQ(rig.owner.ready, 1);
    EXPECT_EQ(rig.driver.getActive(), 1);
    ASSERT_NE(rig.driver.getConfig().getVersionInfo(), nullptr);
    EXPECT_EQ(rig.driver.getConfig().getVersionInfo()->getModel(), "VKR25");

    // Several seconds at 50 lines a second.
    rig.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(rig.runUntil([&] { return rig.owner.distances.size() >= 150; }));
    rig.driver.setMode(CVkr25::lmEscaped);
    ASSERT_TRUE(rig.runUntil([&] { return !rig.measuring(); }));
    const uint64_t sent = rig.server.getMeasurementLinesSent();
    ASSERT_TRUE(rig.runUntil([&] { return rig.owner.distances.size() >= sent; }, 5s));
    EXPECT_EQ(rig.owner.distances.size(), sent);
    EXPECT_EQ(rig.owner.distances.front(), "001.000");
    expectConsecutive(rig.owner.distances);
    EXPECT_TRUE(rig.owner.interfaceErrors.empty());

    rig.driver.setMode(CVkr25::lmSA, "7");
    ASSERT_TRUE(rig.runUntil([&] { return rig.driver.getConfig().getAverage() == 7; }));
    std::string stored;
    rig.server.withSimulator([&](CSensorSimulator& sensor) { stored = sensor.getParameters().get("SA"); });
    EXPECT_EQ(stored, "7");
    EXPECT_TRUE(rig.owner.sensorErrors.empty());
}

TEST(SerialEndToEnd, SplitRepliesGarbageAndErrorRepliesDoNotDerailTheDriver) {
    Rig rig;
    rig.server.setSplitReplies(3, 1ms);
    rig.server.setGarbageEvery(4);
    ASSERT_TRUE(rig.connect());

    rig.server.withSimulator([](CSensorSimulator& sensor) { sensor.setErrorReply("SA", "E15"); });
    rig.driver.setMode(CVkr25::lmSA, "9");
    ASSERT_TRUE(rig.runUntil([&] { return !rig.owner.sensorErrors.empty(); }));
    EXPECT_EQ(rig.owner.sensorErrors.front(), 15);

    rig.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(rig.runUntil([&] { return rig.owner.distances.size() >= 30; }));
    rig.driver.setMode(CVkr25::lmEscaped);
    ASSERT_TRUE(rig.runUntil([&] { return !rig.measuring(); }));
    const uint64_t sent = rig.server.getMeasurementLinesSent();
    ASSERT_TRUE(rig.runUntil([&] { return rig.owner.distances.size() >= sent; }, 5s));
    EXPECT_EQ(rig.owner.distances.size(), sent);
    expectConsecutive(rig.owner.distances);
}

TEST(SerialEndToEnd, AFloodWithoutLineEndIsSurvivedAndMeasuringGoesOn) {
    Rig rig;
    ASSERT_TRUE(rig.connect());
    rig.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(rig.runUntil([&] { return rig.owner.distances.size() >= 5; }));
    rig.server.withSimulator([](CSensorSimulator& sensor) { sensor.emitFlood(); });
    const std::size_t before = rig.owner.distances.size();
    ASSERT_TRUE(rig.runUntil([&] { return rig.owner.distances.size() >= before + 20; }));
    EXPECT_TRUE(rig.owner.interfaceErrors.empty());
}

TEST(SerialEndToEnd, AHangUpIsAnInterfaceErrorAndNothingBreaks) {
    Rig rig;
    ASSERT_TRUE(rig.connect());
    rig.server.withSimulator([](CSensorSimulator& sensor) { sensor.setHangUpAfterLines(10); });
    rig.driver.setMode(CVkr25::lmDX);
    ASSERT_TRUE(rig.runUntil([&] { return !rig.owner.interfaceErrors.empty(); }));
    EXPECT_TRUE(rig.server.isHungUp());
    ASSERT_EQ(rig.owner.interfaceErrors.size(), 1u);
    EXPECT_EQ(rig.owner.interfaceErrors[0].code, 5);
    EXPECT_EQ(rig.owner.interfaceErrors[0].message, "Input/output error");
    EXPECT_LE(rig.owner.distances.size(), 10u);
    expectConsecutive(rig.owner.distances);
    // Commands after the hang-up are reported, not sent into the void.
    EXPECT_THROW(rig.driver.setMode(CVkr25::lmEscaped), EAbort);
    EXPECT_EQ(rig.owner.interfaceErrors.size(), 2u);
    rig.transport->releaseInterface();
    EXPECT_EQ(rig.transport->getComPort(), nullptr);
}

} // namespace
