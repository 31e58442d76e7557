#pragma once

#include "SensorTransports.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace Programs {

// Why a serial device could not be opened, in words that say what to do. `code` is
// the interface error's code: 0 when the transport refused the name before opening
// (no such device, or not a terminal), otherwise the system's error number.
inline std::string deviceFailureReason(const std::string& deviceName, int code, const std::string& message) {
    const std::string path = NorvEngineering::Serial::ComDevicePath(deviceName);
    struct stat status {};
    const bool exists = ::stat(path.c_str(), &status) == 0;
    const int statError = exists ? 0 : errno;
    if (code == EBUSY)
        return "in use by another program (fuser -v " + path + " or lsof " + path + " shows which)";
    if (code == EACCES || code == EPERM ||
        (exists && code == 0 && ::access(path.c_str(), R_OK | W_OK) != 0)) {
        std::string reason = "permission denied";
        if (exists && (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            const group* owner = ::getgrgid(status.st_gid);
            const std::string name = owner != nullptr ? owner->gr_name : std::to_string(status.st_gid);
            reason += "; it belongs to the group " + name + " (add yourself to it: usermod -aG " + name +
                      " $USER, then log in again)";
        } else if (exists) {
            const passwd* user = ::getpwuid(status.st_uid);
            const std::string name = user != nullptr ? user->pw_name : std::to_string(status.st_uid);
            reason += "; only its owner " + name + " may open it (run it " +
                      (status.st_uid == 0 ? std::string("with sudo") : "as " + name + ": sudo -u " + name) +
                      ")";
        }
        return reason;
    }
    if (code == 0 && !exists)
        return statError == ENOENT ? "no such file (--list shows the serial devices)" : "cannot be looked up";
    if (code == 0 || code == ENOTTY)
        return "not a terminal (serial) device";
    return message.empty() ? "error " + std::to_string(code) : message;
}

} // namespace Programs
