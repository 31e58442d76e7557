#pragma once

#include "InMemoryTransport.h"
#include "RecordingSink.h"
#include "SensorLib.h"
#include "SensorSimulator.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace EndToEnd {

using NorvEngineering::SensorLib::CSensor;
using NorvEngineering::SensorLib::CSensorInterface;
using NorvEngineering::SensorLib::CVkr25;
using NorvEngineering::SensorLib::CVkr25Xt;

// An owner as the library expects one: it starts the sensor when the transport is
// ready, and records everything else.
class StartingSink : public TestSupport::RecordingSink {
public:
    void onInterfaceReady(CSensor* sensor, CSensorInterface* iface) override {
        RecordingSink::onInterfaceReady(sensor, iface);
        sensor->initialize();
    }
};

// The whole library road in one process: driver, in-memory transport, simulated
// sensor of the given model. The sensor's bytes reach the driver only when the test
// pumps them, in chunks of random size.
template <class Driver, SensorSim::EModel kModel>
struct BasicRig {
    SensorSim::CSensorSimulator sensor{kModel};
    SensorSim::CInMemoryTransport transport{sensor};
    StartingSink sink;
    Driver driver{&sink};
    std::mt19937 random;
    std::size_t maxChunk;

    explicit BasicRig(unsigned seed = 1, std::size_t largestChunk = 16)
        : random(seed), maxChunk(largestChunk) {
        // Measured distances: 1.000 m, 1.001 m, ... so every line differs.
        sensor.setDistanceSource(
            [](std::uint64_t index) { return 1.0 + 0.001 * static_cast<double>(index); });
    }

    // Opens the transport and reports it ready: the driver's start sequence runs.
    void connect() {
        driver.setInterface(&transport);
        transport.notifyInterfaceReady();
    }

    // Delivers what the sensor has sent, and its answers to what that made the
    // driver write, until nothing is left.
    void pump() {
        std::uniform_int_distribution<std::size_t> size(1, maxChunk);
        transport.deliverAll([&](std::size_t) { return size(random); });
    }

    // One measurement line of the running mode, delivered.
    bool measure() {
        const bool sent = sensor.tick();
        pump();
        return sent;
    }

    std::string trace() const {
        std::string all;
        for (const auto& text : sink.updates)
            all += text;
        return all;
    }
};

using Rig = BasicRig<CVkr25, SensorSim::EModel::Vkr25>;
using Vkr27Rig = BasicRig<CVkr25Xt, SensorSim::EModel::Vkr27>;
using Vkr25XtRig = BasicRig<CVkr25Xt, SensorSim::EModel::Vkr25Xt>;

} // namespace EndToEnd
