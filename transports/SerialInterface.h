#pragma once

#include "ComPort.h"
#include "CustomInterfaces.h"

#include <memory>
#include <string>

namespace NorvEngineering::SensorLib {

// The serial transport: one serial port per open transport, with the line settings
// of a TSerialProperties object read at each open. Received characters arrive from
// the port's event thread, always handed to the main thread whatever the sync-events
// flag says; the thread reads them as they come, so that what the other side wrote
// before it hung up reaches the sensor before the error, however late the main thread
// comes. Writes are written, flushed and awaited in the caller's thread. A port
// failure is reported as an interface error (the port's code and text, no place) and
// then ends the failing operation with the silent abort (Platform::EAbort), which the
// caller of open or write sees as an exception unless it runs from the message loop.
class CSerialInterface : public CCustomInterface {
public:
    using TSerialProperties = SensorLib::TSerialProperties;

    // The properties are borrowed; the owner keeps them alive while the transport is.
    CSerialInterface(TSerialProperties* properties, bool syncEvents);
    ~CSerialInterface() override;

    void write(const char* data, int length) override;
    void initInterface_() override;
    void releaseInterface() override;

    // The port's handlers.
    void onRxChar(Platform::TObject* sender);
    void onComError(Serial::TCustomComPort* port, Serial::EComError& error, Serial::TComAction& action);

    // Null until the first open and after the release.
    Serial::TComPort* getComPort() const { return m_pComPort_; }

    // The name handed to the port: "COM" names longer than four characters get the
    // device-namespace prefix "\\.\" (COM10 and up); everything else stays.
    static std::string portDeviceName(const std::string& storedName);

    // Milliseconds between two received characters that ends a waiting read, and the
    // time after which a write that cannot leave is given up with "Timeout".
    static constexpr int32_t kReadInterval = 10;
    static constexpr int32_t kWriteTimeout = 5000;

private:
    Serial::TComPort* m_pComPort_ = nullptr;
    TSerialProperties* m_pProperties_;
    std::unique_ptr<char[]> m_pReceiveBuffer_;
};

} // namespace NorvEngineering::SensorLib
