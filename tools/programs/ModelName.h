#pragma once

#include "CommandLine.h"
#include "SimulatedParameters.h"

#include <optional>
#include <string>

namespace Programs {

// The model a program is asked to be or to drive: "vkr25", "vkr25xt" or "vkr27".
inline std::optional<SensorSim::EModel> modelFromName(const std::string& name) {
    if (name == "vkr25")
        return SensorSim::EModel::Vkr25;
    if (name == "vkr25xt")
        return SensorSim::EModel::Vkr25Xt;
    if (name == "vkr27")
        return SensorSim::EModel::Vkr27;
    return std::nullopt;
}

// The name of a model as --model takes it.
inline std::string modelName(SensorSim::EModel model) {
    switch (model) {
    case SensorSim::EModel::Vkr25:
        return "vkr25";
    case SensorSim::EModel::Vkr25Xt:
        return "vkr25xt";
    case SensorSim::EModel::Vkr27:
        return "vkr27";
    }
    return "";
}

// The --model option both programs take, storing into `model`.
inline void addModelOption(CCommandLine& line, SensorSim::EModel& model, const std::string& help) {
    line.add("--model", "vkr25|vkr25xt|vkr27", help, [&model](const std::string& value) {
        const auto chosen = modelFromName(value);
        if (!chosen)
            return std::string("unknown model");
        model = *chosen;
        return std::string();
    });
}

} // namespace Programs
