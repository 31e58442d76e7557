#include "WSocketUnit.h"

#include "SocketLogger.h"

namespace NorvEngineering::Sockets {

namespace {

struct TUnitLife {
    TUnitLife() { OutputDebugLine("WSocket unit initialization"); }
    ~TUnitLife() { OutputDebugLine("WSocket unit finalization"); }
};

} // namespace

void WSocketUnitStartup() {
    static const TUnitLife life;
}

} // namespace NorvEngineering::Sockets
