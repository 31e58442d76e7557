#pragma once

#include "Sensor.h"
#include "SensorProcessor.h"

#include <memory>

namespace NorvEngineering::SensorLib {

// What every Vkr25-family driver is besides its commands: a laser sensor with the
// family's type word that owns its reply processor.
class CVkr25FamilyLaser : public CNorvLaser {
public:
    // The Vkr25 and the Vkr25Xt share it: owners tell them apart by the driver they
    // created, not by the word.
    static constexpr uint32_t kSensorType = makeSensorType(1, 239, 18);

    ~CVkr25FamilyLaser() override;

protected:
    explicit CVkr25FamilyLaser(CSensorSink* sink);

    // The driver's processor, made in the driver's constructor and deleted with it.
    void adoptProcessor_(std::unique_ptr<CSensorProcessor> processor);

private:
    std::unique_ptr<CSensorProcessor> m_pOwnedProcessor_;
};

} // namespace NorvEngineering::SensorLib
