#include "WSocket.h"
#include "Application.h"
#include "DescriptorsUsedUp.h"
#include "LoopbackPeer.h"
#include "MessageQueue.h"
#include "Raised.h"
#include "RunUntil.h"

#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace NorvEngineering::Sockets;
using NorvEngineering::Platform::postMessage;
using TestSupport::LoopbackPeer;
using TestSupport::pumpFor;
using TestSupport::runUntil;
using TestSupport::whatRaised;
using namespace std::chrono_literals;

namespace {

// A socket on the test's thread that writes down its events in order.
struct RecordedSocket {
    std::vector<std::string> events;
    std::string received;
    std::vector<int32_t> sendSizes;
    int dataSent = 0;
    int closed = 0;
    std::size_t closeAt = 0; // the data handler closes once this much has come
    // Last, so that it goes first: its close on destruction still raises events.
    std::unique_ptr<TWSocket> socket = std::make_unique<TWSocket>(nullptr);

    RecordedSocket() {
        socket->OnChangeState = [this](TCustomWSocket*, TSocketState from, TSocketState to) {
            events.push_back("state " + std::to_string(from) + ">" + std::to_string(to));
        };
        socket->OnSessionConnected = [this](TCustomWSocket*, uint16_t code) {
            events.push_back("connected " + std::to_string(code));
        };
        socket->OnSessionClosed = [this](TCustomWSocket*, uint16_t code) {
            ++closed;
            events.push_back("closed " + std::to_string(code));
        };
        socket->OnDataAvailable = [this](TCustomWSocket* sender, uint16_t) {
            char buffer[4096];
            const int n = sender->Receive(buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
                if (events.empty() || events.back() != "data")
                    events.push_back("data");
            }
            if (closeAt != 0 && received.size() == closeAt)
                sender->Close();
        };
        socket->OnSendData = [this](TCustomWSocket*, int32_t n) { sendSizes.push_back(n); };
        socket->OnDataSent = [this](TCustomWSocket*, uint16_t) { ++dataSent; };
    }

    void connectTo(uint16_t port) {
        socket->SetProto("tcp");
        socket->SetAddr("127.0.0.1");
        socket->SetPort(std::to_string(port));
        socket->Connect();
    }
    // Connects to the peer and waits until both sides have the connection.
    bool connectedTo(LoopbackPeer& peer) {
        connectTo(peer.port());
        return peer.accept() && runUntil([&] { return socket->GetState() == wsConnected; });
    }
};

// Waits until the peer's reset has reached the socket, without handling any of its
// notifications.
bool resetArrived(TSocket s) {
    pollfd watched{s, 0, 0}; // errors and hang-ups are always reported
    return ::poll(&watched, 1, 5000) > 0 && (watched.revents & (POLLERR | POLLHUP)) != 0;
}

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return text;
}

TEST(WSocket, RefusedConnectReportsThenClosesAndForgetsTheTargetAndSendsAreRefused) {
    RecordedSocket rec;
    rec.connectTo(LoopbackPeer::unusedPort());
    ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
    const std::vector<std::string> expected = {"state 8>1",       "state 1>3", "state 3>5",
                                               "connected 10061", "state 5>8", "closed 0"};
    EXPECT_EQ(rec.events, expected);
    EXPECT_EQ(rec.socket->GetState(), wsClosed);
    EXPECT_EQ(rec.socket->HSocket(), INVALID_SOCKET);
    // Address and port must be given again before the next connect.
    EXPECT_EQ(whatRaised<ESocketException>([&] { rec.socket->Connect(); }), "Connect: No Port Specified");
    EXPECT_EQ(rec.socket->GetAddr(), "127.0.0.1"); // the text survives

    EXPECT_EQ(whatRaised<ESocketException>([&] { rec.socket->Send("x", 1); }),
              "Socket is not connected (#10057 in Send)");
    int errors = 0;
    rec.socket->OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(rec.socket->Send("x", 1), -1); // with a handler, the handler hears of it
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(rec.socket->LastError(), WSAENOTCONN);
}

