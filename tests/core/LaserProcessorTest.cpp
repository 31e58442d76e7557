#include "RecordingSink.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace NorvEngineering::SensorLib;
using TestSupport::RecordingSink;

namespace {

class OwnerLaser : public CNorvLaser {
public:
    using CNorvLaser::CNorvLaser;
    void initialize() override {}
};

// A processor whose parser records each reply and can be told to clear or throw; its
// data update goes to the owner's sink the way every model reports.
class RecordingProcessor : public CLaserProcessor {
public:
    RecordingProcessor(CSensor* sensor, const std::string& delimiters)
        : CLaserProcessor(delimiters), m_pSensor_(sensor) {}
    void parseReply(std::string& reply) override {
        replies.push_back(reply);
        if (clearOnParse)
            clearBuffer();
        if (!throwOn.empty() && throwOn == reply)
            throw std::runtime_error("parser failed");
    }
    void notifyDataUpdate() override { notifySink_(m_pSensor_); }
    std::vector<std::string> replies;
    std::string throwOn;
    bool clearOnParse = false;

private:
    CSensor* m_pSensor_;
};

struct Fixture {
    RecordingSink sink;
    OwnerLaser laser{&sink};
    RecordingProcessor processor;
    explicit Fixture(const std::string& delimiters) : processor(&laser, delimiters) {}
    void feed(const std::string& bytes) {
        processor.feed(bytes.data(), static_cast<unsigned int>(bytes.size()));
    }
};

} // namespace

TEST(LaserProcessor, RepliesParseInOrderEachWithAnUpdateASplitOneOnceAfterItsEnd) {
    Fixture f("\n");
    f.feed("12345\n67890\n123");
    EXPECT_EQ(f.processor.replies, (std::vector<std::string>{"12345\n", "67890\n"}));
    EXPECT_EQ(f.sink.dataUpdates, 2);
    EXPECT_EQ(f.processor.getBuffer(), "123");
    f.feed("45\n");
    EXPECT_EQ(f.processor.replies.back(), "12345\n");
    EXPECT_EQ(f.sink.dataUpdates, 3);
    EXPECT_TRUE(f.processor.getBuffer().empty());

    // Two characters cut at the first of either plus two; at the buffer's last byte,
    // at what there is.
    Fixture crlf("\r\n");
    crlf.feed("ab");
    crlf.feed("\r\n");
    EXPECT_EQ(crlf.processor.replies, (std::vector<std::string>{"ab\r\n"}));
    Fixture lfNak(std::string("\n\x15", 2));
    lfNak.feed("x\nyz\n");
    EXPECT_EQ(lfNak.processor.replies, (std::vector<std::string>{"x\ny", "z\n"}));
    Fixture shortTail("\r\n");
    shortTail.feed("ab\r");
    EXPECT_EQ(shortTail.processor.replies, (std::vector<std::string>{"ab\r"}));
    EXPECT_TRUE(shortTail.processor.getBuffer().empty());
}

TEST(LaserProcessor, BufferHolds4095BytesWithoutGrowingAndDropsThemAtThe4096th) {
    Fixture f("\n");
    const std::size_t reserved = f.processor.getBuffer().capacity();
    const std::string held = std::string(4000, 'a') + std::string(95, 'b');
    f.feed(held.substr(0, 4000));
    f.feed(held.substr(4000));
    EXPECT_EQ(f.processor.getBuffer().size(), 4095u);
    EXPECT_EQ(f.processor.getBuffer().capacity(), reserved);
    f.feed("c");
    EXPECT_TRUE(f.processor.getBuffer().empty());
    EXPECT_EQ(f.processor.getTrace(), held);
    EXPECT_EQ(f.sink.dataUpdates, 0);
}

