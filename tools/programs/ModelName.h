#pragma once

#include "CommandLine.h"
#include "SimulatedParameters.h"

#include <cctype>
#include <optional>
#include <string>
#include <utility>

namespace Programs {

// The models a program can be or drive, by the names --model takes.
inline constexpr std::pair<const char*, SensorSim::EModel> kModelNames[] = {
    {"vkr25", SensorSim::EModel::Vkr25},
    {"vkr25xt", SensorSim::EModel::Vkr25Xt},
    {"vkr27", SensorSim::EModel::Vkr27},
};

// In any case: a sensor names itself "VKR25", its label may say "Vkr25".
inline std::optional<SensorSim::EModel> modelFromName(const std::string& name) {
    std::string lower = name;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [known, model] : kModelNames)
        if (lower == known)
            return model;
    return std::nullopt;
}

inline std::string modelName(SensorSim::EModel model) {
    for (const auto& [name, known] : kModelNames)
        if (model == known)
            return name;
    return "";
}

// The --model option both programs take, storing into `model`.
inline void addModelOption(CCommandLine& line, SensorSim::EModel& model, const std::string& help) {
    line.add("--model", "vkr25|vkr25xt|vkr27", help + " (in any case)", [&model](const std::string& value) {
        const auto chosen = modelFromName(value);
        if (!chosen) {
            // A newcomer guesses a name from the sensor's label: say which would do.
            std::string known;
            for (const auto& [name, ignored] : kModelNames)
                known += (known.empty() ? "" : ", ") + std::string(name);
            return "unknown model " + value + " (known: " + known + ")";
        }
        model = *chosen;
        return std::string();
    });
}

} // namespace Programs
