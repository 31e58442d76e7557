#include "GuardedTable.h"
#include "StringTokenizer.h"
#include "Vkr25.h"

#include <array>
#include <map>

namespace NorvEngineering::SensorLib {

namespace {

// How a command carries the caller's argument.
enum class EArgument : uint8_t {
    none,    // the argument is ignored
    raw,     // appended as given
    decimal, // appended with every decimal comma turned into a point
};

struct SCommand {
    const char* text;
    EArgument argument;
};

// Indexed by CVkr25::ELaserMode.
constexpr std::array<SCommand, CVkr25::lmNone + 1> kCommands = {{
    {"ID", EArgument::none},    {"DT", EArgument::none},    {"DS", EArgument::none},
    {"DW", EArgument::none},    {"DX", EArgument::none},    {"DF", EArgument::none},
    {"DM", EArgument::none},    {"TP", EArgument::none},    {"SA", EArgument::raw},
    {"SD", EArgument::raw},     {"ST", EArgument::raw},     {"SF", EArgument::decimal},
    {"SE", EArgument::raw},     {"AC", EArgument::decimal}, {"AH", EArgument::decimal},
    {"AW", EArgument::decimal}, {"RB", EArgument::decimal}, {"RE", EArgument::decimal},
    {"RM", EArgument::decimal}, {"TD", EArgument::raw},     {"TM", EArgument::raw},
    {"BR", EArgument::raw},     {"AS", EArgument::raw},     {"OF", EArgument::decimal},
    {"SO", EArgument::raw},     {"LO", EArgument::none},    {"LF", EArgument::none},
    {"PA", EArgument::none},    {"PR", EArgument::none},    {"\x1B", EArgument::none},
    {"", EArgument::none},
}};

using ModeNameMap = std::map<std::string, CVkr25::ELaserMode>;

void fillModeNames(ModeNameMap& map) {
    // "tm" is not a name the sensor accepts for its auto-start function.
    static const std::pair<const char*, CVkr25::ELaserMode> kNames[] = {
        {"id", CVkr25::lmID},        {"dt", CVkr25::lmDT}, {"ds", CVkr25::lmDS}, {"dw", CVkr25::lmDW},
        {"dx", CVkr25::lmDX},        {"df", CVkr25::lmDF}, {"dm", CVkr25::lmDM}, {"tp", CVkr25::lmTP},
        {"sa", CVkr25::lmSA},        {"sd", CVkr25::lmSD}, {"st", CVkr25::lmST}, {"sf", CVkr25::lmSF},
        {"se", CVkr25::lmSE},        {"ac", CVkr25::lmAC}, {"ah", CVkr25::lmAH}, {"aw", CVkr25::lmAW},
        {"rb", CVkr25::lmRB},        {"re", CVkr25::lmRE}, {"rm", CVkr25::lmRM}, {"td", CVkr25::lmTD},
        {"br", CVkr25::lmBR},        {"as", CVkr25::lmAS}, {"of", CVkr25::lmOF}, {"so", CVkr25::lmSO},
        {"lo", CVkr25::lmLO},        {"lf", CVkr25::lmLF}, {"pa", CVkr25::lmPA}, {"pr", CVkr25::lmPR},
        {"\x1B", CVkr25::lmEscaped},
    };
    for (const auto& [name, mode] : kNames)
        map[name] = mode;
}

constinit Util::GuardedTable<ModeNameMap> g_modeNames(&fillModeNames);
const Util::GuardedTableLifetime<ModeNameMap> g_modeNamesLifetime(g_modeNames);

} // namespace

void initVkr25ModeNames() {
    g_modeNames.init();
}
void releaseVkr25ModeNames() {
    g_modeNames.release();
}
std::size_t vkr25ModeNameCount() {
    return g_modeNames.get().size();
}

std::string CVkr25::getModeText(ELaserMode mode) {
    return mode < kCommands.size() ? kCommands[mode].text : std::string();
}

CVkr25::ELaserMode CVkr25::getModeByName(const std::string& name) {
    const ModeNameMap& names = g_modeNames.get();
    const auto found = names.find(name);
    return found == names.end() ? lmID : found->second;
}

CVkr25::CVkr25QueuedMode::CVkr25QueuedMode(ELaserMode mode) : m_mode_(mode), m_text_(getModeText(mode)) {}

CVkr25::CVkr25QueuedMode::CVkr25QueuedMode(ELaserMode mode, const std::string& argument) : m_mode_(mode) {
    if (mode >= kCommands.size())
        return;
    const SCommand& command = kCommands[mode];
    m_text_ = command.text;
    switch (command.argument) {
    case EArgument::none:
        break;
    case EArgument::raw:
        m_text_ += argument;
        break;
    case EArgument::decimal:
        m_text_ += Util::String::replaceAll(argument, ",", ".");
        break;
    }
}

CVkr25::CVkr25QueuedMode::~CVkr25QueuedMode() = default;

} // namespace NorvEngineering::SensorLib