TEST(LaserProcessor, OverlongReplyIsDroppedAndTheRepliesAroundItAreParsed) {
    // What came of it before the chunk goes to the trace, with the next update; the rest
    // is lost up to and with its line end, whether that comes in this chunk or not at all.
    const std::string held(4000, 'a');
    struct Case {
        std::string chunk;
        std::vector<std::string> replies;
    };
    const Case cases[] = {
        {std::string(96, 'b'), {}},
        {std::string(95, 'b') + "\n", {}}, // 4096 with its line end
        {std::string(95, 'b') + "\n42\n", {"42\n"}},
        {std::string(900, 'b') + "\n42\n7", {"42\n"}},
    };
    for (const Case& c : cases) {
        Fixture f("\n");
        f.feed(held);
        f.feed(c.chunk);
        EXPECT_EQ(f.processor.replies, c.replies) << c.chunk.size();
        EXPECT_EQ(f.processor.getBuffer(), c.chunk.back() == '7' ? "7" : "") << c.chunk.size();
        EXPECT_EQ(f.sink.updates.empty() ? f.processor.getTrace() : f.sink.updates[0], held);
    }

    Fixture oneChunk("\n");
    oneChunk.feed("1\n" + std::string(5000, 'z') + "\n" + std::string(4094, 'y') + "\n2\n");
    ASSERT_EQ(oneChunk.processor.replies.size(), 3u);
    EXPECT_EQ(oneChunk.processor.replies[1].size(), 4095u); // the longest reply there is
    EXPECT_EQ(oneChunk.processor.replies[2], "2\n");
    EXPECT_TRUE(oneChunk.processor.getTrace().empty());
}

// Read from where a chunk begins, the tail of an overlong line looks like a line of its
// own: split anywhere, and over any number of chunks, none of it may be parsed.
TEST(LaserProcessor, OverlongReplyIsSkippedToItsLineEndHoweverTheChunksSplitIt) {
    const std::vector<std::string> expected = {"1\n", "2\n"};
    // The shortest overlong line, with its line end one past the buffer, and a longer one.
    for (const std::size_t length : {kMaxBuffered, std::size_t{5008}}) {
        std::string overlong;
        for (std::size_t i = 0; i < length; ++i)
            overlong.push_back(static_cast<char>('0' + i % 10));
        const std::string stream = "1\n" + overlong + "\n2\n";
        for (std::size_t split = 1; split < stream.size(); ++split) {
            Fixture f("\n");
            f.feed(stream.substr(0, split));
            f.feed(stream.substr(split));
            ASSERT_EQ(f.processor.replies, expected) << length << " split at " << split;
            ASSERT_EQ(f.sink.dataUpdates, 2);
            // What the first chunk brought of the line goes to the trace, unless that
            // chunk already overflowed.
            const std::size_t held = split <= 2 || split - 2 > kMaxBuffered ? 0 : split - 2;
            ASSERT_EQ(f.sink.updates[1], overlong.substr(0, held)) << length << " split at " << split;
        }
        for (std::size_t size = 1; size < stream.size(); ++size) {
            Fixture f("\n");
            for (std::size_t at = 0; at < stream.size(); at += size)
                f.feed(stream.substr(at, size));
            ASSERT_EQ(f.processor.replies, expected) << length << " chunks of " << size;
            ASSERT_TRUE(f.processor.getBuffer().empty());
        }
    }
    // Nothing else ends it: not an empty chunk, nor one without a line end.
    Fixture f("\n");
    f.feed(std::string(5000, '7'));
    f.feed("");
    f.feed("77");
    f.feed("7\n3\n");
    EXPECT_EQ(f.processor.replies, (std::vector<std::string>{"3\n"}));
}

TEST(LaserProcessor, FullChunksOfCompleteRepliesAreAllParsedWhereverTheySplit) {
    // Lines of several lengths, so that the chunk limits fall at every place in a line.
    std::vector<std::string> lines;
    std::string stream;
    for (std::size_t i = 0; stream.size() < 3 * kReceiveBufferSize; ++i) {
        lines.push_back(std::to_string(i * 7919 % 100000) + std::string(i % 4, ' ') + "\r\n");
        stream += lines.back();
    }
    for (std::size_t first = kReceiveBufferSize - 24; first <= kReceiveBufferSize + 24; ++first) {
        for (const std::size_t size : {kReceiveBufferSize, kReceiveBufferSize + 1, stream.size()}) {
            Fixture f("\n");
            f.feed(stream.substr(0, first));
            for (std::size_t at = first; at < stream.size(); at += size)
                f.feed(stream.substr(at, size));
            ASSERT_EQ(f.processor.replies, lines) << "first " << first << ", then " << size;
            ASSERT_EQ(f.sink.dataUpdates, static_cast<int>(lines.size()));
            ASSERT_TRUE(f.processor.getTrace().empty());
        }
    }
}

