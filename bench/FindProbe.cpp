// A client that looks names up through RegistryClient::find a given number of times, for
// counting what the finds cost in system calls: run it under strace -c -f with 0 finds and with
// many (scripts/count-find-syscalls.sh does), and what the second run makes beyond the first is
// the finds' own. Both runs make the same setup: the library loaded, the client's channel
// served, and one find, which fetches and maps the daemon's shared table.
//
//     find_probe --fill RUNTIME_DIR NAMES    registers names 0 .. NAMES-1, each at its own channel
//     find_probe RUNTIME_DIR NAMES FINDS     the setup, then FINDS finds spread over the names

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchTables.h"
#include "Processes.h"
#include "ServiceRegistry/RegistryClient.h"

using namespace svcreg;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: find_probe --fill RUNTIME_DIR NAMES\n"
                 "       find_probe RUNTIME_DIR NAMES FINDS\n");
    return 2;
}

bool opened(RegistryClient& client) {
    const Outcome open = client.open();
    if (!open) std::fprintf(stderr, "find_probe: %s\n", open.reason().c_str());
    return static_cast<bool>(open);
}

// Waits for the daemon to answer, then registers the names that are not there yet.
int fill(RegistryClient& client, int names) {
    if (!eventually([&] { return client.find(interfaceName(0)) != Status::Unreachable; })) {
        std::fprintf(stderr, "find_probe: no registry answers\n");
        return 1;
    }
    for (int i = 0; i < names; ++i) {
        if (client.find(interfaceName(i))) continue;
        const Outcome registered = client.reg({interfaceName(i)}, channelName(i));
        if (!registered) {
            std::fprintf(stderr, "find_probe: %s\n", registered.reason().c_str());
            return 1;
        }
    }
    std::printf("find_probe: %d names registered\n", names);
    return 0;
}

int findMany(RegistryClient& client, int names, long finds) {
    LookupCycle lookups(names);
    if (client.find(interfaceName(0)).value() != channelName(0)) {
        std::fprintf(stderr, "find_probe: %s is not registered\n", interfaceName(0).c_str());
        return 1;
    }
    long found = 0;
    for (long i = 0; i < finds; ++i) {
        const std::string& name = lookups.next();
        const Result<std::string> channel = client.find(name);
        // Each name is at the channel of its number: channel000012 for com.example.Ifc000012.
        if (channel && channel->compare(7, std::string::npos, name, 15) == 0) ++found;
    }
    std::printf("find_probe: %ld finds of %d names, %ld found\n", finds, names, found);
    return found == finds ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const bool filling = !arguments.empty() && arguments[0] == "--fill";
    if (arguments.size() != 3) return usage();
    ClientOptions options;
    options.runtimeDirectory = arguments[filling ? 1 : 0];
    options.library = SERVICE_REGISTRY_LIBRARY;
    const int names = std::atoi(arguments[filling ? 2 : 1].c_str());
    if (names <= 0) return usage();
    RegistryClient client(options);
    if (!opened(client)) return 1;
    if (filling) return fill(client, names);
    return findMany(client, names, std::atol(arguments[2].c_str()));
}
