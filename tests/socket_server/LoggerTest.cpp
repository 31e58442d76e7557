#include "LoopbackPeer.h"
#include "Raised.h"
#include "RunUntil.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Sockets;
using TestSupport::LoopbackPeer;
using TestSupport::whatRaised;

namespace {

class LoggerFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/socketlogger-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir_ = pattern;
        path = m_dir_ + "/socket.log";
    }
    void TearDown() override {
        ::unlink(path.c_str());
        ::rmdir(m_dir_.c_str());
    }
    std::string contents() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void write(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }

    std::string path;

private:
    std::string m_dir_;
};

bool isStamp(const std::string& text) {
    if (text.size() != 12)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool separator = i == 2 || i == 5 || i == 8;
        if (separator ? text[i] != ':' : !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

TEST_F(LoggerFile, AStampedFileLineIsTheTimeABlankTheMessageAndCrLf) {
    TSocketLogger logger(nullptr);
    logger.SetLogOptions({loDestFile, loAddStamp});
    logger.SetLogFileName(path);
    logger.DoDebugLog(nullptr, loWsockInfo, "m");
    logger.CloseLogFile();
    const std::string line = contents();
    ASSERT_EQ(line.size(), 16u) << line;
    EXPECT_TRUE(isStamp(line.substr(0, 12))) << line;
    EXPECT_EQ(line.substr(12), " m\r\n");
}

TEST_F(LoggerFile, OverwriteReplacesTheOldContentsAndAppendFollowsThem) {
    for (const auto& [option, expected] :
         {std::pair{lfoAppend, "old\r\nnew\r\n"}, std::pair{lfoOverwrite, "new\r\n"}}) {
        write("old\r\n");
        TSocketLogger logger(nullptr);
        logger.SetLogOptions({loDestFile});
        logger.SetLogFileOption(option);
        logger.SetLogFileName(path);
        logger.DoDebugLog(nullptr, loWsockInfo, "new");
        logger.CloseLogFile();
        EXPECT_EQ(contents(), expected);
    }
}

TEST_F(LoggerFile, FileFailuresRaiseLoggerExceptionsAtTheFirstFileLine) {
    TSocketLogger logger(nullptr);
    logger.SetLogOptions({loDestFile});
    EXPECT_EQ(whatRaised<ELoggerException>([&] { logger.DoDebugLog(nullptr, loWsockErr, "m"); }),
              "File name empty");
    logger.SetLogFileName(path + ".d/missing.log");
    EXPECT_NE(whatRaised<ELoggerException>([&] {
                  logger.DoDebugLog(nullptr, loWsockErr, "m");
              }).find("No such file or directory"),
              std::string::npos);
    // A second logger on a file that one holds open is refused.
    logger.SetLogFileName(path);
    logger.DoDebugLog(nullptr, loWsockErr, "first");
    TSocketLogger second(nullptr);
    second.SetLogOptions({loDestFile});
    second.SetLogFileName(path);
    EXPECT_NE(whatRaised<ELoggerException>([&] { second.OpenLogFile(); }).find(path), std::string::npos);
    logger.CloseLogFile();
    EXPECT_EQ(contents(), "first\r\n");
}

TEST_F(LoggerFile, LinesOfSeveralThreadsStayWholeAndInTheirOrder) {
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    TSocketLogger logger(nullptr);
    logger.SetLogOptions({loDestFile, loDestEvent});
    logger.SetLogFileName(path);
    std::vector<std::string> events;
    logger.OnLogEvent = [&](NorvEngineering::Platform::TObject*, TLogOption, const std::string& msg) {
        events.push_back(msg); // under the logger's lock
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                logger.DoDebugLog(nullptr, loWsockDump,
                                  std::to_string(t) + " " + std::to_string(i) + " " +
                                      std::string(300, static_cast<char>('a' + t)));
        });
    for (auto& thread : threads)
        thread.join();
    logger.CloseLogFile();

    std::istringstream file(contents());
    std::vector<int> next(kThreads, 0);
    std::string line;
    int count = 0;
    while (std::getline(file, line)) {
        int t = -1;
        int i = -1;
        std::istringstream fields(line);
        fields >> t >> i;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++) << line;
        EXPECT_EQ(line, std::to_string(t) + " " + std::to_string(i) + " " +
                            std::string(300, static_cast<char>('a' + t)) + "\r");
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    EXPECT_EQ(events.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST(SocketLogger, ASocketLogsOnlyTheKindsInTheOptionsAndForgetsADestroyedLogger) {
    LoopbackPeer peer;
    for (const bool withInfo : {false, true}) {
        auto logger = std::make_unique<TSocketLogger>(nullptr);
        logger->SetLogOptions(withInfo ? TLogOptions{loDestEvent, loWsockInfo} : TLogOptions{loDestEvent});
        std::vector<std::string> lines;
        logger->OnLogEvent = [&](NorvEngineering::Platform::TObject*, TLogOption, const std::string& msg) {
            lines.push_back(msg);
        };
        TWSocket socket(nullptr);
        socket.SetLogger(logger.get());
        socket.SetAddr("127.0.0.1");
        socket.SetPort(std::to_string(peer.port()));
        socket.Connect();
        ASSERT_TRUE(peer.accept());
        if (withInfo)
            EXPECT_EQ(lines, std::vector<std::string>{"TWSocket will connect to 127.0.0.1:" +
                                                      std::to_string(peer.port())});
        else
            EXPECT_TRUE(lines.empty());
        logger.reset();
        EXPECT_EQ(socket.Logger(), nullptr);
        socket.Close();
        peer.close();
    }
}

} // namespace
