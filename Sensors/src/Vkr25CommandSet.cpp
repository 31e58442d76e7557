#include "Vkr25.h"

#include <array>

namespace NorvEngineering::SensorLib {

namespace {

using A = ECommandArgument;

// Indexed by CVkr25::ELaserMode.
constexpr std::array<SCommandSpec, CVkr25::lmNone + 1> kCommands = {{
    {"ID", A::none},    {"DT", A::none},    {"DS", A::none},    {"DW", A::none},    {"DX", A::none},
    {"DF", A::none},    {"DM", A::none},    {"TP", A::none},    {"SA", A::raw},     {"SD", A::raw},
    {"ST", A::raw},     {"SF", A::decimal}, {"SE", A::raw},     {"AC", A::decimal}, {"AH", A::decimal},
    {"AW", A::decimal}, {"RB", A::decimal}, {"RE", A::decimal}, {"RM", A::decimal}, {"TD", A::raw},
    {"TM", A::raw},     {"BR", A::raw},     {"AS", A::raw},     {"OF", A::decimal}, {"SO", A::raw},
    {"LO", A::none},    {"LF", A::none},    {"PA", A::none},    {"PR", A::none},    {"\x1B", A::none},
    {"", A::none},
}};

using ModeNames = CModeNameTable<CVkr25::ELaserMode>;

void fillModeNames(ModeNames::Map& map) {
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
    ModeNames::fill(map, kNames);
}

constinit ModeNames g_modeNames(&fillModeNames);
const Util::GuardedTableLifetime<ModeNames::Map> g_modeNamesLifetime(g_modeNames.table());

} // namespace

void initVkr25ModeNames() {
    g_modeNames.table().init();
}
void releaseVkr25ModeNames() {
    g_modeNames.table().release();
}
std::size_t vkr25ModeNameCount() {
    return g_modeNames.size();
}

std::string CVkr25::getModeText(ELaserMode mode) {
    return commandText(kCommands, mode);
}

CVkr25::ELaserMode CVkr25::getModeByName(const std::string& name) {
    return g_modeNames.lookup(name, lmID);
}

CVkr25::CVkr25QueuedMode::CVkr25QueuedMode(ELaserMode mode) : CQueuedCommand(mode, getModeText(mode)) {}

CVkr25::CVkr25QueuedMode::CVkr25QueuedMode(ELaserMode mode, const std::string& argument)
    : CQueuedCommand(mode, commandText(kCommands, mode, argument)) {}

void CVkr25::CVkr25Config::setAutostartMode(const std::string& name) {
    m_autostartMode_ = getModeByName(name);
}

} // namespace NorvEngineering::SensorLib
