// Line mode and the synchronous layer on a real loopback connection.
#include "WSocket.h"

#include "LoopbackPeer.h"
#include "Raised.h"
#include "RunUntil.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace NorvEngineering::Sockets;
using TestSupport::LoopbackPeer;
using TestSupport::runUntil;
using TestSupport::whatRaised;
using namespace std::chrono_literals;

namespace {

// A connected socket in line mode whose handler keeps each notification's bytes.
struct LineClient {
    LoopbackPeer peer;
    std::vector<std::string> offers; // what each notification read
    int readSize = 4096;             // the handler's buffer
    int closed = 0;
    std::unique_ptr<TWSocket> socket;

    explicit LineClient(std::unique_ptr<TWSocket> own = nullptr)
        : socket(own ? std::move(own) : std::make_unique<TWSocket>(nullptr)) {
        socket->SetLineMode(true);
        socket->OnDataAvailable = [this](TCustomWSocket* sender, uint16_t) { read(sender); };
        socket->OnSessionClosed = [this](TCustomWSocket*, uint16_t) { ++closed; };
        socket->SetAddr("127.0.0.1");
        socket->SetPort(std::to_string(peer.port()));
        socket->Connect();
        EXPECT_TRUE(peer.accept());
        EXPECT_TRUE(runUntil([&] { return socket->GetState() == wsConnected; }));
    }
    void read(TCustomWSocket* sender) {
        std::string buffer(static_cast<std::size_t>(readSize), '\0');
        const int n = sender->Receive(buffer.data(), readSize);
        offers.push_back(n > 0 ? buffer.substr(0, static_cast<std::size_t>(n)) : "");
    }
    // Sends and waits until the socket has taken all of it from the connection.
    void feed(const std::string& bytes) {
        peer.send(bytes);
        ASSERT_TRUE(runUntil([&] {
            int waiting = 0;
            return ::ioctl(socket->HSocket(), FIONREAD, &waiting) == 0 && waiting == 0;
        }));
    }
    std::string allOffered() const {
        std::string all;
        for (const auto& offer : offers)
            all += offer;
        return all;
    }
    // Everything the socket has sent back so far (its echo), and nothing more: a marker
    // sent after it tells where it ends.
    std::string echoed() {
        const char marker = '|';
        socket->SendStr(std::string(1, marker));
        std::string got;
        for (std::string byte = peer.receive(1); !byte.empty() && byte[0] != marker; byte = peer.receive(1))
            got += byte;
        return got;
    }
};

TEST(LineMode, LinesAreCutAtTheLineEndWhereverTheReceivesSplitThem) {
    struct Case {
        std::string name;
        std::string lineEnd;
        std::vector<std::string> chunks;
        std::vector<std::string> expected;
        int readSize = 4096;
    };
    const std::vector<Case> cases = {
        {"two at once", "\r\n", {"ab\r\ncd\r\n"}, {"ab\r\n", "cd\r\n"}},
        {"end split", "\r\n", {"ab\r", "\ncd\r\n"}, {"ab\r\n", "cd\r\n"}},
        {"long end split", "<END>", {"x<E", "N", "D>y<END><END>"}, {"x<END>", "y<END>", "<END>"}},
        {"read in pieces", "\n", {"abcde\nf\n"}, {"ab", "cd", "e\n", "f\n"}, 2},
        {"partial line waits", "\n", {"abc", "def"}, {}},
        {"long line ended with the next one", "\r\n", {"abcdefgh", "\r\nx\r\n"}, {"abcdefgh\r\n", "x\r\n"}},
    };
    for (const auto& c : cases) {
        LineClient client;
        client.readSize = c.readSize;
        client.socket->SetLineEnd(c.lineEnd);
        for (const auto& chunk : c.chunks)
            client.feed(chunk);
        EXPECT_EQ(client.offers, c.expected) << c.name;
    }
}

TEST(LineMode, LineEditAndEcho) {
    struct Case {
        std::string name;
        bool edit, echo;
        std::vector<std::string> chunks;
        std::string line, echoed;
    };
    const std::vector<Case> cases = {
        {"backspace", true, false, {"abc\bd\r\n"}, "abd\r\n", ""},
        {"tab to the next multiple of 8", true, false, {"abc\tx\r\n"}, "abc     x\r\n", ""},
        {"backspace across receives", true, true, {"abc", "\b\bX\r\n"}, "aX\r\n", "abc\b \b\b \bX\r\n"},
        {"backspace on nothing", true, true, {"\bz\r\n"}, "z\r\n", "z\r\n"},
        {"echo unchanged", false, true, {"a\bb\r\n"}, "a\bb\r\n", "a\bb\r\n"},
        // The backspace takes back bytes of an earlier receive, so the line end that
        // forms begins before the first byte it changed.
        {"line end split around a backspace", true, true, {"a\r", "x", "\b\n"}, "a\r\n", "a\rx\b \b\n"},
        {"line end split around two backspaces",
         true,
         true,
         {"a\r", "xy", "\b\b\n"},
         "a\r\n",
         "a\rxy\b \b\b \b\n"},
    };
    for (const auto& c : cases) {
        LineClient client;
        client.socket->SetLineEdit(c.edit);
        client.socket->SetLineEcho(c.echo);
        for (const auto& chunk : c.chunks)
            client.feed(chunk);
        EXPECT_EQ(client.offers, std::vector<std::string>{c.line}) << c.name;
        EXPECT_EQ(client.echoed(), c.echoed) << c.name;
    }
}

// Editing stays within the line it is in, so the lines (and the echo) are the same
// wherever the connection split the bytes.
TEST(LineMode, LineEditNeverReachesBackPastACompleteLine) {
    struct Case {
        std::string stream;
        std::vector<std::string> lines;
        std::string echoed;
    };
    const std::vector<Case> cases = {
        {"ab\r\n\bX\r\n", {"ab\r\n", "X\r\n"}, "ab\r\nX\r\n"},
        {"ab\r\nabc\tx\r\n", {"ab\r\n", "abc     x\r\n"}, "ab\r\nabc     x\r\n"},
        {"abc\b\r\n\b\bde\tf\r\n", {"ab\r\n", "de      f\r\n"}, "abc\b \b\r\nde      f\r\n"},
        {"ab\r\bc\r\n", {"abc\r\n"}, "ab\r\b \bc\r\n"}, // an unfinished line end is still text
    };
    for (const auto& c : cases) {
        for (std::size_t split = 0; split < c.stream.size(); ++split) {
            LineClient client;
            client.socket->SetLineEdit(true);
            client.socket->SetLineEcho(true);
            if (split > 0)
                client.feed(c.stream.substr(0, split));
            client.feed(c.stream.substr(split));
            const std::string where =
                ::testing::PrintToString(c.stream) + " split at " + std::to_string(split);
            EXPECT_EQ(client.offers, c.lines) << where;
            EXPECT_EQ(client.echoed(), c.echoed) << where;
        }
    }
}

// A socket class of its own can take part in the editing: it sees how many bytes came
// and how many the editing changed.
TEST(LineMode, EditLineCanBeOverridden) {
    struct EditCounter : TWSocket {
        using TWSocket::TWSocket;
        std::vector<std::string> counts; // new, then changed
        void EditLine(std::size_t& count) override {
            const std::size_t received = count;
            TWSocket::EditLine(count);
            counts.push_back(std::to_string(received) + ">" + std::to_string(count));
        }
    };
    auto counter = std::make_unique<EditCounter>(nullptr);
    EditCounter& socket = *counter;
    LineClient client(std::move(counter));
    client.socket->SetLineEdit(true);
    client.feed("abc");
    client.feed("\b\bX\r\n");
    EXPECT_EQ(socket.counts, (std::vector<std::string>{"3>3", "5>3"}));
    EXPECT_EQ(client.offers, std::vector<std::string>{"aX\r\n"});
}

// Without a line end the layer below has the data: what was buffered comes first, in
// order, and with the line end back lines are cut again.
TEST(LineMode, EmptyLineEndHandsEverythingOnInOrder) {
    LineClient client;
    client.feed("par");
    client.socket->SetLineEnd("");
    ASSERT_TRUE(runUntil([&] { return !client.offers.empty(); }));
    client.feed("tial\r\nmore");
    EXPECT_EQ(client.allOffered(), "partial\r\nmore");

    client.offers.clear();
    client.socket->SetLineEnd("\r\n");
    client.feed("x\r\ny");
    client.feed("\r\n");
    EXPECT_EQ(client.offers, (std::vector<std::string>{"x\r\n", "y\r\n"}));

    // Bytes buffered when the line end goes are not lost at the close either.
    LineClient closing;
    closing.feed("last");
    int calls = 0;
    bool reading = false;
    closing.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
        ++calls;
        if (reading)
            closing.read(sender);
    };
    closing.socket->SetLineEnd("");
    ASSERT_TRUE(runUntil([&] { return calls > 0; })); // offered, not read yet
    reading = true;
    closing.peer.close();
    ASSERT_TRUE(runUntil([&] { return closing.closed > 0; }));
    EXPECT_EQ(closing.allOffered(), "last");
}

