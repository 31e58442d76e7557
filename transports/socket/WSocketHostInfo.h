#pragma once

#include "StringList.h"

#include <string>

#include <netdb.h>

namespace NorvEngineering::Sockets {

// Blocking host look-ups for callers that may wait for the name service. They raise
// ESocketException for a text that cannot be a name or an address.

// The entry for a host name, or null (the Winsock last error says why). The entry
// belongs to the calling thread and stays valid until its next look-up.
hostent* WSocketGetHostByName(const std::string& name);
// The entry for a dotted IPv4 address, or null.
hostent* WSocketGetHostByAddr(const std::string& addr);
// The host name of a dotted address; empty when it has none.
std::string WSocketResolveIp(const std::string& ipAddr);
// The machine's host name.
std::string LocalHostName();
// The addresses of the machine's host name, in dotted form. The process keeps one
// list that every call refills; each caller gets its own copy of what it refilled.
Platform::TStrings LocalIPList();

} // namespace NorvEngineering::Sockets
