#include "Termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace NorvEngineering::Serial::Termios2 {

int setRate(int fd, uint32_t rate) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return errno;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    if (::ioctl(fd, TCSETS2, &settings) != 0)
        return errno;
    return 0;
}

int readRates(int fd, uint32_t& input, uint32_t& output) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return errno;
    input = settings.c_ispeed;
    output = settings.c_ospeed;
    return 0;
}

} // namespace NorvEngineering::Serial::Termios2
