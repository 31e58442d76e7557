// sensor_example: a minimal owner of a sensor. It creates the transport and the
// driver of the model asked for (a Vkr25, or a Vkr25Xt, which also drives a Vkr27),
// implements the sink, starts the sensor when the transport is ready, prints the
// identification and the parameters, requests a measuring mode and prints each value
// with its time, until its time or count is up or it is stopped (Ctrl-C, SIGTERM, a
// closed standard output), then stops the mode, releases the transport and prints a
// summary.
//
// Standard output carries the identification, the parameters, the values and the
// summary, a line at a time; errors, warnings and where it connects go to standard
// error, the library's trace and the mode changes too with --verbose.
//
// By default it talks to the built-in simulator on a pseudo-terminal, served by a
// thread of this program (--sim-tcp: on a loopback TCP port); with --serial it talks
// to a real device, with --tcp to a sensor behind a TCP converter.
#include "CommandLine.h"
#include "DeviceFailure.h"
#include "ModelName.h"
#include "PtySensorServer.h"
#include "StopSignals.h"
#include "TcpSensorServer.h"

#include "SensorLib.h"
#include "SensorPlatform.h"
#include "SensorTransports.h"

#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::EAbort;
using SensorSim::EModel;

namespace {

using Clock = std::chrono::steady_clock;

enum class ELink : uint8_t { builtInPty, builtInTcp, serial, tcp };

struct Settings {
    ELink link = ELink::builtInPty;
    int linkOptions = 0; // how many of --serial, --tcp, --sim-tcp were given
    EModel model = EModel::Vkr25;
    CSerialInterface::TSerialProperties line{nullptr};
    CTcpInterface::TTcpProperties tcp{nullptr};
    unsigned long seconds = 3;
    unsigned long count = 0; // 0: as many as come in the time
    std::string mode;        // empty: by the sensor's identification
    unsigned long connectTimeout = 10;
    bool verbose = false;
    bool list = false;
    unsigned long simHangUpAfter = 0;
    std::string simErrorReply;

    bool overTcp() const { return link == ELink::tcp || link == ELink::builtInTcp; }
    // What the user knows the sensor by: the device or HOST:PORT.
    std::string where() const {
        return overTcp() ? tcp.IpAddress + ":" + std::to_string(tcp.PortNumber) : line.DeviceName;
    }
};

// Where the seconds of the time prefix count from.
const Clock::time_point kProgramStart = Clock::now();

std::string wallClock() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

// The time prefix: the wall clock, to match with the sensor's other records, and the
// seconds since the start, to see how long things took.
std::string stamp() {
    char text[64];
    const double seconds = std::chrono::duration<double>(Clock::now() - kProgramStart).count();
    std::snprintf(text, sizeof text, "%s +%7.3fs", wallClock().c_str(), seconds);
    return text;
}

// One line on standard error. Once the command line has been taken, every line there
// carries the time prefix, errors, warnings and notes alike: the answers to a bad
// command line alone go without, as nothing has run yet.
[[gnu::format(printf, 1, 2)]] void report(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    std::fprintf(stderr, "%s  %s\n", stamp().c_str(), text.c_str());
}

// The two drivers name their modes alike; their values differ.
template <class Driver>
bool isMeasuringMode(typename Driver::ELaserMode mode) {
    switch (mode) {
    case Driver::lmDT:
    case Driver::lmDS:
    case Driver::lmDW:
    case Driver::lmDX:
    case Driver::lmDF:
    case Driver::lmDM:
        return true;
    default:
        return false;
    }
}

template <class Driver>
std::string modeName(typename Driver::ELaserMode mode) {
    if (mode == Driver::lmEscaped)
        return "escape";
    if (mode == Driver::lmNone)
        return "none";
    return Driver::getModeText(mode);
}

// The name under which a sensor identifies itself as the model asked for.
std::string identityOf(EModel model) {
    switch (model) {
    case EModel::Vkr25:
        return "VKR25";
    case EModel::Vkr25Xt:
        return "VKR25XT";
    case EModel::Vkr27:
        return "VKR27";
    }
    return "";
}

const CVkr25::CVkr25Config& configOf(const CVkr25& driver) {
    return driver.getConfig();
}
const CVkr25Xt::CVkr25XtConfig& configOf(const CVkr25Xt& driver) {
    return *driver.getConfig();
}

// The model that the sensor's identification names; empty without one.
template <class Driver>
std::string identifiedModel(const Driver& driver) {
    const auto* version = configOf(driver).getVersionInfo();
    return version != nullptr ? version->getModel() : std::string();
}

std::string printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        if (c == '\r')
            shown += "\\r";
        else if (c == '\n')
            shown += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            shown += '.';
        else
            shown += c;
    }
    return shown;
}

