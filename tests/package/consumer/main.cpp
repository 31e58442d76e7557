// Uses one thing of each installed library through the umbrella headers alone, so a
// missing header or library fails; and checks that the libraries' own header names
// stay off the include path, where they could hide a program's headers.
#include "SensorLib.h"
#include "SensorPlatform.h"
#include "SensorTransports.h"

#if __has_include("Thread.h") || __has_include("Event.h") ||                                                 \
                                               __has_include("Exception.h") ||                               \
                                                             __has_include("Platform.h") ||                  \
                                                                           __has_include("Sensor.h")
#error "the package puts the libraries' own header names on the include path"
#endif

#include <cstdio>

int main() {
    using namespace NorvEngineering::SensorLib;
    CTcpInterface::TTcpProperties settings(nullptr);
    CTcpInterface transport(&settings, true);
    CVkr25 driver(nullptr);
    auto& application = NorvEngineering::Platform::Application();
    application.ProcessMessages();
    const bool ok = application.EventDescriptor() >= 0 && application.ProcessDue() &&
                    baudRateName(br9600) == "9600" && CVkr25Error("E23").getCode() == 24 &&
                    transport.getInterfaceType() == CSensorInterface::itTcpSocket;
    std::puts(ok ? "package ok" : "package broken");
    return ok ? 0 : 1;
}
