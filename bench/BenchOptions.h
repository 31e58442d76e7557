#pragma once

// How long and how much the benchmarks measure, from the environment:
//   SENSORLIB_BENCH_QUICK=1   short windows and fewer samples (a quick look)
//   SENSORLIB_BENCH_<NAME>    a single knob, named where it is read
#include <cstdlib>
#include <string>
#include <vector>

namespace Bench {

inline bool quickRun() {
    const char* value = std::getenv("SENSORLIB_BENCH_QUICK");
    return value != nullptr && *value != '\0' && *value != '0';
}

// SENSORLIB_BENCH_<name> as a number, or the default (of the quick run when quick).
inline long option(const std::string& name, long normal, long quick) {
    const char* value = std::getenv(("SENSORLIB_BENCH_" + name).c_str());
    if (value != nullptr && *value != '\0')
        return std::strtol(value, nullptr, 10);
    return quickRun() ? quick : normal;
}

// A comma-separated list of numbers, or the default.
inline std::vector<long> optionList(const std::string& name, const std::vector<long>& normal) {
    const char* value = std::getenv(("SENSORLIB_BENCH_" + name).c_str());
    if (value == nullptr || *value == '\0')
        return normal;
    std::vector<long> list;
    for (const char* at = value; *at != '\0';) {
        char* end = nullptr;
        const long number = std::strtol(at, &end, 10);
        if (end == at)
            break;
        list.push_back(number);
        at = *end == ',' ? end + 1 : end;
    }
    return list;
}

} // namespace Bench
