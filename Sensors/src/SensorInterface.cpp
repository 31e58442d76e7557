#include "SensorInterface.h"

#include "Sensor.h"
#include "SensorSink.h"

namespace NorvEngineering::SensorLib {

CSensorInterface::CSensorInterface(EInterfaceType kind) : m_kind_(kind) {}

CSensorInterface::~CSensorInterface() {
    if (m_pSensor_ != nullptr)
        m_pSensor_->detachInterface(this);
    // A sensor attached without going through CSensor::setInterface would not point
    // back here; forget it all the same.
    m_pSensor_ = nullptr;
}

void CSensorInterface::attachSensor(CSensor* sensor) {
    m_pSensor_ = sensor;
    initInterface_();
}

void CSensorInterface::detachSensor(CSensor* sensor) {
    if (sensor != nullptr && sensor == m_pSensor_)
        m_pSensor_ = nullptr;
}

void CSensorInterface::notifyDataReceived(const char* data, unsigned int length) {
    if (m_pSensor_ != nullptr && length != 0)
        m_pSensor_->dataReceived(data, length);
}

void CSensorInterface::notifyInterfaceReady() {
    if (m_pSensor_ != nullptr && m_pSensor_->getSink() != nullptr)
        m_pSensor_->getSink()->onInterfaceReady(m_pSensor_, this);
}

void CSensorInterface::notifyInterfaceError(CInterfaceError& error) {
    if (m_pSensor_ != nullptr && m_pSensor_->getSink() != nullptr)
        m_pSensor_->getSink()->onInterfaceError(m_pSensor_, this, error);
}

void CSensorInterface::notifyInterfaceReleased() {
    if (m_pSensor_ != nullptr && m_pSensor_->getSink() != nullptr)
        m_pSensor_->getSink()->onInterfaceReleased(m_pSensor_, this);
}

} // namespace NorvEngineering::SensorLib
