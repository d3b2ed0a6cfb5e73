#include "ServiceRegistry/RegistryLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace svcreg {

namespace {

template <typename Factory>
bool findFactory(void* library, const std::string& path, const char* symbol, Factory& factory,
                 std::string& error) {
    void* found = dlsym(library, symbol);
    if (found == nullptr) {
        error = "'" + path + "' has no symbol '" + symbol + "'";
        return false;
    }
    factory = reinterpret_cast<Factory>(found);
    return true;
}

}  // namespace

std::string RegistryLibrary::defaultPath() {
    char executable[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof(executable) - 1);
    if (length > 0) {
        std::string path(executable, static_cast<std::size_t>(length));
        path = path.substr(0, path.rfind('/') + 1) + kFileName;
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    return kFileName;
}

Outcome RegistryLibrary::load(const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        return Outcome(Status::CannotStart, "cannot load '" + path + "': " +
                                                (reason != nullptr ? reason : "unknown error"));
    }
    std::string error;
    const bool found =
        findFactory(library, path, "createServiceRegistry", createServiceRegistry, error) &&
        findFactory(library, path, "createServiceRegistryInvoker", createServiceRegistryInvoker,
                    error) &&
        findFactory(library, path, "createServiceRegistryProxy", createServiceRegistryProxy,
                    error) &&
        findFactory(library, path, "createServiceRegistryObserverProxy",
                    createServiceRegistryObserverProxy, error) &&
        findFactory(library, path, "createServiceRegistryObserverInvoker",
                    createServiceRegistryObserverInvoker, error);
    if (!found) return Outcome(Status::CannotStart, error);
    return Outcome();
}

}  // namespace svcreg
