#pragma once

// The definitions of CVkr25FamilyProcessor. Only the processors of the models
// include this, each instantiating the template for its own driver.

#include "BadConversion.h"
#include "ReplyReading.h"
#include "SensorLibError.h"
#include "SensorSink.h"
#include "Vkr25FamilyProcessor.h"

#include <exception>
#include <optional>

namespace NorvEngineering::SensorLib {

namespace Vkr25FamilyReplies {
// Where a measurement sits in a reply: a decimal field at the start, or a
// hexadecimal one behind a one-character lead.
inline constexpr std::size_t kDecimalFieldLength = 7;
inline constexpr std::size_t kHexFieldStart = 1;
inline constexpr std::size_t kHexFieldLength = 7;
inline constexpr std::size_t kTemperatureStart = 1;
inline constexpr std::size_t kTemperatureLength = 2;
inline constexpr std::size_t kEchoValueStart = 2;
inline constexpr std::size_t kAutostartNameLength = 2;
inline constexpr int32_t kRetryIdentification = 61;

inline uint8_t lowByte(uint16_t value) {
    return static_cast<uint8_t>(value & 0xFFU);
}

struct SDumpMarker {
    const char* marker;
    EParameterField field;
    const char* trace; // put in front of the line in the trace
};

// Searched in this order; the first marker found anywhere in a dump line decides.
inline constexpr SDumpMarker kDumpMarkers[] = {
    {"[SA]", EParameterField::SA, "Found SA => "}, {"[SD]", EParameterField::SD, "Found SD => "},
    {"[ST]", EParameterField::ST, "Found ST => "}, {"[SF]", EParameterField::SF, "Found SF => "},
    {"[SE]", EParameterField::SE, "Found SE => "}, {"[AC]", EParameterField::AC, "Found AC => "},
    {"[AH]", EParameterField::AH, "Found AH => "}, {"[AW]", EParameterField::AW, "Found AW => "},
    {"[RB]", EParameterField::RB, "Found RB => "}, {"[RE]", EParameterField::RE, "Found RE => "},
    {"[RM]", EParameterField::RM, "Found RM => "}, {"[TD]", EParameterField::TD, "Found TD => "},
    {"[TM]", EParameterField::TM, "Found TM => "}, {"[BR]", EParameterField::BR, "Found BR => "},
    {"[AS]", EParameterField::AS, "Found AS => "}, {"[OF]", EParameterField::OF, "Found OF => "},
};
} // namespace Vkr25FamilyReplies

template <class Driver>
CVkr25FamilyProcessor<Driver>::CVkr25FamilyProcessor(Driver* driver, const SReplyRules& rules)
    : CLaserProcessor("\n"), m_pDriver_(driver), m_rules_(rules) {}

template <class Driver>
CVkr25FamilyProcessor<Driver>::~CVkr25FamilyProcessor() = default;

template <class Driver>
void CVkr25FamilyProcessor<Driver>::notifyDataUpdate() {
    notifySink_(m_pDriver_);
}

template <class Driver>
bool CVkr25FamilyProcessor<Driver>::parseModelReply_(Mode /*head*/, const std::string& /*reply*/) {
    return false;
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::requestAfterDump_() {}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::parseReply(std::string& reply) {
    if (m_pDriver_->getQueue().empty()) {
        appendTrace(reply);
        return;
    }
    const Mode head = m_pDriver_->getQueue().front().getId();
    try {
        dispatch_(head, reply);
    } catch (const Util::String::CBadConversion&) {
        handleConversionFailure_(head, reply);
    }
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::dispatch_(Mode head, const std::string& reply) {
    namespace RR = ReplyReading;
    using Vkr25FamilyReplies::kEchoValueStart;
    // The parameter commands are numbered in the order of their fields.
    static_assert(Mode::lmOF - Mode::lmSA == static_cast<int>(EParameterField::OF));
    static_assert(Mode::lmBR - Mode::lmSA == static_cast<int>(EParameterField::BR));
    const auto parameterOf = [](Mode mode) { return static_cast<EParameterField>(mode - Mode::lmSA); };
    switch (head) {
    case Mode::lmID:
        parseIdentification_(reply);
        return;
    case Mode::lmDT:
    case Mode::lmDS:
    case Mode::lmDW:
    case Mode::lmDX:
    case Mode::lmDF:
        parseMeasurement_(reply);
        return;
    case Mode::lmDM:
        parseSingleMeasurement_(reply);
        return;
    case Mode::lmTP:
        if (acceptsCommandReply_(head, reply, EErrorReply::reported))
            parseTemperature_(reply);
        return;
    case Mode::lmSA:
    case Mode::lmSD:
    case Mode::lmST:
    case Mode::lmSF:
    case Mode::lmSE:
    case Mode::lmAC:
    case Mode::lmAH:
    case Mode::lmAW:
    case Mode::lmRB:
    case Mode::lmRE:
    case Mode::lmRM:
    case Mode::lmTD:
    case Mode::lmTM:
    case Mode::lmBR:
    case Mode::lmAS:
    case Mode::lmOF:
        if (acceptsCommandReply_(head, reply, EErrorReply::reported)) {
            // The echo of BR carries the speed that applies after a restart only.
            if (head != Mode::lmBR)
                storeParameter_(parameterOf(head), reply, kEchoValueStart, RR::valueText(reply));
            finishCommand_(head);
        }
        return;
    case Mode::lmSO:
        if (acceptsCommandReply_(head, reply, EErrorReply::reported)) {
            appendTrace(reply);
            finishCommand_(head);
        }
        return;
    case Mode::lmPA:
    case Mode::lmPR:
        parseDumpLine_(head, reply);
        return;
    default:
        // Laser on, laser off, escape and none are never queued; anything else is
        // the model's own or unknown.
        if (parseModelReply_(head, reply))
            return;
        break;
    }
    appendTrace(reply);
}

template <class Driver>
std::string CVkr25FamilyProcessor<Driver>::identificationMarker_(const char* finding) const {
    return std::string("[case ") + m_rules_.modelName + "::lmID" + finding + "] ";
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::parseIdentification_(const std::string& reply) {
    namespace RR = ReplyReading;
    if (reply.find("VKR2") != std::string::npos) {
        try {
            config_().setIdentification(reply);
        } catch (const Util::String::CBadConversion&) {
            throw; // a version part that is no number: as any unreadable reply
        } catch (const std::exception&) {
            // Wrong number of fields, no digit in the serial number or the major
            // version: the line is no identity, and the lines after it must still
            // be read.
            appendTrace(identificationMarker_("/BAD ID STRING") + reply);
            return;
        }
        m_pDriver_->setCurrentMode(Mode::lmID);
        appendTrace(identificationMarker_("/FOUND ID STRING") + reply);
        return;
    }
    if (reply.find("PR[Enter]") != std::string::npos) {
        m_pDriver_->sendNextQueuedMode();
        m_pDriver_->setCurrentMode(Mode::lmEscaped);
        appendTrace(identificationMarker_("/FOUND PR STRING") + reply);
        return;
    }
    const CVkr25Error error(RR::textAt(reply, 0, 3));
    if (error.getCode() == Vkr25FamilyReplies::kRetryIdentification) {
        const auto again = m_pDriver_->getQueue().front();
        m_pDriver_->sendQueuedMode(again);
        return;
    }
    appendTrace(identificationMarker_("") + reply);
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::parseMeasurement_(const std::string& reply) {
    namespace RR = ReplyReading;
    using namespace Vkr25FamilyReplies;
    // A running mode yields to a command queued behind it; the line in hand belongs
    // to the mode that is being left and is dropped.
    if (m_pDriver_->getQueue().size() > 1) {
        m_pDriver_->sendNextQueuedMode();
        return;
    }
    if (config_().getDisplayFormat() == 'd') {
        const std::string text = RR::textAt(reply, 0, kDecimalFieldLength);
        const double distance = RR::readDouble(text);
        m_pDriver_->setDistance(distance);
        m_pDriver_->setStrDistance(text);
        return;
    }
    if (RR::isErrorReply(reply))
        throw Util::String::CBadConversion(reply);
    // The text is kept as received; a line without a single hex digit is a failed
    // reading that leaves the distance as it was, not a distance of zero.
    m_pDriver_->setStrDistance(RR::textAt(reply, kHexFieldStart, kHexFieldLength));
    m_pDriver_->setDistance(RR::readHexDistance(m_pDriver_->getStrDistance()));
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::parseSingleMeasurement_(const std::string& reply) {
    namespace RR = ReplyReading;
    // The sensor answers DM in decimal whatever the display format.
    const std::string text = RR::textAt(reply, 0, Vkr25FamilyReplies::kDecimalFieldLength);
    const double distance = RR::readDouble(text);
    m_pDriver_->setDistance(distance);
    m_pDriver_->setStrDistance(text);
    m_pDriver_->sendNextQueuedMode();
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::parseTemperature_(const std::string& reply) {
    namespace RR = ReplyReading;
    using namespace Vkr25FamilyReplies;
    const std::string text = RR::textAt(reply, kTemperatureStart, kTemperatureLength);
    const int16_t temperature = RR::readInt16(text);
    m_pDriver_->setTemperature(static_cast<double>(temperature));
    m_pDriver_->setStrTemperature(text);
    m_pDriver_->sendNextQueuedMode();
}

template <class Driver>
bool CVkr25FamilyProcessor<Driver>::acceptsCommandReply_(Mode head, const std::string& reply,
                                                         EErrorReply errors) {
    // An error code is the sensor refusing the command; read as a value it would
    // store a part of the code (E15 to SA as the average 5).
    if (ReplyReading::isErrorReply(reply)) {
        if (errors == EErrorReply::reported)
            reportSensorError_(reply);
        finishCommand_(head);
        appendTrace(reply);
        return false;
    }
    if (isTooShort_(head, reply)) {
        appendTrace(reply);
        return false;
    }
    return true;
}

template <class Driver>
bool CVkr25FamilyProcessor<Driver>::isTooShort_(Mode head, const std::string& reply) const {
    if (!m_rules_.shortRepliesAreUnexpected)
        return false;
    std::size_t needed = 0;
    switch (head) {
    case Mode::lmBR:
    case Mode::lmSO:
        break; // nothing is read
    case Mode::lmSD:
    case Mode::lmTP:
        needed = 3; // the character at index 2; the two from index 1
        break;
    default:
        needed = 4; // the value text between echo and line end; the two from index 2
        break;
    }
    return reply.size() < needed;
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::storeParameter_(EParameterField field, const std::string& reply,
                                                    std::size_t valueStart, const std::string& value) {
    namespace RR = ReplyReading;
    using namespace Vkr25FamilyReplies;
    auto& config = config_();
    switch (field) {
    case EParameterField::SA:
        config.setAverage(static_cast<uint16_t>(RR::readInt16(value)));
        break;
    case EParameterField::SD:
        config.setDisplayFormat(RR::charAt(reply, valueStart));
        break;
    case EParameterField::ST:
        config.setMeasureTime(lowByte(RR::readUInt16(value)));
        break;
    case EParameterField::SF:
        config.setScaleFactor(value);
        break;
    case EParameterField::SE:
        config.setErrorMode(lowByte(RR::readUInt16(value)));
        break;
    case EParameterField::AC:
        config.setStrAlarmCenter(value);
        break;
    case EParameterField::AH:
        config.setStrAlarmHysteresis(value);
        break;
    case EParameterField::AW:
        config.setStrAlarmWidth(value);
        break;
    case EParameterField::RB:
        config.setStrRangeBegin(value);
        break;
    case EParameterField::RE:
        config.setStrRangeEnd(value);
        break;
    case EParameterField::RM:
        config.setRemoveMeasurement(value);
        break;
    case EParameterField::TD:
        config.setTriggerDelay(value);
        break;
    case EParameterField::TM:
        config.setTriggerMode(value);
        break;
    case EParameterField::BR:
        config.setBaudRate(RR::readUInt16(value));
        break;
    case EParameterField::AS:
        config.setAutostartMode(RR::textAt(reply, valueStart, kAutostartNameLength));
        break;
    case EParameterField::OF:
        config.setStrOffset(value);
        break;
    }
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::parseDumpLine_(Mode head, const std::string& reply) {
    namespace RR = ReplyReading;
    using namespace Vkr25FamilyReplies;
    const std::optional<RR::SDumpValue> dump = RR::findDumpValue(reply);
    if (!dump) {
        appendTrace(reply);
        return;
    }
    const SDumpMarker* found = nullptr;
    for (const SDumpMarker& marker : kDumpMarkers) {
        if (reply.find(marker.marker) != std::string::npos) {
            found = &marker;
            break;
        }
    }
    if (found == nullptr) {
        for (const char* silent : m_rules_.silentDumpMarkers) {
            if (reply.find(silent) != std::string::npos)
                return;
        }
        appendTrace(reply);
        return;
    }

    if (found->field == EParameterField::SA) {
        // The dump has begun, whichever of PA and PR asked for it.
        m_pDriver_->setCurrentMode(Mode::lmPA);
    }
    if (found->field != EParameterField::OF) {
        storeParameter_(found->field, reply, dump->start, dump->value);
        appendTrace(found->trace + reply);
        return;
    }
    // The last line ends the dump even when its value cannot be read: waiting for
    // another "[OF]" line would leave the driver inactive for good.
    try {
        storeParameter_(found->field, reply, dump->start, dump->value);
        appendTrace(found->trace + reply);
    } catch (const Util::String::CBadConversion&) {
        handleConversionFailure_(head, reply);
    }
    endDump_(head);
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::endDump_(Mode head) {
    requestAfterDump_();
    if (m_pDriver_->getActive() == 0) {
        m_pDriver_->setActive(1);
        // A sensor without an auto-start function reports none; requesting none
        // would make the driver inactive again right after it became ready.
        const Mode autostart = config_().getAutostartMode();
        if (autostart != Mode::lmNone)
            m_pDriver_->setMode(autostart);
        if (m_pDriver_->getSink() != nullptr)
            m_pDriver_->getSink()->onSensorReady(m_pDriver_);
    }
    finishCommand_(head);
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::finishCommand_(Mode head) {
    m_pDriver_->setCurrentMode(Mode::lmEscaped);
    // A sink called on the way may have replaced the queue (laser on, escape, and a
    // new request): then the command is gone already, and what is in flight now is
    // not to be dropped.
    const auto& queue = m_pDriver_->getQueue();
    if (queue.empty() || queue.front().getId() != head)
        return;
    m_pDriver_->sendNextQueuedMode();
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::handleConversionFailure_(Mode head, const std::string& reply) {
    if (ReplyReading::isErrorReply(reply)) {
        reportSensorError_(reply);
        if (head == Mode::lmDM)
            finishCommand_(head);
    }
    appendTrace(reply);
}

template <class Driver>
void CVkr25FamilyProcessor<Driver>::reportSensorError_(const std::string& reply) {
    CVkr25Error error(ReplyReading::textAt(reply, 0, 3));
    if (m_pDriver_->getSink() != nullptr)
        m_pDriver_->getSink()->onSensorError(m_pDriver_, error);
}

} // namespace NorvEngineering::SensorLib
