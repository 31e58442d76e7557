// The owner of one Vkr25: connects, measures (DT, about 10 values a second) and
// prints 20 distances, or fewer when Ctrl-C or SIGTERM comes first; either way it
// stops the sensor and releases the transport. A TCP connection that the other side
// closes is made again, twice at most. Usage: readme_owner HOST:PORT | /dev/DEVICE
#include "SensorTransports.h"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace NorvEngineering::SensorLib;
namespace Platform = NorvEngineering::Platform;

// Every call below runs on the main thread, inside Application().RunUntil (or the
// owner's own call into the library).
class Owner : public CSensorSink {
public:
    explicit Owner(int& total) : values(total) {}
    CVkr25 sensor{this};
    int& values; // over every connection
    bool failed = false;
    bool closed = false;

    // The transport is open: the start sequence asks for identification and parameters.
    void onInterfaceReady(CSensor*, CSensorInterface*) override { sensor.initialize(); }
    // Until now every request was dropped. This one waits behind the sensor's
    // auto-start command and goes out when that has been answered.
    void onSensorReady(CSensor*) override { sensor.setMode(CVkr25::lmDT); }
    // After every reply read. A measurement leaves its distance in the driver, which
    // keeps the last one: take it once, then clear the text. (The command being
    // answered is the head of getQueue(); getCurrentMode() is the mode the reply
    // parser last set, which reads lmEscaped while DT runs after the answer to the
    // auto-start command.)
    void onDataUpdate(CSensor*, const std::string& /*trace*/) override {
        if (values == 20 || sensor.getStrDistance().empty())
            return;
        std::printf("%.3f m\n", sensor.getDistance());
        std::fflush(stdout); // a line at a time, also into a pipe
        sensor.setStrDistance({});
        if (++values == 20)
            sensor.setMode(CVkr25::lmEscaped); // stops measuring
    }
    void onSensorCustomCallback(CSensor*) override {} // getCurrentMode() changed
    void onSensorError(CSensor*, CSensorError& error) override {
        std::fprintf(stderr, "sensor error %d\n", error.getCode()); // 15 for "E15" ...
    }
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError& error) override {
        std::fprintf(stderr, "interface error %d: %s\n", error.getCode(), error.getMessage().c_str());
        failed = true;
    }
    void onInterfaceReleased(CSensor*, CSensorInterface*) override { closed = true; } // TCP: it has ended
    // The library never asks these; they are for the owner's own bookkeeping.
    uint32_t getSensorType() const override { return sensor.getSensorType(); }
    int32_t getSensorId() const override { return 1; }
};

// Ctrl-C and SIGTERM as a descriptor that the main thread's wait watches: blocked
// here, before the library starts a thread (threads inherit the mask), they reach no
// handler and no thread, and the callback below runs on the main thread inside
// RunUntil, where it may use the library like any other callback. (A signal handler
// may call nothing of the library.)
class StopSignals {
public:
    bool requested = false;

    StopSignals() {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        m_fd_ = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
        m_watch_ = Platform::ThreadMessageQueue::current().watch(m_fd_, EPOLLIN, [this](uint32_t) {
            signalfd_siginfo taken;
            while (read(m_fd_, &taken, sizeof taken) == sizeof taken)
                requested = true;
        });
    }
    ~StopSignals() {
        Platform::ThreadMessageQueue::current().unwatch(m_watch_);
        close(m_fd_);
    }

private:
    int m_fd_ = -1;
    Platform::ThreadMessageQueue::WatchId m_watch_ = 0;
};

int main(int argc, char** argv) {
    StopSignals stop; // first, before any thread exists
    if (argc != 2) {
        std::fprintf(stderr, "usage: readme_owner HOST:PORT | /dev/DEVICE\n");
        return 2;
    }
    const std::string where = argv[1];
    const bool overSerial = where.starts_with("/dev/");
    CTcpInterface::TTcpProperties tcp(nullptr);
    CSerialInterface::TSerialProperties serial(nullptr);
    if (overSerial) {
        serial.DeviceName = where;
        serial.BaudRate = br9600; // the sensor's line settings
        serial.DataBits = db8;
        serial.Parity = paNone;
        serial.StopBits = sb1;
    } else {
        tcp.IpAddress = where.substr(0, where.rfind(':'));
        tcp.PortNumber = std::atoi(where.substr(where.rfind(':') + 1).c_str());
    }
    int values = 0;
    // A driver serves one transport, once (attached again, it would go on with its old
    // queue and stall): each connection gets a new owner with its driver, and a new
    // transport.
    for (int connection = 1;; ++connection) {
        Owner owner(values);
        std::unique_ptr<CCustomInterface> transport;
        if (overSerial)
            transport = std::make_unique<CSerialInterface>(&serial, true);
        else
            transport = std::make_unique<CTcpInterface>(&tcp, true); // events on the main thread
        try {
            owner.sensor.setInterface(transport.get()); // opens the transport
            Platform::Application().RunUntil(
                [&] { return values == 20 || owner.failed || owner.closed || stop.requested; },
                std::chrono::seconds(10));
            if (stop.requested && !owner.failed && !owner.closed)
                owner.sensor.setMode(CVkr25::lmEscaped); // goes out at once: the sensor stops measuring
        } catch (const Platform::EAbort&) {
            // A serial device that could not be opened or a line that went away:
            // onInterfaceError has said why.
        }
        const bool well = values == 20 || (stop.requested && !owner.failed && !owner.closed);
        const bool again = owner.closed && !owner.failed && !stop.requested && values < 20 && connection < 3;
        transport.reset(); // closes
        if (!again)
            return well ? 0 : 1;
        // The other side closed the connection: connect again.
    }
}
