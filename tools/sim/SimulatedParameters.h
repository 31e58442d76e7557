#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace SensorSim {

// The sensor models the simulator can answer as. The larger models know two more
// alarm parameters, FA and FB, and list them in their parameter dump. The Vkr25Xt has
// no DX (50 a second): it refuses the command as unknown, and DX as auto-start mode.
enum class EModel : uint8_t { Vkr25, Vkr25Xt, Vkr27 };

// The parameters a simulated sensor keeps, each as the text it reports. Values are
// checked the way a sensor would check them before accepting a command's argument.
class CSimulatedParameters {
public:
    explicit CSimulatedParameters(EModel model);

    // Whether the model knows the parameter (its upper-case mnemonic, e.g. "SA").
    bool has(const std::string& mnemonic) const;
    // The value as the sensor reports it; empty for a parameter the model lacks.
    std::string get(const std::string& mnemonic) const;
    // Stores an acceptable value; false (and nothing changes) otherwise.
    bool set(const std::string& mnemonic, const std::string& value);
    // Back to the factory values.
    void reset();

    // Whether a larger model has alarms 2 and 3 (FA, FB); one without them refuses
    // both commands as unknown and leaves them out of its dump. The Vkr25 never has
    // them. Not a parameter: a reset keeps it.
    void setAlarms2And3(bool present) { m_alarms2And3_ = present; }
    bool hasAlarms2And3() const { return m_model_ != EModel::Vkr25 && m_alarms2And3_; }

    // The parameters in the order of the dump; the offset (OF) is always last.
    std::vector<std::string> getDumpOrder() const;
    // One dump line without its line end: marker, label, dots, value.
    std::string formatDumpLine(const std::string& mnemonic) const;

    double getScaleFactor() const;
    double getOffset() const;
    bool isHexadecimal() const { return get("SD") == "h"; }

private:
    // Where a parameter the model knows sits in the table of parameters.
    std::optional<std::size_t> indexOf_(const std::string& mnemonic) const;

    EModel m_model_;
    bool m_alarms2And3_ = true;
    std::vector<std::string> m_values_;
};

} // namespace SensorSim
