#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

namespace TestSupport {

// Service and protocol names come from /etc/services and /etc/protocols, which a
// minimal Debian lacks until the package netbase is installed. A test that looks
// such a name up checks the file first: when it is absent, the failure says which
// file and which package, instead of a lookup that merely came back empty.
inline bool netbaseFileThere(const char* path) {
    if (::access(path, R_OK) == 0)
        return true;
    ADD_FAILURE() << path << " is missing, so names in it cannot be looked up: install the Debian package "
                  << "netbase (scripts/install-deps.sh does)";
    return false;
}

} // namespace TestSupport
