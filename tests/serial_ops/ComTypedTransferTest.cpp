#include "../serial/PortOnPty.h"
#include "ComPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

using namespace NorvEngineering::Serial;
using namespace std::chrono_literals;

namespace {

struct OpenPort : SerialTests::PortOnPty {
    TComPort& port = *PortOnPty::port;
    OpenPort() { port.Open(); }
};

template <typename T>
T inMemoryOrder(const char* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

TEST(ComTypedTransfer, ReadersTakeTheirBytesFromTheOtherSide) {
    OpenPort rig;
    const char words[] = "\x01\x02\x03\x04\x05\x06\x07";
    rig.pty.send("A\xfe");
    rig.pty.send(std::string(words, 6));
    rig.pty.send("ab\ncd\rrest;tail");
    EXPECT_EQ(rig.port.ReadChar(), 'A');
    EXPECT_EQ(rig.port.ReadByte(), 0xfe);
    EXPECT_EQ(rig.port.ReadWord(), inMemoryOrder<uint16_t>(words));
    EXPECT_EQ(rig.port.ReadDWord(), inMemoryOrder<uint32_t>(words + 2));
    EXPECT_EQ(rig.port.ReadLine(), "ab\ncd\r"); // a line feed is no line end
    EXPECT_EQ(rig.port.ReadUntil(';'), "rest;");
    ASSERT_TRUE(rig.waitForInput(4));
    EXPECT_EQ(rig.port.ReadString(), "tail");
    // Nothing queued: back at once (a wait would never end: no read time-outs).
    EXPECT_EQ(rig.port.ReadString(), "");
}

TEST(ComTypedTransfer, WritersSendTheirBytesInMemoryOrderAndKeepTheirOwnCopy) {
    OpenPort rig;
    rig.port.WriteChar('c');
    rig.port.WriteByte(0x80);
    rig.port.WriteWord(0x1234);
    rig.port.WriteDWord(0xA1B2C3D4);
    // Output suspended: the text stays pending in the port after its owner is gone.
    rig.port.WaitForWriteCompletion();
    rig.port.SetXOff();
    {
        auto text = std::make_unique<std::string>("a text that goes away at once");
        rig.port.WriteString(*text);
        std::memset(text->data(), 'x', text->size());
    }
    EXPECT_TRUE(rig.port.WritePending());
    rig.port.SetXOn();
    rig.port.WaitForWriteCompletion();

    std::string expected = "c\x80";
    const uint16_t word = 0x1234;
    const uint32_t dword = 0xA1B2C3D4;
    expected.append(reinterpret_cast<const char*>(&word), sizeof word);
    expected.append(reinterpret_cast<const char*>(&dword), sizeof dword);
    expected += "a text that goes away at once";
    EXPECT_EQ(rig.pty.receive(expected.size(), 5s), expected);
}

TEST(ComTypedTransfer, EveryOperationRefusesAClosedPort) {
    SerialTests::PortOnPty rig;
    TComPort& port = *rig.port;
    const std::function<void()> operations[] = {
        [&] { port.ReadChar(); },        [&] { port.ReadByte(); },     [&] { port.ReadWord(); },
        [&] { port.ReadDWord(); },       [&] { port.WriteChar('a'); }, [&] { port.WriteByte(1); },
        [&] { port.WriteWord(1); },      [&] { port.WriteDWord(1); },  [&] { port.ReadUntil('x'); },
        [&] { port.ReadLine(); },        [&] { port.ReadString(); },   [&] { port.WriteString("a"); },
        [&] { port.TransmitChar('a'); }, [&] { port.SetBreak(); },     [&] { port.ClearBreak(); },
        [&] { port.SetDTR(); },          [&] { port.ClearDTR(); },     [&] { port.SetRTS(); },
        [&] { port.ClearRTS(); },        [&] { port.SetXOn(); },       [&] { port.SetXOff(); },
        [&] { port.ResetDevice(); },     [&] { port.ModemStatus(); },
    };
    for (std::size_t i = 0; i < std::size(operations); ++i) {
        try {
            operations[i]();
            ADD_FAILURE() << "operation " << i << " ran on a closed port";
        } catch (const EComError& error) {
            EXPECT_EQ(error.Code(), 0) << "operation " << i;
            EXPECT_EQ(error.Message(), "Can't perform this operation on a closed port") << "operation " << i;
        }
    }
    port.setDesigning(true);
    EXPECT_TRUE(port.ModemStatus().empty());
}

} // namespace
