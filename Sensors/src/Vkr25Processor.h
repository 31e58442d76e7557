#pragma once

#include "Vkr25.h"
#include "Vkr25FamilyProcessor.h"

namespace NorvEngineering::SensorLib {

extern template class CVkr25FamilyProcessor<CVkr25>;

// Reads the Vkr25's reply lines with the family's reading and the Vkr25's own dump
// markers. The Vkr25 knows no command beyond the family's.
class CVkr25Processor : public CVkr25FamilyProcessor<CVkr25> {
public:
    explicit CVkr25Processor(CVkr25* driver);
};

} // namespace NorvEngineering::SensorLib
