// sensor_example: a minimal owner of a sensor. It creates the serial transport and
// the Vkr25 driver, implements the sink, starts the sensor when the transport is
// ready, prints the identification and the parameters, requests a measuring mode and
// prints each value with its time, and every error, until its time or count is up.
//
// By default it talks to the built-in simulator on a pseudo-terminal, served by a
// thread of this program; with --serial it talks to a real device.
#include "CommandLine.h"
#include "PtySensorServer.h"

#include "Application.h"
#include "ComThread.h"
#include "Exception.h"
#include "SensorLib.h"
#include "SerialInterface.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::EAbort;

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    std::string device; // empty: the built-in simulator
    CSerialInterface::TSerialProperties line{nullptr};
    unsigned long seconds = 3;
    unsigned long count = 0; // 0: as many as come in the time
    CVkr25::ELaserMode mode = CVkr25::lmDX;
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

bool isMeasuringMode(CVkr25::ELaserMode mode) {
    switch (mode) {
    case CVkr25::lmDT:
    case CVkr25::lmDS:
    case CVkr25::lmDW:
    case CVkr25::lmDX:
    case CVkr25::lmDF:
    case CVkr25::lmDM:
        return true;
    default:
        return false;
    }
}

// The owner of one sensor: what the library reports, it prints.
class ExampleOwner : public CSensorSink {
public:
    explicit ExampleOwner(Clock::time_point start) : m_start_(start) {}

    void setDriver(CVkr25* driver) { m_pDriver_ = driver; }
    bool sensorReady() const { return m_sensorReady_; }
    bool failed() const { return m_failed_; }
    unsigned long values() const { return m_values_; }

    void onDataUpdate(CSensor*, const std::string& text) override {
        if (!text.empty()) {
            std::printf("%s  trace: %s\n", stamp().c_str(), printable(text).c_str());
            return;
        }
        if (!m_sensorReady_ || !isMeasuringMode(m_pDriver_->getCurrentMode()))
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
        std::printf("%s  interface released\n", stamp().c_str());
    }
    void onSensorReady(CSensor*) override {
        m_sensorReady_ = true;
        std::printf("%s  sensor ready\n", stamp().c_str());
    }
    void onSensorError(CSensor*, CSensorError& error) override {
        std::printf("%s  sensor error %d\n", stamp().c_str(), error.getCode());
    }
    void onSensorCustomCallback(CSensor*) override {
        std::printf("%s  mode: %s\n", stamp().c_str(), modeName(m_pDriver_->getCurrentMode()).c_str());
    }
    uint32_t getSensorType() const override { return makeSensorType(1, 239, 18); }
    int32_t getSensorId() const override { return 0; }

    static std::string modeName(CVkr25::ELaserMode mode) {
        if (mode == CVkr25::lmEscaped)
            return "escape";
        if (mode == CVkr25::lmNone)
            return "none";
        return CVkr25::getModeText(mode);
    }

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
    CVkr25* m_pDriver_ = nullptr;
    bool m_sensorReady_ = false;
    bool m_failed_ = false;
    unsigned long m_values_ = 0;
};

void printParameters(const CVkr25& driver) {
    const CVkr25::CVkr25Config& config = driver.getConfig();
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
    std::printf("  baud rate (BR)        %u\n", config.getBaudRate());
    std::printf("  auto-start (AS)       %s\n", ExampleOwner::modeName(config.getAutostartMode()).c_str());
    std::printf("  trigger (TD/TM)       %s / %s\n", config.getTriggerDelay().c_str(),
                config.getTriggerMode().c_str());
    std::fflush(stdout);
}

Programs::CCommandLine makeCommandLine(Settings& settings) {
    Programs::CCommandLine line(
        "Usage: sensor_example [--serial DEVICE [line settings]] [options]\n\n"
        "Connects to a Vkr25 sensor, prints its identification and parameters, measures and\n"
        "prints each value with its time. Without --serial it runs against the built-in\n"
        "simulator on a pseudo-terminal. Exits 0 when values came and no error occurred.");
    line.add("--serial", "DEVICE", "a real serial device (/dev/ttyUSB0, COM1 = /dev/ttyS0)",
             [&](const std::string& v) {
                 settings.device = v;
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
    line.add("--mode", "dt|ds|dw|dx", "the measuring mode to request (default dx, 50 a second)",
             [&](const std::string& v) {
                 const auto mode = CVkr25::getModeByName(v);
                 if (v.size() != 2 || !isMeasuringMode(mode) || mode == CVkr25::lmDM || mode == CVkr25::lmDF)
                     return std::string("expected dt, ds, dw or dx");
                 settings.mode = mode;
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

// Runs the message loop until the condition holds, an interface error came, or the
// time is up.
bool waitFor(const ExampleOwner& owner, const std::function<bool()>& condition, Clock::time_point deadline) {
    const auto now = Clock::now();
    const auto left = deadline > now ? std::chrono::ceil<std::chrono::milliseconds>(deadline - now)
                                     : std::chrono::milliseconds(0);
    return Application().RunUntil([&] { return owner.failed() || condition(); }, left) && !owner.failed();
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    const auto line = makeCommandLine(settings);
    if (const auto exitCode = line.parse(argc, argv))
        return *exitCode;

    const auto start = Clock::now();
    std::unique_ptr<SensorSim::CPtySensorServer> simulator;
    if (settings.device.empty()) {
        simulator = std::make_unique<SensorSim::CPtySensorServer>();
        simulator->withSimulator([&](SensorSim::CSensorSimulator& sensor) {
            // A target that moves away slowly, with a little noise.
            sensor.setDistanceSource([](uint64_t index) {
                return 1.25 + 0.0005 * static_cast<double>(index) + 0.0001 * static_cast<double>(index % 3);
            });
            if (settings.simHangUpAfter > 0)
                sensor.setHangUpAfterLines(settings.simHangUpAfter);
            if (const auto equals = settings.simErrorReply.find('='); equals != std::string::npos)
                sensor.setErrorReply(settings.simErrorReply.substr(0, equals),
                                     settings.simErrorReply.substr(equals + 1));
        });
        simulator->start();
        settings.device = simulator->getDevicePath();
        std::printf("built-in simulator on %s\n", settings.device.c_str());
    }
    settings.line.DeviceName = settings.device;

    int exitCode = 0;
    {
        ExampleOwner owner(start);
        CVkr25 driver(&owner);
        owner.setDriver(&driver);
        CSerialInterface transport(&settings.line, true);
        try {
            std::printf("opening %s\n", settings.device.c_str());
            driver.setInterface(&transport); // opens; the start-up follows on ready
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
                driver.setMode(settings.mode);
                waitFor(
                    owner, [&] { return settings.count > 0 && owner.values() >= settings.count; },
                    Clock::now() + std::chrono::seconds(settings.seconds));
                if (!owner.failed())
                    driver.setMode(CVkr25::lmEscaped); // stop measuring
                std::printf("%lu values\n", owner.values());
                exitCode = owner.failed() || owner.values() == 0 ? 1 : 0;
            }
        } catch (const EAbort&) {
            // A port failure, already reported through the sink.
            exitCode = 1;
        }
        transport.releaseInterface();
    }
    NorvEngineering::Serial::TComThread::WaitForAll(std::chrono::seconds(5));
    if (simulator)
        simulator->stop();
    std::fflush(stdout);
    return exitCode;
}
