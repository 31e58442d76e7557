#pragma once

#include "MeasuringOwner.h"
#include "SerialInterface.h"
#include "TcpInterface.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace TestSupport {

// A transport with the settings it borrows.
struct TcpLine {
    NorvEngineering::SensorLib::CTcpInterface::TTcpProperties properties{nullptr};
    std::unique_ptr<NorvEngineering::SensorLib::CTcpInterface> transport;

    explicit TcpLine(uint16_t port, bool sync = true, const std::string& address = "127.0.0.1") {
        properties.IpAddress = address;
        properties.PortNumber = port;
        transport = std::make_unique<NorvEngineering::SensorLib::CTcpInterface>(&properties, sync);
    }
};

// 8N1 at the given rate.
struct SerialLine {
    NorvEngineering::SensorLib::CSerialInterface::TSerialProperties properties{nullptr};
    std::unique_ptr<NorvEngineering::SensorLib::CSerialInterface> transport;

    explicit SerialLine(const std::string& device,
                        NorvEngineering::SensorLib::TBaudRate rate = NorvEngineering::SensorLib::br115200,
                        bool sync = true) {
        using namespace NorvEngineering::SensorLib;
        properties.DeviceName = device;
        properties.BaudRate = rate;
        properties.DataBits = db8;
        properties.Parity = paNone;
        properties.StopBits = sb1;
        transport = std::make_unique<CSerialInterface>(&properties, sync);
    }
};

// A driver, its owner and its line, kept as a sensor component keeps them: the line
// goes first, as the component deletes the transport before the sensor.
template <class Driver, class Line>
struct Station {
    MeasuringOwner owner;
    Driver driver{&owner};
    Line line;

    template <class... LineArgs>
    explicit Station(LineArgs&&... args) : line(std::forward<LineArgs>(args)...) {}
    void connect() { driver.setInterface(line.transport.get()); }
};

} // namespace TestSupport
