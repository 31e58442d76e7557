#include "../serial/PortOnPty.h"
#include "ComPort.h"
#include "Raised.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

using namespace NorvEngineering::Serial;
using namespace std::chrono_literals;
using TestSupport::whatRaised;

namespace {

TEST(ComTypedTransfer, ReadersAndWritersMoveTheirBytesInMemoryOrder) {
    SerialTests::PortOnPty rig;
    TComPort& port = *rig.port;
    port.Open();
    const char bytes[] = "\x01\x02\x03\x04\x05\x06";
    uint16_t word = 0;
    uint32_t dword = 0;
    std::memcpy(&word, bytes, sizeof word);
    std::memcpy(&dword, bytes + 2, sizeof dword);

    rig.pty.send(std::string("A\xfe", 2) + std::string(bytes, 6) + "ab\ncd\rrest;tail");
    EXPECT_EQ(port.ReadChar(), 'A');
    EXPECT_EQ(port.ReadByte(), 0xfe);
    EXPECT_EQ(port.ReadWord(), word);
    EXPECT_EQ(port.ReadDWord(), dword);
    EXPECT_EQ(port.ReadLine(), "ab\ncd\r"); // a line feed is no line end
    EXPECT_EQ(port.ReadUntil(';'), "rest;");
    ASSERT_TRUE(rig.waitForInput(4));
    EXPECT_EQ(port.ReadString(), "tail");
    // Nothing queued: back at once (a wait would never end: no read time-outs).
    EXPECT_EQ(port.ReadString(), "");

    port.WriteChar('A');
    port.WriteByte(0xfe);
    port.WriteWord(word);
    port.WriteDWord(dword);
    port.WriteString("text");
    port.WaitForWriteCompletion();
    const std::string expected = std::string("A\xfe", 2) + std::string(bytes, 6) + "text";
    EXPECT_EQ(rig.pty.receive(expected.size(), 5s), expected);
}

// The typed transfers go through Read and Write, whose refusal the port's own tests
// check; these are the operations with a check of their own.
TEST(ComTypedTransfer, OperationsWithAnOpenCheckOfTheirOwnRefuseAClosedPort) {
    TComPort port(nullptr);
    const std::function<void()> operations[] = {[&] { port.ReadString(); }, [&] { port.TransmitChar('a'); },
                                                [&] { port.ModemStatus(); }};
    void (TCustomComPort::*controls[])() = {
        &TCustomComPort::SetBreak, &TCustomComPort::ClearBreak, &TCustomComPort::SetDTR,
        &TCustomComPort::ClearDTR, &TCustomComPort::SetRTS,     &TCustomComPort::ClearRTS,
        &TCustomComPort::SetXOn,   &TCustomComPort::SetXOff,    &TCustomComPort::ResetDevice};
    for (const auto& operation : operations)
        EXPECT_EQ(whatRaised<EComError>(operation), "Can't perform this operation on a closed port");
    for (const auto control : controls)
        EXPECT_EQ(whatRaised<EComError>([&] { (port.*control)(); }),
                  "Can't perform this operation on a closed port");
    port.setDesigning(true);
    EXPECT_TRUE(port.ModemStatus().empty());
}

} // namespace