TEST(LineMode, LastPartialLineIsOfferedAtCloseAndDroppedWithoutHandler) {
    LineClient client;
    client.feed("one\r\ntwo");
    client.peer.close();
    ASSERT_TRUE(runUntil([&] { return client.closed > 0; }));
    EXPECT_EQ(client.offers, (std::vector<std::string>{"one\r\n", "two"}));

    LineClient unbound;
    unbound.socket->OnDataAvailable = nullptr;
    unbound.feed("dropped\r\npartial");
    EXPECT_EQ(unbound.socket->RcvdCount(), 0);
    unbound.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) { unbound.read(sender); };
    unbound.feed(" line\r\n");
    unbound.peer.close();
    ASSERT_TRUE(runUntil([&] { return unbound.closed > 0; }));
    EXPECT_EQ(unbound.offers, (std::vector<std::string>{"partial line\r\n"}));
}

TEST(LineMode, LineLimitDropsTheLongLineUnlessTheHandlerKeepsIt) {
    for (const bool keep : {false, true}) {
        LineClient client;
        client.socket->SetLineLimit(8);
        std::vector<int32_t> reported;
        client.socket->OnLineLimitExceeded = [&](TCustomWSocket*, int32_t length, bool& clear) {
            reported.push_back(length);
            clear = !keep;
        };
        client.feed("0123456789");
        client.feed("ab\r\n");
        EXPECT_EQ(reported.front(), 10) << keep;
        EXPECT_EQ(client.offers, std::vector<std::string>{keep ? "0123456789ab\r\n" : "ab\r\n"}) << keep;
    }

    // As many bytes as the limit, waiting for their line end, are within it.
    LineClient client;
    client.socket->SetLineLimit(8);
    int reports = 0;
    client.socket->OnLineLimitExceeded = [&](TCustomWSocket*, int32_t, bool&) { ++reports; };
    client.feed("01234567");
    client.feed("\r\n");
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(client.offers, std::vector<std::string>{"01234567\r\n"});
}