// Data sent just before the peer closes arrives before the close; a handler that
// closes on the last of it, read while the close is handled, hears of the close once.
TEST(WSocket, DataSentJustBeforeThePeerClosesArrivesFirstAndTheCloseIsToldOnce) {
    const std::string payload = pattern(20000); // more than one read's worth
    for (const bool closeOnLastData : {false, true}) {
        SCOPED_TRACE(closeOnLastData ? "the handler closes" : "the peer closes");
        LoopbackPeer peer;
        RecordedSocket rec;
        rec.closeAt = closeOnLastData ? payload.size() : 0;
        ASSERT_TRUE(rec.connectedTo(peer));
        peer.send(payload);
        peer.close();
        ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
        pumpFor(50ms);
        EXPECT_EQ(rec.received, payload);
        EXPECT_EQ(rec.closed, 1);
        EXPECT_EQ(rec.socket->GetState(), wsClosed);
        if (!closeOnLastData) {
            EXPECT_EQ(std::vector<std::string>(rec.events.end() - 3, rec.events.end()),
                      (std::vector<std::string>{"data", "closed 0", "state 5>8"}));
        }
    }
}

TEST(WSocket, UnhandledDataIsDrainedAndDropped) {
    LoopbackPeer peer;
    RecordedSocket rec;
    rec.socket->OnDataAvailable = nullptr;
    ASSERT_TRUE(rec.connectedTo(peer));
    peer.send(pattern(5000));
    ASSERT_TRUE(runUntil([&] { return rec.socket->RcvdCount() == 0 && rec.socket->ReadCount() == 0; }));
    peer.send("x");
    peer.close();
    ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
}

TEST(WSocket, ThreeThousandBytesGoOutInThreeChunksThenOneDataSent) {
    LoopbackPeer peer;
    RecordedSocket rec;
    ASSERT_TRUE(rec.connectedTo(peer));

    const std::string payload = pattern(3000);
    rec.socket->PutDataInSendBuffer(payload.data(), 3000);
    EXPECT_EQ(rec.socket->BufferedChunkCount(), 3u);
    EXPECT_EQ(rec.socket->BufferedByteCount(), 3000);
    EXPECT_EQ(rec.socket->Send(nullptr, 0), 0);
    EXPECT_EQ(rec.sendSizes, (std::vector<int32_t>{1460, 1460, 80}));
    EXPECT_EQ(rec.dataSent, 0); // it follows through the owner's messages
    ASSERT_TRUE(runUntil([&] { return rec.dataSent == 1; }));
    EXPECT_EQ(peer.receive(3000), payload);

    rec.sendSizes.clear();
    EXPECT_EQ(rec.socket->Send(payload.data(), 3000), 3000);
    EXPECT_EQ(rec.sendSizes, (std::vector<int32_t>{1460, 1460, 80}));
    ASSERT_TRUE(runUntil([&] { return rec.dataSent == 2; }));
    EXPECT_EQ(peer.receive(3000), payload);
}

// A send larger than the peer takes at once: part of it waits in the socket's queue.
// Then the peer reads, resets, or the socket aborts.
TEST(WSocket, ASendThePeerCannotTakeAtOnceResumesOrEndsOnce) {
    struct Case {
        const char* ending;
        std::function<void(RecordedSocket&, LoopbackPeer&, const std::string&)> check;
    };
    const std::vector<Case> cases = {
        {"the peer reads: the rest goes out on FD_WRITE",
         [](RecordedSocket& rec, LoopbackPeer& peer, const std::string& payload) {
             std::string got;
             std::thread reader([&] { got = peer.receive(payload.size(), 20s); });
             ASSERT_TRUE(runUntil([&] { return rec.dataSent == 1; }, 20s));
             reader.join();
             EXPECT_EQ(got.size(), payload.size());
             EXPECT_TRUE(got == payload);
             EXPECT_EQ(rec.socket->BufferedByteCount(), 0);
         }},
        {"the peer resets: one closed event with the reset code",
         [](RecordedSocket& rec, LoopbackPeer& peer, const std::string&) {
             peer.reset();
             ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
             pumpFor(50ms);
             EXPECT_EQ(rec.closed, 1);
             EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "closed 10054"), 1)
                 << ::testing::PrintToString(rec.events);
             EXPECT_EQ(rec.socket->GetState(), wsClosed);
         }},
        {"abort: the queue is dropped and the socket closes once",
         [](RecordedSocket& rec, LoopbackPeer&, const std::string&) {
             rec.socket->Abort();
             EXPECT_EQ(rec.socket->BufferedChunkCount(), 0u);
             EXPECT_EQ(rec.closed, 1);
             EXPECT_EQ(rec.socket->GetState(), wsClosed);
         }},
    };
    const std::string payload = pattern(8 * 1024 * 1024);
    for (const auto& [ending, check] : cases) {
        SCOPED_TRACE(ending);
        LoopbackPeer peer(4096);
        RecordedSocket rec;
        ASSERT_TRUE(rec.connectedTo(peer));
        rec.socket->Send(payload.data(), static_cast<int>(payload.size()));
        EXPECT_FALSE(rec.socket->AllSent());
        EXPECT_GT(rec.socket->BufferedByteCount(), 0);
        EXPECT_EQ(rec.dataSent, 0);
        check(rec, peer, payload);
    }
}

