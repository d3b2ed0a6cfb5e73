#include "Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "JsonText.h"
#include "Logging.h"
#include "RegistryTextProtocol.h"
#include "ServiceRegistry/RegistryClient.h"
#include "ServiceRegistry/StopSignals.h"

namespace {

using svcreg::ClientStatus;
using svcreg::RegistryClient;

// Built first in main, so that every thread started later leaves the signals to it.
svcreg::StopSignals* stopSignals = nullptr;

svcreg::ClientOptions apiOptions(const ClientOptions& options, std::chrono::milliseconds timeout) {
    svcreg::ClientOptions api;
    api.runtimeDirectory = options.runtimeDirectory;
    api.registryChannel = options.registryChannel;
    api.library = options.library;
    api.timeout = timeout;
    return api;
}

// A client with its channel open, or null after saying why not.
std::unique_ptr<RegistryClient> openClient(const ClientOptions& options) {
    auto client = std::make_unique<RegistryClient>(apiOptions(options, options.replyTimeout));
    std::string error;
    if (client->open(error)) return client;
    std::fprintf(stderr, "svcreg: %s\n", error.c_str());
    return nullptr;
}

int printNotFound(const ClientOptions& options) {
    const std::string& name = options.arguments[0];
    if (options.json) {
        std::printf("{\"interface\":%s,\"found\":false}\n", jsonString(name).c_str());
    } else {
        std::fprintf(stderr, "svcreg: '%s' not found\n", name.c_str());
    }
    return kExitNotFound;
}

// The exit code of a request that did not end Done, after saying why.
int failure(const ClientOptions& options, const RegistryClient& client, ClientStatus status) {
    switch (status) {
        case ClientStatus::NotFound:
            return printNotFound(options);
        case ClientStatus::Refused: {
            std::printf("refused\n");
            const std::string reason = client.explain(status);
            if (reason != "refused") std::fprintf(stderr, "svcreg: %s\n", reason.c_str());
            return kExitNotFound;
        }
        default:
            std::fprintf(stderr, "svcreg: %s\n", client.explain(status).c_str());
            return kExitUnreachable;
    }
}

// Opens a client, runs request on it and, when it ends Done, print.
int run(const ClientOptions& options, const std::function<ClientStatus(RegistryClient&)>& request,
        const std::function<void()>& print) {
    const std::unique_ptr<RegistryClient> client = openClient(options);
    if (client == nullptr) return kExitUnreachable;
    const ClientStatus status = request(*client);
    if (status != ClientStatus::Done) return failure(options, *client, status);
    print();
    return kExitDone;
}

std::string joinArguments(const ClientOptions& options) {
    std::string joined;
    for (const std::string& argument : options.arguments) {
        joined += (joined.empty() ? "" : ",") + argument;
    }
    return joined;
}

// Text commands that get no reply: register and deregister.
int tellCommand(const ClientOptions& options, const char* word) {
    const std::string command = std::string(word) + ":" + joinArguments(options);
    return run(
        options, [&](RegistryClient& client) { return client.tell(command); }, [] {});
}

int runReg(const ClientOptions& o) {
    return tellCommand(o, RegistryText::kRegister);
}
int runDereg(const ClientOptions& o) {
    return tellCommand(o, RegistryText::kDeregister);
}

int runFind(const ClientOptions& o) {
    const std::string& ifc = o.arguments[0];
    std::string channel;
    return run(
        o, [&](RegistryClient& client) { return client.find(ifc, channel); },
        [&] {
            if (o.json) {
                std::printf("{\"interface\":%s,\"found\":true,\"channel\":%s}\n",
                            jsonString(ifc).c_str(), jsonString(channel).c_str());
            } else {
                std::printf("%s\n", channel.c_str());
            }
        });
}

int runFindSvcId(const ClientOptions& o) {
    const std::string& ifc = o.arguments[0];
    long id = 0;
    return run(
        o, [&](RegistryClient& client) { return client.findServiceId(ifc, id); },
        [&] {
            if (o.json) {
                std::printf("{\"interface\":%s,\"found\":true,\"svcId\":%ld}\n",
                            jsonString(ifc).c_str(), id);
            } else {
                std::printf("%ld\n", id);
            }
        });
}

// An empty list is printed too, then ends with "not found".
int runGetList(const ClientOptions& o) {
    const std::unique_ptr<RegistryClient> client = openClient(o);
    if (client == nullptr) return kExitUnreachable;
    const std::string& ifc = o.arguments[0];
    std::vector<std::string> channels;
    const ClientStatus status = client->list(ifc, channels);
    if (status != ClientStatus::Done && status != ClientStatus::NotFound) {
        return failure(o, *client, status);
    }
    if (o.json) {
        std::string list;
        for (const std::string& channel : channels) {
            list += (list.empty() ? "" : ",") + jsonString(channel);
        }
        std::printf("{\"interface\":%s,\"channels\":[%s]}\n", jsonString(ifc).c_str(),
                    list.c_str());
    } else {
        for (const std::string& channel : channels) std::printf("%s\n", channel.c_str());
    }
    return channels.empty() ? kExitNotFound : kExitDone;
}

int runDetails(const ClientOptions& o) {
    std::vector<svcreg::ServiceRecord> records;
    return run(
        o, [&](RegistryClient& client) { return client.details(records); },
        [&] {
            std::string json;
            for (const svcreg::ServiceRecord& record : records) {
                if (o.json) {
                    json += std::string(json.empty() ? "" : ",") +
                            "{\"interface\":" + jsonString(record.ifc) +
                            ",\"svcId\":" + std::to_string(record.svcId) +
                            ",\"channel\":" + jsonString(record.channel) + "}";
                } else {
                    std::printf("%s\t%ld\t%s\n", record.ifc.c_str(), record.svcId,
                                record.channel.c_str());
                }
            }
            if (o.json) std::printf("[%s]\n", json.c_str());
        });
}

void printCreator(const ClientOptions& o, const svcreg::CreatorRecord& creator) {
    if (o.json) {
        std::printf("{\"interface\":%s,\"found\":true,\"lib\":%s,\"creatorFn\":%s}\n",
                    jsonString(o.arguments[0]).c_str(), jsonString(creator.lib).c_str(),
                    jsonString(creator.creatorFn).c_str());
    } else {
        std::printf("%s %s\n", creator.lib.c_str(), creator.creatorFn.c_str());
    }
}

int runFindInvoker(const ClientOptions& o) {
    svcreg::CreatorRecord creator;
    return run(
        o,
        [&](RegistryClient& client) {
            return client.findInvoker(o.arguments[0], o.arguments[1], creator);
        },
        [&] { printCreator(o, creator); });
}

int runFindProxy(const ClientOptions& o) {
    svcreg::CreatorRecord creator;
    return run(
        o, [&](RegistryClient& client) { return client.findProxy(o.arguments[0], creator); },
        [&] { printCreator(o, creator); });
}

int runRegInvoker(const ClientOptions& o) {
    const auto& a = o.arguments;
    return run(
        o, [&](RegistryClient& client) { return client.registerInvoker(a[0], a[1], a[2], a[3]); },
        [] {});
}

int runRegProxy(const ClientOptions& o) {
    const auto& a = o.arguments;
    return run(
        o, [&](RegistryClient& client) { return client.registerProxy(a[0], a[1], a[2], a[3]); },
        [] {});
}

int runRegister(const ClientOptions& o) {
    return run(
        o,
        [&](RegistryClient& client) {
            return client.registerInterfaces(o.arguments[0], o.arguments[1]);
        },
        [] { std::printf("registered\n"); });
}

int runDeregister(const ClientOptions& o) {
    return run(
        o,
        [&](RegistryClient& client) {
            return client.deregisterInterfaces(o.arguments[0], o.arguments[1]);
        },
        [] { std::printf("deregistered\n"); });
}

const char* eventWord(svcreg::RegistryEvent::Kind kind) {
    switch (kind) {
        case svcreg::RegistryEvent::Kind::Replayed:
            return "replay";
        case svcreg::RegistryEvent::Kind::Registered:
            return "registered";
        case svcreg::RegistryEvent::Kind::Removed:
            return "removed";
        case svcreg::RegistryEvent::Kind::Lost:
            return "lost";
        case svcreg::RegistryEvent::Kind::Restarted:
            break;
    }
    return "restarted";
}

// One line per event: time, event, then interface, channel and service id, tab-separated; or
// the same as a JSON object. A registry that went away is told on standard error.
void printEvent(const ClientOptions& o, const svcreg::RegistryEvent& event) {
    using Kind = svcreg::RegistryEvent::Kind;
    if (event.kind == Kind::Lost) {
        std::fprintf(stderr,
                     "svcreg: the registry at channel '%s' has gone; watching again once it is "
                     "back\n",
                     o.registryChannel.c_str());
        return;
    }
    const svcreg::ServiceRecord& entry = event.entry;
    const bool aboutEntry = event.kind != Kind::Restarted;
    if (o.json) {
        std::printf("{\"time\":\"%s\",\"event\":\"%s\"", logTimestamp().c_str(),
                    eventWord(event.kind));
        if (aboutEntry) {
            std::printf(",\"interface\":%s,\"channel\":%s,\"svcId\":%ld",
                        jsonString(entry.ifc).c_str(), jsonString(entry.channel).c_str(),
                        entry.svcId);
        }
        std::printf("}\n");
    } else if (aboutEntry) {
        std::printf("%s\t%s\t%s\t%s\t%ld\n", logTimestamp().c_str(), eventWord(event.kind),
                    entry.ifc.c_str(), entry.channel.c_str(), entry.svcId);
    } else {
        std::printf("%s\t%s\n", logTimestamp().c_str(), eventWord(event.kind));
    }
    std::fflush(stdout);
}

int runWatch(const ClientOptions& o) {
    return run(
        o,
        [&](RegistryClient& client) {
            const ClientStatus status =
                client.watch([&o](const svcreg::RegistryEvent& event) { printEvent(o, event); });
            if (status != ClientStatus::Done) return status;
            stopSignals->waitForStop();
            client.unwatch();  // a registry that has gone has forgotten the watch already
            return ClientStatus::Done;
        },
        [] {});
}

int runWait(const ClientOptions& o) {
    const std::unique_ptr<RegistryClient> client = openClient(o);
    if (client == nullptr) return kExitUnreachable;
    stopSignals->whenStopped([&client] { client->interrupt(); });
    const ClientStatus status = client->waitFor(o.arguments[0], o.waitTimeout);
    stopSignals->whenStopped(nullptr);
    if (status == ClientStatus::Done || status == ClientStatus::Interrupted) return kExitDone;
    if (status != ClientStatus::NotFound) return failure(o, *client, status);
    std::fprintf(stderr, "svcreg: '%s' was not registered within %lld ms\n", o.arguments[0].c_str(),
                 static_cast<long long>(o.waitTimeout.count()));
    return kExitNotFound;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"reg",
         {"IFCS", "CHANNEL"},
         "register the interfaces IFCS (one argument, names separated by spaces) at CHANNEL",
         runReg,
         true},
        {"dereg",
         {"IFCS", "CHANNEL"},
         "deregister the interfaces IFCS from CHANNEL",
         runDereg,
         true},
        {"find", {"IFC"}, "print the channel of the first registration of IFC", runFind, true},
        {"find-svc-id",
         {"IFC"},
         "print the service id of the first registration of IFC",
         runFindSvcId,
         true},
        {"getlist", {"IFC"}, "print every channel IFC is registered at", runGetList, true},
        {"details",
         {},
         "print every registered interface with its service id and channel",
         runDetails,
         true},
        {"reg-invoker",
         {"LIB", "CREATOR", "IFC", "PROTOCOL"},
         "register the invoker creator of IFC for PROTOCOL",
         runRegInvoker},
        {"find-invoker",
         {"IFC", "PROTOCOL"},
         "print the library and creator of IFC's invoker for PROTOCOL",
         runFindInvoker,
         true},
        {"reg-proxy",
         {"LIB", "CREATOR", "IFC", "PROTOCOL"},
         "register the proxy creator of IFC",
         runRegProxy},
        {"find-proxy", {"IFC"}, "print the library and creator of IFC's proxy", runFindProxy, true},
        {"register",
         {"IFCS", "CHANNEL"},
         "as reg, by a remote method call that says whether it was accepted",
         runRegister},
        {"deregister", {"IFCS", "CHANNEL"}, "as dereg, by a remote method call", runDeregister},
        {"watch", {}, "print the entries, then each change, until Ctrl-C (see below)", runWatch},
        {"wait",
         {"IFC"},
         "return once IFC is registered, whenever the registry comes; fail after --timeout",
         runWait},
    };
    return table;
}

}  // namespace

