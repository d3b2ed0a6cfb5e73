#include "ServiceRegistry/Defaults.h"

#include <cstdlib>

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

std::string packageVersion() {
    return SVCREG_VERSION;
}

}  // namespace svcreg