// Whether the device of a serial link has gone: an unplugged USB adapter, or a
// pseudo-terminal whose other side closed (its path disappears with it).
bool deviceVanished(const std::string& deviceName, int code) {
    struct stat status {};
    return code == EIO || code == ENODEV || code == ENXIO ||
           ::stat(NorvEngineering::Serial::ComDevicePath(deviceName).c_str(), &status) != 0;
}

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

// The driver of the model, watching the bytes on their way to it for a reply too long
// to be read: the processor drops such a reply without a word (no update comes for it),
// and an owner that counts what it could not read has to learn of it here.
template <class Driver>
class WatchedDriver : public Driver {
public:
    using OverlongHandler = std::function<void(const std::string& dropped)>;

    WatchedDriver(CSensorSink* sink, OverlongHandler handler)
        : Driver(sink), m_onOverlong_(std::move(handler)) {}

    void dataReceived(const char* data, unsigned int length) override {
        const auto* processor = dynamic_cast<const CLaserProcessor*>(this->getProcessor());
        if (processor == nullptr || processor->getDelimiters().empty()) {
            Driver::dataReceived(data, length);
            return;
        }
        const std::string_view chunk(data, length);
        std::size_t fed = 0;
        for (std::size_t at = 0; at < chunk.size();) {
            const std::size_t end = chunk.find_first_of(processor->getDelimiters(), at);
            const std::size_t next = end == std::string_view::npos ? chunk.size() : end + 1;
            // The processor holds kMaxBuffered characters of a reply; one more, line end
            // or not, and it drops them. Fed up to there, it holds exactly the reply's
            // start, and the report comes in its place among the replies around it.
            if (!m_reported_ && m_lineLength_ + (next - at) > kMaxBuffered) {
                const std::size_t full = at + (kMaxBuffered - m_lineLength_);
                feed_(chunk.substr(fed, full - fed));
                fed = full;
                m_reported_ = true;
                if (processor->getBuffer().size() == kMaxBuffered)
                    m_onOverlong_(processor->getBuffer());
            }
            m_lineLength_ += next - at;
            if (end != std::string_view::npos) {
                m_lineLength_ = 0;
                m_reported_ = false;
            }
            at = next;
        }
        feed_(chunk.substr(fed));
    }

private:
    void feed_(std::string_view part) {
        if (!part.empty())
            Driver::dataReceived(part.data(), static_cast<unsigned int>(part.size()));
    }

    OverlongHandler m_onOverlong_;
    std::size_t m_lineLength_ = 0; // of the reply in progress, with its line end
    bool m_reported_ = false;
};

// The owner of one sensor: it prints what the library reports and keeps the counts
// of the summary.
template <class Driver>
class ExampleOwner : public CSensorSink {
public:
    using Mode = typename Driver::ELaserMode;

    ExampleOwner(const Settings& settings, Clock::time_point start)
        : m_settings_(settings), m_start_(start), m_verbose_(settings.verbose) {}

    void setDriver(Driver* driver) {
        m_pDriver_ = driver;
        forgetReading_();
    }
    bool interfaceReady() const { return m_interfaceReady_; }
    bool sensorReady() const { return m_sensorReady_; }
    bool answered() const { return m_updates_ > 0; }
    bool failed() const { return m_failed_; }
    unsigned long values() const { return m_values_; }
    unsigned long unreadable() const { return m_unreadable_; }
    unsigned long sensorErrors() const { return m_sensorErrors_; }
    unsigned long interfaceErrors() const { return m_interfaceErrors_; }
    std::optional<double> secondsToReady() const { return m_secondsToReady_; }
    // The last interface error, for the explanation of a failed open.
    int lastErrorCode() const { return m_lastErrorCode_; }
    const std::string& lastErrorMessage() const { return m_lastErrorMessage_; }
    // Called right after the measuring mode has been requested. The first line read
    // in that mode answers the request: an error there is a refusal, an error later
    // is one failed reading.
    void measuring(Mode mode) {
        m_measuringMode_ = mode;
        m_nextLineInMode_ = modeAloneAtHead_();
        forgetReading_();
    }
    bool measuringRefused() const { return m_measuringRefused_; }
    // Values beyond the limit (0: none) are not taken: one pass of the message loop
    // may bring several.
    void setValueLimit(unsigned long limit) { m_valueLimit_ = limit; }
    // From now on the transport is released on purpose.
    void releasing() { m_releasing_ = true; }
    // Whether the sensor's side ended the link: a TCP connection it closed, a serial
    // device that went away.
    bool closedByPeer() const { return m_closedByPeer_; }

    // A reply too long to be read (`dropped`: what the processor held of it), for which
    // no update comes. It stands where a reading would: an error after it is no
    // refusal of the mode.
    void overlongReply(const std::string& dropped) {
        ++m_unreadable_;
        if (m_nextLineInMode_)
            ++m_linesInMode_;
        report("unreadable reading, not taken: %s... (over %zu characters without a line end)",
               printable(dropped.substr(0, kShownOfOverlong)).c_str(), kMaxBuffered);
    }

