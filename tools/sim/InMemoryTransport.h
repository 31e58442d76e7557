#pragma once

#include "SensorInterface.h"
#include "SensorSimulator.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace SensorSim {

// A transport without a line: what the library writes goes straight into a
// simulator, and what the simulator sends waits until the owner delivers it, in
// chunks of whatever size it likes. Delivery never happens from inside write(), so
// the library's parser is never re-entered, as with a real port.
class CInMemoryTransport : public NorvEngineering::SensorLib::CSensorInterface {
public:
    explicit CInMemoryTransport(CSensorSimulator& simulator, EInterfaceType kind = itSerial);
    ~CInMemoryTransport() override;

    void write(const char* data, int length) override;
    // Opens; readiness is the owner's to report, with notifyInterfaceReady().
    void initInterface_() override { m_open_ = true; }
    void releaseInterface() override { m_open_ = false; }

    bool isOpen() const { return m_open_; }
    std::size_t getPendingSize() const { return m_pending_.size(); }
    // Hands at most `maxBytes` (at least one) of what the sensor sent to the attached
    // sensor as one chunk; returns how many.
    std::size_t deliver(std::size_t maxBytes);
    // Delivers until nothing is pending, replies to commands written on the way
    // included; `chunkSize` picks each chunk's size from the pending count. Stops
    // after `limit` bytes, so that a sensor and a driver talking in a loop end.
    std::size_t deliverAll(const std::function<std::size_t(std::size_t pending)>& chunkSize,
                           std::size_t limit = std::size_t{1} << 20);

    // Each write as it was made, and all of them joined.
    const std::vector<std::string>& getWrites() const { return m_writes_; }
    std::string getWritten() const;

private:
    CSensorSimulator& m_simulator_;
    std::string m_pending_;
    std::vector<std::string> m_writes_;
    bool m_open_ = false;
};

} // namespace SensorSim
