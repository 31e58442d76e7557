#pragma once

// What a process costs, read from /proc and getrusage: CPU time, resident memory,
// threads, descriptors and how often its threads went to sleep (voluntary context
// switches, one per wake-up).
#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace Bench {

// User and system time of the whole calling process, in seconds.
inline double selfCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A numeric field of a /proc status file ("VmRSS:", "Threads:"); -1 when missing.
inline long statusField(const std::string& path, const std::string& field) {
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, field.size(), field) == 0)
            return std::strtol(line.c_str() + field.size(), nullptr, 10);
    return -1;
}

inline long selfRssKiB() {
    return statusField("/proc/self/status", "VmRSS:");
}
inline long selfThreads() {
    return statusField("/proc/self/status", "Threads:");
}

// Entries of a /proc directory, without "." and "..".
template <class Each>
inline long forEachEntry(const std::string& path, Each each) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    long count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        ++count;
        each(std::string(entry->d_name));
    }
    ::closedir(dir);
    return count;
}

// Open descriptors of the calling process (the directory's own one not counted).
inline long selfDescriptors() {
    return forEachEntry("/proc/self/fd", [](const std::string&) {}) - 1;
}

// Voluntary context switches summed over the threads of the calling process that
// are alive now, leaving out one thread (the one that measures).
inline long selfWakeUps(pid_t leaveOut = 0) {
    long total = 0;
    forEachEntry("/proc/self/task", [&](const std::string& tid) {
        if (std::atol(tid.c_str()) == leaveOut)
            return;
        const long switches = statusField("/proc/self/task/" + tid + "/status", "voluntary_ctxt_switches:");
        if (switches > 0)
            total += switches;
    });
    return total;
}

} // namespace Bench
