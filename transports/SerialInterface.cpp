#include "SerialInterface.h"

#include "ComDevices.h"
#include "SensorLibError.h"

namespace NorvEngineering::SensorLib {

using Serial::TComPort;

CSerialInterface::CSerialInterface(TSerialProperties* properties, bool syncEvents)
    : CCustomInterface(itSerial, syncEvents), m_pProperties_(properties),
      m_pReceiveBuffer_(std::make_unique<char[]>(kInterfaceReceiveSize)) {}

CSerialInterface::~CSerialInterface() {
    releaseInterface();
}

std::string CSerialInterface::portDeviceName(const std::string& storedName) {
    if (storedName.size() > 4 && storedName.starts_with("COM"))
        return "\\\\.\\" + storedName;
    return storedName;
}

void CSerialInterface::initInterface_() {
    const std::string stored = m_pProperties_ != nullptr ? m_pProperties_->DeviceName : std::string();
    // Asked without opening the device: a real port may pulse its modem lines on open.
    if (!Serial::IsTerminalDevice(Serial::ComDevicePath(portDeviceName(stored)))) {
        CInterfaceError error(0, stored, "CSerialInterface::initInterface_");
        notifyInterfaceError(error);
        return;
    }
    if (m_pComPort_ == nullptr)
        m_pComPort_ = new TComPort(nullptr);
    TComPort& port = *m_pComPort_;
    port.SetDeviceName(portDeviceName(stored));
    port.SetBaudRate(m_pProperties_->BaudRate);
    port.SetDataBits(m_pProperties_->DataBits);
    port.SetParity(m_pProperties_->Parity);
    port.SetStopBits(m_pProperties_->StopBits);
    port.SetThreadPriority(Platform::tpHigher);
    port.SetSynchronizeEvents(true);
    port.OnError = [this](Serial::TCustomComPort* sender, Serial::EComError& error,
                          Serial::TComAction& action) { onComError(sender, error, action); };
    port.OnRxChar = [this](Platform::TObject* sender) { onRxChar(sender); };
    port.Timeouts()->SetReadInterval(kReadInterval);
    port.Timeouts()->SetWriteConstant(kWriteTimeout);
    port.SetActive(true);
    notifyInterfaceReady();
}

void CSerialInterface::onRxChar(Platform::TObject*) {
    TComPort* port = m_pComPort_;
    // A turn asked for the rest may come after the release, or after a failure that
    // closed the port has been reported.
    if (port == nullptr || !port->Active())
        return;
    const int32_t count = port->ReadAvailable(m_pReceiveBuffer_.get(), kInterfaceReceiveSize);
    // A full buffer may have left more behind, which no new character need announce:
    // another turn comes at once, behind what the main thread has queued meanwhile.
    // (The port holds up to 64 KiB that its event thread read ahead; a Linux terminal
    // hands out at most 4095 bytes at a time and announces what it moves up after a
    // read by itself.)
    // The turn is the port's own, so that it never runs inside another notification.
    if (count == kInterfaceReceiveSize)
        port->PostEvents(Serial::evRxChar);
    notifyDataReceived(m_pReceiveBuffer_.get(), static_cast<unsigned int>(count));
}

void CSerialInterface::onComError(Serial::TCustomComPort*, Serial::EComError& error,
                                  Serial::TComAction& action) {
    action = Serial::caAbort;
    CInterfaceError interfaceError(error.Code(), error.Message(), std::string());
    notifyInterfaceError(interfaceError);
}

void CSerialInterface::write(const char* data, int length) {
    TComPort* port = m_pComPort_;
    if (port == nullptr)
        return;
    port->Write(data, length, false);
    port->Flush();
    port->WaitForWriteCompletion();
}

void CSerialInterface::releaseInterface() {
    TComPort* port = m_pComPort_;
    if (port == nullptr)
        return;
    port->OnRxChar = nullptr;
    port->OnError = nullptr;
    port->SetActive(false);
    m_pComPort_ = nullptr;
    delete port;
}

} // namespace NorvEngineering::SensorLib
