#include "ServiceRegistry/Defaults.h"

#include "RuntimeDirectory.h"
#include "ServiceRegistry/RegistryLibrary.h"

namespace svcreg {

std::string defaultRuntimeDirectory() {
    return RuntimeDirectory::defaultPath();
}

std::string defaultRegistryLibrary() {
    return RegistryLibrary::defaultPath();
}

}  // namespace svcreg
