#include "InterfaceAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

std::string interfaceAddress(const std::string& interfaceName) {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return {};
    std::string address;
    for (const ifaddrs* entry = interfaces; entry != nullptr && address.empty();
         entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            interfaceName != entry->ifa_name) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text) != nullptr) address = text;
    }
    freeifaddrs(interfaces);
    return address;
}

bool loopbackAddress(const in_addr& address) {
    return ntohl(address.s_addr) >> 24 == IN_LOOPBACKNET;
}

bool addressOfThisHost(const in_addr& address) {
    if (address.s_addr == htonl(INADDR_ANY) || loopbackAddress(address)) return true;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return false;
    bool found = false;
    for (const ifaddrs* entry = interfaces; entry != nullptr && !found; entry = entry->ifa_next) {
        found = entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr ==
                    address.s_addr;
    }
    freeifaddrs(interfaces);
    return found;
}
