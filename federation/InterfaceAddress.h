#pragma once

#include <netinet/in.h>

#include <string>

// The first IPv4 address of the network interface named interfaceName, in dotted form; empty
// when it has none.
std::string interfaceAddress(const std::string& interfaceName);

// Whether address is in 127.0.0.0/8.
bool loopbackAddress(const in_addr& address);

// Whether a connection to address stays on this host: an address of one of its interfaces, a
// loopback address, or the unspecified one.
bool addressOfThisHost(const in_addr& address);
