// Uses one thing of each installed library, so a missing header or library fails.
#include "Platform.h"
#include "SensorLib.h"
#include "SerialInterface.h"
#include "TcpInterface.h"

#include <cstdio>

int main() {
    using namespace NorvEngineering::SensorLib;
    CTcpInterface::TTcpProperties settings(nullptr);
    CTcpInterface transport(&settings, true);
    CVkr25 driver(nullptr);
    NorvEngineering::Platform::Application().ProcessMessages();
    const bool ok = baudRateName(br9600) == "9600" && CVkr25Error("E23").getCode() == 24 &&
                    transport.getInterfaceType() == CSensorInterface::itTcpSocket;
    std::puts(ok ? "package ok" : "package broken");
    return ok ? 0 : 1;
}
