#pragma once

#include "Event.h"

#include <cstdint>
#include <string>

namespace NorvEngineering::Serial {

class TCustomComPort;

// The configuration record of a serial device: its line settings, characters, flow
// control and options, with the values that a device control block customarily
// holds. The port fills it from its properties and takes it back (CopyDCB); a
// device's default configuration is the settings it keeps now (see
// TCustomComPort::DefaultConfig).
struct TComConfig {
    static constexpr uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3,
                             kSpaceParity = 4;
    static constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;
    static constexpr uint8_t kControlDisable = 0, kControlEnable = 1, kControlHandshake = 2,
                             kControlToggle = 3;

    uint32_t BaudRate = 9600;
    uint8_t ByteSize = 8;
    uint8_t Parity = kNoParity;
    uint8_t StopBits = kOneStopBit;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint8_t DtrControl = kControlEnable; // kControlDisable ... kControlHandshake
    uint8_t RtsControl = kControlEnable; // kControlDisable ... kControlToggle
    bool InX = false;                    // XON/XOFF on input: the device sends XOFF and XON
    bool OutX = false;                   // XON/XOFF on output: the device obeys them
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    // The eight options, in the order of TOption.
    bool CheckParity = false;
    bool OutxCtsFlow = false;
    bool OutxDsrFlow = false;
    bool DsrSensitivity = false;
    bool TXContinueOnXoff = false;
    bool UseErrorChar = false;
    bool DiscardNull = false;
    bool AbortOnError = false;

    friend bool operator==(const TComConfig&, const TComConfig&) = default;
};

// The configuration dialog that the application gives the port (a terminal prompt,
// a form): shows the record for the device, lets the user edit it in place, and
// returns true when the user confirmed, false when they cancelled.
using TConfigDialogEvent =
    Platform::TEvent<bool(TCustomComPort* comPort, const std::string& deviceName, TComConfig& config)>;

} // namespace NorvEngineering::Serial
