#include "Sensor.h"

#include "NumberConversion.h"
#include "SensorInterface.h"
#include "SensorProcessor.h"

namespace NorvEngineering::SensorLib {

CSensor::CSensor(CSensorSink* sink) : m_pSink_(sink) {}

CSensor::~CSensor() {
    detachInterface(nullptr);
}

void CSensor::dataReceived(const char* data, unsigned int length) {
    if (m_pProcessor_ != nullptr)
        m_pProcessor_->feed(data, length);
}

void CSensor::setInterface(CSensorInterface* iface) {
    if (iface == nullptr)
        return;
    m_pInterface_ = iface;
    iface->attachSensor(this);
}

void CSensor::detachInterface(CSensorInterface* iface) {
    if (m_pInterface_ == nullptr || (iface != nullptr && iface != m_pInterface_))
        return;
    CSensorInterface* attached = m_pInterface_;
    m_pInterface_ = nullptr;
    attached->detachSensor(this);
}

CNorvLaser::CLaserConfig::~CLaserConfig() = default;

void CNorvLaser::CLaserConfig::setIdentification(const std::string& text) {
    m_identification_ = text;
}

void CNorvLaser::CLaserConfig::setAverage(uint16_t average) {
    m_average_ = average;
}

void CNorvLaser::CLaserConfig::setScaleFactor(const std::string& text) {
    m_strScaleFactor_ = text;
    m_scaleFactor_ = Util::String::readNumber<double>(text);
}

CNorvLaser::CNorvLaser(CSensorSink* sink) : CSensor(sink) {}
CNorvLaser::~CNorvLaser() = default;

} // namespace NorvEngineering::SensorLib