    void onDataUpdate(CSensor*, const std::string& text) override {
        ++m_updates_;
        // A value can come in the same update as a trace line: both are shown.
        if (!text.empty() && m_verbose_)
            report("trace: %s", printable(text).c_str());
        const bool inMode = m_nextLineInMode_;
        m_nextLineInMode_ = modeAloneAtHead_();
        const bool errorReply = m_errorInLine_;
        m_errorInLine_ = false;
        if (!inMode || errorReply || (m_valueLimit_ > 0 && m_values_ >= m_valueLimit_)) {
            forgetReading_();
            return;
        }
        ++m_linesInMode_;
        // A rejected reading leaves the distance as it was (in hexadecimal format with
        // the rejected text stored): only a distance set by this line is a value.
        const std::string reading = m_pDriver_->getStrDistance();
        if (!reading.empty() && !std::isnan(m_pDriver_->getDistance())) {
            ++m_values_;
            std::printf("%s  value %lu: %.3f m (%s)\n", stamp().c_str(), m_values_, m_pDriver_->getDistance(),
                        reading.c_str());
        } else if (!reading.empty() || !text.empty()) {
            ++m_unreadable_;
            report("unreadable reading, not taken: %s",
                   printable(withoutLineEnd(text.empty() ? reading : text)).c_str());
        }
        forgetReading_();
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override {
        m_interfaceReady_ = true;
        if (m_verbose_)
            report("interface ready; starting the sensor");
        sensor->initialize();
    }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError& error) override {
        m_failed_ = true;
        ++m_interfaceErrors_;
        m_lastErrorCode_ = error.getCode();
        m_lastErrorMessage_ = error.getMessage();
        // The code and the library's place are for whoever debugs it.
        if (m_verbose_)
            report("interface error %d: %s%s%s", error.getCode(), error.getMessage().c_str(),
                   error.getPlace().empty() ? "" : " at ", error.getPlace().c_str());
        // A failed open is explained when the wait for it ends.
        if (!m_interfaceReady_)
            return;
        if (!m_settings_.overTcp() && deviceVanished(m_settings_.line.DeviceName, error.getCode()))
            m_closedByPeer_ = true;
        report("%s", lostLink_(error).c_str());
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {
        // A connection that the sensor's side closed ends the run as a failure.
        const bool unasked = !m_releasing_ && !m_failed_;
        if (!m_releasing_)
            m_failed_ = true;
        if (unasked)
            m_closedByPeer_ = true;
        if (unasked && m_settings_.overTcp())
            report("the sensor or its converter at %s closed the connection", m_settings_.where().c_str());
        else if (unasked)
            report("%s was closed by the other side", m_settings_.where().c_str());
        else if (m_verbose_)
            report("interface released");
    }
    void onSensorReady(CSensor*) override {
        m_sensorReady_ = true;
        m_secondsToReady_ = elapsed();
        if (m_verbose_)
            report("sensor ready");
    }
    void onSensorError(CSensor*, CSensorError& error) override {
        ++m_sensorErrors_;
        if (m_nextLineInMode_) {
            m_errorInLine_ = true;
            if (m_linesInMode_ == 0)
                refused_(error);
            else
                report("sensor error %d instead of a reading of %s; measuring goes on", error.getCode(),
                       Driver::getModeText(*m_measuringMode_).c_str());
            ++m_linesInMode_;
            return;
        }
        // The command in flight is the one the error answers.
        const auto& queue = m_pDriver_->getQueue();
        const auto command = queue.empty() ? m_pDriver_->getCurrentMode() : queue.front().getId();
        const std::string name = Driver::getModeText(command);
        if (isMeasuringMode<Driver>(command))
            report("sensor error %d instead of a reading of %s", error.getCode(), name.c_str());
        else if (!name.empty())
            report("sensor error %d in reply to %s", error.getCode(), name.c_str());
        else
            report("sensor error %d", error.getCode());
    }
    void onSensorCustomCallback(CSensor*) override {
        if (m_verbose_)
            report("mode: %s", modeName<Driver>(m_pDriver_->getCurrentMode()).c_str());
    }
    uint32_t getSensorType() const override { return CVkr25FamilyLaser::kSensorType; }
    int32_t getSensorId() const override { return 0; }

private:
    // Enough of an overlong reply to recognise it.
    static constexpr std::size_t kShownOfOverlong = 32;

    double elapsed() const { return std::chrono::duration<double>(Clock::now() - m_start_).count(); }

    // Whether the next line will be read in the requested mode: it is alone at the
    // head. Behind a running auto-start mode it waits, and the line that makes the
    // auto-start mode yield is not read.
    bool modeAloneAtHead_() const {
        const auto& queue = m_pDriver_->getQueue();
        return m_measuringMode_ && queue.size() == 1 && queue.front().getId() == *m_measuringMode_;
    }
    // The driver keeps its last reading: cleared, a line that sets no distance is seen.
    void forgetReading_() {
        m_pDriver_->setStrDistance(std::string());
        m_pDriver_->setDistance(std::numeric_limits<double>::quiet_NaN());
    }
    void refused_(const CSensorError& error) {
        m_measuringRefused_ = true;
        const std::string name = Driver::getModeText(*m_measuringMode_);
        std::string hint;
        const std::string identified = identifiedModel(*m_pDriver_);
        if (*m_measuringMode_ == Driver::lmDX && identified != "VKR27")
            hint = " (DX is a Vkr27 mode" + (identified.empty() ? "" : "; this sensor is a " + identified) +
                   ": use --mode dt, ds or dw)";
        report("sensor error %d: the sensor refused the measuring mode %s%s", error.getCode(), name.c_str(),
               hint.c_str());
    }
    std::string lostLink_(const CInterfaceError& error) const {
        const std::string where = m_settings_.where();
        const std::string detail = error.getMessage().empty() ? "" : " (" + error.getMessage() + ")";
        if (m_settings_.overTcp())
            return "the connection to " + where + " failed" + detail;
        if (deviceVanished(m_settings_.line.DeviceName, error.getCode()))
            return where +
                   " has gone away: a USB adapter unplugged, or the other side of a pseudo-terminal "
                   "closed" +
                   detail;
        return "the serial device " + where + " failed" + detail;
    }

    const Settings& m_settings_;
    Clock::time_point m_start_;
    bool m_verbose_;
    Driver* m_pDriver_ = nullptr;
    bool m_interfaceReady_ = false;
    bool m_sensorReady_ = false;
    bool m_failed_ = false;
    bool m_releasing_ = false;
    bool m_closedByPeer_ = false;
    unsigned long m_updates_ = 0;
    unsigned long m_values_ = 0;
    unsigned long m_unreadable_ = 0;
    unsigned long m_valueLimit_ = 0;
    unsigned long m_sensorErrors_ = 0;
    unsigned long m_interfaceErrors_ = 0;
    int m_lastErrorCode_ = 0;
    std::string m_lastErrorMessage_;
    std::optional<double> m_secondsToReady_;
    std::optional<Mode> m_measuringMode_;
    bool m_nextLineInMode_ = false;
    bool m_errorInLine_ = false;
    unsigned long m_linesInMode_ = 0;
    bool m_measuringRefused_ = false;
};

void printModelParameters(const CVkr25::CVkr25Config&) {}
void printModelParameters(const CVkr25Xt::CVkr25XtConfig& config) {
    if (config.getStrAlarm2().empty() && config.getStrAlarm3().empty())
        std::printf("  alarms 2, 3 (FA/FB)   not reported\n");
    else
        std::printf("  alarms 2, 3 (FA/FB)   %s / %s\n", config.getStrAlarm2().c_str(),
                    config.getStrAlarm3().c_str());
}

template <class Driver>
void printParameters(const Driver& driver) {
    const auto& config = configOf(driver);
    const std::string identification = withoutLineEnd(config.getIdentification());
    if (identification.empty())
        std::printf("identification: none received\n");
    else
        std::printf("identification: %s\n", identification.c_str());
    if (const auto* version = config.getVersionInfo())
        std::printf("  model %s, serial number %s, version %s.%s\n", version->getModel().c_str(),
                    version->getSerial().c_str(), version->getStrMajorVersion().c_str(),
                    version->getStrMinorVersion().c_str());
    std::printf("parameters:\n");
    std::printf("  averaging (SA)        %u\n", config.getAverage());
    std::printf("  display format (SD)   %c\n", config.getDisplayFormat());
    std::printf("  measure time (ST)     %u\n", config.getMeasureTime());
    std::printf("  scale factor (SF)     %s\n", config.getStrScaleFactor().c_str());
    std::printf("  error mode (SE)       %u\n", config.getErrorMode());
    std::printf("  offset (OF)           %s\n", config.getStrOffset().c_str());
    std::printf("  range (RB..RE)        %s .. %s\n", config.getStrRangeBegin().c_str(),
                config.getStrRangeEnd().c_str());
    std::printf("  alarm (AC/AH/AW)      %s / %s / %s\n", config.getStrAlarmCenter().c_str(),
                config.getStrAlarmHysteresis().c_str(), config.getStrAlarmWidth().c_str());
    printModelParameters(config);
    std::printf("  baud rate (BR)        %u\n", config.getBaudRate());
    std::printf("  auto-start (AS)       %s\n", modeName<Driver>(config.getAutostartMode()).c_str());
    std::printf("  trigger (TD/TM)       %s / %s\n", config.getTriggerDelay().c_str(),
                config.getTriggerMode().c_str());
}

// Splits "HOST:PORT".
std::string readHostAndPort(const std::string& text, CTcpInterface::TTcpProperties& tcp) {
    const auto colon = text.rfind(':');
    unsigned long port = 0;
    if (colon == std::string::npos || !Programs::readCount(text.substr(colon + 1), port) || port == 0 ||
        port > 65535)
        return "expected HOST:PORT with a port 1 ... 65535";
    const std::string host = text.substr(0, colon);
    if (host.empty())
        return "expected HOST:PORT with a host";
    // "[::1]:4001" or "::1:4001": the transport connects over IPv4 only.
    if (host.find_first_of("[]:") != std::string::npos)
        return "IPv6 addresses are not supported (the TCP transport speaks IPv4): give an IPv4 address or a "
               "host name";
    tcp.IpAddress = host;
    tcp.PortNumber = static_cast<int32_t>(port);
    return "";
}

// The rates --baud takes, slowest first.
std::string knownRates() {
    NorvEngineering::Platform::TStringList names;
    fillBaudRateNames(&names);
    std::string rates;
    for (std::size_t i = 0; i < names.Count(); ++i)
        rates += (i == 0 ? "" : ", ") + names[i];
    return rates;
}

Programs::CCommandLine makeCommandLine(Settings& settings) {
    Programs::CCommandLine line(
        "Usage: sensor_example [--serial DEVICE [line settings] | --tcp HOST:PORT | --sim-tcp] [options]\n\n"
        "Connects to a Vkr25-family sensor, prints its identification and parameters,\n"
        "measures and prints each value with its time until the time or count is up or\n"
        "Ctrl-C, then a summary. Without --serial or --tcp it runs against the built-in\n"
        "simulator on a pseudo-terminal (--sim-tcp: on a loopback TCP port). Exits 0 when\n"
        "values came and no interface error occurred, 1 otherwise, 2 for a bad command line.\n"
        "It raises its own limit of open files to the hard limit (a TCP sensor takes three).");
    Programs::addModelOption(
        line, settings.model,
        "the sensor: vkr25 (default) takes the Vkr25 driver, the others the Vkr25Xt driver");
    line.add("--serial", "DEVICE", "a real serial device (/dev/ttyUSB0, COM1 = /dev/ttyS0)",
             [&](const std::string& v) {
                 settings.link = ELink::serial;
                 ++settings.linkOptions;
                 settings.line.DeviceName = v;
                 return v.empty() ? std::string("empty device name") : std::string();
             });
    line.add("--baud", "RATE", "line rate, one of 50 ... 256000 (default: as the device is)",
             [&](const std::string& v) {
                 settings.line.BaudRate = baudRateFromName(v);
                 return settings.line.BaudRate == brDefault ? "expected one of " + knownRates()
                                                            : std::string();
             });
    line.add("--data-bits", "5|6|7|8", "data bits (default: as the device is)", [&](const std::string& v) {
        const TDataBits bits[] = {db5, db6, db7, db8};
        if (v.size() != 1 || v[0] < '5' || v[0] > '8')
            return std::string("expected 5, 6, 7 or 8");
        settings.line.DataBits = bits[v[0] - '5'];
        return std::string();
    });
    line.add(
        "--parity", "none|odd|even|mark|space", "parity (default: as the device is)",
        [&](const std::string& v) {
            const std::pair<const char*, TParity> names[] = {
                {"none", paNone}, {"odd", paOdd}, {"even", paEven}, {"mark", paMark}, {"space", paSpace}};
            for (const auto& [name, parity] : names)
                if (v == name) {
                    settings.line.Parity = parity;
                    return std::string();
                }
            return std::string("unknown parity");
        });
    line.add("--stop-bits", "1|1.5|2", "stop bits (default: as the device is)", [&](const std::string& v) {
        if (v == "1")
            settings.line.StopBits = sb1;
        else if (v == "1.5")
            settings.line.StopBits = sb1_5;
        else if (v == "2")
            settings.line.StopBits = sb2;
        else
            return std::string("expected 1, 1.5 or 2");
        return std::string();
    });
    line.add("--tcp", "HOST:PORT", "a sensor behind a TCP converter at this address",
             [&](const std::string& v) {
                 settings.link = ELink::tcp;
                 ++settings.linkOptions;
                 return readHostAndPort(v, settings.tcp);
             });
    line.addFlag("--sim-tcp", "run the built-in simulator on a loopback TCP port instead of a pty", [&] {
        settings.link = ELink::builtInTcp;
        ++settings.linkOptions;
    });
    line.add("--mode", "dt|ds|dw|dx",
             "the measuring mode to request (default: dx, 50 a second, for a sensor that identifies as a "
             "Vkr27, dt otherwise)",
             [&](const std::string& v) {
                 const auto mode = CVkr25::getModeByName(v);
                 if (v.size() != 2 || !isMeasuringMode<CVkr25>(mode) || mode == CVkr25::lmDM ||
                     mode == CVkr25::lmDF)
                     return std::string("expected dt, ds, dw or dx");
                 settings.mode = v;
                 return std::string();
             });
    line.add("--connect-timeout", "SECONDS",
             "how long to wait for the connection, then for the sensor's answer (default 10)",
             [&](const std::string& v) {
                 return Programs::readCount(v, settings.connectTimeout) && settings.connectTimeout > 0
                            ? std::string()
                            : "expected SECONDS > 0";
             });
    line.addFlag("--verbose", "also show the library's trace, the mode changes and the transport's events",
                 [&] { settings.verbose = true; });
    line.addFlag("--list", "list the serial devices of this machine and exit", [&] { settings.list = true; });
    line.add("--seconds", "N", "how long to measure (default 3)", [&](const std::string& v) {
        return Programs::readCount(v, settings.seconds) && settings.seconds > 0 ? std::string()
                                                                                : "expected N > 0";
    });
    line.add("--count", "N", "stop after N values (default: as many as come)", [&](const std::string& v) {
        return Programs::readCount(v, settings.count) ? std::string() : "not a number";
    });
    line.add("--sim-hang-up-after", "N", "built-in simulator: hang up after N lines",
             [&](const std::string& v) {
                 return Programs::readCount(v, settings.simHangUpAfter) ? std::string() : "not a number";
             });
    line.add("--sim-error-reply", "MNEMONIC=CODE",
             "built-in simulator: answer that command once with an error", [&](const std::string& v) {
                 settings.simErrorReply = v;
                 return v.find('=') == std::string::npos ? std::string("expected MNEMONIC=CODE")
                                                         : std::string();
             });
    return line;
}

// The built-in simulator, on a pseudo-terminal or a loopback TCP port: it points the
// settings at itself.
class BuiltInSimulator {
public:
    explicit BuiltInSimulator(Settings& settings) {
        const auto prepare = [&](SensorSim::CSensorSimulator& sensor) {
            // A target that moves away slowly, with a little noise.
            sensor.setDistanceSource([](uint64_t index) {
                return 1.25 + 0.0005 * static_cast<double>(index) + 0.0001 * static_cast<double>(index % 3);
            });
            if (settings.simHangUpAfter > 0)
                sensor.setHangUpAfterLines(settings.simHangUpAfter);
            if (const auto equals = settings.simErrorReply.find('='); equals != std::string::npos)
                sensor.setErrorReply(settings.simErrorReply.substr(0, equals),
                                     settings.simErrorReply.substr(equals + 1));
        };
        if (settings.link == ELink::builtInTcp) {
            m_pTcp_ = std::make_unique<SensorSim::CTcpSensorServer>(1, settings.model);
            m_pTcp_->with(0, prepare);
            settings.tcp.IpAddress = "127.0.0.1";
            settings.tcp.PortNumber = m_pTcp_->port();
            report("built-in simulator on 127.0.0.1:%u", static_cast<unsigned>(m_pTcp_->port()));
        } else {
            m_pPty_ = std::make_unique<SensorSim::CPtySensorServer>(settings.model);
            m_pPty_->withSimulator(prepare);
            m_pPty_->start();
            settings.line.DeviceName = m_pPty_->getDevicePath();
            report("built-in simulator on %s", settings.line.DeviceName.c_str());
        }
    }

