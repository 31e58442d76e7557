#include "Vkr25Xt.h"

#include "Vkr25XtProcessor.h"

namespace NorvEngineering::SensorLib {

CVkr25Xt::CVkr25Xt(CSensorSink* sink) : CVkr25FamilyLaser(sink) {
    adoptProcessor_(std::make_unique<CVkr25XtProcessor>(this));
}

} // namespace NorvEngineering::SensorLib
