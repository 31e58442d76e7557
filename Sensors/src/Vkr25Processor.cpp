#include "Vkr25Processor.h"

#include "Vkr25FamilyProcessorImpl.h"

namespace NorvEngineering::SensorLib {

template class CVkr25FamilyProcessor<CVkr25>;

namespace {

// The alarms 2 and 3 of the larger models appear in some dumps; the Vkr25 has no
// place for them and passes over their lines without a trace.
constexpr const char* kSilentDumpMarkers[] = {"[FA]", "[FB]"};

// A reply shorter than what its command reads is read as far as it goes.
constexpr SReplyRules kRules{"CVkr25", kSilentDumpMarkers, false};

} // namespace

CVkr25Processor::CVkr25Processor(CVkr25* driver) : CVkr25FamilyProcessor(driver, kRules) {}

} // namespace NorvEngineering::SensorLib
