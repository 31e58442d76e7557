#include "StandardError.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace TestSupport {

std::string standardErrorLine(const std::function<void()>& run, std::chrono::milliseconds timeout) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(pipe[1], STDERR_FILENO);
    run();
    std::fflush(stderr);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string text;
    char chunk[512];
    while (text.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{pipe[0], POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(std::max<long>(left.count(), 0))) != 1)
            break;
        const ssize_t got = ::read(pipe[0], chunk, sizeof chunk);
        if (got <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::dup2(saved, STDERR_FILENO);
    for (const int fd : {saved, pipe[0], pipe[1]})
        ::close(fd);
    return text;
}

} // namespace TestSupport
