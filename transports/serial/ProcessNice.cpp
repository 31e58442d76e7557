#include "ProcessNice.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

namespace NorvEngineering::Serial {

namespace {

// The threads of this process now.
std::vector<pid_t> processThreads() {
    std::vector<pid_t> threads;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return {::gettid()};
    while (const dirent* entry = ::readdir(tasks)) {
        char* end = nullptr;
        const long id = std::strtol(entry->d_name, &end, 10);
        if (id > 0 && end != entry->d_name && *end == '\0')
            threads.push_back(static_cast<pid_t>(id));
    }
    ::closedir(tasks);
    return threads;
}

std::optional<int> niceOf(pid_t thread) {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    if (errno != 0)
        return std::nullopt;
    return nice;
}

} // namespace

bool TProcessNice::apply(int nice) {
    restore();
    const int saved = errno;
    m_applied_ = nice;
    m_creatorsLevel_ = niceOf(::gettid()).value_or(0);
    for (const pid_t thread : processThreads()) {
        // A thread that ended meanwhile is simply not there any more.
        const auto old = niceOf(thread);
        if (old && ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0)
            m_saved_.push_back({thread, *old});
    }
    errno = saved;
    return applied();
}

void TProcessNice::restore() {
    if (m_saved_.empty())
        return;
    const int saved = errno;
    // Only threads listed now: an identifier of a thread that ended may belong to
    // another process by now.
    for (const pid_t thread : processThreads()) {
        if (niceOf(thread) != m_applied_)
            continue;
        const auto found = std::find_if(m_saved_.begin(), m_saved_.end(),
                                        [thread](const TSaved& entry) { return entry.thread == thread; });
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread),
                      found != m_saved_.end() ? found->nice : m_creatorsLevel_);
    }
    m_saved_.clear();
    errno = saved;
}

} // namespace NorvEngineering::Serial
