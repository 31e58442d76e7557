#include "SerialInterface.h"
#include "PtyPair.h"

#include "ComThread.h"
#include "RecordingSink.h"
#include "SensorLib.h"
#include "Termios2.h"

#include "Application.h"
#include "Exception.h"
#include "Messages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::Application;
using NorvEngineering::Platform::EAbort;
using NorvEngineering::Platform::isMainThread;
using SerialTests::PtyPair;
using namespace std::chrono_literals;

namespace {

// A sensor that keeps every chunk its transport hands up.
class ChunkSensor : public CSensor {
public:
    using CSensor::CSensor;
    void initialize() override {}
    void dataReceived(const char* data, unsigned int length) override {
        EXPECT_TRUE(isMainThread());
        chunks.emplace_back(data, length);
        all.append(data, length);
    }
    std::vector<std::string> chunks;
    std::string all;
};

struct Rig {
    PtyPair pty;
    TestSupport::RecordingSink sink;
    ChunkSensor sensor{&sink};
    CSerialInterface::TSerialProperties properties{nullptr};
    std::unique_ptr<CSerialInterface> transport;

    explicit Rig(bool syncEvents = true) {
        properties.DeviceName = pty.path();
        properties.BaudRate = br57600;
        properties.DataBits = db8;
        properties.Parity = paNone;
        properties.StopBits = sb1;
        transport = std::make_unique<CSerialInterface>(&properties, syncEvents);
    }
    ~Rig() {
        transport.reset();
        EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
    }
    void open() { sensor.setInterface(transport.get()); }
};

bool runUntil(const std::function<bool()>& condition) {
    return Application().RunUntil(condition, 10s);
}

TEST(SerialInterface, LongComNamesGetTheDevicePrefix) {
    EXPECT_EQ(CSerialInterface::portDeviceName("COM3"), "COM3");
    EXPECT_EQ(CSerialInterface::portDeviceName("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(CSerialInterface::portDeviceName("com12"), "com12");
    EXPECT_EQ(CSerialInterface::portDeviceName("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(CSerialInterface::portDeviceName("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

TEST(SerialInterface, AnUnknownDeviceIsOneErrorAndNothingElse) {
    Rig rig;
    rig.properties.DeviceName = "/dev/ttyNoSuchAdapter7";
    rig.open();
    ASSERT_EQ(rig.sink.interfaceErrors.size(), 1u);
    EXPECT_EQ(rig.sink.interfaceErrors[0].code, 0);
    EXPECT_EQ(rig.sink.interfaceErrors[0].message, "/dev/ttyNoSuchAdapter7");
    EXPECT_EQ(rig.sink.interfaceErrors[0].place, "CSerialInterface::initInterface_");
    EXPECT_EQ(rig.sink.ready, 0);
    EXPECT_EQ(rig.transport->getComPort(), nullptr);
}

TEST(SerialInterface, OpenConfiguresThePortAndReportsReady) {
    Rig rig(false);
    rig.open();
    EXPECT_EQ(rig.sink.ready, 1);
    EXPECT_TRUE(rig.sink.interfaceErrors.empty());
    auto* port = rig.transport->getComPort();
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->Active());
    EXPECT_TRUE(port->SynchronizeEvents()); // whatever the flag says
    EXPECT_FALSE(rig.transport->getSyncEvents());
    EXPECT_EQ(port->ThreadPriority(), NorvEngineering::Platform::tpHigher);
    EXPECT_EQ(port->Timeouts()->ReadInterval(), 10);
    EXPECT_EQ(port->Timeouts()->WriteConstant(), 5000);
    uint32_t input = 0;
    uint32_t output = 0;
    ASSERT_EQ(NorvEngineering::Serial::Termios2::readRates(rig.pty.holder(), input, output), 0);
    EXPECT_EQ(output, 57600u);
}

TEST(SerialInterface, ADeviceInUseIsReportedAndTheOpenEndsSilently) {
    Rig rig;
    NorvEngineering::Serial::TComPort holder(nullptr);
    holder.SetDeviceName(rig.pty.path());
    holder.Open();
    EXPECT_THROW(rig.open(), EAbort);
    ASSERT_EQ(rig.sink.interfaceErrors.size(), 1u);
    EXPECT_EQ(rig.sink.interfaceErrors[0].code, EBUSY);
    EXPECT_EQ(rig.sink.interfaceErrors[0].message, "Device or resource busy");
    EXPECT_EQ(rig.sink.interfaceErrors[0].place, "");
    EXPECT_EQ(rig.sink.ready, 0);
    ASSERT_NE(rig.transport->getComPort(), nullptr);
    EXPECT_FALSE(rig.transport->getComPort()->Active());
    rig.transport->releaseInterface();
    EXPECT_EQ(rig.transport->getComPort(), nullptr);
}

TEST(SerialInterface, WritesGoOutAndReceivedBytesComeUpOnTheMainThread) {
    Rig rig(false);
    rig.open();
    rig.transport->write("DT", 2);
    rig.transport->write("\r", 1);
    EXPECT_EQ(rig.pty.receive(3, 5s), "DT\r");
    rig.pty.send("001.234\r\n");
    ASSERT_TRUE(runUntil([&] { return rig.sensor.all == "001.234\r\n"; }));
}

TEST(SerialInterface, MoreThanOneBufferIsDeliveredWithoutFurtherInput) {
    Rig rig;
    rig.open();
    std::string flood(5000, 'F');
    for (std::size_t i = 0; i < flood.size(); i += 97)
        flood[i] = static_cast<char>('a' + (i / 97) % 26);
    rig.pty.send(flood);
    ASSERT_TRUE(runUntil([&] { return rig.sensor.all.size() >= flood.size(); }));
    EXPECT_EQ(rig.sensor.all, flood);
    for (const auto& chunk : rig.sensor.chunks)
        EXPECT_LE(chunk.size(), static_cast<std::size_t>(kInterfaceReceiveSize));
}

TEST(SerialInterface, AWriteThatCannotLeaveIsOneTimeoutErrorAndTheWriteEndsSilently) {
    Rig rig;
    rig.open();
    rig.transport->getComPort()->Timeouts()->SetWriteConstant(150); // instead of 5 s
    const std::string block(256 * 1024, 'w');
    EXPECT_THROW(rig.transport->write(block.data(), static_cast<int>(block.size())), EAbort);
    ASSERT_EQ(rig.sink.interfaceErrors.size(), 1u);
    EXPECT_EQ(rig.sink.interfaceErrors[0].code, 0);
    EXPECT_EQ(rig.sink.interfaceErrors[0].message, "Timeout");
    EXPECT_EQ(rig.sink.interfaceErrors[0].place, "");
    EXPECT_TRUE(rig.transport->getComPort()->Active());
}

TEST(SerialInterface, AHangUpIsAnInterfaceErrorAndLaterWritesReportTheClosedPort) {
    Rig rig;
    rig.open();
    rig.pty.hangUp();
    ASSERT_TRUE(runUntil([&] { return !rig.sink.interfaceErrors.empty(); }));
    ASSERT_TRUE(runUntil([&] { return !rig.transport->getComPort()->Active(); }));
    ASSERT_EQ(rig.sink.interfaceErrors.size(), 1u);
    EXPECT_EQ(rig.sink.interfaceErrors[0].code, 5);
    EXPECT_EQ(rig.sink.interfaceErrors[0].message, "Input/output error");
    EXPECT_THROW(rig.transport->write("ID", 2), EAbort);
    ASSERT_EQ(rig.sink.interfaceErrors.size(), 2u);
    EXPECT_EQ(rig.sink.interfaceErrors[1].message, "Can't perform this operation on a closed port");
}

// An owner that lets go of the transport from inside its error notification.
class DroppingSink : public TestSupport::RecordingSink {
public:
    void onInterfaceError(CSensor* sensor, CSensorInterface* iface, CInterfaceError& error) override {
        RecordingSink::onInterfaceError(sensor, iface, error);
        owned.reset();
    }
    std::unique_ptr<CSerialInterface> owned;
};

TEST(SerialInterface, TheOwnerMayDeleteTheTransportFromTheErrorNotification) {
    PtyPair pty;
    DroppingSink sink;
    ChunkSensor sensor(&sink);
    CSerialInterface::TSerialProperties properties(nullptr);
    properties.DeviceName = pty.path();
    sink.owned = std::make_unique<CSerialInterface>(&properties, true);
    sensor.setInterface(sink.owned.get());
    pty.hangUp();
    ASSERT_TRUE(runUntil([&] { return sink.owned == nullptr; }));
    EXPECT_EQ(sink.interfaceErrors.size(), 1u);
    EXPECT_EQ(sensor.getInterface(), nullptr);
    EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
}

TEST(SerialInterface, ReleaseDeletesThePortAndMayRepeat) {
    Rig rig;
    rig.open();
    ASSERT_NE(rig.transport->getComPort(), nullptr);
    rig.transport->releaseInterface();
    EXPECT_EQ(rig.transport->getComPort(), nullptr);
    rig.transport->releaseInterface();
    rig.transport->write("x", 1); // no port: nothing happens
    // The device is free again.
    NorvEngineering::Serial::TComPort other(nullptr);
    other.SetDeviceName(rig.pty.path());
    other.Open();
    EXPECT_TRUE(other.Active());
}

} // namespace