    void stop() {
        if (m_pPty_)
            m_pPty_->stop();
        if (m_pTcp_)
            m_pTcp_->stop();
    }

private:
    std::unique_ptr<SensorSim::CPtySensorServer> m_pPty_;
    std::unique_ptr<SensorSim::CTcpSensorServer> m_pTcp_;
};

// A reader that has gone (`sensor_example | head -3`) ends the run as a stop signal
// does, so the sensor still gets its escape: SIGPIPE is ignored, and the failed write
// leaves its mark on standard output.
bool outputClosed() {
    return std::ferror(stdout) != 0;
}

// Runs the message loop until the condition holds (true), or an interface error came,
// a stop was asked for, the output closed or the time is up (false).
template <class Owner>
bool waitFor(const Owner& owner, const Programs::CStopSignals& stop, const std::function<bool()>& condition,
             Clock::time_point deadline) {
    const auto now = Clock::now();
    const auto left = deadline > now ? std::chrono::ceil<std::chrono::milliseconds>(deadline - now)
                                     : std::chrono::milliseconds(0);
    const auto ended = [&] { return owner.failed() || stop.requested() || outputClosed(); };
    return Application().RunUntil([&] { return ended() || condition(); }, left) && !ended();
}

// A host name that cannot be resolved is said so at once, with the resolver's reason;
// the transport would only report a code.
std::string unresolvableHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET; // the transport's only family
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int failure = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (failure == 0) {
        ::freeaddrinfo(found);
        return "";
    }
    return ::gai_strerror(failure);
}

