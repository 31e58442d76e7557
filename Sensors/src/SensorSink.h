#pragma once

#include <cstdint>
#include <string>

namespace NorvEngineering::SensorLib {

class CSensor;
class CSensorInterface;
class CInterfaceError;
class CSensorError;

// What a sensor's owner implements to hear from it. The library never deletes a
// sink, so the destructor is protected and not virtual.
class CSensorSink {
public:
    CSensorSink() = default;

    virtual void onDataUpdate(CSensor* sensor, const std::string& text) = 0;
    virtual void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) = 0;
    virtual void onInterfaceError(CSensor* sensor, CSensorInterface* iface, CInterfaceError& error) = 0;
    virtual void onInterfaceReleased(CSensor* sensor, CSensorInterface* iface) = 0;
    virtual void onSensorReady(CSensor* sensor) = 0;
    virtual void onSensorError(CSensor* sensor, CSensorError& error) = 0;
    virtual void onSensorCustomCallback(CSensor* sensor) = 0;
    virtual uint32_t getSensorType() const = 0;
    virtual int32_t getSensorId() const = 0;

protected:
    ~CSensorSink() = default;
    CSensorSink(const CSensorSink&) = default;
    CSensorSink& operator=(const CSensorSink&) = default;
};

} // namespace NorvEngineering::SensorLib
