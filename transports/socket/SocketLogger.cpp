#include "SocketLogger.h"

#include "SystemError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace NorvEngineering::Sockets {

namespace {

// Writes all of `text`, going on after a partial write or an interrupted one.
bool writeAll(int fd, const std::string& text) {
    const char* next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

struct DebugOutput {
    std::mutex mutex; // guards the hook
    TDebugOutput hook;
    // One line at a time into the hook; a hook that writes a debug line itself only
    // nests.
    std::recursive_mutex writing;
};
// Never destroyed: the unit's end line is written by a static destructor.
DebugOutput& debugOutput() {
    static auto* instance = new DebugOutput();
    return *instance;
}

bool debugAskedForInEnvironment() {
    const char* value = std::getenv("SENSORLIB_DEBUG");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

ELoggerException fileError(const std::string& name, int error) {
    return ELoggerException("Cannot open log file \"" + name + "\": " + Platform::SysErrorMessage(error));
}

} // namespace

TSocketLogger::~TSocketLogger() {
    std::lock_guard lock(m_mutex_);
    m_destroying_ = true;
    InternalCloseLogFile();
}

TLogOptions TSocketLogger::LogOptions() const {
    std::lock_guard lock(m_mutex_);
    return m_options_;
}

void TSocketLogger::SetLogOptions(TLogOptions options) {
    std::lock_guard lock(m_mutex_);
    m_options_ = options;
}

TLogFileOption TSocketLogger::LogFileOption() const {
    std::lock_guard lock(m_mutex_);
    return m_fileOption_;
}

void TSocketLogger::SetLogFileOption(TLogFileOption option) {
    std::lock_guard lock(m_mutex_);
    m_fileOption_ = option;
}

std::string TSocketLogger::LogFileName() const {
    std::lock_guard lock(m_mutex_);
    return m_fileName_;
}

void TSocketLogger::SetLogFileName(const std::string& name) {
    std::lock_guard lock(m_mutex_);
    if (name == m_fileName_)
        return;
    InternalCloseLogFile();
    m_fileName_ = name;
}

void TSocketLogger::OpenLogFile() {
    std::lock_guard lock(m_mutex_);
    InternalCloseLogFile();
    if (m_fileName_.empty())
        throw ELoggerException("File name empty");
    const int fd = ::open(m_fileName_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw fileError(m_fileName_, errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        throw fileError(m_fileName_, error);
    }
    const bool positioned = m_fileOption_ == lfoOverwrite
                                ? ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0
                                : ::lseek(fd, 0, SEEK_END) >= 0;
    if (!positioned) {
        const int error = errno;
        ::close(fd);
        throw fileError(m_fileName_, error);
    }
    m_fd_ = fd;
}

void TSocketLogger::CloseLogFile() {
    std::lock_guard lock(m_mutex_);
    InternalCloseLogFile();
}

void TSocketLogger::InternalCloseLogFile() {
    if (m_fd_ >= 0)
        ::close(m_fd_); // also drops the lock
    m_fd_ = -1;
}

void TSocketLogger::WriteToLogFile(const std::string& text) {
    if (m_fd_ < 0)
        OpenLogFile();
    if (!writeAll(m_fd_, text))
        throw ELoggerException("Cannot write log file \"" + m_fileName_ +
                               "\": " + Platform::SysErrorMessage(errno));
}

void TSocketLogger::DoDebugLog(Platform::TObject* sender, TLogOption option, const std::string& msg) {
    std::lock_guard lock(m_mutex_);
    if (m_destroying_)
        return;
    const bool stamp = m_options_.contains(loAddStamp);
    const auto line = [&] { return stamp ? LoggerAddTimeStamp() + " " + msg : msg; };
    if (m_options_.contains(loDestEvent) && OnLogEvent)
        OnLogEvent(sender, option, line());
    if (m_options_.contains(loDestOutDebug))
        OutputDebugLine(line());
    if (m_options_.contains(loDestFile))
        WriteToLogFile(line() + "\r\n");
}

void SetDebugOutput(TDebugOutput output) {
    auto& shared = debugOutput();
    std::lock_guard lock(shared.mutex);
    shared.hook = std::move(output);
}

void OutputDebugLine(const std::string& line) {
    auto& shared = debugOutput();
    TDebugOutput hook;
    {
        std::lock_guard lock(shared.mutex);
        hook = shared.hook;
    }
    if (hook) {
        std::lock_guard one(shared.writing);
        hook(line);
    } else if (debugAskedForInEnvironment()) {
        writeAll(STDERR_FILENO, line + "\n");
    }
}

std::string TSocketLogger::LoggerAddTimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

} // namespace NorvEngineering::Sockets
