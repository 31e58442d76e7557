#include "Vkr25FamilyConfig.h"

#include "NumberConversion.h"

#include <algorithm>
#include <stdexcept>

namespace NorvEngineering::SensorLib {

namespace {
constexpr uint16_t kMaxAverage = 20;
constexpr uint8_t kMaxMeasureTime = 25;
constexpr uint8_t kMaxErrorMode = 2;

template <typename Number>
void storeNumber(const std::string& text, std::string& textField, Number& numberField) {
    textField = text;
    numberField = Util::String::readNumber<Number>(text);
}
} // namespace

// ---- identity ------------------------------------------------------------------

CVkr25FamilyVersionInfo::CVkr25FamilyVersionInfo(const std::string& identification)
    : StringTokenizer(identification, ",") {
    static const std::string kDigits = "0123456789";
    if (countTokens() != 3)
        throw std::runtime_error(identification);

    m_model_ = nextTokenStripped(" ");
    const std::string serial = nextTokenStripped(" ");
    // substr throws std::out_of_range when there is no digit at all.
    m_serial_ = serial.substr(serial.find_first_of(kDigits));

    const std::string version = nextTokenStripped(" ");
    StringTokenizer parts(version, ".");
    const std::string major = parts.nextToken();
    m_strMinor_ = parts.remainder().substr(0, 2);
    m_strMajor_ = major.substr(major.find_first_of(kDigits));

    m_major_ = Util::String::readNumber<uint16_t>(m_strMajor_);
    m_minor_ = Util::String::readNumber<uint16_t>(m_strMinor_);
}

CVkr25FamilyVersionInfo::~CVkr25FamilyVersionInfo() = default;

// ---- parameter set -------------------------------------------------------------

CVkr25FamilyConfig::CVkr25FamilyConfig() = default;

CVkr25FamilyConfig::CVkr25FamilyConfig(const CVkr25FamilyConfig& other) : CLaserConfig(other) {
    *this = other;
}

CVkr25FamilyConfig& CVkr25FamilyConfig::operator=(const CVkr25FamilyConfig& other) {
    if (this == &other)
        return *this;
    CLaserConfig::operator=(other);
    m_displayFormat_ = other.m_displayFormat_;
    m_measureTime_ = other.m_measureTime_;
    m_errorMode_ = other.m_errorMode_;
    m_removeMeasurement_ = other.m_removeMeasurement_;
    m_triggerDelay_ = other.m_triggerDelay_;
    m_triggerMode_ = other.m_triggerMode_;
    m_baudRate_ = other.m_baudRate_;
    m_offset_ = other.m_offset_;
    m_strOffset_ = other.m_strOffset_;
    m_alarmCenter_ = other.m_alarmCenter_;
    m_alarmHysteresis_ = other.m_alarmHysteresis_;
    m_alarmWidth_ = other.m_alarmWidth_;
    m_rangeBegin_ = other.m_rangeBegin_;
    m_rangeEnd_ = other.m_rangeEnd_;
    m_strAlarmCenter_ = other.m_strAlarmCenter_;
    m_strAlarmHysteresis_ = other.m_strAlarmHysteresis_;
    m_strAlarmWidth_ = other.m_strAlarmWidth_;
    m_strRangeBegin_ = other.m_strRangeBegin_;
    m_strRangeEnd_ = other.m_strRangeEnd_;
    // Never shared: the identity is built anew from the other set's text, which
    // parsed once and therefore parses again.
    m_pVersionInfo_.reset();
    if (other.m_pVersionInfo_ != nullptr)
        m_pVersionInfo_ = std::make_unique<CVkr25FamilyVersionInfo>(other.getIdentification());
    return *this;
}

CVkr25FamilyConfig::~CVkr25FamilyConfig() = default;

void CVkr25FamilyConfig::setIdentification(const std::string& text) {
    m_pVersionInfo_.reset();
    m_pVersionInfo_ = std::make_unique<CVkr25FamilyVersionInfo>(text);
    CLaserConfig::setIdentification(text);
}

void CVkr25FamilyConfig::setAverage(uint16_t average) {
    CLaserConfig::setAverage(std::min(average, kMaxAverage));
}

void CVkr25FamilyConfig::setDisplayFormat(char format) {
    m_displayFormat_ = format == 'h' ? 'h' : 'd';
}

void CVkr25FamilyConfig::setMeasureTime(uint8_t measureTime) {
    m_measureTime_ = std::min(measureTime, kMaxMeasureTime);
}

void CVkr25FamilyConfig::setErrorMode(uint8_t errorMode) {
    m_errorMode_ = std::min(errorMode, kMaxErrorMode);
}

void CVkr25FamilyConfig::storeConverted_(const std::string& text, std::string& textField,
                                         float& numberField) {
    storeNumber(text, textField, numberField);
}

void CVkr25FamilyConfig::setStrOffset(const std::string& text) {
    storeNumber(text, m_strOffset_, m_offset_);
}
void CVkr25FamilyConfig::setStrAlarmCenter(const std::string& text) {
    storeNumber(text, m_strAlarmCenter_, m_alarmCenter_);
}
void CVkr25FamilyConfig::setStrAlarmHysteresis(const std::string& text) {
    storeNumber(text, m_strAlarmHysteresis_, m_alarmHysteresis_);
}
void CVkr25FamilyConfig::setStrAlarmWidth(const std::string& text) {
    storeNumber(text, m_strAlarmWidth_, m_alarmWidth_);
}
void CVkr25FamilyConfig::setStrRangeBegin(const std::string& text) {
    storeNumber(text, m_strRangeBegin_, m_rangeBegin_);
}
void CVkr25FamilyConfig::setStrRangeEnd(const std::string& text) {
    storeNumber(text, m_strRangeEnd_, m_rangeEnd_);
}

} // namespace NorvEngineering::SensorLib
