#include "Vkr25.h"

#include "Vkr25Processor.h"

namespace NorvEngineering::SensorLib {

CVkr25::CVkr25(CSensorSink* sink) : CVkr25FamilyLaser(sink) {
    adoptProcessor_(std::make_unique<CVkr25Processor>(this));
}

} // namespace NorvEngineering::SensorLib
