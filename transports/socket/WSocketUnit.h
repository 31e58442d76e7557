#pragma once

namespace NorvEngineering::Sockets {

// The socket unit's start-up, run on first use: its debug line goes to the debug
// output (OutputDebugLine: silent unless asked for), as does the shut-down line at the
// program's end.
void WSocketUnitStartup();

} // namespace NorvEngineering::Sockets