// A handler that reads nothing of a line is not called again and again: the thread
// goes on, and the line comes back when more bytes arrive.
TEST(LineMode, HandlerThatReadsNothingIsAskedAgainOnlyWhenMoreComes) {
    LineClient client;
    int calls = 0;
    bool reading = false;
    client.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
        ++calls;
        if (reading)
            client.read(sender);
    };
    client.feed("first\r\n");
    EXPECT_EQ(calls, 1);
    reading = true;
    client.feed("second\r\n");
    EXPECT_EQ(client.offers, (std::vector<std::string>{"first\r\n", "second\r\n"}));
    // Receive in line mode never hands out bytes of a line that has not ended.
    client.feed("third");
    char byte = 0;
    EXPECT_EQ(client.socket->Receive(&byte, 1), -1);
}

TEST(LineMode, SwitchingModeReoffersWhatWaits) {
    LineClient client;
    client.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
        client.readSize = 2;
        client.read(sender);
        client.socket->SetLineMode(false); // the rest of the line comes as plain bytes
    };
    client.feed("abcdef\r\ngh");
    ASSERT_TRUE(runUntil([&] { return client.offers.size() >= 2; }));
    EXPECT_EQ(client.offers[0], "ab");
    std::string rest;
    for (std::size_t i = 1; i < client.offers.size(); ++i)
        rest += client.offers[i];
    EXPECT_EQ(rest, "cdef\r\ngh");

    // Bytes left in the buffer when line mode goes on again are searched for lines.
    LineClient off;
    off.socket->OnDataAvailable = [&](TCustomWSocket*, uint16_t) { off.socket->SetLineMode(false); };
    off.feed("x\r\ny\r\n");
    off.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) { off.read(sender); };
    EXPECT_EQ(off.socket->RcvdCount(), 6);
    off.socket->SetLineMode(true);
    ASSERT_TRUE(runUntil([&] { return off.offers.size() >= 2; }));
    EXPECT_EQ(off.offers, (std::vector<std::string>{"x\r\n", "y\r\n"}));
}

