#include "SensorSimulator.h"

#include "MeasurementFormat.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace SensorSim {

namespace {
constexpr char kEscape = '\x1B';
constexpr std::string_view kLineEnd = "\r\n";

SIdentity defaultIdentity(EModel model) {
    switch (model) {
    case EModel::Vkr25Xt:
        return {"VKR25XT", "12345", "1.23"};
    case EModel::Vkr27:
        return {"VKR27", "12345", "1.23"};
    case EModel::Vkr25:
        break;
    }
    return {"VKR25", "12345", "1.23"};
}

CSensorSimulator::ERunMode runModeOf(const std::string& mnemonic) {
    using ERunMode = CSensorSimulator::ERunMode;
    if (mnemonic == "DT")
        return ERunMode::DT;
    if (mnemonic == "DS")
        return ERunMode::DS;
    if (mnemonic == "DW")
        return ERunMode::DW;
    if (mnemonic == "DX")
        return ERunMode::DX;
    if (mnemonic == "DF")
        return ERunMode::DF;
    return ERunMode::none;
}

// DX, the 50-a-second mode, is the Vkr27's: the Vkr25Xt, of the same family, does not
// know it, while the Vkr25 has it.
bool knowsMode(EModel model, CSensorSimulator::ERunMode mode) {
    return mode != CSensorSimulator::ERunMode::DX || model != EModel::Vkr25Xt;
}

std::string formatMetres(double metres) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", metres);
    return buffer;
}
} // namespace

CSensorSimulator::CSensorSimulator(EModel model)
    : m_model_(model), m_parameters_(model), m_identity_(defaultIdentity(model)) {
    using std::chrono::milliseconds;
    m_periods_ = {{ERunMode::DT, milliseconds(100)}, {ERunMode::DS, milliseconds(100)},
                  {ERunMode::DW, milliseconds(100)}, {ERunMode::DX, milliseconds(20)},
                  {ERunMode::DF, milliseconds(0)},   {ERunMode::none, milliseconds(0)}};
}

void CSensorSimulator::setModel(EModel model) {
    m_model_ = model;
    m_parameters_ = CSimulatedParameters(model);
    m_identity_ = defaultIdentity(model);
}

// ---- the wire ---------------------------------------------------------------------

void CSensorSimulator::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (m_hungUp_)
            return;
        switch (c) {
        case kEscape:
            m_command_.clear();
            m_commandOverflow_ = false;
            escape_();
            break;
        case '\r':
            if (m_commandOverflow_) {
                m_commands_.push_back(m_command_);
                m_runMode_ = ERunMode::none;
                emitLine_(m_unknownCommandError_);
            } else if (!m_command_.empty()) {
                execute_(m_command_);
            }
            m_command_.clear();
            m_commandOverflow_ = false;
            break;
        case '\n':
            break;
        default:
            if (m_command_.size() < kMaxCommandLength)
                m_command_.push_back(c);
            else
                m_commandOverflow_ = true;
            break;
        }
    }
}

std::string CSensorSimulator::takeOutput() {
    std::string taken;
    taken.swap(m_output_);
    return taken;
}

void CSensorSimulator::emit_(std::string_view bytes) {
    if (m_hungUp_ || bytes.empty())
        return;
    if (m_outputHandler_)
        m_outputHandler_(bytes);
    else
        m_output_.append(bytes);
}

void CSensorSimulator::emitLine_(std::string_view text) {
    if (m_hungUp_)
        return;
    std::string line(text);
    line += kLineEnd;
    emit_(line);
    ++m_linesSent_;
    if (m_hangUpAtLine_ && m_linesSent_ >= *m_hangUpAtLine_)
        m_hungUp_ = true;
}

// ---- commands ---------------------------------------------------------------------

void CSensorSimulator::escape_() {
    m_commands_.emplace_back(1, kEscape);
    m_runMode_ = ERunMode::none;
}