TEST(WSocket, SettersAreRefusedUnlessClosedAndClosingTwiceRaisesOneClosedEvent) {
    LoopbackPeer peer;
    RecordedSocket rec;
    ASSERT_TRUE(rec.connectedTo(peer));
    const std::vector<std::pair<std::string, std::function<void()>>> setters = {
        {"Cannot change Addr if not closed", [&] { rec.socket->SetAddr("127.0.0.2"); }},
        {"Cannot change Port if not closed", [&] { rec.socket->SetPort("1"); }},
        {"Cannot change Proto if not closed", [&] { rec.socket->SetProto("udp"); }},
        {"Cannot change LocalAddr if not closed", [&] { rec.socket->SetLocalAddr("127.0.0.1"); }},
        {"Cannot change LocalPort if not closed", [&] { rec.socket->SetLocalPort("1"); }},
    };
    for (const auto& [text, call] : setters)
        EXPECT_EQ(whatRaised<ESocketException>(call), text);
    EXPECT_EQ(rec.socket->GetAddr(), "127.0.0.1");
    int errors = 0;
    rec.socket->OnError = [&](TCustomWSocket*) { ++errors; };
    rec.socket->SetPort("1");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(rec.socket->GetPort(), std::to_string(peer.port()));

    rec.socket->Close();
    rec.socket->Close();
    const std::vector<std::string> expected = {"state 8>1",   "state 1>3", "state 3>5",
                                               "connected 0", "state 5>8", "closed 0"};
    EXPECT_EQ(rec.events, expected);
    EXPECT_TRUE(peer.waitForClose());
    pumpFor(50ms);
    EXPECT_EQ(rec.closed, 1);
}

// A failure reported with a formatted text goes the way of every other report: an
// exception, or the OnError handler when one is bound.
TEST(WSocket, FormattedFailureReportsRaiseOrGoToOnError) {
    struct ReportingSocket : TWSocket {
        using TWSocket::RaiseExceptionFmt;
        using TWSocket::TWSocket;
    };
    ReportingSocket socket(nullptr);
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.RaiseExceptionFmt("%s (#%d)", "lost", 10054); }),
              "lost (#10054)");
    const std::string longText(5000, 'x');
    EXPECT_EQ(whatRaised<ESocketException>([&] { socket.RaiseExceptionFmt("%s.", longText.c_str()); }),
              longText + ".");
    int errors = 0;
    socket.OnError = [&](TCustomWSocket*) { ++errors; };
    socket.RaiseExceptionFmt("%d", 1);
    EXPECT_EQ(errors, 1);
}

TEST(WSocket, ClosingFromOnChangeStateDuringConnectIsAnInvalidOperation) {
    LoopbackPeer peer;
    RecordedSocket rec;
    rec.socket->OnChangeState = [](TCustomWSocket* sender, TSocketState, TSocketState to) {
        if (to == wsOpened)
            sender->Close();
    };
    EXPECT_EQ(whatRaised<ESocketException>([&] { rec.connectTo(peer.port()); }),
              "Invalid argument (#10022 in Connect (Invalid operation in OnChangeState))");
}

TEST(WSocket, UnreadDataDoesNotSpinAndAReceiveReenablesTheNotification) {
    LoopbackPeer peer;
    RecordedSocket rec;
    int calls = 0;
    rec.socket->SetComponentOptions({wsoNoReceiveLoop});
    rec.socket->OnDataAvailable = [&](TCustomWSocket*, uint16_t) { ++calls; };
    ASSERT_TRUE(rec.connectedTo(peer));
    peer.send("0123456789");
    ASSERT_TRUE(runUntil([&] { return calls == 1; }));
    pumpFor(100ms);
    EXPECT_EQ(calls, 1);

    char two[2];
    EXPECT_EQ(rec.socket->Receive(two, 2), 2); // data remains: another notification
    ASSERT_TRUE(runUntil([&] { return calls == 2; }));
    char rest[16];
    EXPECT_EQ(rec.socket->Receive(rest, sizeof rest), 8);
    pumpFor(50ms);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(rec.socket->ReadCount(), 10);
}

