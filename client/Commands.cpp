#include "Commands.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

#include "Executable.h"
#include "JsonText.h"
#include "RegistryReplies.h"
#include "RegistrySession.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"
#include "StopSignals.h"

namespace {

using Status = RegistrySession::Status;

// Built first in main, so that every thread started later leaves the signals to it.
StopSignals* stopSignals = nullptr;

int failWith(const RegistrySession& session, Status status) {
    std::fprintf(stderr, "svcreg: %s\n", session.explain(status).c_str());
    return kExitUnreachable;
}

// Opens a session, or says why not.
bool openSession(RegistrySession& session, Executable* observer) {
    std::string error;
    if (session.open(observer, error)) return true;
    std::fprintf(stderr, "svcreg: %s\n", error.c_str());
    return false;
}

using ReplyPrinter = int (*)(const ClientOptions& options, const std::string& reply);

enum class ReplyTo { Sender, OwnChannelArgument };

std::string joinArguments(const ClientOptions& options);

// Sends "<word>:<arguments>", with the client's own channel as a last argument for the
// commands that name their reply channel, and prints the reply.
int askAndPrint(const ClientOptions& options, const char* word, ReplyTo replyTo,
                ReplyPrinter print) {
    RegistrySession session(options);
    if (!openSession(session, nullptr)) return kExitUnreachable;
    std::string reply;
    std::string request = std::string(word) + ":" + joinArguments(options);
    if (replyTo == ReplyTo::OwnChannelArgument) request += "," + session.ownChannel();
    const Status status = session.ask(request, reply);
    if (status != Status::Answered) return failWith(session, status);
    return print(options, reply);
}

int tellAndConfirm(const ClientOptions& options, const std::string& request) {
    RegistrySession session(options);
    if (!openSession(session, nullptr)) return kExitUnreachable;
    const Status status = session.tell(request);
    return status == Status::Answered ? kExitDone : failWith(session, status);
}

int printNotFound(const ClientOptions& options, const std::string& name) {
    if (options.json) {
        std::printf("{\"interface\":%s,\"found\":false}\n", jsonString(name).c_str());
    } else {
        std::fprintf(stderr, "svcreg: '%s' not found\n", name.c_str());
    }
    return kExitNotFound;
}

int printFound(const ClientOptions& options, const std::string& reply) {
    const std::string& ifc = options.arguments[0];
    std::string channel;
    if (!parseFoundChannel(reply, channel)) return printNotFound(options, ifc);
    if (options.json) {
        std::printf("{\"interface\":%s,\"found\":true,\"channel\":%s}\n", jsonString(ifc).c_str(),
                    jsonString(channel).c_str());
    } else {
        std::printf("%s\n", channel.c_str());
    }
    return kExitDone;
}

int printServiceId(const ClientOptions& options, const std::string& reply) {
    const std::string& ifc = options.arguments[0];
    long id = 0;
    if (!parseServiceId(reply, id)) return printNotFound(options, ifc);
    if (options.json) {
        std::printf("{\"interface\":%s,\"found\":true,\"svcId\":%ld}\n", jsonString(ifc).c_str(),
                    id);
    } else {
        std::printf("%ld\n", id);
    }
    return kExitDone;
}

int printChannelList(const ClientOptions& options, const std::string& reply) {
    const std::vector<std::string> channels = parseChannelList(reply);
    if (options.json) {
        std::string list;
        for (const std::string& channel : channels) {
            list += (list.empty() ? "" : ",") + jsonString(channel);
        }
        std::printf("{\"interface\":%s,\"channels\":[%s]}\n",
                    jsonString(options.arguments[0]).c_str(), list.c_str());
    } else {
        for (const std::string& channel : channels) std::printf("%s\n", channel.c_str());
    }
    return channels.empty() ? kExitNotFound : kExitDone;
}

int printDetails(const ClientOptions& options, const std::string& reply) {
    std::string json;
    for (const ServiceRecord& record : parseDetailsList(reply)) {
        if (options.json) {
            json += std::string(json.empty() ? "" : ",") +
                    "{\"interface\":" + jsonString(record.ifc) +
                    ",\"svcId\":" + std::to_string(record.svcId) +
                    ",\"channel\":" + jsonString(record.channel) + "}";
        } else {
            std::printf("%s\t%ld\t%s\n", record.ifc.c_str(), record.svcId, record.channel.c_str());
        }
    }
    if (options.json) std::printf("[%s]\n", json.c_str());
    return kExitDone;
}

int printCreator(const ClientOptions& options, const std::string& reply) {
    const std::string& ifc = options.arguments[0];
    CreatorRecord creator;
    if (!parseCreator(reply, creator)) return printNotFound(options, ifc);
    if (options.json) {
        std::printf("{\"interface\":%s,\"found\":true,\"lib\":%s,\"creatorFn\":%s}\n",
                    jsonString(ifc).c_str(), jsonString(creator.lib).c_str(),
                    jsonString(creator.creatorFn).c_str());
    } else {
        std::printf("%s %s\n", creator.lib.c_str(), creator.creatorFn.c_str());
    }
    return kExitDone;
}

std::string joinArguments(const ClientOptions& options) {
    std::string joined;
    for (const std::string& argument : options.arguments) {
        joined += (joined.empty() ? "" : ",") + argument;
    }
    return joined;
}

int runReg(const ClientOptions& o) {
    return tellAndConfirm(o, "reg:" + joinArguments(o));
}
int runDereg(const ClientOptions& o) {
    return tellAndConfirm(o, "dereg:" + joinArguments(o));
}
int runRegInvoker(const ClientOptions& o) {
    return tellAndConfirm(o, "reg_invoker:" + joinArguments(o));
}
int runRegProxy(const ClientOptions& o) {
    return tellAndConfirm(o, "reg_proxy:" + joinArguments(o));
}

int runFind(const ClientOptions& o) {
    return askAndPrint(o, "find", ReplyTo::OwnChannelArgument, printFound);
}
int runFindSvcId(const ClientOptions& o) {
    return askAndPrint(o, "find_svc_id", ReplyTo::Sender, printServiceId);
}
int runGetList(const ClientOptions& o) {
    return askAndPrint(o, "getlist", ReplyTo::OwnChannelArgument, printChannelList);
}
int runDetails(const ClientOptions& o) {
    return askAndPrint(o, "get_service_details_list", ReplyTo::Sender, printDetails);
}
int runFindInvoker(const ClientOptions& o) {
    return askAndPrint(o, "find_invoker", ReplyTo::Sender, printCreator);
}
int runFindProxy(const ClientOptions& o) {
    return askAndPrint(o, "find_proxy", ReplyTo::Sender, printCreator);
}

using ChannelOperation = bool (ServiceRegistryIfc::*)(const std::string&, const std::string&);

int callRemotely(const ClientOptions& options, ChannelOperation operation, const char* done) {
    RegistrySession session(options);
    if (!openSession(session, nullptr)) return kExitUnreachable;
    const bool accepted =
        (session.remoteRegistry().*operation)(options.arguments[0], options.arguments[1]);
    const Status status = session.lastRemoteStatus();
    if (status != Status::Answered) return failWith(session, status);
    std::printf("%s\n", accepted ? done : "refused");
    return accepted ? kExitDone : kExitNotFound;
}

int runRegister(const ClientOptions& o) {
    return callRemotely(o, &ServiceRegistryIfc::registerSvcInterface, "registered");
}
int runDeregister(const ClientOptions& o) {
    return callRemotely(o, &ServiceRegistryIfc::deregisterSvcInterfaces, "deregistered");
}

// Receives the registry's notifications in this process, on the session's worker thread.
class Announcements final : public Executable, public ServiceRegistryObserverIfc {
public:
    Announcements(bool json, std::string awaited) : json(json), awaited(std::move(awaited)) {}