std::unique_ptr<CCustomInterface> makeTransport(Settings& settings) {
    if (settings.overTcp()) {
        auto transport = std::make_unique<CTcpInterface>(&settings.tcp, false);
        // Events reach the sink on this thread, in its message loop.
        transport->setSyncEvents(true);
        report("connecting to %s", settings.where().c_str());
        return transport;
    }
    report("opening %s", settings.where().c_str());
    return std::make_unique<CSerialInterface>(&settings.line, true);
}

// Why a connect failed, by the transport's (Winsock-numbered) code, and what to check.
std::string connectFailureReason(const Settings& settings, int code, const std::string& message) {
    const std::string port = std::to_string(settings.tcp.PortNumber);
    switch (code) {
    case 10061:
        return "connection refused: nothing listens on port " + port +
               " there; check the converter's address and port";
    case 10060:
        return "no answer, the connection timed out: check the address and that the converter is on";
    case 10051:
    case 10065:
        return "the host cannot be reached from here: check the address and the network";
    default:
        return message;
    }
}

// Says why the transport did not come up, and what to do.
template <class Owner>
void explainOpenFailure(const Settings& settings, const Owner& owner) {
    const std::string where = settings.where();
    if (settings.overTcp()) {
        if (owner.interfaceErrors() > 0)
            report("could not connect to %s: %s", where.c_str(),
                   connectFailureReason(settings, owner.lastErrorCode(), owner.lastErrorMessage()).c_str());
        else if (!owner.failed())
            report("could not connect to %s within %lu s (--connect-timeout): check the address and that the "
                   "converter is on, or allow it longer",
                   where.c_str(), settings.connectTimeout);
        else
            report("the connection to %s was closed at once", where.c_str());
        return;
    }
    if (owner.interfaceErrors() > 0)
        report("cannot open %s: %s", where.c_str(),
               Programs::deviceFailureReason(settings.line.DeviceName, owner.lastErrorCode(),
                                             owner.lastErrorMessage())
                   .c_str());
    else
        report("%s did not open within %lu s (--connect-timeout)", where.c_str(), settings.connectTimeout);
}

