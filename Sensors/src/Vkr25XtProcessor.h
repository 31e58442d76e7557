#pragma once

#include "Vkr25FamilyProcessor.h"
#include "Vkr25Xt.h"

namespace NorvEngineering::SensorLib {

extern template class CVkr25FamilyProcessor<CVkr25Xt>;

// Reads the Vkr25Xt's (and the Vkr27's) reply lines with the family's reading, plus
// the replies to FA and FB. From the second parameter dump on, the end of every
// dump asks for alarms 2 and 3, which the dump itself does not give.
class CVkr25XtProcessor : public CVkr25FamilyProcessor<CVkr25Xt> {
public:
    explicit CVkr25XtProcessor(CVkr25Xt* driver);

protected:
    bool parseModelReply_(Mode head, const std::string& reply) override;
    void requestAfterDump_() override;
};

} // namespace NorvEngineering::SensorLib
