#pragma once

#include "Sensor.h"
#include "StringTokenizer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace NorvEngineering::SensorLib {

// The identity in a Vkr25-family identification reply: model, serial number and
// version, as three comma-separated fields ("VKR27,SN 12345,V7.03").
class CVkr25FamilyVersionInfo : public Util::String::StringTokenizer {
public:
    // Throws std::runtime_error unless the text has three comma-separated fields,
    // std::out_of_range when the serial number or the major version holds no digit,
    // CBadConversion when a version part is not a number.
    explicit CVkr25FamilyVersionInfo(const std::string& identification);
    CVkr25FamilyVersionInfo(const CVkr25FamilyVersionInfo&) = default;
    CVkr25FamilyVersionInfo& operator=(const CVkr25FamilyVersionInfo&) = default;
    virtual ~CVkr25FamilyVersionInfo();

    const std::string& getModel() const { return m_model_; }
    const std::string& getSerial() const { return m_serial_; }
    uint16_t getMajorVersion() const { return m_major_; }
    uint16_t getMinorVersion() const { return m_minor_; }
    const std::string& getStrMajorVersion() const { return m_strMajor_; }
    const std::string& getStrMinorVersion() const { return m_strMinor_; }
    bool isVersionBelow(uint16_t major) const { return m_major_ < major; }

private:
    uint16_t m_major_ = 0;
    uint16_t m_minor_ = 0;
    std::string m_model_;
    std::string m_serial_;
    std::string m_strMajor_;
    std::string m_strMinor_;
};

// The set-up values every Vkr25-family sensor reports, as the sensor reported them:
// numbers are kept as the text received and as the number read from it. Each model
// adds its auto-start mode (in its own mode codes) and whatever only it knows.
class CVkr25FamilyConfig : public CNorvLaser::CLaserConfig {
public:
    CVkr25FamilyConfig();
    // Copies every value; the copy builds an identity object of its own.
    CVkr25FamilyConfig(const CVkr25FamilyConfig& other);
    CVkr25FamilyConfig& operator=(const CVkr25FamilyConfig& other);
    ~CVkr25FamilyConfig() override;

    // Parses the identity first; when that fails the set is left without an
    // identity and with its previous identification text.
    void setIdentification(const std::string& text) override;
    // At most 20.
    void setAverage(uint16_t average) override;

    virtual float getAlarmCenter() const { return m_alarmCenter_; }
    virtual float getAlarmHysteresis() const { return m_alarmHysteresis_; }
    virtual float getAlarmWidth() const { return m_alarmWidth_; }
    virtual float getRangeBegin() const { return m_rangeBegin_; }
    virtual float getRangeEnd() const { return m_rangeEnd_; }
    virtual const std::string& getStrAlarmCenter() const { return m_strAlarmCenter_; }
    virtual const std::string& getStrAlarmHysteresis() const { return m_strAlarmHysteresis_; }
    virtual const std::string& getStrAlarmWidth() const { return m_strAlarmWidth_; }
    virtual const std::string& getStrRangeBegin() const { return m_strRangeBegin_; }
    virtual const std::string& getStrRangeEnd() const { return m_strRangeEnd_; }

    char getDisplayFormat() const { return m_displayFormat_; }
    uint8_t getMeasureTime() const { return m_measureTime_; }
    uint8_t getErrorMode() const { return m_errorMode_; }
    uint16_t getBaudRate() const { return m_baudRate_; }
    double getOffset() const { return m_offset_; }
    const std::string& getStrOffset() const { return m_strOffset_; }
    const std::string& getRemoveMeasurement() const { return m_removeMeasurement_; }
    const std::string& getTriggerDelay() const { return m_triggerDelay_; }
    const std::string& getTriggerMode() const { return m_triggerMode_; }
    // Null before the first identification that could be read.
    const CVkr25FamilyVersionInfo* getVersionInfo() const { return m_pVersionInfo_.get(); }

    // 'd' (decimal) or 'h' (hexadecimal); anything else is taken as 'd'.
    void setDisplayFormat(char format);
    // At most 25.
    void setMeasureTime(uint8_t measureTime);
    // At most 2.
    void setErrorMode(uint8_t errorMode);
    void setBaudRate(uint16_t baudRate) { m_baudRate_ = baudRate; }
    void setRemoveMeasurement(const std::string& text) { m_removeMeasurement_ = text; }
    void setTriggerDelay(const std::string& text) { m_triggerDelay_ = text; }
    void setTriggerMode(const std::string& text) { m_triggerMode_ = text; }

    // Each stores the text, then the number read from it; a text that is not a
    // number throws CBadConversion and leaves the number as it was.
    void setStrOffset(const std::string& text);
    void setStrAlarmCenter(const std::string& text);
    void setStrAlarmHysteresis(const std::string& text);
    void setStrAlarmWidth(const std::string& text);
    void setStrRangeBegin(const std::string& text);
    void setStrRangeEnd(const std::string& text);

protected:
    // Stores the text first, so that the owner can show what the sensor sent even
    // when it is not a number; the number is only replaced by a good reading.
    static void storeConverted_(const std::string& text, std::string& textField, float& numberField);

private:
    char m_displayFormat_ = '\0';
    uint8_t m_measureTime_ = 0;
    uint8_t m_errorMode_ = 0;
    uint16_t m_baudRate_ = 0;
    double m_offset_ = 0.0;
    std::unique_ptr<CVkr25FamilyVersionInfo> m_pVersionInfo_;
    float m_alarmCenter_ = 0.0F;
    float m_alarmHysteresis_ = 0.0F;
    float m_alarmWidth_ = 0.0F;
    float m_rangeBegin_ = 0.0F;
    float m_rangeEnd_ = 0.0F;
    std::string m_strOffset_;
    std::string m_removeMeasurement_;
    std::string m_triggerDelay_;
    std::string m_triggerMode_;
    std::string m_strAlarmCenter_;
    std::string m_strAlarmHysteresis_;
    std::string m_strAlarmWidth_;
    std::string m_strRangeBegin_;
    std::string m_strRangeEnd_;
};

} // namespace NorvEngineering::SensorLib
