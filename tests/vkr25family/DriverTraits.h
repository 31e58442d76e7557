#pragma once

// What the shared tests of the Vkr25 family need to know about each driver: its
// types, where its escape and none sit among its mode codes, the class name its
// identification traces show, how it hands out its parameter set, and a start-up
// exchange as its sensor sends it.

#include "SensorLib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Vkr25Family {

using NorvEngineering::SensorLib::CVkr25;
using NorvEngineering::SensorLib::CVkr25Xt;

inline const std::string kPromptLine = "Reset all parameters with PR[Enter]\r\n";
// The dump lines every model sends, from the first marker to the auto-start one;
// the offset line always ends a dump.
inline const std::string kDumpHead = "[SA] Average value............5\r\n"
                                     "[SD] Display format...........d\r\n"
                                     "[ST] Measure time.............3\r\n"
                                     "[SF] Scale factor.............1.0936\r\n"
                                     "[SE] Error mode...............1\r\n"
                                     "[AC] Alarm centre.............2.5\r\n"
                                     "[AH] Alarm hysteresis.........0.1\r\n"
                                     "[AW] Alarm width..............1.5\r\n"
                                     "[RB] Range begin (4 mA).......0.2\r\n"
                                     "[RE] Range end (20 mA)........10\r\n"
                                     "[RM] Remove measurement.......2 0.5 3\r\n"
                                     "[TD] Trigger delay............10 1\r\n"
                                     "[TM] Trigger mode.............1 0\r\n"
                                     "[BR] Baud rate................19200\r\n"
                                     "[AS] Autostart................dt\r\n";
inline const std::string kOfLine = "[OF] Offset...................-0.25\r\n";
// What a parameter set holds after the dump above (see configText), alarms 2 and 3
// of the larger models apart.
inline const std::string kDumpValues =
    "SA 5 SD d ST 3 SF 1.0936 '1.0936' SE 1 AC 2.5 '2.5' AH 0.1 '0.1' AW 1.5 "
    "'1.5' RB 0.2 '0.2' RE 10 '10' RM '2 0.5 3' TD '10 1' TM '1 0' BR "
    "19200 AS DT OF -0.25 '-0.25'";

struct Vkr25Traits {
    using Driver = CVkr25;
    using Config = CVkr25::CVkr25Config;
    using Record = CVkr25::CVkr25QueuedMode;
    using Processor = NorvEngineering::SensorLib::CVkr25Processor;
    static constexpr const char* kName = "Vkr25";
    static constexpr int kEscapeCode = 29;
    static constexpr const char* kModel = "VKR25";
    static inline const std::string kIdLine = "VKR25,SN 12345,V 1.23\r\n";
    static inline const std::string kDump = kDumpHead + kOfLine;
    // The Vkr25 passes over the alarm 2 and 3 lines of the larger models silently
    // and never asks for those alarms.
    static constexpr bool kHasAlarms2And3 = false;
    static inline const std::string kNoAlarms;
    // The model's own commands, after PR (decimal arguments).
    static inline const std::vector<std::string> kModelCommands;
    static std::size_t nameCount() { return NorvEngineering::SensorLib::vkr25ModeNameCount(); }
    static void initNames() { NorvEngineering::SensorLib::initVkr25ModeNames(); }
    static Config& config(Driver& driver) { return driver.getConfig(); }
};

struct Vkr25XtTraits {
    using Driver = CVkr25Xt;
    using Config = CVkr25Xt::CVkr25XtConfig;
    using Record = CVkr25Xt::CVkr25XtQueuedMode;
    using Processor = NorvEngineering::SensorLib::CVkr25XtProcessor;
    static constexpr const char* kName = "Vkr25Xt";
    static constexpr int kEscapeCode = 31;
    static constexpr const char* kModel = "VKR27";
    static inline const std::string kIdLine = "VKR27,SN 12345,V7.03\r\n";
    // Alarms 2 and 3, which the larger models list before the offset.
    static inline const std::string kDump = kDumpHead + "[FA] Alarm 2..................3.5\r\n" +
                                            "[FB] Alarm 3..................4.5\r\n" + kOfLine;
    // It traces their dump lines and asks for them after every dump but the first.
    static constexpr bool kHasAlarms2And3 = true;
    static inline const std::string kNoAlarms = " FA 0 '' FB 0 ''";
    static inline const std::vector<std::string> kModelCommands = {"FA", "FB"};
    static std::size_t nameCount() { return NorvEngineering::SensorLib::vkr25XtModeNameCount(); }
    static void initNames() { NorvEngineering::SensorLib::initVkr25XtModeNames(); }
    static Config& config(Driver& driver) { return *driver.getConfig(); }
};

using FamilyDrivers = ::testing::Types<Vkr25Traits, Vkr25XtTraits>;

// Names the typed tests after the driver instead of a number.
struct FamilyDriverNames {
    template <class Traits>
    static std::string GetName(int) {
        return Traits::kName;
    }
};

// A mode of the driver from its number, for codes the enumeration may not name.
template <class Traits>
typename Traits::Driver::ELaserMode modeOf(int value) {
    return static_cast<typename Traits::Driver::ELaserMode>(value);
}

// An identification trace: "[case CVkr25::lmID/FOUND ID STRING] " and the line.
template <class Traits>
std::string idTrace(const std::string& finding, const std::string& line) {
    return "[case C" + std::string(Traits::kName) + "::lmID" + finding + "] " + line;
}

} // namespace Vkr25Family
