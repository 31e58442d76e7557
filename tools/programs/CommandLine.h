#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Programs {

// A small table of "--name [value]" options. Each option has a handler that takes
// its value and returns an error text (empty when the value is fine); adding an
// option is one call to add().
class CCommandLine {
public:
    using Handler = std::function<std::string(const std::string& value)>;

    explicit CCommandLine(std::string synopsis) : m_synopsis_(std::move(synopsis)) {}

    // An option with a value ("--baud 9600" or "--baud=9600").
    void add(const std::string& name, const std::string& valueName, const std::string& help,
             Handler handler) {
        m_options_.push_back({name, valueName, help, std::move(handler)});
    }
    // A switch without a value.
    void addFlag(const std::string& name, const std::string& help, std::function<void()> handler) {
        m_options_.push_back({name, "", help, [handler = std::move(handler)](const std::string&) {
                                  handler();
                                  return std::string();
                              }});
    }

    // Parses the arguments; prints the usage for --help (and returns 0) or the error
    // (and returns 2). Returns nothing when the program should go on.
    std::optional<int> parse(int argc, char** argv) const {
        for (int i = 1; i < argc; ++i) {
            std::string argument = argv[i];
            if (argument == "--help" || argument == "-h") {
                printUsage(stdout);
                return 0;
            }
            std::string value;
            bool hasValue = false;
            if (const auto equals = argument.find('=');
                argument.rfind("--", 0) == 0 && equals != std::string::npos) {
                value = argument.substr(equals + 1);
                argument.resize(equals);
                hasValue = true;
            }
            const Option* option = find(argument);
            if (option == nullptr)
                return fail("unknown option " + argument);
            if (!option->valueName.empty() && !hasValue) {
                if (i + 1 >= argc)
                    return fail(argument + " needs a value (" + option->valueName + ")");
                value = argv[++i];
            } else if (option->valueName.empty() && hasValue) {
                return fail(argument + " takes no value");
            }
            if (const std::string error = option->handler(value); !error.empty())
                return fail(argument + ": " + error);
        }
        return std::nullopt;
    }

    void printUsage(std::FILE* out) const {
        std::fprintf(out, "%s\n\nOptions:\n", m_synopsis_.c_str());
        // The texts start in one column, behind the longest option with its value.
        std::size_t width = std::string("--help").size();
        for (const auto& option : m_options_)
            width = std::max(width, head_(option).size());
        const int column = static_cast<int>(width);
        for (const auto& option : m_options_)
            std::fprintf(out, "  %-*s  %s\n", column, head_(option).c_str(), option.help.c_str());
        std::fprintf(out, "  %-*s  %s\n", column, "--help", "this text");
    }

private:
    struct Option {
        std::string name;
        std::string valueName;
        std::string help;
        Handler handler;
    };

    static std::string head_(const Option& option) {
        return option.valueName.empty() ? option.name : option.name + " " + option.valueName;
    }

    const Option* find(const std::string& name) const {
        for (const auto& option : m_options_)
            if (option.name == name)
                return &option;
        return nullptr;
    }

    int fail(const std::string& message) const {
        std::fprintf(stderr, "%s\n(see --help)\n", message.c_str());
        return 2;
    }

    std::string m_synopsis_;
    std::vector<Option> m_options_;
};

// Reads a whole non-negative number; false for anything else.
inline bool readCount(const std::string& text, unsigned long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    value = std::stoul(text);
    return true;
}

} // namespace Programs
