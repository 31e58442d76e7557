#pragma once

#include <string>

namespace NorvEngineering::SensorLib {

class CSensorInterface;

// The wire form of one Vkr25-family command: its text and suffix in one write, then
// a carriage return in a second write unless the command is the escape byte. Empty
// writes are skipped; nothing at all is written without a transport.
void writeCommand(CSensorInterface* iface, const std::string& text, const std::string& suffix,
                  bool endWithCarriageReturn);

} // namespace NorvEngineering::SensorLib
