#pragma once

#include "RecordingSink.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

// An owner of a laser in the manner of a sensor component, for synchronised delivery
// (every call on the main thread): a recording sink that starts the sensor when the
// transport is ready and keeps each new distance text (one that differs from the
// last) with the time it arrived.
class MeasuringOwner : public RecordingSink {
public:
    using Clock = std::chrono::steady_clock;

    void onDataUpdate(CSensor* sensor, const std::string& text) override {
        const auto now = Clock::now();
        RecordingSink::onDataUpdate(sensor, text);
        const std::string& distance =
            static_cast<NorvEngineering::SensorLib::CNorvLaser*>(sensor)->getStrDistance();
        if (!distance.empty() && (distances.empty() || distances.back() != distance)) {
            distances.push_back(distance);
            arrivals.push_back(now);
            if (afterNewDistance)
                afterNewDistance();
        }
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) override {
        RecordingSink::onInterfaceReady(sensor, iface);
        sensor->initialize();
    }
    void onSensorError(CSensor* sensor, NorvEngineering::SensorLib::CSensorError& error) override {
        RecordingSink::onSensorError(sensor, error);
        if (afterSensorError)
            afterSensorError();
    }

    std::vector<std::string> distances;
    std::vector<Clock::time_point> arrivals;
    // Runs on the main thread after each new distance: an owner that is slow at times.
    std::function<void()> afterNewDistance;
    // Runs on the main thread after each sensor error.
    std::function<void()> afterSensorError;
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
