#pragma once

#include "CommandSequencer.h"
#include "Vkr25FamilyCommands.h"
#include "Vkr25FamilyConfig.h"
#include "Vkr25FamilyLaser.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace NorvEngineering::SensorLib {

// The Vkr25Xt laser distance sensor, which also drives a sensor that names itself a
// Vkr27. It speaks the Vkr25's commands and two more, FA and FB (alarms 2 and 3),
// which push escape to 31 and none to 32. One command is in flight at a time; laser
// on, laser off and escape clear the queue and go out at once; until the first
// parameter dump has been read the driver is inactive and drops every request.
class CVkr25Xt : public CVkr25FamilyLaser {
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
        lmFA = 29,
        lmFB = 30,
        lmEscaped = 31,
        lmNone = 32,
    };

    // One command as it waits in the queue: the mnemonic and, for the parameter
    // commands, the argument (with decimal commas turned into points where the
    // sensor wants a number).
    class CVkr25XtQueuedMode : public CQueuedCommand<ELaserMode> {
    public:
        explicit CVkr25XtQueuedMode(ELaserMode mode);
        CVkr25XtQueuedMode(ELaserMode mode, const std::string& argument);
    };

    // What is known of one sensor's setup, as the sensor reported it; beyond the
    // Vkr25's values, alarms 2 and 3.
    class CVkr25XtConfig : public CVkr25FamilyConfig {
    public:
        using CVkr25XtVersionInfo = CVkr25FamilyVersionInfo;

        virtual float getAlarm2() const { return m_alarm2_; }
        virtual float getAlarm3() const { return m_alarm3_; }
        virtual const std::string& getStrAlarm2() const { return m_strAlarm2_; }
        virtual const std::string& getStrAlarm3() const { return m_strAlarm3_; }
        // Each stores the text, then the number read from it; a text that is not a
        // number throws CBadConversion and leaves the number as it was.
        void setStrAlarm2(const std::string& text) { storeConverted_(text, m_strAlarm2_, m_alarm2_); }
        void setStrAlarm3(const std::string& text) { storeConverted_(text, m_strAlarm3_, m_alarm3_); }

        const ELaserMode& getAutostartMode() const { return m_autostartMode_; }
        // A lower-case command name; a name the sensor does not know is lmID.
        void setAutostartMode(const std::string& name);

    private:
        ELaserMode m_autostartMode_ = lmNone;
        float m_alarm2_ = 0.0F;
        float m_alarm3_ = 0.0F;
        std::string m_strAlarm2_;
        std::string m_strAlarm3_;
    };

    using CSequencer = CCommandSequencer<ELaserMode, CVkr25XtQueuedMode>;
    using CQueue = CSequencer::CQueue;

    explicit CVkr25Xt(CSensorSink* sink);

    // The start sequence: escape twice, then identification and parameter dump.
    void initialize() override { m_commands_.start(); }

    // Requests a command. lmNone makes the driver inactive; while inactive, or
    // without a transport, requests are dropped.
    void setMode(ELaserMode mode, const std::string& argument) { m_commands_.request(mode, argument); }
    void setMode(ELaserMode mode) { setMode(mode, std::string()); }

    ELaserMode getCurrentMode() const { return m_commands_.getCurrentMode(); }
    ELaserMode getPreviousMode() const { return m_commands_.getPreviousMode(); }
    // The driver's own parameter set, never null; the driver keeps it.
    CVkr25XtConfig* getConfig() { return &m_config_; }
    const CVkr25XtConfig* getConfig() const { return &m_config_; }
    const CQueue& getQueue() const { return m_commands_.getQueue(); }

    // Writes one command and makes its mode current; the queue is not touched.
    void sendQueuedMode(const CVkr25XtQueuedMode& record) { m_commands_.send(record); }
    // Drops the finished front command and sends the next one, if any.
    void sendNextQueuedMode() { m_commands_.sendNext(); }
    // Records a mode change and tells the sink; the same mode again does nothing.
    void setCurrentMode(ELaserMode mode) { m_commands_.setCurrentMode(mode); }

    // The wire text of a mode (empty above lmNone) and the mode of a lower-case
    // command name (lmID for a name the sensor does not know).
    static std::string getModeText(ELaserMode mode);
    static ELaserMode getModeByName(const std::string& name);

private:
    CVkr25XtConfig m_config_;
    CSequencer m_commands_{*this};
};

// The table of command names behind CVkr25Xt::getModeByName, built during static
// initialisation and released at program end.
void initVkr25XtModeNames();
void releaseVkr25XtModeNames();
std::size_t vkr25XtModeNameCount();

} // namespace NorvEngineering::SensorLib
