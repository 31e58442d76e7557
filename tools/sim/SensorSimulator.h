#pragma once

#include "SimulatedParameters.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SensorSim {

// The identity a simulated sensor gives in answer to ID, as three comma-separated
// fields: model, serial number, version ("VKR25,12345,1.23").
struct SIdentity {
    std::string model;
    std::string serial;
    std::string version;
};

// A Vkr25-family sensor as seen from its serial line: it takes command bytes and
// produces the bytes the sensor would send back. It has no thread, timer or
// transport of its own: the host feeds it what arrives, sends on what it produces,
// and calls tick() whenever a running measuring mode is due its next line
// (getMeasurementPeriod() says how often). The same engine runs in-process behind a
// test transport, behind a pseudo-terminal or behind a TCP port.
//
// Wire protocol: a command is ASCII text ended by CR (LF is ignored); the escape
// byte 0x1B is a command by itself and needs no CR. Every reply line ends with
// CR LF. Any command stops a running measuring mode.
class CSensorSimulator {
public:
    using OutputHandler = std::function<void(std::string_view bytes)>;
    using DistanceSource = std::function<double(std::uint64_t measurementIndex)>;

    enum class ERunMode : uint8_t { none, DT, DS, DW, DX, DF };

    // The reply line that holds the reset prompt after the identification.
    static constexpr const char* kPromptLine = "Reset all parameters with PR[Enter]";
    static constexpr std::size_t kFloodSize = 5000;
    // A command longer than this is not one the sensor knows.
    static constexpr std::size_t kMaxCommandLength = 256;

    explicit CSensorSimulator(EModel model = EModel::Vkr25);

    EModel getModel() const { return m_model_; }
    // Answers as another model from now on, with that model's factory parameters and
    // identity; the running mode, faults, output handler and counts stay.
    void setModel(EModel model);

    // ---- the wire -------------------------------------------------------------
    // Command bytes from the host, in chunks of any size.
    void feed(std::string_view bytes);
    // What the sensor has sent since the last call (when no handler is set).
    std::string takeOutput();
    std::size_t getPendingOutputSize() const { return m_output_.size(); }
    // Sends every later output to the handler instead of keeping it; the handler
    // must not call back into the simulator.
    void setOutputHandler(OutputHandler handler) { m_outputHandler_ = std::move(handler); }

    // ---- running modes --------------------------------------------------------
    // Switching on: starts the auto-start mode (AS) when it is a measuring mode.
    void powerUp();
    ERunMode getRunMode() const { return m_runMode_; }
    bool isMeasuring() const { return m_runMode_ != ERunMode::none; }
    // How often a line is due in the running mode; zero when none is due by time
    // (no mode running, or DF, which measures on trigger()).
    std::chrono::microseconds getMeasurementPeriod() const;
    void setMeasurementPeriod(ERunMode mode, std::chrono::microseconds period);
    // One measurement line of a running timed mode; false (nothing sent) otherwise.
    bool tick();
    // While held, a running mode sends nothing (as a sensor whose line is held up):
    // lets a test stop the flow at once without a command.
    void holdMeasurements(bool held) { m_held_ = held; }
    // The external trigger of DF: one measurement line; false when DF is not running.
    bool trigger();
    bool isLaserOn() const { return m_laserOn_; }

    // ---- what happened ----------------------------------------------------------
    std::uint64_t getMeasurementLinesSent() const { return m_measurementLines_; }
    std::uint64_t getLinesSent() const { return m_linesSent_; }
    // Every command as received, without its CR; the escape byte as itself.
    const std::vector<std::string>& getCommandsReceived() const { return m_commands_; }

    // ---- what the sensor measures and is ----------------------------------------
    // The raw distance in metres; the sensor reports raw * SF + OF.
    void setDistance(double metres);
    void setDistanceSource(DistanceSource source) { m_distanceSource_ = std::move(source); }
    void setTemperature(int celsius) { m_temperature_ = celsius; }
    void setIdentity(const SIdentity& identity) { m_identity_ = identity; }
    const SIdentity& getIdentity() const { return m_identity_; }
    // Answers ID with this line instead of the identity (an empty optional restores it).
    void setIdentificationLine(std::optional<std::string> line) { m_identificationLine_ = std::move(line); }
    CSimulatedParameters& getParameters() { return m_parameters_; }
    const CSimulatedParameters& getParameters() const { return m_parameters_; }

    // ---- faults -----------------------------------------------------------------
    // The next `times` commands with this mnemonic (e.g. "SA", "ID") are answered
    // with exactly these bytes and not carried out.
    void setReplyOverride(const std::string& mnemonic, std::string bytes, unsigned times = 1);
    // The same with an error line such as "E15".
    void setErrorReply(const std::string& mnemonic, const std::string& code, unsigned times = 1);
    // The next `count` measurement lines are this error code instead.
    void queueMeasurementError(const std::string& code, unsigned count = 1);
    // Every n-th measurement line is this error code instead (0: never).
    void setMeasurementErrorEvery(unsigned every, const std::string& code = "E15");
    // Leaves a parameter's line out of the dump ("AS": a sensor without auto-start).
    void omitFromDump(const std::string& mnemonic);
    // Sends a line (CR LF added) or raw bytes now, as if the sensor had.
    void injectLine(std::string_view text);
    void injectRaw(std::string_view bytes);
    // A run of bytes without any line end.
    void emitFlood(std::size_t bytes = kFloodSize);
    // Goes silent for good once this many more lines have been sent (the line that
    // reaches the count is still sent); the host should then drop the connection.
    void setHangUpAfterLines(std::uint64_t lines);
    bool isHungUp() const { return m_hungUp_; }
    // Error lines for an argument the sensor does not accept and for a command it
    // does not know.
    void setInvalidArgumentError(std::string code) { m_invalidArgumentError_ = std::move(code); }
    void setUnknownCommandError(std::string code) { m_unknownCommandError_ = std::move(code); }

private:
    void execute_(const std::string& command);
    void escape_();
    void sendIdentification_();
    void sendDump_();
    void sendParameter_(const std::string& mnemonic, const std::string& argument);
    void sendMeasurement_(bool decimal);
    void setOffsetToCurrentDistance_();
    double nextDistance_();
    void emitLine_(std::string_view text);
    void emit_(std::string_view bytes);

    EModel m_model_;
    CSimulatedParameters m_parameters_;
    SIdentity m_identity_;
    std::optional<std::string> m_identificationLine_;
    std::string m_command_;
    bool m_commandOverflow_ = false;
    std::string m_output_;
    OutputHandler m_outputHandler_;

    ERunMode m_runMode_ = ERunMode::none;
    std::map<ERunMode, std::chrono::microseconds> m_periods_;
    bool m_laserOn_ = false;
    double m_distance_ = 1.234;
    DistanceSource m_distanceSource_;
    int m_temperature_ = 23;

    std::uint64_t m_measurementLines_ = 0;
    std::uint64_t m_linesSent_ = 0;
    std::vector<std::string> m_commands_;

    struct SOverride {
        std::string bytes;
        unsigned times;
    };
    std::map<std::string, SOverride> m_overrides_;
    std::deque<std::string> m_measurementErrors_;
    unsigned m_errorEvery_ = 0;
    std::string m_everyNthError_;
    std::vector<std::string> m_omittedFromDump_;
    std::optional<std::uint64_t> m_hangUpAtLine_;
    bool m_hungUp_ = false;
    bool m_held_ = false;
    std::string m_invalidArgumentError_ = "E15";
    std::string m_unknownCommandError_ = "E62";
};

} // namespace SensorSim
