#pragma once

#include "SensorLib.h"
#include "SensorSimulator.h"

#include "Application.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace Vkr27EndToEnd {

using NorvEngineering::SensorLib::CInterfaceError;
using NorvEngineering::SensorLib::CSensor;
using NorvEngineering::SensorLib::CSensorError;
using NorvEngineering::SensorLib::CSensorInterface;
using NorvEngineering::SensorLib::CSensorSink;
using NorvEngineering::SensorLib::CVkr25Xt;
using SensorSim::CSensorSimulator;
using namespace std::chrono_literals;

// An owner in the manner of a sensor component: it starts the sensor when the
// transport is ready and keeps what it is told. Every call reaches it on the main
// thread.
class Owner : public CSensorSink {
public:
    void onDataUpdate(CSensor* sensor, const std::string&) override {
        ++updates;
        const auto* driver = static_cast<CVkr25Xt*>(sensor);
        if (!driver->getStrDistance().empty() && driver->getStrDistance() != m_lastDistance_) {
            m_lastDistance_ = driver->getStrDistance();
            distances.push_back(driver->getDistance());
        }
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override { sensor->initialize(); }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError& error) override {
        interfaceErrors.push_back(error.getMessage());
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {}
    void onSensorReady(CSensor*) override { ++sensorReady; }
    void onSensorError(CSensor*, CSensorError& error) override { sensorErrors.push_back(error.getCode()); }
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }

    uint64_t updates = 0;
    int sensorReady = 0;
    std::vector<double> distances;
    std::vector<std::string> interfaceErrors;
    std::vector<int> sensorErrors;

private:
    std::string m_lastDistance_;
};

// Runs a call with the simulator behind the transport, under its server's lock.
using WithSimulator = std::function<void(const std::function<void(CSensorSimulator&)>&)>;

// A Vkr27 with its alarms set, measuring 1.000 m, 1.001 m, ... one line after the
// other, quickly.
inline void prepareVkr27(CSensorSimulator& sim) {
    sim.setModel(SensorSim::EModel::Vkr27);
    sim.setIdentity({"VKR27", "SN 4711", "V7.03"});
    sim.getParameters().set("AS", "dt");
    sim.getParameters().set("FA", "2.5");
    sim.getParameters().set("FB", "-1.25");
    sim.setDistanceSource([](uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index % 5000); });
    sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DT, 5ms);
    sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, 2ms);
}

inline bool runUntil(const std::function<bool()>& condition) {
    return NorvEngineering::Platform::Application().RunUntil(condition, 10s);
}

// Stops the running mode and waits until every line the sensor sent has been read,
// so that no measurement still on its way is taken for the next command's reply.
inline void stopAndDrain(CVkr25Xt& driver, Owner& owner, const WithSimulator& with) {
    driver.setMode(CVkr25Xt::lmEscaped);
    ASSERT_TRUE(runUntil([&] {
        bool measuring = true;
        uint64_t sent = 0;
        with([&](CSensorSimulator& sim) {
            measuring = sim.isMeasuring();
            sent = sim.getLinesSent();
        });
        return !measuring && owner.updates == sent;
    }));
}

// The road of a Vkr27 over a real transport, from the attached transport on: the
// start-up with its model check, the auto-start mode, setting alarm 2, a second dump
// that reads alarms 2 and 3, and fifty lines a second without a line lost.
inline void runTheRoad(CVkr25Xt& driver, Owner& owner, const WithSimulator& with) {
    ASSERT_TRUE(runUntil([&] { return owner.sensorReady == 1 && owner.distances.size() >= 5; }));
    const auto* identity = driver.getConfig()->getVersionInfo();
    ASSERT_NE(identity, nullptr);
    EXPECT_EQ(identity->getModel(), "VKR27");
    EXPECT_FALSE(identity->isVersionBelow(7));
    EXPECT_EQ(driver.getConfig()->getAutostartMode(), CVkr25Xt::lmDT);
    EXPECT_EQ(driver.getCurrentMode(), CVkr25Xt::lmDT);
    EXPECT_TRUE(driver.getConfig()->getStrAlarm2().empty()); // not read at the first dump

    stopAndDrain(driver, owner, with);
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
    stopAndDrain(driver, owner, with);
    for (std::size_t i = 1; i < owner.distances.size(); ++i)
        ASSERT_NEAR(owner.distances[i] - owner.distances[i - 1], 0.001, 1e-6) << "line " << i;

    with([](CSensorSimulator& sim) {
        const std::vector<std::string> expected = {"\x1B",   "\x1B", "ID", "PA", "DT", "\x1B",
                                                   "FA3.75", "PA",   "FA", "FB", "DX", "\x1B"};
        EXPECT_EQ(sim.getCommandsReceived(), expected);
        EXPECT_EQ(sim.getParameters().get("FA"), "3.75");
    });
    EXPECT_TRUE(owner.sensorErrors.empty());
    EXPECT_TRUE(owner.interfaceErrors.empty());
}

} // namespace Vkr27EndToEnd
