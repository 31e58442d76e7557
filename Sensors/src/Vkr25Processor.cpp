#include "Vkr25Processor.h"

#include "BadConversion.h"
#include "ReplyReading.h"
#include "SensorLibError.h"
#include "SensorSink.h"

#include <array>
#include <stdexcept>

namespace NorvEngineering::SensorLib {

using Util::String::CBadConversion;
namespace RR = ReplyReading;

namespace {

// Where a measurement sits in a reply: a decimal field at the start, or a
// hexadecimal one behind a one-character lead.
constexpr std::size_t kDecimalFieldLength = 7;
constexpr std::size_t kHexFieldStart = 1;
constexpr std::size_t kHexFieldLength = 7;
constexpr std::size_t kTemperatureStart = 1;
constexpr std::size_t kTemperatureLength = 2;
constexpr std::size_t kEchoValueStart = 2;
constexpr std::size_t kAutostartNameLength = 2;
constexpr int32_t kRetryIdentification = 61;

enum class EDumpField : uint8_t { SA, SD, ST, SF, SE, AC, AH, AW, RB, RE, RM, TD, TM, BR, AS, OF, FA, FB };

struct SDumpMarker {
    const char* marker;
    EDumpField field;
    const char* trace;
};

// Searched in this order; the first marker found anywhere in a line decides.
constexpr std::array<SDumpMarker, 18> kDumpMarkers = {{
    {"[SA]", EDumpField::SA, "Found SA => "},
    {"[SD]", EDumpField::SD, "Found SD => "},
    {"[ST]", EDumpField::ST, "Found ST => "},
    {"[SF]", EDumpField::SF, "Found SF => "},
    {"[SE]", EDumpField::SE, "Found SE => "},
    {"[AC]", EDumpField::AC, "Found AC => "},
    {"[AH]", EDumpField::AH, "Found AH => "},
    {"[AW]", EDumpField::AW, "Found AW => "},
    {"[RB]", EDumpField::RB, "Found RB => "},
    {"[RE]", EDumpField::RE, "Found RE => "},
    {"[RM]", EDumpField::RM, "Found RM => "},
    {"[TD]", EDumpField::TD, "Found TD => "},
    {"[TM]", EDumpField::TM, "Found TM => "},
    {"[BR]", EDumpField::BR, "Found BR => "},
    {"[AS]", EDumpField::AS, "Found AS => "},
    {"[OF]", EDumpField::OF, "Found OF => "},
    {"[FA]", EDumpField::FA, ""},
    {"[FB]", EDumpField::FB, ""},
}};

uint8_t lowByte(uint16_t value) {
    return static_cast<uint8_t>(value & 0xFFU);
}

} // namespace

CVkr25Processor::CVkr25Processor(CVkr25* driver) : CLaserProcessor("\n"), m_pDriver_(driver) {}

CVkr25Processor::~CVkr25Processor() = default;

void CVkr25Processor::notifyDataUpdate() {
    notifySink_(m_pDriver_);
}

void CVkr25Processor::parseReply(std::string& reply) {
    if (m_pDriver_->getQueue().empty()) {
        appendTrace(reply);
        return;
    }
    const CVkr25::ELaserMode head = m_pDriver_->getQueue().front().getId();
    try {
        dispatch_(head, reply);
    } catch (const CBadConversion&) {
        handleConversionFailure_(head, reply);
    }
}

void CVkr25Processor::dispatch_(CVkr25::ELaserMode head, const std::string& reply) {
    switch (head) {
    case CVkr25::lmID:
        parseIdentification_(reply);
        return;
    case CVkr25::lmDT:
    case CVkr25::lmDS:
    case CVkr25::lmDW:
    case CVkr25::lmDX:
    case CVkr25::lmDF:
        parseMeasurement_(reply);
        return;
    case CVkr25::lmDM:
        parseSingleMeasurement_(reply);
        return;
    case CVkr25::lmTP:
        parseTemperature_(reply);
        return;
    case CVkr25::lmSA:
    case CVkr25::lmSD:
    case CVkr25::lmST:
    case CVkr25::lmSF:
    case CVkr25::lmSE:
    case CVkr25::lmAC:
    case CVkr25::lmAH:
    case CVkr25::lmAW:
    case CVkr25::lmRB:
    case CVkr25::lmRE:
    case CVkr25::lmRM:
    case CVkr25::lmTD:
    case CVkr25::lmTM:
    case CVkr25::lmBR:
    case CVkr25::lmAS:
    case CVkr25::lmOF:
        parseParameter_(head, reply);
        return;
    case CVkr25::lmSO:
        parseSetOffset_(reply);
        return;
    case CVkr25::lmPA:
    case CVkr25::lmPR:
        parseDumpLine_(head, reply);
        return;
    case CVkr25::lmLO:
    case CVkr25::lmLF:
    case CVkr25::lmEscaped:
    case CVkr25::lmNone:
        break;
    }
    appendTrace(reply);
}

void CVkr25Processor::parseIdentification_(const std::string& reply) {
    if (reply.find("VKR2") != std::string::npos) {
        try {
            m_pDriver_->getConfig().setIdentification(reply);
        } catch (const std::runtime_error&) { // CBadConversion included
            appendTrace("[case CVkr25::lmID/BAD ID STRING] " + reply);
            return;
        } catch (const std::logic_error&) {
            appendTrace("[case CVkr25::lmID/BAD ID STRING] " + reply);
            return;
        }
        m_pDriver_->setCurrentMode(CVkr25::lmID);
        appendTrace("[case CVkr25::lmID/FOUND ID STRING] " + reply);
        return;
    }
    if (reply.find("PR[Enter]") != std::string::npos) {
        m_pDriver_->sendNextQueuedMode();
        m_pDriver_->setCurrentMode(CVkr25::lmEscaped);
        appendTrace("[case CVkr25::lmID/FOUND PR STRING] " + reply);
        return;
    }
    const CVkr25Error error(RR::textAt(reply, 0, 3));
    if (error.getCode() == kRetryIdentification) {
        const CVkr25::CVkr25QueuedMode again = m_pDriver_->getQueue().front();
        m_pDriver_->sendQueuedMode(again);
        return;
    }
    appendTrace("[case CVkr25::lmID] " + reply);
}

void CVkr25Processor::parseMeasurement_(const std::string& reply) {
    // A running mode yields to a command queued behind it; the line in hand belongs
    // to the mode that is being left and is dropped.
    if (m_pDriver_->getQueue().size() > 1) {
        m_pDriver_->sendNextQueuedMode();
        return;
    }
    if (m_pDriver_->getConfig().getDisplayFormat() == 'd') {
        const std::string text = RR::textAt(reply, 0, kDecimalFieldLength);
        const double distance = RR::readDouble(text);
        m_pDriver_->setDistance(distance);
        m_pDriver_->setStrDistance(text);
        return;
    }
    if (RR::isErrorReply(reply))
        throw CBadConversion(reply);
    // Decoded before anything is stored: a line without a single hex digit is a
    // failed reading, not a distance of zero.
    const std::string text = RR::textAt(reply, kHexFieldStart, kHexFieldLength);
    const double distance = RR::readHexDistance(text);
    m_pDriver_->setStrDistance(text);
    m_pDriver_->setDistance(distance);
}

void CVkr25Processor::parseSingleMeasurement_(const std::string& reply) {
    // The sensor answers DM in decimal whatever the display format.
    const std::string text = RR::textAt(reply, 0, kDecimalFieldLength);
    const double distance = RR::readDouble(text);
    m_pDriver_->setDistance(distance);
    m_pDriver_->setStrDistance(text);
    m_pDriver_->sendNextQueuedMode();
}

void CVkr25Processor::parseTemperature_(const std::string& reply) {
    if (RR::isErrorReply(reply)) {
        endWithErrorReply_(CVkr25::lmTP, reply);
        return;
    }
    const std::string text = RR::textAt(reply, kTemperatureStart, kTemperatureLength);
    const int16_t temperature = RR::readInt16(text);
    m_pDriver_->setTemperature(static_cast<double>(temperature));
    m_pDriver_->setStrTemperature(text);
    m_pDriver_->sendNextQueuedMode();
}

void CVkr25Processor::parseParameter_(CVkr25::ELaserMode head, const std::string& reply) {
    // An error code is the sensor refusing the command; read as a value it would
    // store a part of the code (E15 to SA as the average 5).
    if (RR::isErrorReply(reply)) {
        endWithErrorReply_(head, reply);
        return;
    }
    CVkr25::CVkr25Config& config = m_pDriver_->getConfig();
    const std::string value = RR::valueText(reply);
    switch (head) {
    case CVkr25::lmSA:
        config.setAverage(static_cast<uint16_t>(RR::readInt16(value)));
        break;
    case CVkr25::lmSD:
        config.setDisplayFormat(RR::charAt(reply, kEchoValueStart));
        break;
    case CVkr25::lmST:
        config.setMeasureTime(lowByte(RR::readUInt16(value)));
        break;
    case CVkr25::lmSF:
        config.setScaleFactor(value);
        break;
    case CVkr25::lmSE:
        config.setErrorMode(lowByte(RR::readUInt16(value)));
        break;
    case CVkr25::lmAC:
        config.setStrAlarmCenter(value);
        break;
    case CVkr25::lmAH:
        config.setStrAlarmHysteresis(value);
        break;
    case CVkr25::lmAW:
        config.setStrAlarmWidth(value);
        break;
    case CVkr25::lmRB:
        config.setStrRangeBegin(value);
        break;
    case CVkr25::lmRE:
        config.setStrRangeEnd(value);
        break;
    case CVkr25::lmRM:
        config.setRemoveMeasurement(value);
        break;
    case CVkr25::lmTD:
        config.setTriggerDelay(value);
        break;
    case CVkr25::lmTM:
        config.setTriggerMode(value);
        break;
    case CVkr25::lmAS:
        config.setAutostartMode(RR::textAt(reply, kEchoValueStart, kAutostartNameLength));
        break;
    case CVkr25::lmOF:
        config.setStrOffset(value);
        break;
    default: // BR: the speed changes only when the sensor restarts; nothing to keep
        break;
    }
    finishCommand_(head);
}

void CVkr25Processor::parseSetOffset_(const std::string& reply) {
    if (RR::isErrorReply(reply)) {
        endWithErrorReply_(CVkr25::lmSO, reply);
        return;
    }
    appendTrace(reply);
    finishCommand_(CVkr25::lmSO);
}

void CVkr25Processor::parseDumpLine_(CVkr25::ELaserMode head, const std::string& reply) {
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
        appendTrace(reply);
        return;
    }

