#include "Vkr25XtProcessor.h"

#include "Vkr25FamilyProcessorImpl.h"

namespace NorvEngineering::SensorLib {

template class CVkr25FamilyProcessor<CVkr25Xt>;

namespace {

// The "[FA]" and "[FB]" lines of the dump are traced as they are; alarms 2 and 3
// are read with their own commands instead. A reply too short for what its
// command reads is an unexpected line.
constexpr SReplyRules kRules{"CVkr25Xt", {}, true};

} // namespace

CVkr25XtProcessor::CVkr25XtProcessor(CVkr25Xt* driver) : CVkr25FamilyProcessor(driver, kRules) {}

bool CVkr25XtProcessor::parseModelReply_(Mode head, const std::string& reply) {
    if (head != CVkr25Xt::lmFA && head != CVkr25Xt::lmFB)
        return false;
    // A sensor without these alarms refuses both on every dump: no news for the
    // owner, but the command is over and the queue must move on.
    if (!acceptsCommandReply_(head, reply, EErrorReply::unreported))
        return true;
    const std::string value = ReplyReading::valueText(reply);
    if (head == CVkr25Xt::lmFA)
        config_().setStrAlarm2(value);
    else
        config_().setStrAlarm3(value);
    finishCommand_(head);
    return true;
}

void CVkr25XtProcessor::requestAfterDump_() {
    m_pDriver_->setMode(CVkr25Xt::lmFA);
    m_pDriver_->setMode(CVkr25Xt::lmFB);
}

} // namespace NorvEngineering::SensorLib
