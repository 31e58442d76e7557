#pragma once

#include "ComPortTypes.h"
#include "Component.h"
#include "SensorInterface.h"
#include "StringList.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace NorvEngineering::SensorLib {

// The serial line enumerations are the serial-port component's own; the transports
// and their settings pass them on unchanged.
using Serial::TBaudRate;
using Serial::TDataBits;
using Serial::TParity;
using Serial::TStopBits;
using enum Serial::TBaudRate;
using enum Serial::TDataBits;
using enum Serial::TParity;
using enum Serial::TStopBits;

// The settings of a TCP connection that a sensor component publishes; reachable as
// CTcpInterface::TTcpProperties. A transport borrows it and reads it when it opens.
class TTcpProperties : public Platform::TPersistent {
public:
    explicit TTcpProperties(Platform::TComponent* owner) : m_pOwner_(owner) {}

    Platform::TComponent* Owner() const { return m_pOwner_; }

    // Handed unchanged to the socket component.
    std::string IpAddress;
    int32_t PortNumber = 0;

    // Streaming leaves out a port equal to this value.
    static constexpr int32_t kPortNumberStreamDefault = 23;

private:
    Platform::TComponent* m_pOwner_;
};

// The settings of a serial connection that a sensor component publishes; reachable as
// CSerialInterface::TSerialProperties.
class TSerialProperties : public Platform::TPersistent {
public:
    explicit TSerialProperties(Platform::TComponent* owner) : m_pOwner_(owner) {}

    Platform::TComponent* Owner() const { return m_pOwner_; }

    // "COM1" style names or device paths such as "/dev/ttyUSB0".
    std::string DeviceName;
    TBaudRate BaudRate = brDefault;
    TDataBits DataBits = dbDefault;
    TStopBits StopBits = sbDefault;
    TParity Parity = paDefault;

private:
    Platform::TComponent* m_pOwner_;
};

// The base of the byte transports: the transport contract plus one switch that says
// whether transport events are handed to the main thread before they reach the
// contract's notifications, or run in the thread that produced them.
class CCustomInterface : public CSensorInterface {
public:
    using TTcpProperties = SensorLib::TTcpProperties;
    using TSerialProperties = SensorLib::TSerialProperties;

    CCustomInterface(EInterfaceType kind, bool syncEvents);
    ~CCustomInterface() override;

    virtual void setSyncEvents(bool sync);
    // May be read from a transport's own thread while the owner changes it.
    bool getSyncEvents() const { return m_bSyncEvents_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> m_bSyncEvents_{false};
};

// The library's receive size: each transport's receive buffer.
inline constexpr int kInterfaceReceiveSize = 4096;

// The baud-rate name tables: the 25 named rates and their decimal names. They are
// built during static initialisation and freed at program end; the two calls exist
// for owners that manage the lifetime themselves (a second create does nothing).
void createBaudRateMaps();
void destroyBaudRateMaps();

// Replaces the list's items by the 25 names, slowest rate first; a null list is left alone.
void fillBaudRateNames(Platform::TStrings* list);
// The rate with exactly this name, or brDefault.
TBaudRate baudRateFromName(const std::string& name);
// The name of a named rate; empty for brDefault, brCustom and anything else.
std::string baudRateName(TBaudRate rate);

} // namespace NorvEngineering::SensorLib