template <class Owner>
void printSummary(const Settings& settings, const Owner& owner, double measuringSeconds) {
    char ready[48] = "never ready";
    if (const auto seconds = owner.secondsToReady())
        std::snprintf(ready, sizeof ready, "ready after %.3f s", *seconds);
    // A run the other side ended fails without an error of this side: the summary
    // says why, for whoever reads the output alone.
    const char* closed = !owner.closedByPeer() ? ""
                         : settings.overTcp()  ? ", the connection was closed by the other side"
                                               : ", the device went away (closed by the other side)";
    const auto values = owner.values();
    std::printf(
        "summary: %lu values in %.2f s (%.1f per second), %lu unreadable readings, %lu sensor errors, "
        "%lu interface errors, %s%s\n",
        values, measuringSeconds, measuringSeconds > 0 ? static_cast<double>(values) / measuringSeconds : 0.0,
        owner.unreadable(), owner.sensorErrors(), owner.interfaceErrors(), ready, closed);
}

// Whether the start-up has ended: identification and parameters are in, and the
// auto-start command that readiness sent has been answered, or is a measuring mode,
// which runs until it is told otherwise.
template <class Driver>
bool startedUp(const Driver& driver) {
    const auto& queue = driver.getQueue();
    return queue.empty() || (queue.size() == 1 && isMeasuringMode<Driver>(queue.front().getId()));
}

