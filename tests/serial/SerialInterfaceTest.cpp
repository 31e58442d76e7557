#include "SerialInterface.h"
#include "PtyPair.h"

#include "ComThread.h"
#include "ReceivingSensor.h"
#include "RecordingSink.h"
#include "RunUntil.h"
#include "SensorLib.h"
#include "Stations.h"
#include "Termios2.h"

#include "Exception.h"
#include "Messages.h"
#include "PostedCall.h"
#include "Synchronize.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::EAbort;
using NorvEngineering::Serial::TComPort;
using SerialTests::busyUntil;
using SerialTests::PtyPair;
using TestSupport::runUntil;
using namespace std::chrono_literals;

namespace {

// Runs the main thread's messages up to those queued now: whatever was asked of it
// before has had its turn.
bool drainMainThread() {
    bool reached = false;
    NorvEngineering::Platform::TPostedCall marker([&] { reached = true; });
    marker.request();
    return runUntil([&] { return reached; });
}

template <class Sink = TestSupport::RecordingSink, class Sensor = TestSupport::ReceivingSensor>
struct BasicRig {
    PtyPair pty;
    Sink sink;
    Sensor sensor{&sink};
    TestSupport::SerialLine line;

    explicit BasicRig(bool syncEvents = true) : line(pty.path(), br57600, syncEvents) {}
    ~BasicRig() {
        line.transport.reset();
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
    }
    CSerialInterface& transport() { return *line.transport; }
    TComPort* port() { return line.transport->getComPort(); }
    void open() { sensor.setInterface(line.transport.get()); }
    bool deliveredOnTheMainThread() const {
        const auto threads = sensor.threads();
        return std::all_of(threads.begin(), threads.end(),
                           [](auto thread) { return thread == NorvEngineering::Platform::mainThreadId(); });
    }
    // The one interface error so far, as code, text and place.
    std::vector<std::string> onlyError() const {
        if (sink.interfaceErrors.size() != 1)
            return {std::to_string(sink.interfaceErrors.size()) + " errors"};
        const auto& error = sink.interfaceErrors[0];
        return {std::to_string(error.code), error.message, error.place};
    }
};
using Rig = BasicRig<>;

TEST(SerialInterface, LongComNamesGetTheDevicePrefix) {
    const std::pair<const char*, const char*> names[] = {{"COM3", "COM3"},
                                                         {"COM12", "\\\\.\\COM12"},
                                                         {"com12", "com12"},
                                                         {"\\\\.\\COM12", "\\\\.\\COM12"},
                                                         {"/dev/ttyUSB0", "/dev/ttyUSB0"}};
    for (const auto& [stored, given] : names)
        EXPECT_EQ(CSerialInterface::portDeviceName(stored), given) << stored;
}

TEST(SerialInterface, AnUnknownDeviceIsOneErrorAndNothingElse) {
    Rig rig;
    rig.line.properties.DeviceName = "/dev/ttyNoSuchAdapter7";
    rig.open();
    EXPECT_EQ(rig.onlyError(),
              (std::vector<std::string>{"0", "/dev/ttyNoSuchAdapter7", "CSerialInterface::initInterface_"}));
    EXPECT_EQ(rig.sink.ready, 0);
    EXPECT_EQ(rig.port(), nullptr);
}

TEST(SerialInterface, OpenConfiguresThePortDeliversOnTheMainThreadWhateverTheFlagAndReleaseFreesIt) {
    Rig rig(false);
    rig.open();
    EXPECT_EQ(rig.sink.ready, 1);
    EXPECT_TRUE(rig.sink.interfaceErrors.empty());
    ASSERT_NE(rig.port(), nullptr);
    EXPECT_TRUE(rig.port()->Active());
    EXPECT_TRUE(rig.port()->SynchronizeEvents()); // whatever the flag says
    EXPECT_EQ(rig.port()->ThreadPriority(), NorvEngineering::Platform::tpHigher);
    EXPECT_EQ(rig.port()->Timeouts()->ReadInterval(), 10);
    EXPECT_EQ(rig.port()->Timeouts()->WriteConstant(), 5000);
    uint32_t input = 0;
    uint32_t output = 0;
    ASSERT_EQ(NorvEngineering::Serial::Termios2::readRates(rig.pty.holder(), input, output), 0);
    EXPECT_EQ(output, 57600u);

    rig.transport().write("DT", 2);
    rig.transport().write("\r", 1);
    EXPECT_EQ(rig.pty.receive(3, 5s), "DT\r");
    rig.pty.send("001.234\r\n");
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received() == "001.234\r\n"; }));
    EXPECT_TRUE(rig.deliveredOnTheMainThread());

    // A release deletes the port, may repeat, and frees the device.
    rig.transport().releaseInterface();
    EXPECT_EQ(rig.port(), nullptr);
    rig.transport().releaseInterface();
    rig.transport().write("x", 1); // no port: nothing happens
    TComPort other(nullptr);
    other.SetDeviceName(rig.pty.path());
    other.Open();
    EXPECT_TRUE(other.Active());
}