    CVkr25::CVkr25Config& config = m_pDriver_->getConfig();
    const std::string& value = dump->value;
    switch (found->field) {
    case EDumpField::SA:
        // The dump has begun, whichever of PA and PR asked for it.
        m_pDriver_->setCurrentMode(CVkr25::lmPA);
        config.setAverage(static_cast<uint16_t>(RR::readInt16(value)));
        break;
    case EDumpField::SD:
        config.setDisplayFormat(RR::charAt(reply, dump->start));
        break;
    case EDumpField::ST:
        config.setMeasureTime(lowByte(RR::readUInt16(value)));
        break;
    case EDumpField::SF:
        config.setScaleFactor(value);
        break;
    case EDumpField::SE:
        config.setErrorMode(lowByte(RR::readUInt16(value)));
        break;
    case EDumpField::AC:
        config.setStrAlarmCenter(value);
        break;
    case EDumpField::AH:
        config.setStrAlarmHysteresis(value);
        break;
    case EDumpField::AW:
        config.setStrAlarmWidth(value);
        break;
    case EDumpField::RB:
        config.setStrRangeBegin(value);
        break;
    case EDumpField::RE:
        config.setStrRangeEnd(value);
        break;
    case EDumpField::RM:
        config.setRemoveMeasurement(value);
        break;
    case EDumpField::TD:
        config.setTriggerDelay(value);
        break;
    case EDumpField::TM:
        config.setTriggerMode(value);
        break;
    case EDumpField::BR:
        config.setBaudRate(RR::readUInt16(value));
        break;
    case EDumpField::AS:
        config.setAutostartMode(RR::textAt(reply, dump->start, kAutostartNameLength));
        break;
    case EDumpField::OF:
        // The last line ends the dump even when its value cannot be read: waiting
        // for another "[OF]" line would leave the driver inactive for good.
        try {
            config.setStrOffset(value);
            appendTrace(found->trace + reply);
        } catch (const CBadConversion&) {
            handleConversionFailure_(head, reply);
        }
        endDump_(head);
        return;
    case EDumpField::FA: // alarms 2 and 3 of the larger models: not kept here
    case EDumpField::FB:
        return;
    }
    appendTrace(found->trace + reply);
}

