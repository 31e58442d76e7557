#include "RecordingSink.h"

namespace TestSupport {

using namespace NorvEngineering::SensorLib;

void RecordingSink::note(CSensor* sensor, const char* call) {
    lastSensor = sensor;
    calls.emplace_back(call);
}

void RecordingSink::onDataUpdate(CSensor* sensor, const std::string& text) {
    ++dataUpdates;
    updates.push_back(text);
    note(sensor, "update");
}

void RecordingSink::onInterfaceReady(CSensor* sensor, CSensorInterface* iface) {
    ++ready;
    lastInterface = iface;
    note(sensor, "ready");
}

void RecordingSink::onInterfaceError(CSensor* sensor, CSensorInterface* iface, CInterfaceError& error) {
    interfaceErrors.push_back({error.getCode(), error.getMessage(), error.getPlace()});
    lastInterface = iface;
    note(sensor, "interfaceError");
}

void RecordingSink::onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) {
    ++released;
    lastInterface = iface;
    note(sensor, "released");
}

void RecordingSink::onSensorReady(CSensor* sensor) {
    ++sensorReady;
    note(sensor, "sensorReady");
}

void RecordingSink::onSensorError(CSensor* sensor, CSensorError& error) {
    sensorErrors.push_back(error.getCode());
    note(sensor, "sensorError");
}

void RecordingSink::onSensorCustomCallback(CSensor* sensor) {
    ++modeChanges;
    note(sensor, "mode");
}

std::string RecordingSink::trace() const {
    std::string all;
    for (const auto& text : updates)
        all += text;
    return all;
}

} // namespace TestSupport
