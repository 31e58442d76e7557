#pragma once

// What the benchmarks' sinks have in common: the sensor is started when its transport
// is ready, readiness and interface errors are noted (from any thread), the rest of
// the contract is left empty. A benchmark adds what it measures in onDataUpdate.
#include "Sensor.h"
#include "SensorSink.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Bench {

class ReadyCountingSink : public NorvEngineering::SensorLib::CSensorSink {
public:
    using CSensor = NorvEngineering::SensorLib::CSensor;
    using CSensorInterface = NorvEngineering::SensorLib::CSensorInterface;

    std::atomic<bool> sensorReady{false};
    std::atomic<int> interfaceErrors{0};

    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override { sensor->initialize(); }
    void onInterfaceError(CSensor*, CSensorInterface*,
                          NorvEngineering::SensorLib::CInterfaceError&) override {
        ++interfaceErrors;
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {}
    void onSensorReady(CSensor*) override { sensorReady = true; }
    void onSensorError(CSensor*, NorvEngineering::SensorLib::CSensorError&) override {}
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }
};

// Counts the lines that brought a new distance (the peers count up a line at a time),
// from whichever thread delivers them.
class DistanceCountingSink : public ReadyCountingSink {
public:
    std::atomic<uint64_t> lines{0};

    void onDataUpdate(CSensor* sensor, const std::string&) override {
        const double distance = static_cast<NorvEngineering::SensorLib::CNorvLaser*>(sensor)->getDistance();
        if (distance != m_last_)
            lines.fetch_add(1, std::memory_order_relaxed);
        m_last_ = distance;
    }

private:
    double m_last_ = -1.0;
};

} // namespace Bench
