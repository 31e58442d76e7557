#include "ComError.h"

#include "SystemError.h"

#include <cerrno>

namespace NorvEngineering::Serial {

std::string ComErrorText(int code) {
    std::string text = Platform::SysErrorMessage(code);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' || text.back() == '.'))
        text.pop_back();
    return text;
}

bool IsDeviceGoneError(int code) {
    return code == EIO || code == ENXIO || code == ENODEV;
}

} // namespace NorvEngineering::Serial