void CVkr25Processor::endDump_(CVkr25::ELaserMode head) {
    if (m_pDriver_->getActive() == 0) {
        m_pDriver_->setActive(1);
        // A sensor without an auto-start function reports none; requesting none
        // would make the driver inactive again right after it became ready.
        const CVkr25::ELaserMode autostart = m_pDriver_->getConfig().getAutostartMode();
        if (autostart != CVkr25::lmNone)
            m_pDriver_->setMode(autostart);
        if (m_pDriver_->getSink() != nullptr)
            m_pDriver_->getSink()->onSensorReady(m_pDriver_);
    }
    finishCommand_(head);
}

void CVkr25Processor::finishCommand_(CVkr25::ELaserMode head) {
    // A sink called on the way may have replaced the queue (laser on, escape, and a
    // new request): then the command is gone already, and what is in flight now is
    // neither finished nor to be dropped.
    const CVkr25::CQueue& queue = m_pDriver_->getQueue();
    if (queue.empty() || queue.front().getId() != head)
        return;
    m_pDriver_->setCurrentMode(CVkr25::lmEscaped);
    m_pDriver_->sendNextQueuedMode();
}

void CVkr25Processor::endWithErrorReply_(CVkr25::ELaserMode head, const std::string& reply) {
    reportSensorError_(reply);
    finishCommand_(head);
    appendTrace(reply);
}

void CVkr25Processor::handleConversionFailure_(CVkr25::ELaserMode head, const std::string& reply) {
    if (RR::isErrorReply(reply)) {
        reportSensorError_(reply);
        if (head == CVkr25::lmDM)
            finishCommand_(head);
    }
    appendTrace(reply);
}

void CVkr25Processor::reportSensorError_(const std::string& reply) {
    CVkr25Error error(RR::textAt(reply, 0, 3));
    if (m_pDriver_->getSink() != nullptr)
        m_pDriver_->getSink()->onSensorError(m_pDriver_, error);
}

} // namespace NorvEngineering::SensorLib
