// sensor_example: a minimal owner of a sensor. It creates the transport and the
// driver of the model asked for (a Vkr25, or a Vkr25Xt, which also drives a Vkr27),
// implements the sink, starts the sensor when the transport is ready, prints the
// identification and the parameters, requests a measuring mode and prints each value
// with its time, and every error, until its time or count is up.
//
// By default it talks to the built-in simulator on a pseudo-terminal, served by a
// thread of this program (--sim-tcp: on a loopback TCP port); with --serial it talks
// to a real device, with --tcp to a sensor behind a TCP converter.
#include "CommandLine.h"
#include "ModelName.h"
#include "PtySensorServer.h"
#include "TcpSensorServer.h"

#include "Application.h"
#include "ComThread.h"
#include "Exception.h"
#include "SensorLib.h"
#include "SerialInterface.h"
#include "TcpInterface.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <string>

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
    std::string mode = "dx";
    unsigned long simHangUpAfter = 0;
    std::string simErrorReply;
};

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

const CVkr25::CVkr25Config& configOf(const CVkr25& driver) {
    return driver.getConfig();
}
const CVkr25Xt::CVkr25XtConfig& configOf(const CVkr25Xt& driver) {
    return *driver.getConfig();
}

// The owner of one sensor: what the library reports, it prints.
template <class Driver>
class ExampleOwner : public CSensorSink {
public:
    explicit ExampleOwner(Clock::time_point start) : m_start_(start) {}

    void setDriver(Driver* driver) { m_pDriver_ = driver; }
    bool sensorReady() const { return m_sensorReady_; }
    bool failed() const { return m_failed_; }
    unsigned long values() const { return m_values_; }
    // From now on the transport is released on purpose.
    void releasing() { m_releasing_ = true; }