// Bytes left buffered while line mode was off are cut into every line they hold once
// it is on again, one notification each and in order, however much of the first line
// was read before; the partial line after them waits for its end.
TEST(LineMode, SwitchingLineModeOnCutsEveryBufferedLineAndKeepsThePartialOne) {
    struct Case {
        std::string name;
        int lineRead, plainRead; // what the handler reads of the first line, before and after switching off
        std::string stream;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"complete lines, then a partial one", 0, 0, "x\r\ny\r\nz\r\npar", {"x\r\n", "y\r\n", "z\r\n"}},
        {"the rest of a line read in part",
         2,
         0,
         "abcdef\r\ngh\r\nij\r\npar",
         {"cdef\r\n", "gh\r\n", "ij\r\n"}},
        {"and more of it read as plain bytes",
         2,
         2,
         "abcdef\r\ngh\r\nij\r\npar",
         {"ef\r\n", "gh\r\n", "ij\r\n"}},
    };
    for (const auto& c : cases) {
        LineClient client;
        int calls = 0;
        client.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
            client.readSize = ++calls == 1 ? c.lineRead : calls == 2 ? c.plainRead : 0;
            if (client.readSize > 0)
                client.read(sender);
            client.socket->SetLineMode(false); // what is left stays buffered
        };
        client.feed(c.stream);
        ASSERT_GT(calls, 0) << c.name;
        client.offers.clear();
        client.readSize = 4096;
        client.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) { client.read(sender); };
        client.socket->SetLineMode(true);
        ASSERT_TRUE(runUntil([&] { return client.offers.size() >= c.lines.size(); })) << c.name;
        client.feed("tial\r\n");
        std::vector<std::string> expected = c.lines;
        expected.push_back("partial\r\n");
        EXPECT_EQ(client.offers, expected) << c.name;
    }
}