TEST(SerialInterface, ADeviceInUseIsReportedAndTheOpenEndsSilently) {
    Rig rig;
    TComPort holder(nullptr);
    holder.SetDeviceName(rig.pty.path());
    holder.Open();
    EXPECT_THROW(rig.open(), EAbort);
    EXPECT_EQ(rig.onlyError(),
              (std::vector<std::string>{std::to_string(EBUSY), "Device or resource busy", ""}));
    EXPECT_EQ(rig.sink.ready, 0);
    ASSERT_NE(rig.port(), nullptr);
    EXPECT_FALSE(rig.port()->Active());
    rig.transport().releaseInterface();
    EXPECT_EQ(rig.port(), nullptr);
}

TEST(SerialInterface, MoreThanOneBufferIsDeliveredWithoutFurtherInput) {
    Rig rig;
    rig.open();
    std::string flood(5000, 'F');
    for (std::size_t i = 0; i < flood.size(); i += 97)
        flood[i] = static_cast<char>('a' + (i / 97) % 26);
    rig.pty.send(flood);
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() >= flood.size(); }));
    EXPECT_EQ(rig.sensor.received(), flood);
    EXPECT_TRUE(rig.deliveredOnTheMainThread());
    for (const auto& chunk : rig.sensor.chunks())
        EXPECT_LE(chunk.size(), static_cast<std::size_t>(kInterfaceReceiveSize));
}

TEST(SerialInterface, BurstsThatComeWhileTheMainThreadIsBusyGoUpTogetherInOrder) {
    Rig rig;
    rig.open();
    std::string sent;
    for (int i = 0; i < 200; ++i) {
        const std::string piece = std::to_string(i) + ";";
        rig.pty.send(piece);
        sent += piece;
    }
    // Everything waits in the port, read ahead, before the main thread looks (all of it
    // has come, and then none of it waits on the line): one turn reads it all, and the
    // batches that the other arrivals posted meanwhile add nothing.
    ASSERT_TRUE(busyUntil([&] {
        return rig.port()->InputCount() == static_cast<int32_t>(sent.size()) && rig.pty.unread() == 0;
    }));
    ASSERT_TRUE(runUntil([&] { return rig.sensor.received().size() >= sent.size(); }));
    ASSERT_TRUE(drainMainThread());
    EXPECT_EQ(rig.sensor.received(), sent);
    EXPECT_EQ(rig.sensor.chunks().size(), 1u);
}

TEST(SerialInterface, TheOtherSideGoingAwayWithInputOnItsWayIsOneErrorAndTheEnd) {
    Rig rig;
    rig.open();
    const auto completion = rig.port()->EventThreadCompletion();
    rig.pty.send("last words\r");
    ASSERT_TRUE(busyUntil([&] { return rig.port()->InputCount() == 11; }));
    rig.pty.hangUp();
    ASSERT_TRUE(runUntil([&] { return !rig.sink.interfaceErrors.empty(); }));
    EXPECT_TRUE(completion->wait(5s));
    ASSERT_TRUE(drainMainThread());
    EXPECT_EQ(rig.onlyError(), (std::vector<std::string>{std::to_string(EIO), "Input/output error", ""}));
    EXPECT_FALSE(rig.port()->Active());
}

