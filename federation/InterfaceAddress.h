#pragma once

#include <string>

// The first IPv4 address of the network interface named interfaceName, in dotted form; empty
// when it has none.
std::string interfaceAddress(const std::string& interfaceName);