    void onDataUpdate(CSensor*, const std::string& text) override {
        if (!text.empty()) {
            std::printf("%s  trace: %s\n", stamp().c_str(), printable(text).c_str());
            return;
        }
        if (!m_sensorReady_ || !isMeasuringMode<Driver>(m_pDriver_->getCurrentMode()))
            return;
        ++m_values_;
        std::printf("%s  value %lu: %.3f m (%s)\n", stamp().c_str(), m_values_, m_pDriver_->getDistance(),
                    m_pDriver_->getStrDistance().c_str());
    }
    void onInterfaceReady(CSensor* sensor, CSensorInterface*) override {
        std::printf("%s  interface ready; starting the sensor\n", stamp().c_str());
        sensor->initialize();
    }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError& error) override {
        m_failed_ = true;
        std::printf("%s  interface error %d: %s%s%s\n", stamp().c_str(), error.getCode(),
                    error.getMessage().c_str(), error.getPlace().empty() ? "" : " at ",
                    error.getPlace().c_str());
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {
        // A connection that the sensor's side closed ends the run as a failure.
        const bool unasked = !m_releasing_ && !m_failed_;
        if (!m_releasing_)
            m_failed_ = true;
        std::printf("%s  interface released%s\n", stamp().c_str(), unasked ? " by the other side" : "");
    }
    void onSensorReady(CSensor*) override {
        m_sensorReady_ = true;
        std::printf("%s  sensor ready\n", stamp().c_str());
    }
    void onSensorError(CSensor*, CSensorError& error) override {
        std::printf("%s  sensor error %d\n", stamp().c_str(), error.getCode());
    }
    void onSensorCustomCallback(CSensor*) override {
        std::printf("%s  mode: %s\n", stamp().c_str(),
                    modeName<Driver>(m_pDriver_->getCurrentMode()).c_str());
    }
    uint32_t getSensorType() const override { return CVkr25FamilyLaser::kSensorType; }
    int32_t getSensorId() const override { return 0; }

private:
    std::string stamp() const {
        const double elapsed = std::chrono::duration<double>(Clock::now() - m_start_).count();
        char text[64];
        std::snprintf(text, sizeof text, "%s +%7.3fs", wallClock().c_str(), elapsed);
        return text;
    }
    static std::string printable(const std::string& text) {
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

    Clock::time_point m_start_;
    Driver* m_pDriver_ = nullptr;
    bool m_sensorReady_ = false;
    bool m_failed_ = false;
    bool m_releasing_ = false;
    unsigned long m_values_ = 0;
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
    std::string identification = config.getIdentification();
    while (!identification.empty() && (identification.back() == '\r' || identification.back() == '\n'))
        identification.pop_back();
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
    std::fflush(stdout);
}

// Splits "HOST:PORT" ("[::1]:PORT" for an IPv6 address).
std::string readHostAndPort(const std::string& text, CTcpInterface::TTcpProperties& tcp) {
    const auto colon = text.rfind(':');
    unsigned long port = 0;
    if (colon == std::string::npos || !Programs::readCount(text.substr(colon + 1), port) || port == 0 ||
        port > 65535)
        return "expected HOST:PORT with a port 1 ... 65535";
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        return "expected HOST:PORT with a host";
    tcp.IpAddress = host;
    tcp.PortNumber = static_cast<int32_t>(port);
    return "";
}

Programs::CCommandLine makeCommandLine(Settings& settings) {
    Programs::CCommandLine line(
        "Usage: sensor_example [--serial DEVICE [line settings] | --tcp HOST:PORT | --sim-tcp] [options]\n\n"
        "Connects to a Vkr25-family sensor, prints its identification and parameters,\n"
        "measures and prints each value with its time. Without --serial or --tcp it runs\n"
        "against the built-in simulator on a pseudo-terminal (--sim-tcp: on a loopback TCP\n"
        "port). Exits 0 when values came and no error occurred.");
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
                 return settings.line.BaudRate == brDefault ? std::string("not a rate the port knows")
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
    line.add("--mode", "dt|ds|dw|dx", "the measuring mode to request (default dx, 50 a second)",
             [&](const std::string& v) {
                 const auto mode = CVkr25::getModeByName(v);
                 if (v.size() != 2 || !isMeasuringMode<CVkr25>(mode) || mode == CVkr25::lmDM ||
                     mode == CVkr25::lmDF)
                     return std::string("expected dt, ds, dw or dx");
                 settings.mode = v;
                 return std::string();
             });
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
            std::printf("built-in simulator on 127.0.0.1:%u\n", static_cast<unsigned>(m_pTcp_->port()));
        } else {
            m_pPty_ = std::make_unique<SensorSim::CPtySensorServer>(settings.model);
            m_pPty_->withSimulator(prepare);
            m_pPty_->start();
            settings.line.DeviceName = m_pPty_->getDevicePath();
            std::printf("built-in simulator on %s\n", settings.line.DeviceName.c_str());
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

// Runs the message loop until the condition holds, an interface error came, or the
// time is up.
template <class Owner>
bool waitFor(const Owner& owner, const std::function<bool()>& condition, Clock::time_point deadline) {
    const auto now = Clock::now();
    const auto left = deadline > now ? std::chrono::ceil<std::chrono::milliseconds>(deadline - now)
                                     : std::chrono::milliseconds(0);
    return Application().RunUntil([&] { return owner.failed() || condition(); }, left) && !owner.failed();
}

std::unique_ptr<CCustomInterface> makeTransport(Settings& settings) {
    if (settings.link == ELink::tcp || settings.link == ELink::builtInTcp) {
        auto transport = std::make_unique<CTcpInterface>(&settings.tcp, false);
        // Events reach the sink on this thread, in its message loop.
        transport->setSyncEvents(true);
        std::printf("connecting to %s:%d\n", settings.tcp.IpAddress.c_str(), settings.tcp.PortNumber);
        return transport;
    }
    std::printf("opening %s\n", settings.line.DeviceName.c_str());
    return std::make_unique<CSerialInterface>(&settings.line, true);
}

// The life of one sensor with the driver of its model; the exit status.
template <class Driver>
int runSensor(Settings& settings, Clock::time_point start) {
    ExampleOwner<Driver> owner(start);
    Driver driver(&owner);
    owner.setDriver(&driver);
    const std::unique_ptr<CCustomInterface> transport = makeTransport(settings);
    int exitCode = 0;
    try {
        driver.setInterface(transport.get()); // opens; the start-up follows on ready
        if (!waitFor(
                owner, [&] { return owner.sensorReady(); }, Clock::now() + std::chrono::seconds(10))) {
            if (!owner.failed())
                std::printf("the sensor did not become ready within 10 s\n");
            exitCode = 1;
        } else if (!waitFor(
                       owner, [&] { return driver.getQueue().empty(); },
                       Clock::now() + std::chrono::seconds(10))) {
            // The auto-start command that readiness sent is still unanswered.
            if (!owner.failed())
                std::printf("the sensor did not finish its start-up within 10 s\n");
            exitCode = 1;
        } else {
            printParameters(driver);
            driver.setMode(Driver::getModeByName(settings.mode));
            waitFor(
                owner, [&] { return settings.count > 0 && owner.values() >= settings.count; },
                Clock::now() + std::chrono::seconds(settings.seconds));
            if (!owner.failed())
                driver.setMode(Driver::lmEscaped); // stop measuring
            std::printf("%lu values\n", owner.values());
            exitCode = owner.failed() || owner.values() == 0 ? 1 : 0;
        }
    } catch (const EAbort&) {
        // A port failure, already reported through the sink.
        exitCode = 1;
    }
    owner.releasing();
    transport->releaseInterface();
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    const auto line = makeCommandLine(settings);
    if (const auto exitCode = line.parse(argc, argv))
        return *exitCode;
    if (settings.linkOptions > 1) {
        std::fprintf(stderr, "choose one of --serial, --tcp and --sim-tcp\n(see --help)\n");
        return 2;
    }

    const auto start = Clock::now();
    int exitCode = 1;
    try {
        std::unique_ptr<BuiltInSimulator> simulator;
        if (settings.link == ELink::builtInPty || settings.link == ELink::builtInTcp)
            simulator = std::make_unique<BuiltInSimulator>(settings);
        exitCode = settings.model == EModel::Vkr25 ? runSensor<CVkr25>(settings, start)
                                                   : runSensor<CVkr25Xt>(settings, start);
        NorvEngineering::Serial::TComThread::WaitForAll(std::chrono::seconds(5));
        CTcpInterface::waitForClientThreads(std::chrono::seconds(5));
        if (simulator)
            simulator->stop();
    } catch (const std::exception& error) {
        std::printf("sensor_example: %s\n", error.what());
        exitCode = 1;
    }
    std::fflush(stdout);
    return exitCode;
}