TEST(SerialInterface, WhatTheOtherSideWroteBeforeHangingUpReachesTheSensorBeforeTheError) {
    // A virtual serial port bridged to a network sensor ends like this: the last line,
    // then the bridge closes, while the owner's main thread is busy elsewhere.
    struct Sink : TestSupport::RecordingSink {
        const TestSupport::ReceivingSensor* sensor = nullptr;
        std::size_t receivedAtError = 0;
        void onInterfaceError(CSensor* from, CSensorInterface* iface, CInterfaceError& error) override {
            receivedAtError = sensor->received().size();
            RecordingSink::onInterfaceError(from, iface, error);
        }
    };
    std::string numbered;
    for (int line = 0; numbered.size() < 20000; ++line)
        numbered += std::to_string(line) + ";+0001.234\r\n";
    const std::vector<std::vector<std::string>> cases = {{"001.234\r\n"},
                                                         {"VKR25 1.07\r\n", "PR[Enter]\r\n", "[OF]\r\n"},
                                                         {numbered.substr(0, 5000)},
                                                         {numbered.substr(0, 9000), numbered.substr(9000)}};
    for (const auto& writes : cases) {
        BasicRig<Sink> rig;
        rig.sink.sensor = &rig.sensor;
        rig.open();
        std::string sent;
        std::size_t total = 0;
        for (const auto& piece : writes) {
            // A pty holds little of its own: without a reader the other side is soon
            // held off, and gives up.
            sent += piece.substr(0, rig.pty.sendUntilHeldOff(piece, 1s));
            total += piece.size();
        }
        EXPECT_EQ(sent.size(), total) << "the other side was held off";
        // Busy until the port has the bytes off the line (all of them have come, and
        // then none waits on the line), or for 2 s; then the other side hangs up,
        // and the main thread comes only once the failure waits for it.
        busyUntil(
            [&] {
                return rig.port()->InputCount() == static_cast<int32_t>(sent.size()) && rig.pty.unread() == 0;
            },
            2s);
        rig.pty.hangUp();
        busyUntil(NorvEngineering::Platform::synchronizePending, 2s);
        ASSERT_TRUE(runUntil([&] { return !rig.sink.interfaceErrors.empty(); })) << sent.size();
        ASSERT_TRUE(drainMainThread());
        EXPECT_EQ(rig.sensor.received().size(), sent.size());
        EXPECT_TRUE(rig.sensor.received() == sent) << sent.size(); // too long to print
        EXPECT_EQ(rig.sink.receivedAtError, sent.size());
        EXPECT_EQ(rig.onlyError(), (std::vector<std::string>{std::to_string(EIO), "Input/output error", ""}));
        EXPECT_FALSE(rig.port()->Active());
        for (const auto& chunk : rig.sensor.chunks())
            EXPECT_LE(chunk.size(), static_cast<std::size_t>(kInterfaceReceiveSize));
    }
}

