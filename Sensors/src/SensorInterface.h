#pragma once

#include <cstdint>

namespace NorvEngineering::SensorLib {

class CSensor;
class CInterfaceError;

// The byte transport below a sensor. Implementations open in initInterface_, report
// readiness, errors, received bytes and release through the notify operations, and
// close in releaseInterface.
class CSensorInterface {
public:
    enum EInterfaceType : uint8_t { itTcpSocket = 0, itSerial = 1 };

    explicit CSensorInterface(EInterfaceType kind);
    CSensorInterface(const CSensorInterface&) = delete;
    CSensorInterface& operator=(const CSensorInterface&) = delete;
    virtual ~CSensorInterface();

    virtual void write(const char* data, int length) = 0;
    virtual void notifyDataReceived(const char* data, unsigned int length);
    virtual void notifyInterfaceReady();
    virtual void notifyInterfaceError(CInterfaceError& error);
    virtual void notifyInterfaceReleased();
    virtual void initInterface_() = 0;
    virtual void releaseInterface() = 0;

    // Remembers the sensor and opens the transport.
    void attachSensor(CSensor* sensor);
    void detachSensor(CSensor* sensor);

    EInterfaceType getInterfaceType() const { return m_kind_; }
    CSensor* getSensor() const { return m_pSensor_; }

private:
    EInterfaceType m_kind_;
    CSensor* m_pSensor_ = nullptr;
};

} // namespace NorvEngineering::SensorLib
