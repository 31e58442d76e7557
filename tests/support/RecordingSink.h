#pragma once

#include "SensorLib.h"

#include <string>
#include <vector>

namespace TestSupport {

// A sink that remembers every call, in order, as a short text, plus the values
// that the tests look at most.
class RecordingSink : public NorvEngineering::SensorLib::CSensorSink {
public:
    using CSensor = NorvEngineering::SensorLib::CSensor;
    using CSensorInterface = NorvEngineering::SensorLib::CSensorInterface;

    struct ErrorRecord {
        int code;
        std::string message;
        std::string place;
    };

    void onDataUpdate(CSensor* sensor, const std::string& text) override {
        ++dataUpdates;
        updates.push_back(text);
        note(sensor, "update");
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) override {
        ++ready;
        lastInterface = iface;
        note(sensor, "ready");
    }
    void onInterfaceError(CSensor* sensor, CSensorInterface* iface,
                          NorvEngineering::SensorLib::CInterfaceError& error) override {
        interfaceErrors.push_back({error.getCode(), error.getMessage(), error.getPlace()});
        lastInterface = iface;
        note(sensor, "interfaceError");
    }
    void onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) override {
        ++released;
        lastInterface = iface;
        note(sensor, "released");
    }
    void onSensorReady(CSensor* sensor) override {
        ++sensorReady;
        note(sensor, "sensorReady");
    }
    void onSensorError(CSensor* sensor, NorvEngineering::SensorLib::CSensorError& error) override {
        sensorErrors.push_back(error.getCode());
        note(sensor, "sensorError");
    }
    void onSensorCustomCallback(CSensor* sensor) override {
        ++modeChanges;
        note(sensor, "mode");
    }
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }
    // Every update's text, one after the other.
    std::string trace() const {
        std::string all;
        for (const auto& text : updates)
            all += text;
        return all;
    }

    std::vector<std::string> calls;
    std::vector<std::string> updates;
    std::vector<ErrorRecord> interfaceErrors;
    std::vector<int> sensorErrors;
    int dataUpdates = 0;
    int ready = 0;
    int sensorReady = 0;
    int released = 0;
    int modeChanges = 0;
    CSensor* lastSensor = nullptr;
    CSensorInterface* lastInterface = nullptr;

private:
    void note(CSensor* sensor, const char* call) {
        lastSensor = sensor;
        calls.emplace_back(call);
    }
};

} // namespace TestSupport
