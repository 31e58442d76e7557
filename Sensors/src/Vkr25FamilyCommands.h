#pragma once

#include "GuardedTable.h"

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <utility>

// The command vocabulary shared by the Vkr25-family drivers: how a command text is
// built from a model's table, the record that waits in a driver's queue, and the
// table of lower-case command names. Each model keeps its own tables; only the way
// they are read lives here.
namespace NorvEngineering::SensorLib {

// How a command carries the caller's argument.
enum class ECommandArgument : uint8_t {
    none,    // the argument is ignored
    raw,     // appended as given
    decimal, // appended with every decimal comma turned into a point
};

// One entry of a model's command table, indexed by the model's mode code.
struct SCommandSpec {
    const char* text;
    ECommandArgument argument;
};

// The wire text of `mode`: the mnemonic alone, or empty beyond the table.
std::string commandText(std::span<const SCommandSpec> table, std::size_t mode);
// The same with the argument appended as the table says. Nothing is validated,
// trimmed or limited: a value the sensor will refuse goes out as given.
std::string commandText(std::span<const SCommandSpec> table, std::size_t mode, const std::string& argument);

// One command as it waits in a driver's queue: its mode, its text and a suffix
// written right after the text (always empty today, kept for the wire form).
template <typename Mode>
class CQueuedCommand {
public:
    CQueuedCommand(const CQueuedCommand&) = default;
    CQueuedCommand& operator=(const CQueuedCommand&) = default;
    virtual ~CQueuedCommand() = default;

    Mode getId() const { return m_mode_; }
    const std::string& getText() const { return m_text_; }
    const std::string& getSuffix() const { return m_suffix_; }

protected:
    CQueuedCommand(Mode mode, std::string text) : m_mode_(mode), m_text_(std::move(text)) {}

private:
    Mode m_mode_;
    std::string m_text_;
    std::string m_suffix_;
};

// A model's map from lower-case command names to modes, built during static
// initialisation (or by its first reader) and released at program end. A name that
// is not a key, compared byte for byte, gives `fallback`.
template <typename Mode>
class CModeNameTable {
public:
    using Map = std::map<std::string, Mode>;
    using Names = std::span<const std::pair<const char*, Mode>>;

    explicit constexpr CModeNameTable(void (*filler)(Map&)) : m_table_(filler) {}

    static void fill(Map& map, Names names) {
        for (const auto& [name, mode] : names)
            map[name] = mode;
    }

    Mode lookup(const std::string& name, Mode fallback) {
        const Map& names = m_table_.get();
        const auto found = names.find(name);
        return found == names.end() ? fallback : found->second;
    }
    std::size_t size() { return m_table_.get().size(); }
    Util::GuardedTable<Map>& table() { return m_table_; }

private:
    Util::GuardedTable<Map> m_table_;
};

} // namespace NorvEngineering::SensorLib
