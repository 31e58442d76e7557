#pragma once

#include "Component.h"
#include "Event.h"
#include "Exception.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace NorvEngineering::Sockets {

enum TLogOption : uint8_t {
    // Where a line goes, and whether it carries a time stamp.
    loDestEvent,
    loDestFile,
    loDestOutDebug,
    loAddStamp,
    // The kinds of lines; a socket logs a kind only when the logger's options hold it.
    loWsockErr,
    loWsockInfo,
    loWsockDump,
    loSslErr,
    loSslInfo,
    loSslDump,
    loProtSpecErr,
    loProtSpecInfo,
    loProtSpecDump
};

// A set of log options.
class TLogOptions {
public:
    TLogOptions() = default;
    TLogOptions(std::initializer_list<TLogOption> options) {
        for (const auto option : options)
            m_bits_ |= bit(option);
    }
    bool contains(TLogOption option) const { return (m_bits_ & bit(option)) != 0; }
    bool operator==(const TLogOptions&) const = default;

private:
    static uint32_t bit(TLogOption option) { return 1u << option; }
    uint32_t m_bits_ = 0;
};

enum TLogFileOption : uint8_t { lfoAppend, lfoOverwrite };

// A log file that cannot be opened or written; the message is the system's.
class ELoggerException : public Platform::Exception {
public:
    explicit ELoggerException(const std::string& message) : Platform::Exception(message) {}
};

// The debug output of this system (the socket unit's start and end lines, and the
// lines of a logger with loDestOutDebug). A library must not write to a program's
// standard error unasked, so it is silent unless the application asks for it:
// - a hook set with SetDebugOutput takes every line (on the thread that writes it,
//   one call at a time; the unit's end line comes while the program exits, so the
//   hook must stay callable until then);
// - without a hook, a line goes to standard error when the environment variable
//   SENSORLIB_DEBUG is set to anything but "" or "0" (looked at for every line), in
//   one write so that lines of other threads stay apart.
using TDebugOutput = std::function<void(const std::string& line)>;
void SetDebugOutput(TDebugOutput output); // an empty one goes back to the default
void OutputDebugLine(const std::string& line);

// Where sockets write their debug lines: to OnLogEvent, to a log file and to the
// debug output (standard error here), each line with or without a time stamp
// (local time, "hh:nn:ss:zzz"). Sockets on several threads may share one logger:
// every operation takes its lock, and a line reaches every destination whole before
// the next line begins. OnLogEvent runs on the logging thread, under the lock.
//
// The file is opened at its first line (created when missing), at its end with
// lfoAppend or emptied with lfoOverwrite. While it is open the logger holds an
// exclusive flock on it, so that a second logger (in this or another process) cannot
// write to it too; the lock is advisory: programs that do not ask for it can still write.
class TSocketLogger : public Platform::TComponent {
public:
    using TSocketLogEvent =
        Platform::TEvent<void(Platform::TObject* sender, TLogOption option, const std::string& msg)>;

    explicit TSocketLogger(Platform::TComponent* owner) : Platform::TComponent(owner) {}
    ~TSocketLogger() override;

    TLogOptions LogOptions() const;
    void SetLogOptions(TLogOptions options);
    TLogFileOption LogFileOption() const;
    void SetLogFileOption(TLogFileOption option);
    std::string LogFileName() const;
    // A different name closes the open file; the next file line opens the new one.
    void SetLogFileName(const std::string& name);

    // Raises ELoggerException("File name empty") without a name, or with the system's
    // message when the file cannot be created, opened or locked.
    void OpenLogFile();
    void CloseLogFile();
    void Lock() { m_mutex_.lock(); }
    void UnLock() { m_mutex_.unlock(); }

    virtual void DoDebugLog(Platform::TObject* sender, TLogOption option, const std::string& msg);
    // The local time now as "hh:nn:ss:zzz".
    static std::string LoggerAddTimeStamp();

    TSocketLogEvent OnLogEvent;

private:
    void WriteToLogFile(const std::string& text);
    void InternalCloseLogFile();

    mutable std::recursive_mutex m_mutex_;
    TLogOptions m_options_;
    std::string m_fileName_;
    int m_fd_ = -1;
    TLogFileOption m_fileOption_ = lfoAppend;
    bool m_destroying_ = false;
};

} // namespace NorvEngineering::Sockets
