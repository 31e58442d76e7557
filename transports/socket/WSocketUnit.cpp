#include "WSocketUnit.h"

#include <cstdio>

namespace NorvEngineering::Sockets {

namespace {

void debugOutput(const char* line) {
    std::fprintf(stderr, "%s\n", line);
}

struct TUnitLife {
    TUnitLife() { debugOutput("WSocket unit initialization"); }
    ~TUnitLife() { debugOutput("WSocket unit finalization"); }
};

} // namespace

void WSocketUnitStartup() {
    static const TUnitLife life;
}

} // namespace NorvEngineering::Sockets