// The life of one sensor with the driver of its model; the exit status.
template <class Driver>
int runSensor(Settings& settings, const Programs::CStopSignals& stop, Clock::time_point start) {
    ExampleOwner<Driver> owner(settings, start);
    WatchedDriver<Driver> driver(&owner,
                                 [&owner](const std::string& dropped) { owner.overlongReply(dropped); });
    owner.setDriver(&driver);
    owner.setValueLimit(settings.count);
    const auto timeout = std::chrono::seconds(settings.connectTimeout);
    double measuringSeconds = 0;
    int exitCode = 1;
    // A host name that cannot be resolved ends the run as any other failed connect
    // does: with what to check, and the summary.
    if (settings.link == ELink::tcp) {
        if (const std::string failure = unresolvableHost(settings.tcp.IpAddress); !failure.empty()) {
            report("could not connect to %s: cannot resolve %s: %s; check the name and the machine's name "
                   "service (/etc/hosts, /etc/resolv.conf), or give the converter's IPv4 address",
                   settings.where().c_str(), settings.tcp.IpAddress.c_str(), failure.c_str());
            printSummary(settings, owner, measuringSeconds);
            return exitCode;
        }
    }
    const std::unique_ptr<CCustomInterface> transport = makeTransport(settings);
    try {
        driver.setInterface(transport.get()); // opens; the start-up follows on ready
        if (!waitFor(
                owner, stop, [&] { return owner.interfaceReady(); }, Clock::now() + timeout)) {
            if (!stop.requested())
                explainOpenFailure(settings, owner);
        } else if (!waitFor(
                       owner, stop, [&] { return owner.sensorReady() && startedUp(driver); },
                       Clock::now() + timeout)) {
            if (!stop.requested() && !owner.failed()) {
                if (!owner.answered())
                    report(
                        "the sensor on %s did not answer within %lu s: check that it is on and that the line "
                        "settings (rate, data bits, parity, stop bits) match the sensor's",
                        settings.where().c_str(), settings.connectTimeout);
                else
                    report(
                        "the sensor on %s answered but did not finish its start-up within %lu s: check the "
                        "line settings (rate, data bits, parity, stop bits)",
                        settings.where().c_str(), settings.connectTimeout);
            }
        } else {
            printParameters(driver);
            const std::string identified = identifiedModel(driver);
            if (!identified.empty() && identified != identityOf(settings.model))
                report("warning: the sensor identifies itself as %s, but --model is %s", identified.c_str(),
                       Programs::modelName(settings.model).c_str());
            // The 50-a-second mode is a Vkr27's.
            const std::string modeName = !settings.mode.empty()  ? settings.mode
                                         : identified == "VKR27" ? "dx"
                                                                 : "dt";
            const auto mode = Driver::getModeByName(modeName);
            const auto measuringStart = Clock::now();
            if (!outputClosed()) {
                driver.setMode(mode);
                owner.measuring(mode);
            }
            waitFor(
                owner, stop,
                [&] {
                    return owner.measuringRefused() ||
                           (settings.count > 0 && owner.values() >= settings.count);
                },
                Clock::now() + std::chrono::seconds(settings.seconds));
            measuringSeconds = std::chrono::duration<double>(Clock::now() - measuringStart).count();
            if (outputClosed())
                report("standard output closed; stopping");
            if (!owner.failed())
                driver.setMode(Driver::lmEscaped); // stop measuring
            exitCode = owner.failed() || owner.values() == 0 ? 1 : 0;
        }
    } catch (const EAbort&) {
        // A port failure, already reported through the sink.
        if (!owner.interfaceReady())
            explainOpenFailure(settings, owner);
    }
    owner.releasing();
    transport->releaseInterface();
    printSummary(settings, owner, measuringSeconds);
    return exitCode;
}

