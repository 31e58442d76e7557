#pragma once

#include "LaserProcessor.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

namespace NorvEngineering::SensorLib {

// The parameters that the parameter commands (SA to OF) and the lines of the
// parameter dump carry, in the order of their mode codes.
enum class EParameterField : uint8_t { SA, SD, ST, SF, SE, AC, AH, AW, RB, RE, RM, TD, TM, BR, AS, OF };

// What sets one model's reply reading apart from another's.
struct SReplyRules {
    // The driver's class name, as the identification trace markers show it.
    const char* modelName;
    // Dump markers the model recognises but keeps nothing of: their lines leave no
    // trace. Any other line without a parameter's marker is traced.
    std::span<const char* const> silentDumpMarkers;
    // Whether a reply too short for the positions its command reads is an
    // unexpected line (traced, nothing stored, the command waits) rather than read
    // as far as it goes (a text beyond the end empty, a character there NUL).
    bool shortRepliesAreUnexpected;
};

// Reads the reply lines of a Vkr25-family sensor. What a line means depends on the
// command at the front of the driver's queue: it decodes distances and temperatures
// into the driver, stores set-up values in the driver's parameter set, moves the
// queue on when a reply completes its command, and reports errors and readiness to
// the sink. `Driver` brings the model's mode codes (with the family's enumerator
// names), its queue and its parameter set; commands only one model knows are read
// by that model's processor in parseModelReply_.
template <class Driver>
class CVkr25FamilyProcessor : public CLaserProcessor {
public:
    using Mode = typename Driver::ELaserMode;

    ~CVkr25FamilyProcessor() override;

    void parseReply(std::string& reply) override;
    void notifyDataUpdate() override;

protected:
    CVkr25FamilyProcessor(Driver* driver, const SReplyRules& rules);

    // A reply to a command the family does not know; false when the model does not
    // know it either (the reply is then traced).
    virtual bool parseModelReply_(Mode head, const std::string& reply);
    // Requested at the end of every parameter dump, before the driver is made ready:
    // an inactive driver drops them, so the first dump asks for nothing.
    virtual void requestAfterDump_();

    enum class EErrorReply : uint8_t { reported, unreported };
    // Whether a reply to a command that ends with its first answer holds the value
    // to read. A known error code ends the command (reported to the sink unless told
    // otherwise, nothing stored); a reply too short for what the command reads is
    // only traced and the command waits. Both are traced and give false.
    bool acceptsCommandReply_(Mode head, const std::string& reply, EErrorReply errors);

    // The command `head` is done: the current mode becomes escape and, when it is
    // still at the front, the queue moves on.
    void finishCommand_(Mode head);

    // The driver's parameter set, whether the driver hands it out by reference or
    // by pointer.
    decltype(auto) config_() {
        if constexpr (std::is_pointer_v<decltype(m_pDriver_->getConfig())>)
            return *m_pDriver_->getConfig();
        else
            return m_pDriver_->getConfig();
    }

    Driver* m_pDriver_;

private:
    void dispatch_(Mode head, const std::string& reply);
    void parseIdentification_(const std::string& reply);
    void parseMeasurement_(const std::string& reply);
    void parseSingleMeasurement_(const std::string& reply);
    void parseTemperature_(const std::string& reply);
    // Stores one parameter; `valueStart` is where its value begins in the reply,
    // `value` the value up to the line end.
    void storeParameter_(EParameterField field, const std::string& reply, std::size_t valueStart,
                         const std::string& value);
    void parseDumpLine_(Mode head, const std::string& reply);
    void endDump_(Mode head);

    bool isTooShort_(Mode head, const std::string& reply) const;
    // A reply that could not be read as its command's value.
    void handleConversionFailure_(Mode head, const std::string& reply);
    void reportSensorError_(const std::string& reply);
    std::string identificationMarker_(const char* finding) const;

    SReplyRules m_rules_;
};

} // namespace NorvEngineering::SensorLib