TEST(WSocket, CustomKeepAliveAndNoDelayReachTheSocket) {
    LoopbackPeer peer;
    RecordedSocket rec;
    rec.socket->SetKeepAliveOnOff(wsKeepAliveOnCustom);
    rec.socket->SetKeepAliveTime(7000);
    rec.socket->SetKeepAliveInterval(1500); // whole seconds, rounded up
    rec.socket->SetComponentOptions({wsoTcpNoDelay});
    rec.connectTo(peer.port());
    const auto option = [&](int level, int name) {
        int value = 0;
        socklen_t length = sizeof value;
        ::getsockopt(rec.socket->HSocket(), level, name, &value, &length);
        return value;
    };
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 7);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 2);
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_NE(option(IPPROTO_TCP, TCP_NODELAY), 0);
    linger lingerValue{};
    socklen_t length = sizeof lingerValue;
    ::getsockopt(rec.socket->HSocket(), SOL_SOCKET, SO_LINGER, &lingerValue, &length);
    EXPECT_EQ(lingerValue.l_onoff, 1);
    EXPECT_EQ(lingerValue.l_linger, 0);
}

TEST(WSocket, ComponentsHoldTheBindingAndTheVersionIsFixedOnceLoaded) {
    ASSERT_EQ(SafeWSocketGCount(), 0);
    {
        auto first = std::make_unique<TWSocket>(nullptr);
        auto second = std::make_unique<TWSocket>(nullptr);
        WSocketLoad();
        first.reset();
        EXPECT_TRUE(WSocketIsLoaded());
        EXPECT_NE(whatRaised<ESocketException>([&] {
                      second->SetReqVerHigh(2);
                  }).find("SetReqVerHigh: WinSock version can't be changed now"),
                  std::string::npos);
    }
    EXPECT_FALSE(WSocketIsLoaded());
}

TEST(WSocket, ExceptionsInHandlersAbortTheConnectionUnlessTheHandlerKeepsIt) {
    LoopbackPeer peer;
    RecordedSocket rec;
    std::string seen;
    bool keep = true;
    rec.socket->OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& canClose) {
        seen = e.what();
        canClose = !keep;
    };
    ASSERT_TRUE(rec.connectedTo(peer));
    postMessage(rec.socket->Handle(), WM_TRIGGER_EXCEPTION);
    ASSERT_TRUE(runUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "Test exception in WSocket");
    EXPECT_EQ(rec.socket->GetState(), wsConnected);
    keep = false;
    postMessage(rec.socket->Handle(), WM_TRIGGER_EXCEPTION);
    ASSERT_TRUE(runUntil([&] { return rec.closed == 1; }));
    EXPECT_TRUE(peer.waitForClose());
}

TEST(WSocket, NotificationsForADestroyedComponentAreDropped) {
    LoopbackPeer peer;
    auto rec = std::make_unique<RecordedSocket>();
    rec->connectTo(peer.port());
    ASSERT_TRUE(peer.accept());
    peer.send("pending");
    const auto handle = rec->socket->Handle();
    postMessage(handle, WM_CLOSE_DELAYED);
    rec.reset(); // messages and the watch of the socket are still about
    EXPECT_FALSE(postMessage(handle, WM_CLOSE_DELAYED));
    pumpFor(50ms);
    EXPECT_TRUE(peer.waitForClose());
}

TEST(WSocket, AQuitMetByThePumpIsRememberedByTheLoop) {
    std::thread worker([] {
        TWSocket socket(nullptr);
        socket.SetMultiThreaded(true);
        NorvEngineering::Platform::postThreadMessage(NorvEngineering::Platform::currentThreadId(),
                                                     NorvEngineering::Platform::WM_QUIT);
        socket.MessagePump();
        EXPECT_TRUE(socket.Terminated());
        EXPECT_TRUE(NorvEngineering::Platform::ThreadMessageQueue::current().empty());
        socket.MessageLoop(); // returns at once instead of waiting for a lost quit
    });
    worker.join();
}

