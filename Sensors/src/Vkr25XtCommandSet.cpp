#include "Vkr25Xt.h"

#include <array>

namespace NorvEngineering::SensorLib {

namespace {

using A = ECommandArgument;

// Indexed by CVkr25Xt::ELaserMode. FA and FB take alarm distances, written with
// decimal points.
constexpr std::array<SCommandSpec, CVkr25Xt::lmNone + 1> kCommands = {{
    {"ID", A::none},    {"DT", A::none},    {"DS", A::none},    {"DW", A::none},    {"DX", A::none},
    {"DF", A::none},    {"DM", A::none},    {"TP", A::none},    {"SA", A::raw},     {"SD", A::raw},
    {"ST", A::raw},     {"SF", A::decimal}, {"SE", A::raw},     {"AC", A::decimal}, {"AH", A::decimal},
    {"AW", A::decimal}, {"RB", A::decimal}, {"RE", A::decimal}, {"RM", A::decimal}, {"TD", A::raw},
    {"TM", A::raw},     {"BR", A::raw},     {"AS", A::raw},     {"OF", A::decimal}, {"SO", A::raw},
    {"LO", A::none},    {"LF", A::none},    {"PA", A::none},    {"PR", A::none},    {"FA", A::decimal},
    {"FB", A::decimal}, {"\x1B", A::none},  {"", A::none},
}};

using ModeNames = CModeNameTable<CVkr25Xt::ELaserMode>;

void fillModeNames(ModeNames::Map& map) {
    // "tm" is not a name the sensor accepts for its auto-start function.
    static const std::pair<const char*, CVkr25Xt::ELaserMode> kNames[] = {
        {"id", CVkr25Xt::lmID}, {"dt", CVkr25Xt::lmDT}, {"ds", CVkr25Xt::lmDS},        {"dw", CVkr25Xt::lmDW},
        {"dx", CVkr25Xt::lmDX}, {"df", CVkr25Xt::lmDF}, {"dm", CVkr25Xt::lmDM},        {"tp", CVkr25Xt::lmTP},
        {"sa", CVkr25Xt::lmSA}, {"sd", CVkr25Xt::lmSD}, {"st", CVkr25Xt::lmST},        {"sf", CVkr25Xt::lmSF},
        {"se", CVkr25Xt::lmSE}, {"ac", CVkr25Xt::lmAC}, {"ah", CVkr25Xt::lmAH},        {"aw", CVkr25Xt::lmAW},
        {"rb", CVkr25Xt::lmRB}, {"re", CVkr25Xt::lmRE}, {"rm", CVkr25Xt::lmRM},        {"td", CVkr25Xt::lmTD},
        {"br", CVkr25Xt::lmBR}, {"as", CVkr25Xt::lmAS}, {"of", CVkr25Xt::lmOF},        {"so", CVkr25Xt::lmSO},
        {"lo", CVkr25Xt::lmLO}, {"lf", CVkr25Xt::lmLF}, {"pa", CVkr25Xt::lmPA},        {"pr", CVkr25Xt::lmPR},
        {"fa", CVkr25Xt::lmFA}, {"fb", CVkr25Xt::lmFB}, {"\x1B", CVkr25Xt::lmEscaped},
    };
    ModeNames::fill(map, kNames);
}

constinit ModeNames g_modeNames(&fillModeNames);
const Util::GuardedTableLifetime<ModeNames::Map> g_modeNamesLifetime(g_modeNames.table());

} // namespace

void initVkr25XtModeNames() {
    g_modeNames.table().init();
}
void releaseVkr25XtModeNames() {
    g_modeNames.table().release();
}
std::size_t vkr25XtModeNameCount() {
    return g_modeNames.size();
}

std::string CVkr25Xt::getModeText(ELaserMode mode) {
    return commandText(kCommands, mode);
}

CVkr25Xt::ELaserMode CVkr25Xt::getModeByName(const std::string& name) {
    return g_modeNames.lookup(name, lmID);
}

CVkr25Xt::CVkr25XtQueuedMode::CVkr25XtQueuedMode(ELaserMode mode) : CQueuedCommand(mode, getModeText(mode)) {}

CVkr25Xt::CVkr25XtQueuedMode::CVkr25XtQueuedMode(ELaserMode mode, const std::string& argument)
    : CQueuedCommand(mode, commandText(kCommands, mode, argument)) {}

void CVkr25Xt::CVkr25XtConfig::setAutostartMode(const std::string& name) {
    m_autostartMode_ = getModeByName(name);
}

} // namespace NorvEngineering::SensorLib