void CSensorSimulator::execute_(const std::string& command) {
    m_commands_.push_back(command);
    // Whatever it is, a command ends the running mode.
    m_runMode_ = ERunMode::none;

    std::string mnemonic = command.substr(0, 2);
    std::transform(mnemonic.begin(), mnemonic.end(), mnemonic.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    const std::string argument = command.size() > 2 ? command.substr(2) : std::string();

    const auto found = m_overrides_.find(mnemonic);
    if (found != m_overrides_.end() && found->second.times > 0) {
        --found->second.times;
        const std::string bytes = found->second.bytes;
        if (found->second.times == 0)
            m_overrides_.erase(found);
        // Count the lines, so that a hang-up point also applies to them.
        std::size_t start = 0;
        for (std::size_t end = bytes.find(kLineEnd); end != std::string::npos;
             end = bytes.find(kLineEnd, start)) {
            emitLine_(std::string_view(bytes).substr(start, end - start));
            start = end + kLineEnd.size();
        }
        emit_(std::string_view(bytes).substr(start));
        return;
    }

    const ERunMode runMode = runModeOf(mnemonic);
    if (!knowsMode(m_model_, runMode)) {
        emitLine_(m_unknownCommandError_);
        return;
    }
    if (runMode != ERunMode::none) {
        m_runMode_ = runMode;
        m_laserOn_ = true;
        return;
    }
    if (mnemonic == "ID") {
        sendIdentification_();
    } else if (mnemonic == "DM") {
        sendMeasurement_(true);
    } else if (mnemonic == "TP") {
        emitLine_(formatTemperature(m_temperature_));
    } else if (mnemonic == "LO" || mnemonic == "LF") {
        m_laserOn_ = mnemonic == "LO";
        emitLine_(mnemonic);
    } else if (mnemonic == "PA") {
        sendDump_();
    } else if (mnemonic == "PR") {
        m_parameters_.reset();
        sendDump_();
    } else if (mnemonic == "SO") {
        setOffsetToCurrentDistance_();
        emitLine_("SO" + m_parameters_.get("OF"));
    } else if (m_parameters_.has(mnemonic)) {
        sendParameter_(mnemonic, argument);
    } else {
        emitLine_(m_unknownCommandError_);
    }
}

void CSensorSimulator::sendIdentification_() {
    if (m_identificationLine_)
        emitLine_(*m_identificationLine_);
    else
        emitLine_(m_identity_.model + "," + m_identity_.serial + "," + m_identity_.version);
    emitLine_(kPromptLine);
}

void CSensorSimulator::sendDump_() {
    for (const std::string& mnemonic : m_parameters_.getDumpOrder()) {
        if (std::find(m_omittedFromDump_.begin(), m_omittedFromDump_.end(), mnemonic) !=
            m_omittedFromDump_.end())
            continue;
        emitLine_(m_parameters_.formatDumpLine(mnemonic));
    }
}

void CSensorSimulator::sendParameter_(const std::string& mnemonic, const std::string& argument) {
    // A bare mnemonic asks for the value; with an argument it sets it. Both are
    // answered with the mnemonic and the value now in force.
    if (!argument.empty() && !m_parameters_.set(mnemonic, argument)) {
        emitLine_(m_invalidArgumentError_);
        return;
    }
    emitLine_(mnemonic + m_parameters_.get(mnemonic));
}

void CSensorSimulator::setOffsetToCurrentDistance_() {
    // The sensor measures once: after that the reported distance is zero.
    const double raw = m_distanceSource_ ? m_distanceSource_(m_measurementLines_) : m_distance_;
    m_parameters_.set("OF", formatMetres(0.0 - raw * m_parameters_.getScaleFactor()));
}

// ---- measuring --------------------------------------------------------------------

void CSensorSimulator::powerUp() {
    m_command_.clear();
    m_commandOverflow_ = false;
    m_runMode_ = runModeOf([this] {
        std::string name = m_parameters_.get("AS");
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        return name;
    }());
    m_laserOn_ = m_runMode_ != ERunMode::none;
}

std::chrono::microseconds CSensorSimulator::getMeasurementPeriod() const {
    const auto found = m_periods_.find(m_runMode_);
    return found == m_periods_.end() ? std::chrono::microseconds(0) : found->second;
}

void CSensorSimulator::setMeasurementPeriod(ERunMode mode, std::chrono::microseconds period) {
    if (mode != ERunMode::none && mode != ERunMode::DF)
        m_periods_[mode] = period;
}

bool CSensorSimulator::tick() {
    if (m_hungUp_ || m_held_ || m_runMode_ == ERunMode::none || m_runMode_ == ERunMode::DF)
        return false;
    sendMeasurement_(!m_parameters_.isHexadecimal());
    return true;
}

bool CSensorSimulator::trigger() {
    if (m_hungUp_ || m_runMode_ != ERunMode::DF)
        return false;
    sendMeasurement_(!m_parameters_.isHexadecimal());
    return true;
}

double CSensorSimulator::nextDistance_() {
    const double raw = m_distanceSource_ ? m_distanceSource_(m_measurementLines_) : m_distance_;
    return raw * m_parameters_.getScaleFactor() + m_parameters_.getOffset();
}

void CSensorSimulator::sendMeasurement_(bool decimal) {
    if (!m_measurementErrors_.empty()) {
        const std::string code = m_measurementErrors_.front();
        m_measurementErrors_.pop_front();
        ++m_measurementLines_;
        emitLine_(code);
        return;
    }
    if (m_errorEvery_ != 0 && (m_measurementLines_ + 1) % m_errorEvery_ == 0) {
        ++m_measurementLines_;
        emitLine_(m_everyNthError_);
        return;
    }
    const double metres = nextDistance_();
    ++m_measurementLines_;
    emitLine_(decimal ? formatDecimalDistance(metres) : formatHexDistance(metres));
}

void CSensorSimulator::setDistance(double metres) {
    m_distance_ = metres;
    m_distanceSource_ = nullptr;
}

// ---- faults -----------------------------------------------------------------------

void CSensorSimulator::setReplyOverride(const std::string& mnemonic, std::string bytes, unsigned times) {
    if (times == 0)
        m_overrides_.erase(mnemonic);
    else
        m_overrides_[mnemonic] = SOverride{std::move(bytes), times};
}

void CSensorSimulator::setErrorReply(const std::string& mnemonic, const std::string& code, unsigned times) {
    setReplyOverride(mnemonic, code + std::string(kLineEnd), times);
}

void CSensorSimulator::queueMeasurementError(const std::string& code, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        m_measurementErrors_.push_back(code);
}

void CSensorSimulator::setMeasurementErrorEvery(unsigned every, const std::string& code) {
    m_errorEvery_ = every;
    m_everyNthError_ = code;
}

void CSensorSimulator::omitFromDump(const std::string& mnemonic) {
    m_omittedFromDump_.push_back(mnemonic);
}

void CSensorSimulator::injectLine(std::string_view text) {
    emitLine_(text);
}

void CSensorSimulator::injectRaw(std::string_view bytes) {
    emit_(bytes);
}

void CSensorSimulator::emitFlood(std::size_t bytes) {
    static constexpr std::string_view kPattern = "0123456789ABCDEF";
    std::string flood;
    flood.reserve(bytes);
    while (flood.size() < bytes)
        flood.append(kPattern.substr(0, std::min(kPattern.size(), bytes - flood.size())));
    emit_(flood);
}

void CSensorSimulator::setHangUpAfterLines(std::uint64_t lines) {
    m_hangUpAtLine_ = m_linesSent_ + lines;
    if (lines == 0)
        m_hungUp_ = true;
}

} // namespace SensorSim
