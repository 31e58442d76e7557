#pragma once

#include "CommandSequencer.h"
#include "Vkr25FamilyCommands.h"
#include "Vkr25FamilyConfig.h"
#include "Vkr25FamilyLaser.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace NorvEngineering::SensorLib {

// The Vkr25 laser distance sensor. One command is in flight at a time: the front of
// the queue, which the reply parser removes when its reply is complete. Laser on,
// laser off and escape clear the queue and go out at once. Until the first
// parameter dump has been read the driver is inactive and drops every request.
class CVkr25 : public CVkr25FamilyLaser {
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
    class CVkr25QueuedMode : public CQueuedCommand<ELaserMode> {
    public:
        explicit CVkr25QueuedMode(ELaserMode mode);
        CVkr25QueuedMode(ELaserMode mode, const std::string& argument);
    };

    // What is known of one sensor's setup, as the sensor reported it.
    class CVkr25Config : public CVkr25FamilyConfig {
    public:
        using CVkr25VersionInfo = CVkr25FamilyVersionInfo;

        const ELaserMode& getAutostartMode() const { return m_autostartMode_; }
        // A lower-case command name; a name the sensor does not know is lmID.
        void setAutostartMode(const std::string& name);

    private:
        ELaserMode m_autostartMode_ = lmNone;
    };

    using CSequencer = CCommandSequencer<ELaserMode, CVkr25QueuedMode>;
    using CQueue = CSequencer::CQueue;

    explicit CVkr25(CSensorSink* sink);

    // The start sequence: escape twice, then identification and parameter dump.
    void initialize() override { m_commands_.start(); }

    // Requests a command. lmNone makes the driver inactive; while inactive, or
    // without a transport, requests are dropped.
    void setMode(ELaserMode mode, const std::string& argument) { m_commands_.request(mode, argument); }
    void setMode(ELaserMode mode) { setMode(mode, std::string()); }

    ELaserMode getCurrentMode() const { return m_commands_.getCurrentMode(); }
    ELaserMode getPreviousMode() const { return m_commands_.getPreviousMode(); }
    CVkr25Config& getConfig() { return m_config_; }
    const CVkr25Config& getConfig() const { return m_config_; }
    const CQueue& getQueue() const { return m_commands_.getQueue(); }

    // Writes one command and makes its mode current; the queue is not touched.
    void sendQueuedMode(const CVkr25QueuedMode& record) { m_commands_.send(record); }
    // Drops the finished front command and sends the next one, if any.
    void sendNextQueuedMode() { m_commands_.sendNext(); }
    // Records a mode change and tells the sink; the same mode again does nothing.
    void setCurrentMode(ELaserMode mode) { m_commands_.setCurrentMode(mode); }

    // The wire text of a mode (empty above lmNone) and the mode of a lower-case
    // command name (lmID for a name the sensor does not know).
    static std::string getModeText(ELaserMode mode);
    static ELaserMode getModeByName(const std::string& name);

private:
    CVkr25Config m_config_;
    CSequencer m_commands_{*this};
};

// The table of command names behind CVkr25::getModeByName, built during static
// initialisation and released at program end.
void initVkr25ModeNames();
void releaseVkr25ModeNames();
std::size_t vkr25ModeNameCount();

} // namespace NorvEngineering::SensorLib