TEST(SerialInterface, TheOwnerMayLetGoOfTheTransportWhileMoreInputIsOnItsWay) {
    // Released or deleted from inside a delivery, while the line refills and the event
    // thread posts the next batch: nothing runs on what is gone.
    for (const bool destroy : {false, true}) {
        struct DroppingSensor : TestSupport::ReceivingSensor {
            using ReceivingSensor::ReceivingSensor;
            std::function<void()> drop;
            void dataReceived(const char* data, unsigned int length) override {
                ReceivingSensor::dataReceived(data, length);
                if (drop)
                    std::exchange(drop, nullptr)();
            }
        };
        BasicRig<TestSupport::RecordingSink, DroppingSensor> rig;
        rig.sensor.drop = [&, destroy] {
            EXPECT_TRUE(busyUntil([&] { return rig.port()->InputCount() > 0; }));
            if (destroy)
                rig.line.transport.reset();
            else
                rig.line.transport->releaseInterface();
        };
        rig.open();
        rig.pty.send(std::string(3 * kInterfaceReceiveSize, 'x'));
        ASSERT_TRUE(runUntil([&] { return !rig.sensor.chunks().empty(); })) << destroy;
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
        ASSERT_TRUE(drainMainThread());
        EXPECT_EQ(rig.sensor.chunks().size(), 1u) << destroy;
        EXPECT_TRUE(rig.sink.interfaceErrors.empty()) << destroy;
    }
}

TEST(SerialInterface, AWriteThatCannotLeaveIsOneTimeoutErrorAndTheWriteEndsSilently) {
    Rig rig;
    rig.open();
    rig.port()->Timeouts()->SetWriteConstant(150); // instead of 5 s
    const std::string block(256 * 1024, 'w');
    EXPECT_THROW(rig.transport().write(block.data(), static_cast<int>(block.size())), EAbort);
    EXPECT_EQ(rig.onlyError(), (std::vector<std::string>{"0", "Timeout", ""}));
    EXPECT_TRUE(rig.port()->Active());
}

TEST(SerialInterface, TheLastCommandBeforeTheReleaseReachesTheDevice) {
    // The other side reads only after the release, as a sensor's server would after a
    // moment: what the port wrote must still be there.
    PtyPair pty;
    int arrived = 0;
    for (int round = 0; round < 100; ++round) {
        TestSupport::RecordingSink sink;
        TestSupport::ReceivingSensor sensor(&sink);
        TestSupport::SerialLine line(pty.path(), br57600, true);
        sensor.setInterface(line.transport.get());
        ASSERT_EQ(sink.ready, 1) << round;
        line.transport->write("\x1B", 1);
        line.transport->releaseInterface();
        if (pty.receive(1, 2s) == "\x1B")
            ++arrived;
    }
    EXPECT_EQ(arrived, 100);
}

TEST(SerialInterface, AWriteReportedAsFailedNeverReachesTheDeviceLater) {
    Rig rig;
    rig.open();
    rig.port()->Timeouts()->SetWriteConstant(150); // instead of 5 s
    // The other side holds the line: the device's output stops.
    ASSERT_EQ(::tcflow(rig.pty.holder(), TCOOFF), 0);
    EXPECT_THROW(rig.transport().write("ES\r", 3), EAbort);
    EXPECT_EQ(rig.onlyError(), (std::vector<std::string>{"0", "Timeout", ""}));
    ASSERT_EQ(::tcflow(rig.pty.holder(), TCOON), 0);
    rig.transport().write("DT\r", 3);
    EXPECT_EQ(rig.pty.receive(3, 5s), "DT\r");
    rig.transport().releaseInterface();
    EXPECT_EQ(rig.pty.receive(1, 50ms), "");
}

TEST(SerialInterface, TheOwnerMayDeleteTheTransportFromTheErrorNotification) {
    // An owner that lets go of the transport from inside its error notification.
    struct DroppingSink : TestSupport::RecordingSink {
        std::unique_ptr<CSerialInterface>* owned = nullptr;
        void onInterfaceError(CSensor* sensor, CSensorInterface* iface, CInterfaceError& error) override {
            RecordingSink::onInterfaceError(sensor, iface, error);
            owned->reset();
        }
    };
    BasicRig<DroppingSink> rig;
    rig.sink.owned = &rig.line.transport;
    rig.open();
    rig.pty.hangUp();
    ASSERT_TRUE(runUntil([&] { return rig.line.transport == nullptr; }));
    EXPECT_EQ(rig.sink.interfaceErrors.size(), 1u);
    EXPECT_EQ(rig.sensor.getInterface(), nullptr);
}

} // namespace
