#pragma once

#include <sys/types.h>

#include <vector>

namespace NorvEngineering::Serial {

// The scheduling priority of a whole process, changed for a while and put back.
// Linux keeps a nice level per thread, not per process: every thread the process has
// is set, threads it starts meanwhile inherit the level from their creator, and
// putting it back works from any thread.
class TProcessNice {
public:
    // Sets every thread of the process to `nice`. A thread that cannot be set (raising
    // a level needs a privilege) keeps its own. False when no thread was changed.
    bool apply(int nice);
    // Every thread still at the level applied returns to where it was: a thread that
    // was set returns to its own former level, one started meanwhile to the former
    // level of the thread that applied it. A thread whose level was changed since is
    // left alone. Nothing after that until the next apply.
    void restore();
    bool applied() const { return !m_saved_.empty(); }

private:
    struct TSaved {
        pid_t thread;
        int nice;
    };

    std::vector<TSaved> m_saved_;
    int m_applied_ = 0;
    int m_creatorsLevel_ = 0;
};

} // namespace NorvEngineering::Serial
