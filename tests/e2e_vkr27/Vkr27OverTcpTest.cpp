#include "Vkr27Road.h"

#include "TcpInterface.h"
#include "TcpSensorServer.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Vkr27EndToEnd;
using NorvEngineering::SensorLib::CTcpInterface;

TEST(Vkr27OverTcp, StartsReadsTheAlarmsAndMeasuresOverLoopback) {
    SensorSim::CTcpSensorServer server;
    server.with(0, prepareVkr27);

    Owner owner;
    CVkr25Xt driver(&owner);
    CTcpInterface::TTcpProperties properties(nullptr);
    properties.IpAddress = "127.0.0.1";
    properties.PortNumber = server.port();
    auto transport = std::make_unique<CTcpInterface>(&properties, true);
    driver.setInterface(transport.get());

    runTheRoad(driver, owner, [&](const auto& call) { server.with(0, call); });

    transport.reset();
    EXPECT_EQ(driver.getInterface(), nullptr);
    EXPECT_TRUE(CTcpInterface::waitForClientThreads(5s));
}