void useStopSignals(svcreg::StopSignals& signals) {
    stopSignals = &signals;
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands()) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

std::string commandUsage(const Command& command) {
    std::string usage = std::string("Usage: svcreg [options] ") + command.name;
    for (const char* parameter : command.parameters) usage += std::string(" ") + parameter;
    return usage + "\n" + command.summary + ".\n";
}

std::string clientUsage() {
    std::string usage =
        "Usage: svcreg [options] COMMAND [ARGUMENTS]\n"
        "Talks to the service registry daemon.\n\nCommands:\n";
    for (const Command& command : commands()) {
        std::string line = std::string("  ") + command.name;
        for (const char* parameter : command.parameters) line += std::string(" ") + parameter;
        line.resize(std::max<std::size_t>(line.size() + 1, 36), ' ');
        usage += line + command.summary + "\n";
    }
    return usage +
           "\nOptions:\n"
           "  --runtime-dir DIR      where channel sockets live (default:\n"
           "                         $SVCREG_RUNTIME_DIR, else /run/svcreg when it exists,\n"
           "                         else $XDG_RUNTIME_DIR/svcreg, else /tmp/svcreg-<uid>)\n"
           "  --channel NAME         the registry's channel (default: svcreg)\n"
           "  --library PATH         the registry library (default: beside svcreg, else the "
           "system's)\n"
           "  --reply-timeout S      seconds to wait for each reply (default: 5)\n"
           "  --timeout S            seconds wait waits for its interface (default: 10)\n"
           "  --json                 print lookups, lists and events as JSON\n"
           "  -v, --verbose          log more; repeat for more detail\n"
           "  -h, --help             show this help, or a command's with the command\n"
           "\nwatch prints one line per event: the time (UTC), the event (replay, registered,\n"
           "removed, restarted), then the interface, channel and service id, tab-separated;\n"
           "with --json, a JSON object per line. When the registry goes away it says so on\n"
           "standard error and watches again once one is back: 'restarted', then its replay.\n"
           "\nExit codes: 0 done, 1 not found, refused or timed out waiting, 2 usage,\n"
           "3 no registry reachable, access denied, registry not trusted, or no reply in time.\n"
           "\nThe client trusts a registry run by root, by its own user or by the user\n"
           "$SVCREG_REGISTRY_USER names (default: svcreg), and no other.\n";
}
