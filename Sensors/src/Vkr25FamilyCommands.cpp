#include "Vkr25FamilyCommands.h"

#include "StringTokenizer.h"

namespace NorvEngineering::SensorLib {

std::string commandText(std::span<const SCommandSpec> table, std::size_t mode) {
    return mode < table.size() ? table[mode].text : std::string();
}

std::string commandText(std::span<const SCommandSpec> table, std::size_t mode, const std::string& argument) {
    if (mode >= table.size())
        return {};
    const SCommandSpec& command = table[mode];
    std::string text = command.text;
    switch (command.argument) {
    case ECommandArgument::none:
        break;
    case ECommandArgument::raw:
        text += argument;
        break;
    case ECommandArgument::decimal:
        text += Util::String::replaceAll(argument, ",", ".");
        break;
    }
    return text;
}

} // namespace NorvEngineering::SensorLib
