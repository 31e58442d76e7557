#include "Vkr27Road.h"

#include "ComThread.h"
#include "PtySensorServer.h"
#include "SerialInterface.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Vkr27EndToEnd;
using NorvEngineering::SensorLib::CSerialInterface;

TEST(Vkr27OverSerial, StartsReadsTheAlarmsAndMeasuresOverAPseudoTerminal) {
    SensorSim::CPtySensorServer server(SensorSim::EModel::Vkr27);
    server.withSimulator(prepareVkr27);
    server.start();

    Owner owner;
    CVkr25Xt driver(&owner);
    CSerialInterface::TSerialProperties properties(nullptr);
    properties.DeviceName = server.getDevicePath();
    properties.BaudRate = NorvEngineering::SensorLib::br115200;
    properties.DataBits = NorvEngineering::SensorLib::db8;
    properties.Parity = NorvEngineering::SensorLib::paNone;
    properties.StopBits = NorvEngineering::SensorLib::sb1;
    auto transport = std::make_unique<CSerialInterface>(&properties, true);
    driver.setInterface(transport.get());

    runTheRoad(driver, owner, [&](const auto& call) { server.withSimulator(call); });

    transport.reset();
    EXPECT_EQ(driver.getInterface(), nullptr);
    EXPECT_TRUE(NorvEngineering::Serial::TComThread::WaitForAll(5s));
    server.stop();
}
