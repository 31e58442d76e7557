#include "CommandWriter.h"

#include "SensorInterface.h"

namespace NorvEngineering::SensorLib {

void writeCommand(CSensorInterface* iface, const std::string& text, const std::string& suffix,
                  bool endWithCarriageReturn) {
    if (iface == nullptr)
        return;
    const std::string command = text + suffix;
    if (!command.empty())
        iface->write(command.data(), static_cast<int>(command.size()));
    if (endWithCarriageReturn) {
        static constexpr char kCarriageReturn = '\r';
        iface->write(&kCarriageReturn, 1);
    }
}

} // namespace NorvEngineering::SensorLib