TEST(LaserProcessor, EmptySetParsesWholeBufferEveryChunkUntilItReachesTheLimit) {
    Fixture f("");
    f.feed("ab");
    f.feed("cd");
    EXPECT_EQ(f.processor.replies, (std::vector<std::string>{"ab", "abcd"}));
    Fixture clearing("");
    clearing.processor.clearOnParse = true;
    clearing.feed("ab");
    clearing.feed("cd");
    EXPECT_EQ(clearing.processor.replies, (std::vector<std::string>{"ab", "cd"}));

    Fixture full("");
    full.feed(std::string(2000, 'a'));
    full.feed(std::string(1048, 'c')); // 3048 held, plus 1048 reaches it
    EXPECT_TRUE(full.processor.getBuffer().empty());
    EXPECT_EQ(full.processor.replies.back().size(), 3048u);
    EXPECT_EQ(full.sink.dataUpdates, 2);

    // A new set applies to what is held already.
    Fixture changed("\n");
    changed.feed("ab");
    changed.processor.setDelimiters(";");
    changed.feed("c;d");
    EXPECT_EQ(changed.processor.replies, (std::vector<std::string>{"abc;"}));
    EXPECT_EQ(changed.processor.getBuffer(), "d");
}

TEST(LaserProcessor, EmptySetDropsAChunkThatWouldBringTheBufferTo4096) {
    Fixture f("");
    f.feed(std::string(1000, 'a'));
    f.feed(std::string(1000, 'b')); // 2000 held
    f.feed(std::string(2096, 'c'));
    EXPECT_EQ(f.processor.replies.size(), 2u);
    EXPECT_TRUE(f.processor.getBuffer().empty());
    EXPECT_EQ(f.processor.getTrace(), std::string(1000, 'a') + std::string(1000, 'b'));
    EXPECT_EQ(f.sink.dataUpdates, 2);
    // One byte less fits: parsed whole, then emptied.
    Fixture fits("");
    fits.feed(std::string(2000, 'a'));
    fits.feed(std::string(2095, 'c'));
    EXPECT_EQ(fits.processor.replies.back().size(), 4095u);
    EXPECT_TRUE(fits.processor.getBuffer().empty());
    EXPECT_TRUE(fits.processor.getTrace().empty());
}

TEST(LaserProcessor, TraceLimitAndTake) {
    Fixture f("\n");
    EXPECT_EQ(f.processor.takeTrace(), "");
    f.processor.appendTrace(std::string(2000, 'a'));
    f.processor.appendTrace(std::string(48, 'b'));
    EXPECT_EQ(f.processor.getTrace().size(), 2048u);
    f.processor.appendTrace("c");
    EXPECT_EQ(f.processor.getTrace(), "c");
    f.processor.appendTrace(std::string(2000, 'a'));
    f.processor.appendTrace(std::string(49, 'b'));
    EXPECT_EQ(f.processor.getTrace(), std::string(49, 'b'));
    f.processor.appendTrace(std::string(3000, 'x'));
    EXPECT_EQ(f.processor.getTrace().size(), 3000u);
    EXPECT_EQ(f.processor.takeTrace().size(), 3000u);
    EXPECT_TRUE(f.processor.getTrace().empty());
}

TEST(LaserProcessor, ParserExceptionLeavesAfterTheReplyIsErased) {
    Fixture f("\n");
    f.processor.throwOn = "bad\n";
    EXPECT_THROW(f.feed("bad\nnext\n"), std::runtime_error);
    EXPECT_EQ(f.processor.getBuffer(), "next\n");
    f.processor.throwOn.clear();
    f.feed("x\n");
    EXPECT_EQ(f.processor.replies, (std::vector<std::string>{"bad\n", "next\n", "x\n"}));
}

// With a line feed alone the fuzz target checks every reply against the stream; with
// CR LF a pair split between chunks is cut after the CR alone, but what the parser
// sees must still add up to the same bytes, every byte value kept.
TEST(LaserProcessor, EveryChunkSizeKeepsEveryByteWithCrLf) {
    std::string stream = "VKR25,1234,1.2\r\n[SA]......5\r\n\n\n" + std::string(300, 'q') + "\r\n";
    for (int c = 0; c < 256; ++c)
        if (c != '\n' && c != '\r')
            stream.push_back(static_cast<char>(c));
    stream += "\r\nE15\r\ntail";
    for (std::size_t size = 1; size <= stream.size(); ++size) {
        Fixture chunked("\r\n");
        for (std::size_t at = 0; at < stream.size(); at += size)
            chunked.feed(stream.substr(at, size));
        std::string joined;
        for (const auto& reply : chunked.processor.replies)
            joined += reply;
        ASSERT_EQ(joined + chunked.processor.getBuffer(), stream) << "chunk size " << size;
    }
}