TEST(WSocket, AnotherThreadSendsAndFlushesOnAThreadOwnedSocket) {
    LoopbackPeer peer(4096);
    std::atomic<TWSocket*> shared{nullptr};
    std::atomic<int> sentEvents{0};
    NorvEngineering::Platform::ThreadId ownerId = 0;
    std::atomic<bool> ready{false};
    std::thread owner([&] {
        TWSocket socket(nullptr);
        socket.SetMultiThreaded(true);
        socket.OnDataSent = [&](TCustomWSocket*, uint16_t) { ++sentEvents; };
        socket.OnSessionConnected = [&](TCustomWSocket*, uint16_t) { ready = true; };
        socket.SetAddr("127.0.0.1");
        socket.SetPort(std::to_string(peer.port()));
        socket.Connect();
        ownerId = NorvEngineering::Platform::currentThreadId();
        shared = &socket;
        socket.MessageLoop();
        shared = nullptr;
    });
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(runUntil([&] { return ready.load(); }));
    const std::string payload = pattern(2 * 1024 * 1024);
    std::string got;
    std::thread reader([&] { got = peer.receive(payload.size(), 20s); });
    TWSocket* socket = shared;
    socket->Send(payload.data(), static_cast<int>(payload.size()));
    socket->Flush();
    EXPECT_TRUE(socket->AllSent());
    reader.join();
    EXPECT_TRUE(got == payload);
    ASSERT_TRUE(runUntil([&] { return sentEvents.load() >= 1; }));
    NorvEngineering::Platform::postThreadMessage(ownerId, NorvEngineering::Platform::WM_QUIT);
    owner.join();
}

// A send that meets the peer's reset is a close of the connection, never an exception:
// on the owner thread it closes at once; from another thread, while the owner thread
// cannot handle its messages (as a client thread waiting for the main thread cannot),
// every write returns at once and drops its bytes, and the owner reports the close once
// when it is back.
TEST(WSocket, ASendThatMeetsThePeersResetIsACloseNeverAnException) {
    {
        SCOPED_TRACE("on the owner thread");
        LoopbackPeer peer;
        RecordedSocket rec;
        ASSERT_TRUE(rec.connectedTo(peer));
        peer.reset();
        ASSERT_TRUE(resetArrived(rec.socket->HSocket()));
        int sent = -1;
        EXPECT_NO_THROW(sent = rec.socket->Send("DT\r", 3));
        EXPECT_EQ(sent, 3);
        EXPECT_EQ(rec.socket->GetState(), wsClosed);
        pumpFor(30ms);
        EXPECT_EQ(rec.closed, 1);
        EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "closed 10054"), 1)
            << ::testing::PrintToString(rec.events);
    }

    SCOPED_TRACE("from another thread, while the owner thread waits for it");
    LoopbackPeer peer;
    RecordedSocket rec;
    ASSERT_TRUE(rec.connectedTo(peer));
    peer.reset();
    ASSERT_TRUE(resetArrived(rec.socket->HSocket()));
    auto writes = std::async(std::launch::async, [socket = rec.socket.get()] {
        for (int i = 0; i < 1000; ++i) {
            socket->Send("DT\r", 3);
            socket->Flush();
        }
    });
    const bool returned = writes.wait_for(10s) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the writes did not return while the owner thread waited";
    if (returned) {
        EXPECT_EQ(rec.socket->BufferedByteCount(), 0);
        // One hand-over to the owner thread, not one per write.
        EXPECT_LE(NorvEngineering::Platform::ThreadMessageQueue::current().size(), 2u);
    }
    // The owner thread back at work closes (and so also ends writes that did not return).
    ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
    EXPECT_NO_THROW(writes.get());
    pumpFor(30ms);
    EXPECT_EQ(rec.closed, 1);
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "closed 10054"), 1)
        << ::testing::PrintToString(rec.events);
}

// The owner's last words from inside the closed notification meet the end of the
// connection: the send fails, and the close it would report is being reported already.
TEST(WSocket, ASendFromInsideTheClosedNotificationIsNoSecondClose) {
    for (const bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "the peer resets" : "the peer closes and resets on the next byte");
        LoopbackPeer peer;
        RecordedSocket rec;
        ASSERT_TRUE(rec.connectedTo(peer));
        rec.socket->OnSessionClosed = [&](TCustomWSocket* sender, uint16_t code) {
            ++rec.closed;
            rec.events.push_back("closed " + std::to_string(code));
            // The first send meets the end; a send after the close is refused, as always.
            EXPECT_NO_THROW(sender->Send("\x1b", 1));
            for (int i = 0; i < 2; ++i) {
                try {
                    sender->Send("\x1b", 1);
                } catch (const ESocketException&) {
                }
            }
        };
        if (reset)
            peer.reset();
        else
            peer.close();
        ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
        pumpFor(30ms);
        EXPECT_EQ(rec.closed, 1) << ::testing::PrintToString(rec.events);
        EXPECT_EQ(rec.socket->GetState(), wsClosed);
    }
}

