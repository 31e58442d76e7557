#pragma once

#include <string>

namespace SensorSim {

// The fields a Vkr25-family sensor sends, without line end.

// Seven characters that read as the distance in metres: "001.234", "-01.234";
// fewer decimals when the number needs the room, saturated beyond that.
std::string formatDecimalDistance(double metres);

// A lead character and seven hex digits: the distance in millimetres as a 28-bit
// two's complement ("x0001000" is 4.096 m, "xFFFFFFF" is -0.001 m); saturated at
// the ends of the 28-bit range.
std::string formatHexDistance(double metres);

// A sign and two digits, in degrees Celsius ("+23"); saturated at +-99.
std::string formatTemperature(int celsius);

} // namespace SensorSim
