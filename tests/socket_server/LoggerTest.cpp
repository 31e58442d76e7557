#include "LoopbackPeer.h"
#include "Raised.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Sockets;
using NorvEngineering::Platform::TObject;
using TestSupport::whatRaised;

namespace {

class LoggerFile : public ::testing::Test {
protected:
    void SetUp() override {
        logger.SetLogOptions({loDestFile});
        logger.SetLogFileName(path);
    }
    void TearDown() override {
        logger.CloseLogFile();
        ::unlink(path.c_str());
    }
    std::string contents() {
        logger.CloseLogFile();
        std::stringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    const std::string path = ::testing::TempDir() + "socketlogger-" + std::to_string(::getpid()) + ".log";
    TSocketLogger logger{nullptr};
};

TEST_F(LoggerFile, AStampedFileLineIsTheTimeABlankTheMessageAndCrLf) {
    logger.SetLogOptions({loDestFile, loAddStamp});
    logger.DoDebugLog(nullptr, loWsockInfo, "m");
    const std::string line = contents();
    ASSERT_EQ(line.size(), 16u) << line;
    for (std::size_t i = 0; i < 12; ++i)
        EXPECT_TRUE(i % 3 == 2 && i < 9 ? line[i] == ':' : std::isdigit(static_cast<unsigned char>(line[i])))
            << line;
    EXPECT_EQ(line.substr(12), " m\r\n");
}

TEST_F(LoggerFile, OverwriteReplacesTheOldContentsAndAppendFollowsThem) {
    for (const auto& [option, expected] :
         {std::pair{lfoAppend, "old\r\nnew\r\n"}, std::pair{lfoOverwrite, "new\r\n"}}) {
        std::ofstream(path, std::ios::binary) << "old\r\n";
        logger.SetLogFileOption(option);
        logger.DoDebugLog(nullptr, loWsockInfo, "new");
        EXPECT_EQ(contents(), expected);
    }
}

TEST_F(LoggerFile, FileFailuresRaiseLoggerExceptionsAtTheFirstFileLine) {
    logger.SetLogFileName("");
    EXPECT_EQ(whatRaised<ELoggerException>([&] { logger.DoDebugLog(nullptr, loWsockErr, "m"); }),
              "File name empty");
    logger.SetLogFileName(path + ".d/missing.log");
    EXPECT_NE(whatRaised<ELoggerException>([&] {
                  logger.DoDebugLog(nullptr, loWsockErr, "m");
              }).find("No such file or directory"),
              std::string::npos);
    // While one logger has the file open, a second one is refused.
    logger.SetLogFileName(path);
    logger.DoDebugLog(nullptr, loWsockErr, "first");
    TSocketLogger second(nullptr);
    second.SetLogFileName(path);
    EXPECT_NE(whatRaised<ELoggerException>([&] { second.OpenLogFile(); }).find(path), std::string::npos);
    EXPECT_EQ(contents(), "first\r\n");
}

TEST_F(LoggerFile, LinesOfSeveralThreadsStayWholeAndInTheirOrder) {
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    const auto text = [](int t, int i) {
        return std::to_string(t) + " " + std::to_string(i) + " " +
               std::string(300, static_cast<char>('a' + t));
    };
    logger.SetLogOptions({loDestFile, loDestEvent});
    std::size_t events = 0;
    logger.OnLogEvent = [&](TObject*, TLogOption, const std::string&) { ++events; }; // runs under the lock
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                logger.DoDebugLog(nullptr, loWsockDump, text(t, i));
        });
    for (auto& thread : threads)
        thread.join();
    std::istringstream file(contents());
    std::vector<int> next(kThreads, 0);
    std::string line;
    int t = 0;
    while (std::getline(file, line) && std::istringstream(line) >> t && t >= 0 && t < kThreads) {
        const int i = next[static_cast<std::size_t>(t)]++;
        ASSERT_EQ(line, text(t, i) + "\r");
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines)) << line;
    EXPECT_EQ(events, static_cast<std::size_t>(kThreads * kLines));
}

TEST(SocketLogger, ASocketLogsOnlyTheKindsInTheOptionsAndForgetsADestroyedLogger) {
    TestSupport::LoopbackPeer peer;
    auto logger = std::make_unique<TSocketLogger>(nullptr);
    logger->SetLogOptions({loDestEvent, loWsockInfo});
    std::vector<std::string> lines;
    logger->OnLogEvent = [&](TObject*, TLogOption, const std::string& msg) { lines.push_back(msg); };
    TWSocket socket(nullptr);
    socket.SetLogger(logger.get());
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(peer.port()));
    socket.Connect();
    EXPECT_EQ(lines,
              std::vector<std::string>{"TWSocket will connect to 127.0.0.1:" + std::to_string(peer.port())});
    logger->SetLogOptions({loDestEvent});
    socket.Shutdown(SHUT_WR); // an info line, no longer wanted
    EXPECT_EQ(lines.size(), 1u);
    logger.reset();
    EXPECT_EQ(socket.Logger(), nullptr);
    socket.Close(); // would log through the destroyed logger
}

// Standard error goes to a file while the object lives.
class CapturedStandardError {
public:
    CapturedStandardError() {
        ::fflush(stderr);
        const int file = ::open(m_path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~CapturedStandardError() {
        ::dup2(m_saved_, STDERR_FILENO);
        ::close(m_saved_);
        ::unlink(m_path_.c_str());
    }
    std::string text() const {
        std::stringstream text;
        text << std::ifstream(m_path_, std::ios::binary).rdbuf();
        return text.str();
    }

private:
    const std::string m_path_ = ::testing::TempDir() + "stderr-" + std::to_string(::getpid()) + ".txt";
    const int m_saved_ = ::dup(STDERR_FILENO);
};

TEST(SocketDebugOutput, GoesToStandardErrorOnlyWhenAskedForAndToTheApplicationsHookWhenItHasOne) {
    std::string written;
    std::vector<std::string> hooked;
    {
        CapturedStandardError captured;
        ::unsetenv("SENSORLIB_DEBUG");
        for (const char* value : {static_cast<const char*>(nullptr), "", "0", "1"}) {
            if (value != nullptr)
                ::setenv("SENSORLIB_DEBUG", value, 1);
            OutputDebugLine(std::string("SENSORLIB_DEBUG=") + (value != nullptr ? value : "(unset)"));
        }
        // A hook takes the lines of loggers too, and standard error gets none.
        SetDebugOutput([&](const std::string& line) { hooked.push_back(line); });
        TSocketLogger logger(nullptr);
        logger.SetLogOptions({loDestOutDebug});
        logger.DoDebugLog(nullptr, loWsockInfo, "through a logger");
        OutputDebugLine("direct");
        SetDebugOutput(nullptr);
        ::unsetenv("SENSORLIB_DEBUG");
        OutputDebugLine("after");
        written = captured.text();
    }
    EXPECT_EQ(written, "SENSORLIB_DEBUG=1\n");
    EXPECT_EQ(hooked, (std::vector<std::string>{"through a logger", "direct"}));
}

} // namespace
