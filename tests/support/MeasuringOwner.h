#pragma once

#include "SensorLib.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

// An owner of a laser in the manner of a sensor component, for synchronised delivery (every call
// on the main thread): it starts the sensor when the transport is ready and keeps
// each new distance text (one that differs from the last) with the time it arrived.
// Header-only, so that the benchmarks can use it too.
class MeasuringOwner : public NorvEngineering::SensorLib::CSensorSink {
public:
    using CSensor = NorvEngineering::SensorLib::CSensor;
    using CSensorInterface = NorvEngineering::SensorLib::CSensorInterface;
    using Clock = std::chrono::steady_clock;

    struct Error {
        int code;
        std::string message;
    };

    void onDataUpdate(CSensor* sensor, const std::string&) override {
        const auto now = Clock::now();
        ++updates;
        const std::string& distance =
            static_cast<NorvEngineering::SensorLib::CNorvLaser*>(sensor)->getStrDistance();
        if (!distance.empty() && (distances.empty() || distances.back() != distance)) {
            distances.push_back(distance);
            arrivals.push_back(now);
        }
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override {
        ++ready;
        sensor->initialize();
    }
    void onInterfaceError(CSensor*, CSensorInterface*,
                          NorvEngineering::SensorLib::CInterfaceError& error) override {
        interfaceErrors.push_back({error.getCode(), error.getMessage()});
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override { ++released; }
    void onSensorReady(CSensor*) override { ++sensorReady; }
    void onSensorError(CSensor*, NorvEngineering::SensorLib::CSensorError& error) override {
        sensorErrors.push_back(error.getCode());
    }
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }

    int ready = 0;
    int released = 0;
    int sensorReady = 0;
    uint64_t updates = 0;
    std::vector<std::string> distances;
    std::vector<Clock::time_point> arrivals;
    std::vector<Error> interfaceErrors;
    std::vector<int> sensorErrors;
};

// The simulators count distances up a millimetre a line; the first step that is not
// one millimetre (a line lost or read twice), or "" when there is none.
inline std::string brokenStep(const std::vector<std::string>& distances) {
    for (std::size_t i = 1; i < distances.size(); ++i)
        if (std::fabs(std::stod(distances[i]) - std::stod(distances[i - 1]) - 0.001) > 1e-6)
            return "line " + std::to_string(i) + ": " + distances[i - 1] + " -> " + distances[i];
    return "";
}

} // namespace TestSupport
