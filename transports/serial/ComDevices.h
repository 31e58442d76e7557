#pragma once

#include <string>
#include <vector>

namespace NorvEngineering::Serial {

// The path that a port's DeviceName opens: "COMn" and "\\.\COMn" (n from 1) name
// /dev/ttyS(n-1); every other name is a path and stays as it is.
std::string ComDevicePath(const std::string& deviceName);

// The machine's serial devices with a driver behind them (from /sys/class/tty), as
// /dev paths, sorted by name with numbers in numeric order (ttyS2 before ttyS10).
std::vector<std::string> ComDevicePaths();

// Every terminal device that the system lists: each entry of /sys/class/tty (with
// or without a driver or a UART behind it) and each pseudo-terminal in /dev/pts, as
// /dev paths in the same order as ComDevicePaths.
std::vector<std::string> TerminalDevicePaths();

// Whether the path names a character device that a terminal driver serves, asked
// without opening it (opening a real port may pulse its modem lines).
bool IsTerminalDevice(const std::string& path);

} // namespace NorvEngineering::Serial
