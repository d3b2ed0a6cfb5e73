#include "ServiceRegistry/Defaults.h"

#include <cstdlib>
#include <cstring>

#include "RuntimeDirectory.h"
#include "ServiceRegistry/RegistryLibrary.h"

namespace svcreg {

std::string defaultRuntimeDirectory() {
    return RuntimeDirectory::defaultPath();
}

std::string defaultDaemonRuntimeDirectory() {
    return RuntimeDirectory::daemonDefaultPath();
}

std::string defaultRegistryUser() {
    const char* configured = std::getenv("SVCREG_REGISTRY_USER");
    return configured != nullptr && configured[0] != '\0' ? configured : kDefaultRegistryUser;
}

std::string defaultLauncher() {
    return SVCREG_LAUNCHER;
}

std::string defaultRegistryLibrary() {
    return RegistryLibrary::defaultPath();
}

// Digits only: no sign, blank or suffix strtol would let by.
std::optional<std::chrono::seconds> declaredIdleExit() {
    constexpr long kLongest = 86400;
    const char* configured = std::getenv("SVCREG_IDLE_EXIT_SEC");
    if (configured == nullptr || configured[0] == '\0' || std::strlen(configured) > 5 ||
        std::strspn(configured, "0123456789") != std::strlen(configured)) {
        return std::nullopt;
    }
    const long seconds = std::strtol(configured, nullptr, 10);
    if (seconds < 1 || seconds > kLongest) return std::nullopt;
    return std::chrono::seconds(seconds);
}

std::string packageVersion() {
    return SVCREG_VERSION;
}

}  // namespace svcreg
