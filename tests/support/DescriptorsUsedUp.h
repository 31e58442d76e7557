#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace TestSupport {

// Takes every descriptor but `spare` under a low limit, for as long as it lives.
class DescriptorsUsedUp {
public:
    explicit DescriptorsUsedUp(int spare) {
        getrlimit(RLIMIT_NOFILE, &m_saved_);
        rlimit low = m_saved_;
        low.rlim_cur = 128;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            m_taken_.push_back(fd);
        for (int i = 0; i < spare && !m_taken_.empty(); ++i) {
            close(m_taken_.back());
            m_taken_.pop_back();
        }
    }
    ~DescriptorsUsedUp() {
        for (const int fd : m_taken_)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved_);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

private:
    rlimit m_saved_{};
    std::vector<int> m_taken_;
};

} // namespace TestSupport
