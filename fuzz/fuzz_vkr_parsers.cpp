// Feeds arbitrary bytes, cut into arbitrary chunks, into the reply processors of
// both Vkr25-family drivers, from a fresh start sequence, from a finished start-up
// or with any command in flight, to a sink that does nothing. Nothing may crash,
// read out of bounds, hang or grow without bound.
#include "SensorLib.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>

using namespace NorvEngineering::SensorLib;

namespace {

class NullSink final : public CSensorSink {
public:
    void onDataUpdate(CSensor*, const std::string&) override {}
    void onInterfaceReady(CSensor*, CSensorInterface*) override {}
    void onInterfaceError(CSensor*, CSensorInterface*, CInterfaceError&) override {}
    void onInterfaceReleased(CSensor*, CSensorInterface*) override {}
    void onSensorReady(CSensor*) override {}
    void onSensorError(CSensor*, CSensorError&) override {}
    void onSensorCustomCallback(CSensor*) override {}
    uint32_t getSensorType() const override { return 0; }
    int32_t getSensorId() const override { return 0; }
};

class NullInterface final : public CSensorInterface {
public:
    NullInterface() : CSensorInterface(itSerial) {}
    void write(const char*, int length) override {
        if (length < 0)
            std::abort();
    }
    void initInterface_() override {}
    void releaseInterface() override {}
};

// A start-up as the larger models send it, so that later input meets an active
// driver whose later dumps ask for FA and FB.
const std::string kStartUp = "VKR27,SN 12345,V7.03\r\n"
                             "Reset all parameters with PR[Enter]\r\n"
                             "[SA] Average value............5\r\n"
                             "[SD] Display format...........d\r\n"
                             "[AS] Autostart................dt\r\n"
                             "[FA] Alarm 2..................3.5\r\n"
                             "[OF] Offset...................-0.25\r\n";

template <class Driver>
auto& configOf(Driver& driver) {
    if constexpr (std::is_pointer_v<decltype(driver.getConfig())>)
        return *driver.getConfig();
    else
        return driver.getConfig();
}

template <class Driver>
void run(uint8_t setup, uint8_t mode, uint32_t seed, const char* bytes, std::size_t size) {
    using Mode = typename Driver::ELaserMode;
    NullSink sink;
    NullInterface iface;
    Driver driver(&sink);
    driver.setInterface(&iface);

    switch (setup % 3) {
    case 0:
        driver.initialize();
        break;
    case 1:
        driver.initialize();
        driver.dataReceived(kStartUp.data(), static_cast<unsigned int>(kStartUp.size()));
        if (driver.getActive() == 0)
            std::abort();
        break;
    default:
        driver.setActive(1);
        break;
    }
    configOf(driver).setDisplayFormat((setup & 0x10U) != 0 ? 'h' : 'd');
    driver.setMode(static_cast<Mode>(mode % 40));
    if ((setup & 0x20U) != 0)
        driver.setMode(static_cast<Mode>((mode / 40) % 40), "1,5");

    // Chunk sizes from a small generator: single bytes up to more than a buffer.
    std::size_t at = 0;
    while (at < size) {
        seed = seed * 1664525U + 1013904223U;
        const std::size_t limit = (seed >> 28) < 8 ? 8 : 5000;
        const std::size_t chunk = std::min<std::size_t>(1 + (seed >> 8) % limit, size - at);
        driver.dataReceived(bytes + at, static_cast<unsigned int>(chunk));
        at += chunk;
        const auto* processor = dynamic_cast<const CLaserProcessor*>(driver.getProcessor());
        if (processor == nullptr || processor->getBuffer().size() >= kReceiveBufferSize)
            std::abort();
        // Only the start-up, the auto-start mode, FA, FB and the two requests above
        // are ever queued.
        if (driver.getQueue().size() > 8)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    const uint32_t seed = data[2] | (static_cast<uint32_t>(data[3]) << 8);
    const char* bytes = reinterpret_cast<const char*>(data + 4);
    run<CVkr25>(data[0], data[1], seed, bytes, size - 4);
    run<CVkr25Xt>(data[0], data[1], seed, bytes, size - 4);
    return 0;
}
