#include "ComDevices.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace NorvEngineering::Serial {

namespace {

// The number n of "COMn" (after an optional "\\.\"), or 0 when the name is not one.
unsigned comNumber(const std::string& name) {
    std::string_view rest(name);
    if (rest.starts_with("\\\\.\\"))
        rest.remove_prefix(4);
    if (!rest.starts_with("COM"))
        return 0;
    rest.remove_prefix(3);
    if (rest.empty() || rest.size() > 6 || !std::all_of(rest.begin(), rest.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        }))
        return 0;
    unsigned number = 0;
    std::from_chars(rest.data(), rest.data() + rest.size(), number);
    return number;
}

// Orders "ttyS2" before "ttyS10": runs of digits compare as numbers.
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])) != 0)
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])) != 0)
                ++endB;
            std::string_view numberA(a.data() + i, endA - i);
            std::string_view numberB(b.data() + j, endB - j);
            while (numberA.size() > 1 && numberA.front() == '0')
                numberA.remove_prefix(1);
            while (numberB.size() > 1 && numberB.front() == '0')
                numberB.remove_prefix(1);
            if (numberA.size() != numberB.size())
                return numberA.size() < numberB.size();
            if (numberA != numberB)
                return numberA < numberB;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string readFirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

std::string ComDevicePath(const std::string& deviceName) {
    const unsigned number = comNumber(deviceName);
    if (number == 0)
        return deviceName;
    return "/dev/ttyS" + std::to_string(number - 1);
}

std::vector<std::string> ComDevicePaths() {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it("/sys/class/tty", error), end; !error && it != end; it.increment(error)) {
        const fs::path entry = it->path();
        std::error_code ignored;
        // Virtual terminals, ptys and the console have no device with a driver.
        if (!fs::exists(entry / "device" / "driver", ignored))
            continue;
        // The 8250 driver registers placeholder ports without a UART (type 0).
        if (fs::exists(entry / "type", ignored) && readFirstLine(entry / "type") == "0")
            continue;
        names.push_back(entry.filename().string());
    }
    std::sort(names.begin(), names.end(), naturalLess);
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& name : names)
        paths.push_back("/dev/" + name);
    return paths;
}

std::vector<std::string> TerminalDevicePaths() {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    auto addEntries = [&paths](const char* directory, const std::string& prefix, bool numbersOnly) {
        std::error_code error;
        for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (numbersOnly && !std::all_of(name.begin(), name.end(), [](char c) {
                    return std::isdigit(static_cast<unsigned char>(c)) != 0;
                }))
                continue;
            paths.push_back(prefix + name);
        }
    };
    addEntries("/sys/class/tty", "/dev/", false);
    // /dev/pts also holds ptmx, which is no terminal of its own.
    addEntries("/dev/pts", "/dev/pts/", true);
    std::sort(paths.begin(), paths.end(), naturalLess);
    return paths;
}

bool IsTerminalDevice(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    const unsigned deviceMajor = major(info.st_rdev);
    const unsigned deviceMinor = minor(info.st_rdev);
    // Each terminal driver: name, node, major, minor or minor range, type.
    std::ifstream drivers("/proc/tty/drivers");
    std::string line;
    while (std::getline(drivers, line)) {
        std::istringstream fields(line);
        std::string name;
        std::string node;
        unsigned driverMajor = 0;
        std::string minors;
        if (!(fields >> name >> node >> driverMajor >> minors) || driverMajor != deviceMajor)
            continue;
        unsigned first = 0;
        unsigned last = 0;
        const auto dash = minors.find('-');
        const char* text = minors.c_str();
        if (dash == std::string::npos) {
            std::from_chars(text, text + minors.size(), first);
            last = first;
        } else {
            std::from_chars(text, text + dash, first);
            std::from_chars(text + dash + 1, text + minors.size(), last);
        }
        if (deviceMinor >= first && deviceMinor <= last)
            return true;
    }
    return false;
}

} // namespace NorvEngineering::Serial
