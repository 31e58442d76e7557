#pragma once

#include "InMemoryTransport.h"
#include "MeasuringOwner.h"
#include "SensorLib.h"
#include "SensorSimulator.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace EndToEnd {

using NorvEngineering::SensorLib::CVkr25;

// The whole library road in one process: driver, in-memory transport, simulated
// sensor. The sensor's bytes reach the driver only when the test pumps them, in
// chunks of random size.
struct Rig {
    using Driver = CVkr25;
    SensorSim::CSensorSimulator sensor{SensorSim::EModel::Vkr25};
    SensorSim::CInMemoryTransport transport{sensor};
    TestSupport::MeasuringOwner sink; // starts the sensor when the transport is ready
    Driver driver{&sink};
    std::mt19937 random;
    std::size_t maxChunk;
    explicit Rig(unsigned seed = 1, std::size_t largestChunk = 16) : random(seed), maxChunk(largestChunk) {
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

    // What the owner saw and what went to the sensor.
    std::string transcript() const {
        std::string seen;
        for (const auto& call : sink.calls)
            seen += call + ';';
        return seen + '\n' + sink.trace() + '\n' + driver.getStrDistance() + '\n' + transport.getWritten();
    }

    // Connects a sensor that has been measuring in DT, its auto-start function, since
    // power-up, with `linesBefore` lines on the line before anyone asks; start-up
    // makes the driver ready and DT runs on.
    void connectMeasuringSensor(int linesBefore) {
        sensor.getParameters().set("AS", "dt");
        sensor.powerUp();
        for (int i = 0; i < linesBefore; ++i)
            EXPECT_TRUE(sensor.tick());
        connect();
        pump();
        EXPECT_EQ(sink.sensorReady, 1);
        EXPECT_EQ(sensor.getRunMode(), SensorSim::CSensorSimulator::ERunMode::DT);
    }

    // The end of a road: escape stops the sensor at once. Checks what the sensor
    // received and that no error was reported; returns the transcript.
    std::string escapeAndFinish(const std::vector<std::string>& commandsReceived) {
        driver.setMode(Driver::lmEscaped);
        EXPECT_FALSE(sensor.isMeasuring());
        EXPECT_FALSE(measure());
        EXPECT_TRUE(driver.getQueue().empty());
        EXPECT_EQ(sensor.getCommandsReceived(), commandsReceived);
        EXPECT_TRUE(sink.sensorErrors.empty());
        return transcript();
    }
};

// Runs a road, a function of (seed, largest chunk) that returns the rig's transcript,
// in one-byte chunks and then for every seed below `seeds` in chunks of random size:
// the result must be the same every time.
template <class Road>
void expectTheSameResultHoweverChunked(const Road& road, unsigned seeds) {
    const std::string expected = road(1, 1);
    for (unsigned seed = 2; seed < seeds; ++seed) {
        const std::size_t maxChunk = seed % 3 == 0 ? 3 : (seed % 3 == 1 ? 40 : 4096);
        EXPECT_EQ(road(seed, maxChunk), expected) << "seed " << seed;
        if (::testing::Test::HasFailure())
            break;
    }
}

} // namespace EndToEnd