TEST(WSocket, AResetMetAgainInsideTheClosedNotificationIsNoSecondClose) {
    // The reset is being reported, and the socket is not yet closed: asking it for its
    // peer meets the reset again, which closes it without a second report.
    LoopbackPeer peer;
    RecordedSocket rec;
    ASSERT_TRUE(rec.connectedTo(peer));
    std::vector<std::string> failures;
    rec.socket->OnSessionClosed = [&](TCustomWSocket* sender, uint16_t code) {
        ++rec.closed;
        rec.events.push_back("closed " + std::to_string(code));
        for (const auto& ask : {&TCustomWSocket::GetPeerAddr, &TCustomWSocket::GetPeerPort})
            failures.push_back(whatRaised<ESocketException>([&] { (sender->*ask)(); }));
    };
    peer.reset();
    ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
    pumpFor(30ms);
    EXPECT_EQ(rec.closed, 1) << ::testing::PrintToString(rec.events);
    EXPECT_EQ(rec.socket->GetState(), wsClosed);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0], "Socket is not connected (#10057 in GetPeerAddr)");
}

TEST(WSocket, AnotherThreadsFailedSendReportedInsideTheClosedNotificationIsNoSecondClose) {
    // Another thread's send meets the reset and leaves the close to the socket's own
    // thread, whose closed notification for the same reset is queued before that
    // report and handles messages (as a wait inside it would).
    LoopbackPeer peer;
    RecordedSocket rec;
    ASSERT_TRUE(rec.connectedTo(peer));
    rec.socket->OnSessionClosed = [&](TCustomWSocket* sender, uint16_t code) {
        ++rec.closed;
        rec.events.push_back("closed " + std::to_string(code));
        sender->ProcessMessages();
    };
    peer.reset();
    ASSERT_TRUE(resetArrived(rec.socket->HSocket()));
    NorvEngineering::Platform::TMessage waiting;
    ASSERT_TRUE(NorvEngineering::Platform::peekMessage(waiting, false)); // collected, not handled
    std::async(std::launch::async, [&] {
        try {
            rec.socket->Send("x", 1);
        } catch (const ESocketException&) {
        }
    }).wait();
    ASSERT_TRUE(runUntil([&] { return rec.closed > 0; }));
    pumpFor(30ms);
    EXPECT_EQ(rec.closed, 1) << ::testing::PrintToString(rec.events);
    EXPECT_EQ(rec.socket->GetState(), wsClosed);
}

TEST(WSocket, AThreadThatCannotHaveAQueueIsRefusedAsTheComponentsOwnFailure) {
    // (Not under AddressSanitizer: its runtime opens descriptors of its own in checks,
    // and reports nonsense when it cannot.)
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "uses up the process's descriptors";
#endif
    const std::string refusal = "Cannot create a hidden window for TWSocket";
    const auto refusalOf = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const ESocketException& e) {
            return e.what();
        } catch (const std::exception& e) {
            return std::string("not the socket's exception: ") + e.what();
        }
        return "no exception";
    };
    TWSocket detached(nullptr);
    detached.ThreadDetach();
    int errorsReported = 0;
    std::string constructed, attached, attachedWithOnError, constructedLater;
    // A new thread has no queue until something asks for one.
    std::thread([&] {
        {
            const TestSupport::DescriptorsUsedUp usedUp(0);
            constructed = refusalOf([] { TWSocket socket(nullptr); });
            attached = refusalOf([&] { detached.ThreadAttach(); });
            detached.OnError = [&](TCustomWSocket*) { ++errorsReported; };
            attachedWithOnError = refusalOf([&] { detached.ThreadAttach(); });
            detached.OnError = nullptr;
        }
        // The refusal left nothing behind that keeps the thread from a queue later.
        constructedLater = refusalOf([] { TWSocket socket(nullptr); });
    }).join();
    EXPECT_EQ(constructed, refusal);
    EXPECT_EQ(attached, refusal);
    EXPECT_EQ(attachedWithOnError, "no exception");
    EXPECT_EQ(errorsReported, 1);
    EXPECT_EQ(constructedLater, "no exception");
    EXPECT_EQ(detached.Handle(), 0u);

    // Still detached, so this thread can take it and use it.
    detached.ThreadAttach();
    LoopbackPeer peer;
    detached.SetAddr("127.0.0.1");
    detached.SetPort(std::to_string(peer.port()));
    detached.Connect();
    EXPECT_TRUE(runUntil([&] { return detached.GetState() == wsConnected; }));
}

} // namespace
