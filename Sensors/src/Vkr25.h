#pragma once

#include "CommandQueue.h"
#include "Sensor.h"
#include "StringTokenizer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace NorvEngineering::SensorLib {

class CVkr25Processor;

// The Vkr25 laser distance sensor. One command is in flight at a time: the front of
// the queue, which the reply parser removes when its reply is complete. Laser on,
// laser off and escape clear the queue and go out at once. Until the first
// parameter dump has been read the driver is inactive and drops every request.
class CVkr25 : public CNorvLaser {
public:
    // A command of the sensor; the value also selects how its reply is read.
    enum ELaserMode : uint8_t {
        lmID = 0,
        lmDT = 1,
        lmDS = 2,
        lmDW = 3,
        lmDX = 4,
        lmDF = 5,
        lmDM = 6,
        lmTP = 7,
        lmSA = 8,
        lmSD = 9,
        lmST = 10,
        lmSF = 11,
        lmSE = 12,
        lmAC = 13,
        lmAH = 14,
        lmAW = 15,
        lmRB = 16,
        lmRE = 17,
        lmRM = 18,
        lmTD = 19,
        lmTM = 20,
        lmBR = 21,
        lmAS = 22,
        lmOF = 23,
        lmSO = 24,
        lmLO = 25,
        lmLF = 26,
        lmPA = 27,
        lmPR = 28,
        lmEscaped = 29,
        lmNone = 30,
    };

    // One command as it waits in the queue: the mnemonic and, for the parameter
    // commands, the argument (with decimal commas turned into points where the
    // sensor wants a number).
    class CVkr25QueuedMode {
    public:
        explicit CVkr25QueuedMode(ELaserMode mode);
        CVkr25QueuedMode(ELaserMode mode, const std::string& argument);
        CVkr25QueuedMode(const CVkr25QueuedMode&) = default;
        CVkr25QueuedMode& operator=(const CVkr25QueuedMode&) = default;
        virtual ~CVkr25QueuedMode();

        ELaserMode getId() const { return m_mode_; }
        const std::string& getText() const { return m_text_; }
        const std::string& getSuffix() const { return m_suffix_; }

    private:
        ELaserMode m_mode_;
        std::string m_text_;
        std::string m_suffix_;
    };

    // What is known of one sensor's setup, as the sensor reported it: numbers are
    // kept as the text received and as the number read from it.
    class CVkr25Config : public CNorvLaser::CLaserConfig {
    public:
        // The identity in the identification reply: model, serial number, version.
        class CVkr25VersionInfo : public Util::String::StringTokenizer {
        public:
            // Throws std::runtime_error unless the text has three comma-separated
            // fields, std::out_of_range when the serial number or the major version
            // holds no digit, CBadConversion when a version part is not a number.
            explicit CVkr25VersionInfo(const std::string& identification);
            CVkr25VersionInfo(const CVkr25VersionInfo&) = default;
            CVkr25VersionInfo& operator=(const CVkr25VersionInfo&) = default;
            virtual ~CVkr25VersionInfo();

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

        CVkr25Config();
        CVkr25Config(const CVkr25Config& other);
        // Copies every value; the target builds an identity object of its own.
        CVkr25Config& operator=(const CVkr25Config& other);
        ~CVkr25Config() override;

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
        const ELaserMode& getAutostartMode() const { return m_autostartMode_; }
        double getOffset() const { return m_offset_; }
        const std::string& getStrOffset() const { return m_strOffset_; }
        const std::string& getRemoveMeasurement() const { return m_removeMeasurement_; }
        const std::string& getTriggerDelay() const { return m_triggerDelay_; }
        const std::string& getTriggerMode() const { return m_triggerMode_; }
        // Null before the first identification that could be read.
        const CVkr25VersionInfo* getVersionInfo() const { return m_pVersionInfo_.get(); }

        // 'd' (decimal) or 'h' (hexadecimal); anything else is taken as 'd'.
        void setDisplayFormat(char format);
        // At most 25.
        void setMeasureTime(uint8_t measureTime);
        // At most 2.
        void setErrorMode(uint8_t errorMode);
        void setBaudRate(uint16_t baudRate) { m_baudRate_ = baudRate; }
        // A lower-case command name; a name the sensor does not know is lmID.
        void setAutostartMode(const std::string& name);
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

    private:
        char m_displayFormat_ = '\0';
        uint8_t m_measureTime_ = 0;
        uint8_t m_errorMode_ = 0;
        uint16_t m_baudRate_ = 0;
        ELaserMode m_autostartMode_ = lmNone;
        double m_offset_ = 0.0;
        std::unique_ptr<CVkr25VersionInfo> m_pVersionInfo_;
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

    using CQueue = CCommandQueue<CVkr25QueuedMode>;

    explicit CVkr25(CSensorSink* sink);
    ~CVkr25() override;

    // The start sequence: escape twice, then identification and parameter dump.
    void initialize() override;

    // Requests a command. lmNone makes the driver inactive; while inactive, or
    // without a transport, requests are dropped.
    void setMode(ELaserMode mode, const std::string& argument);
    void setMode(ELaserMode mode) { setMode(mode, std::string()); }

    ELaserMode getCurrentMode() const { return m_currentMode_; }
    ELaserMode getPreviousMode() const { return m_previousMode_; }
    CVkr25Config& getConfig() { return m_config_; }
    const CVkr25Config& getConfig() const { return m_config_; }
    const CQueue& getQueue() const { return m_queue_; }

    // Writes one command and makes its mode current; the queue is not touched.
    void sendQueuedMode(const CVkr25QueuedMode& record);
    // Drops the finished front command and sends the next one, if any.
    void sendNextQueuedMode();
    // Records a mode change and tells the sink; the same mode again does nothing.
    void setCurrentMode(ELaserMode mode);

    // The wire text of a mode (empty above lmNone) and the mode of a lower-case
    // command name (lmID for a name the sensor does not know).
    static std::string getModeText(ELaserMode mode);
    static ELaserMode getModeByName(const std::string& name);

private:
    ELaserMode m_currentMode_ = lmNone;
    ELaserMode m_previousMode_ = lmNone;
    CVkr25Config m_config_;
    CQueue m_queue_;
    CVkr25Processor* m_pProcessor_ = nullptr;
};

// The table of command names behind CVkr25::getModeByName, built during static
// initialisation and released at program end.
void initVkr25ModeNames();
void releaseVkr25ModeNames();
std::size_t vkr25ModeNameCount();

} // namespace NorvEngineering::SensorLib