// A line offered and not read yet is finished: a backspace that comes meanwhile
// edits only the line after it, also when the handler has read all of the waiting
// line but the last byte of its end.
TEST(LineMode, BackspaceNeverErasesIntoALineWaitingUnread) {
    struct Case {
        std::string name;
        int firstRead; // 0: the handler reads nothing of the first line at first
        std::string more;
        std::vector<std::string> offers;
        std::string echoed;
    };
    const std::vector<Case> cases = {
        {"the whole line waits", 0, "\bX\r\n", {"ab\r\n", "X\r\n"}, "ab\r\nX\r\n"},
        {"a complete line comes between",
         0,
         "cd\r\n\b\bX\r\n",
         {"ab\r\n", "cd\r\n", "X\r\n"},
         "ab\r\ncd\r\nX\r\n"},
        {"the last byte of its end waits", 3, "\bX\r\n", {"ab\r", "\n", "X\r\n"}, "ab\r\nX\r\n"},
    };
    for (const auto& c : cases) {
        LineClient client;
        client.socket->SetLineEdit(true);
        client.socket->SetLineEcho(true);
        bool holding = true;
        int calls = 0;
        client.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
            ++calls;
            if (!holding) {
                client.readSize = 4096;
                client.read(sender);
            } else if (calls == 1 && c.firstRead > 0) {
                client.readSize = c.firstRead;
                client.read(sender);
            }
        };
        client.feed("ab\r\n");
        ASSERT_GT(calls, 0) << c.name;
        holding = false;
        client.feed(c.more);
        EXPECT_EQ(client.offers, c.offers) << c.name;
        EXPECT_EQ(client.echoed(), c.echoed) << c.name;
    }
}

TEST(LineMode, SendLine) {
    LineClient client;
    EXPECT_EQ(client.socket->SendLine(""), 0);
    EXPECT_EQ(client.socket->SendLine("x"), 3);
    client.socket->SetLineEnd("\n");
    EXPECT_EQ(client.socket->SendLine("yz"), 3);
    EXPECT_EQ(client.peer.receive(6), "x\r\nyz\n");
}

TEST(SyncLayer, ReadLineTakesOneLineAndRestoresTheSocket) {
    LineClient client;
    client.socket->SetLineMode(false);
    client.peer.send("alpha\r\nbeta\r\ngam");
    std::string line;
    client.socket->ReadLine(5, line);
    EXPECT_EQ(line, "alpha\r\n");
    EXPECT_FALSE(client.socket->LineMode());
    client.socket->ReadLine(5, line); // already buffered: no wait
    EXPECT_EQ(line, "beta\r\n");

    // The time-out in milliseconds hands over the partial line.
    const auto start = std::chrono::steady_clock::now();
    client.socket->ReadLine(-300, line);
    EXPECT_EQ(line, "gam");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_TRUE(client.offers.empty()); // the socket's own handler saw none of it

    client.peer.send("after\r\n");
    ASSERT_TRUE(runUntil([&] { return !client.offers.empty(); }));
    EXPECT_EQ(client.offers.front(), "after\r\n"); // plain bytes again, to the own handler

    // In line mode already: the line after the one read goes to the own handler.
    client.socket->SetLineMode(true);
    client.offers.clear();
    client.peer.send("c\r\nd\r\n");
    client.socket->ReadLine(5, line);
    EXPECT_EQ(line, "c\r\n");
    ASSERT_TRUE(runUntil([&] { return !client.offers.empty(); }));
    EXPECT_EQ(client.offers, std::vector<std::string>{"d\r\n"});

    client.socket->Close();
    EXPECT_EQ(whatRaised<ESocketException>([&] { client.socket->ReadLine(1, line); }),
              "ReadLine failed: not connected");
}

TEST(SyncLayer, WaitUntilReadyEndsWithTheFlagOrTheTimeout) {
    LineClient client;
    bool done = false;
    client.socket->SetTimeout(200);
    EXPECT_EQ(client.socket->WaitUntilReady(done), kWaitTimedOut);
    client.socket->OnDataAvailable = [&](TCustomWSocket* sender, uint16_t) {
        client.read(sender);
        done = true;
    };
    client.socket->SetTimeout(10000);
    EXPECT_EQ(client.socket->Synchronize([&] { client.peer.send("go\r\n"); }, done), 0);
    EXPECT_EQ(client.offers, std::vector<std::string>{"go\r\n"});
}

} // namespace
