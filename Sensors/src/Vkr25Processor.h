#pragma once

#include "LaserProcessor.h"
#include "Vkr25.h"

#include <string>

namespace NorvEngineering::SensorLib {

// Reads the Vkr25's reply lines. What a line means depends on the command at the
// front of the driver's queue: it decodes distances and temperatures into the
// driver, stores set-up values in the driver's parameter set, moves the queue on
// when a reply completes its command, and reports errors and readiness to the sink.
class CVkr25Processor : public CLaserProcessor {
public:
    explicit CVkr25Processor(CVkr25* driver);
    ~CVkr25Processor() override;

    void parseReply(std::string& reply) override;
    void notifyDataUpdate() override;

private:
    void dispatch_(CVkr25::ELaserMode head, const std::string& reply);
    void parseIdentification_(const std::string& reply);
    void parseMeasurement_(const std::string& reply);
    void parseSingleMeasurement_(const std::string& reply);
    void parseTemperature_(const std::string& reply);
    void parseParameter_(CVkr25::ELaserMode head, const std::string& reply);
    void parseSetOffset_(const std::string& reply);
    void parseDumpLine_(CVkr25::ELaserMode head, const std::string& reply);
    void endDump_(CVkr25::ELaserMode head);

    // The command `head` is done: the current mode becomes escape and, when it is
    // still at the front, the queue moves on.
    void finishCommand_(CVkr25::ELaserMode head);
    // A known error code in answer to `head`: reported, nothing stored, command done.
    void endWithErrorReply_(CVkr25::ELaserMode head, const std::string& reply);
    // A reply that could not be read as its command's value.
    void handleConversionFailure_(CVkr25::ELaserMode head, const std::string& reply);
    void reportSensorError_(const std::string& reply);

    CVkr25* m_pDriver_;
};

} // namespace NorvEngineering::SensorLib
