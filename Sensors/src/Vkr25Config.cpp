#include "NumberConversion.h"
#include "Vkr25.h"

#include <algorithm>
#include <stdexcept>

namespace NorvEngineering::SensorLib {

namespace {
constexpr uint16_t kMaxAverage = 20;
constexpr uint8_t kMaxMeasureTime = 25;
constexpr uint8_t kMaxErrorMode = 2;

// Stores the text first, so that the owner can show what the sensor sent even when
// it is not a number; the number is only replaced by a good reading.
template <typename Number>
void storeConverted(const std::string& text, std::string& textField, Number& numberField) {
    textField = text;
    numberField = Util::String::readNumber<Number>(text);
}
} // namespace

// ---- identity ------------------------------------------------------------------

CVkr25::CVkr25Config::CVkr25VersionInfo::CVkr25VersionInfo(const std::string& identification)
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

CVkr25::CVkr25Config::CVkr25VersionInfo::~CVkr25VersionInfo() = default;

// ---- parameter set -------------------------------------------------------------

CVkr25::CVkr25Config::CVkr25Config() = default;

CVkr25::CVkr25Config::CVkr25Config(const CVkr25Config& other) : CLaserConfig(other) {
    *this = other;
}

CVkr25::CVkr25Config& CVkr25::CVkr25Config::operator=(const CVkr25Config& other) {
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
    m_autostartMode_ = other.m_autostartMode_;
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
        m_pVersionInfo_ = std::make_unique<CVkr25VersionInfo>(other.getIdentification());
    return *this;
}

CVkr25::CVkr25Config::~CVkr25Config() = default;

void CVkr25::CVkr25Config::setIdentification(const std::string& text) {
    m_pVersionInfo_.reset();
    m_pVersionInfo_ = std::make_unique<CVkr25VersionInfo>(text);
    CLaserConfig::setIdentification(text);
}

void CVkr25::CVkr25Config::setAverage(uint16_t average) {
    CLaserConfig::setAverage(std::min(average, kMaxAverage));
}

void CVkr25::CVkr25Config::setDisplayFormat(char format) {
    m_displayFormat_ = format == 'h' ? 'h' : 'd';
}

void CVkr25::CVkr25Config::setMeasureTime(uint8_t measureTime) {
    m_measureTime_ = std::min(measureTime, kMaxMeasureTime);
}

void CVkr25::CVkr25Config::setErrorMode(uint8_t errorMode) {
    m_errorMode_ = std::min(errorMode, kMaxErrorMode);
}

void CVkr25::CVkr25Config::setAutostartMode(const std::string& name) {
    m_autostartMode_ = getModeByName(name);
}

void CVkr25::CVkr25Config::setStrOffset(const std::string& text) {
    storeConverted(text, m_strOffset_, m_offset_);
}
void CVkr25::CVkr25Config::setStrAlarmCenter(const std::string& text) {
    storeConverted(text, m_strAlarmCenter_, m_alarmCenter_);
}
void CVkr25::CVkr25Config::setStrAlarmHysteresis(const std::string& text) {
    storeConverted(text, m_strAlarmHysteresis_, m_alarmHysteresis_);
}
void CVkr25::CVkr25Config::setStrAlarmWidth(const std::string& text) {
    storeConverted(text, m_strAlarmWidth_, m_alarmWidth_);
}
void CVkr25::CVkr25Config::setStrRangeBegin(const std::string& text) {
    storeConverted(text, m_strRangeBegin_, m_rangeBegin_);
}
void CVkr25::CVkr25Config::setStrRangeEnd(const std::string& text) {
    storeConverted(text, m_strRangeEnd_, m_rangeEnd_);
}

} // namespace NorvEngineering::SensorLib
