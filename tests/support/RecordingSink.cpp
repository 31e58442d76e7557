#include "RecordingSink.h"

namespace TestSupport {

using namespace NorvEngineering::SensorLib;

void RecordingSink::onDataUpdate(CSensor* sensor, const std::string& text) {
    lastSensor = sensor;
    ++dataUpdates;
    updates.push_back(text);
    calls.push_back("update");
}

void RecordingSink::onInterfaceReady(CSensor* sensor, CSensorInterface* iface) {
    lastSensor = sensor;
    lastInterface = iface;
    ++ready;
    calls.push_back("ready");
}

void RecordingSink::onInterfaceError(CSensor* sensor, CSensorInterface* iface, CInterfaceError& error) {
    lastSensor = sensor;
    lastInterface = iface;
    interfaceErrors.push_back({error.getCode(), error.getMessage(), error.getPlace()});
    calls.push_back("interfaceError");
}

void RecordingSink::onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) {
    lastSensor = sensor;
    lastInterface = iface;
    ++released;
    calls.push_back("released");
}

void RecordingSink::onSensorReady(CSensor* sensor) {
    lastSensor = sensor;
    ++sensorReady;
    calls.push_back("sensorReady");
}

void RecordingSink::onSensorError(CSensor* sensor, CSensorError& error) {
    lastSensor = sensor;
    sensorErrors.push_back(error.getCode());
    calls.push_back("sensorError");
}

void RecordingSink::onSensorCustomCallback(CSensor* sensor) {
    lastSensor = sensor;
    ++modeChanges;
    calls.push_back("mode");
}

} // namespace TestSupport
