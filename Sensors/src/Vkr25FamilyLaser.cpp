#include "Vkr25FamilyLaser.h"

namespace NorvEngineering::SensorLib {

CVkr25FamilyLaser::CVkr25FamilyLaser(CSensorSink* sink) : CNorvLaser(sink) {
    setSensorType_(kSensorType);
}

CVkr25FamilyLaser::~CVkr25FamilyLaser() {
    setProcessor_(nullptr);
}

void CVkr25FamilyLaser::adoptProcessor_(std::unique_ptr<CSensorProcessor> processor) {
    m_pOwnedProcessor_ = std::move(processor);
    setProcessor_(m_pOwnedProcessor_.get());
}

} // namespace NorvEngineering::SensorLib
