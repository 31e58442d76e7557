#pragma once

#include <cstdint>

namespace NorvEngineering::Serial::Termios2 {

// Rates that the classic termios speed constants lack go through the kernel's
// termios2 interface with BOTHER. Kept apart from <termios.h>, whose structure of
// the same name differs. Both return 0 or the error number.
int setRate(int fd, uint32_t rate);
int readRates(int fd, uint32_t& input, uint32_t& output);

} // namespace NorvEngineering::Serial::Termios2
