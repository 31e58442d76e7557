// An owner that waits in a loop of its own inside a notification (a console program
// that runs Application().RunUntil in onSensorError, a desktop one that shows a
// message box from onDataUpdate) while the sensor goes on measuring over a serial
// line: the lines that arrive meanwhile must reach the driver after that notification
// has returned, each once, in order, and never inside it.
#include "RunUntil.h"
#include "SimulatedRoads.h"
#include "Stations.h"

#include "Application.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;
using SensorSim::CSensorSimulator;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

// Records every distance and every sensor error in the order the driver reports them,
// and counts notifications that start while another one is still running.
class NestingOwner : public TestSupport::MeasuringOwner {
public:
    void onDataUpdate(CSensor* sensor, const std::string& text) override {
        const Inside inside(*this);
        const std::size_t before = distances.size();
        MeasuringOwner::onDataUpdate(sensor, text);
        // An update that carries a trace text follows an error reply; the others carry
        // one distance each.
        if (measuring && text.empty())
            seen.push_back(static_cast<CNorvLaser*>(sensor)->getStrDistance());
        if (nestEveryUpdate != 0 && distances.size() > before && distances.size() % nestEveryUpdate == 0)
            nest();
    }
    void onSensorError(CSensor* sensor, CSensorError& error) override {
        const Inside inside(*this);
        MeasuringOwner::onSensorError(sensor, error);
        if (measuring)
            seen.push_back("E" + std::to_string(error.getCode()));
        nest();
    }

    bool measuring = false;
    std::size_t nestEveryUpdate = 0;
    std::vector<std::string> seen;
    int overlaps = 0;
    int nested = 0;

private:
    struct Inside {
        explicit Inside(NestingOwner& owner) : m_owner_(owner) {
            if (m_owner_.m_running_++ != 0)
                ++m_owner_.overlaps;
        }
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
        ~Inside() { --m_owner_.m_running_; }
        NestingOwner& m_owner_;
    };
    // The owner waits for something of its own for a while, running the main loop.
    void nest() {
        ++nested;
        NorvEngineering::Platform::Application().RunUntil([] { return false; }, 100ms);
    }
    int m_running_ = 0;
};

// The lines of the measuring run, as the simulated sensor wrote them to the line.
class SentLines {
public:
    void add(std::string_view bytes) {
        const std::lock_guard lock(m_mutex_);
        m_partial_.append(bytes);
        for (std::size_t end; (end = m_partial_.find("\r\n")) != std::string::npos;) {
            if (m_recording_)
                m_lines_.push_back(m_partial_.substr(0, end));
            m_partial_.erase(0, end + 2);
        }
    }
    void record(bool on) {
        const std::lock_guard lock(m_mutex_);
        m_recording_ = on;
    }
    std::vector<std::string> lines() {
        const std::lock_guard lock(m_mutex_);
        return m_lines_;
    }

private:
    std::mutex m_mutex_;
    std::string m_partial_;
    bool m_recording_ = false;
    std::vector<std::string> m_lines_;
};

// A line every 5 ms, every 40th an error: the owner's waits of 100 ms take half the
// time, and the lines of each wait come after it as one batch.
constexpr std::size_t kErrorEvery = 40;

// The Vkr25 driver with the owner above on a pseudo-terminal to the simulated sensor.
struct NestedRoad {
    SensorSim::CPtySensorServer server;
    NestingOwner owner;
    CVkr25 driver{&owner};
    TestSupport::SerialLine line{server.getDevicePath()};
    SentLines sent;

    NestedRoad() {
        server.withSimulator(TestSupport::countUp);
        server.start();
        driver.setInterface(line.transport.get());
    }
    ~NestedRoad() {
        line.transport.reset();
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
        server.stop();
    }
    void with(const TestSupport::SimulatorCall& call) { server.withSimulator(call); }

    // Measures until `errors` sensor errors have been reported, stops, and compares
    // what the driver reported, one by one, with what the sensor sent.
    void measureAndCompare(std::size_t errors) {
        ASSERT_TRUE(runUntil([&] { return owner.sensorReady == 1 && driver.getQueue().empty(); }));
        with([](CSensorSimulator& sim) {
            sim.setMeasurementPeriod(CSensorSimulator::ERunMode::DX, 5ms);
            sim.setMeasurementErrorEvery(kErrorEvery);
        });
        server.setWriteObserver([this](std::string_view bytes, auto) { sent.add(bytes); });
        owner.measuring = true;
        sent.record(true);
        driver.setMode(CVkr25::lmDX);
        ASSERT_TRUE(runUntil([&] { return owner.sensorErrors.size() >= errors; }, 30s));
        with([](CSensorSimulator& sim) { sim.holdMeasurements(true); });
        sent.record(false);
        // Everything sent has come once the driver has reported as many lines.
        const auto reported = [&] { return owner.seen.size() >= sent.lines().size(); };
        EXPECT_TRUE(runUntil(reported, 10s)) << owner.seen.size() << " of " << sent.lines().size();
        owner.measuring = false;
        driver.setMode(CVkr25::lmEscaped);

        const std::vector<std::string> lines = sent.lines();
        ASSERT_GE(lines.size(), kErrorEvery * (errors - 1));
        const std::size_t common = std::min(lines.size(), owner.seen.size());
        for (std::size_t i = 0; i < common; ++i)
            ASSERT_EQ(owner.seen[i], lines[i]) << "line " << i << " of " << lines.size();
        EXPECT_EQ(owner.seen.size(), lines.size());
        EXPECT_EQ(owner.overlaps, 0);
        EXPECT_GE(owner.nested, static_cast<int>(errors));
        EXPECT_TRUE(owner.interfaceErrors.empty());
    }
};

TEST(SerialNestedLoop, LinesThatComeWhileOnSensorErrorWaitsReachTheDriverAfterItInOrder) {
    NestedRoad road;
    road.measureAndCompare(8);
}

TEST(SerialNestedLoop, LinesThatComeWhileOnDataUpdateShowsAMessageBoxReachTheDriverAfterItInOrder) {
    NestedRoad road;
    road.owner.nestEveryUpdate = 50;
    road.measureAndCompare(5);
}

} // namespace