    void init(Context&) override {}
    void shutdown() override {}

    void newServiceIfcRegistered(std::string ifc) override {
        if (awaited.empty()) {
            if (json) {
                std::printf("{\"interface\":%s}\n", jsonString(ifc).c_str());
            } else {
                std::printf("%s\n", ifc.c_str());
            }
            std::fflush(stdout);
        } else if (ifc == awaited) {
            seen = true;
            stopSignals->notify();
        }
    }

    bool awaitedSeen() const { return seen; }

private:
    const bool json;
    const std::string awaited;  // empty when every announcement is printed
    std::atomic<bool> seen{false};
};

// Subscribes, waits as told, and unsubscribes again.
int watchAnnouncements(const ClientOptions& options, Announcements& announcements,
                       const std::function<void()>& wait) {
    RegistrySession session(options);
    if (!openSession(session, &announcements)) return kExitUnreachable;
    ServiceRegistryIfc& registry = session.remoteRegistry();
    if (!registry.subscribeStartupEvents(&announcements)) {
        const Status status = session.lastRemoteStatus();
        if (status != Status::Answered) return failWith(session, status);
        std::fprintf(stderr, "svcreg: the registry refused the subscription\n");
        return kExitNotFound;
    }
    wait();
    registry.unsubscribeStartupEvents(&announcements);
    return kExitDone;
}

int runWatch(const ClientOptions& o) {
    Announcements printer(o.json, std::string());
    return watchAnnouncements(o, printer, [] { stopSignals->waitForStop(); });
}

// The subscription replays what is registered already, so a registration made at any time
// before or after it is seen.
int runWait(const ClientOptions& o) {
    Announcements waiter(o.json, o.arguments[0]);
    const auto deadline = std::chrono::steady_clock::now() + o.waitTimeout;
    const int code = watchAnnouncements(
        o, waiter, [&] { stopSignals->waitUntil(deadline, [&] { return waiter.awaitedSeen(); }); });
    if (code != kExitDone) return code;
    if (waiter.awaitedSeen()) return kExitDone;
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
         runRegInvoker,
         true},
        {"find-invoker",
         {"IFC", "PROTOCOL"},
         "print the library and creator of IFC's invoker for PROTOCOL",
         runFindInvoker,
         true},
        {"reg-proxy",
         {"LIB", "CREATOR", "IFC", "PROTOCOL"},
         "register the proxy creator of IFC",
         runRegProxy,
         true},
        {"find-proxy", {"IFC"}, "print the library and creator of IFC's proxy", runFindProxy, true},
        {"register",
         {"IFCS", "CHANNEL"},
         "as reg, by a remote method call that says whether it was accepted",
         runRegister},
        {"deregister", {"IFCS", "CHANNEL"}, "as dereg, by a remote method call", runDeregister},
        {"watch",
         {},
         "print each interface as it is registered, those already registered first, until Ctrl-C",
         runWatch},
        {"wait",
         {"IFC"},
         "return once IFC is registered; fail after --timeout seconds (default 10)",
         runWait},
    };
    return table;
}

}  // namespace

void useStopSignals(StopSignals& signals) {
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
           "  --runtime-dir DIR      where channel sockets live\n"
           "                         (default: $XDG_RUNTIME_DIR/svcreg, else /tmp/svcreg-<uid>)\n"
           "  --channel NAME         the registry's channel (default: svcreg)\n"
           "  --library PATH         the registry library (default: beside svcreg, else the "
           "system's)\n"
           "  --reply-timeout S      seconds to wait for each reply (default: 5)\n"
           "  --timeout S            seconds wait waits for its interface (default: 10)\n"
           "  --json                 print lookups, lists and announcements as JSON\n"
           "  -v, --verbose          log more; repeat for more detail\n"
           "  -h, --help             show this help, or a command's with the command\n"
           "\nExit codes: 0 done, 1 not found, refused or timed out waiting, 2 usage,\n"
           "3 no registry reachable or no reply in time.\n";
}