int listDevices() {
    NorvEngineering::Platform::TStringList devices;
    NorvEngineering::Serial::TComPort(nullptr).EnumComDevices(&devices);
    for (std::size_t i = 0; i < devices.Count(); ++i)
        std::printf("%s\n", devices[i].c_str());
    if (devices.Count() == 0)
        report("no serial devices found");
    return 0;
}

// Each TCP sensor takes three descriptors: at the usual soft limit of 1,024 a process
// holds about 340 of them. As many servers do, the example takes what the hard limit
// allows; only --verbose tells.
void raiseDescriptorLimit(bool verbose) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    const auto before = static_cast<unsigned long long>(limit.rlim_cur);
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        if (verbose)
            report("the limit of open files stays at %llu: %s", before, std::strerror(errno));
        return;
    }
    if (verbose)
        report("the limit of open files raised from %llu to %llu", before,
               static_cast<unsigned long long>(limit.rlim_cur));
}

} // namespace

int main(int argc, char** argv) {
    // First, before any thread: the threads inherit the blocked stop signals.
    const Programs::CStopSignals stop([] { return stamp() + "  "; });
    // Every line reaches a file or a pipe when it is printed, whatever ends the run.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader that goes ends the run as Ctrl-C does (see outputClosed()), not at once.
    std::signal(SIGPIPE, SIG_IGN);

    Settings settings;
    const auto line = makeCommandLine(settings);
    if (const auto exitCode = line.parse(argc, argv))
        return *exitCode;
    if (settings.linkOptions > 1) {
        std::fprintf(stderr, "choose one of --serial, --tcp and --sim-tcp\n(see --help)\n");
        return 2;
    }
    raiseDescriptorLimit(settings.verbose);
    // What a callback lets out reaches standard error as every other line does.
    Application().OnException = [](const std::exception_ptr& error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& unhandled) {
            report("unhandled exception: %s", unhandled.what());
        } catch (...) {
            report("unhandled exception of unknown type");
        }
    };
    if (settings.list)
        return listDevices();
    const auto start = Clock::now();
    int exitCode = 1;
    try {
        std::unique_ptr<BuiltInSimulator> simulator;
        if (settings.link == ELink::builtInPty || settings.link == ELink::builtInTcp)
            simulator = std::make_unique<BuiltInSimulator>(settings);
        exitCode = settings.model == EModel::Vkr25 ? runSensor<CVkr25>(settings, stop, start)
                                                   : runSensor<CVkr25Xt>(settings, stop, start);
        NorvEngineering::Serial::TComThread::WaitForAll(std::chrono::seconds(5));
        CTcpInterface::waitForClientThreads(std::chrono::seconds(5));
        if (simulator)
            simulator->stop();
    } catch (const std::exception& error) {
        report("sensor_example: %s", error.what());
        exitCode = 1;
    }
    return exitCode;
}
