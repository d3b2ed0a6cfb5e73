#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "CommandLine.h"
#include "Help.h"
#include "Json.h"
#include "Logging.h"
#include "Output.h"
#include "RegistryTextProtocol.h"
#include "ServiceRegistry/RegistryClient.h"
#include "ServiceRegistry/StopSignals.h"
#include "Table.h"

namespace {

using svcreg::RegistryClient;
using svcreg::Status;

// Built first in main, so that every thread started later leaves the signals to it.
svcreg::StopSignals* stopSignals = nullptr;

svcreg::ClientOptions apiOptions(const ClientOptions& options) {
    svcreg::ClientOptions api;
    api.runtimeDirectory = options.runtimeDirectory;
    api.registryChannel = options.registryChannel;
    api.library = options.library;
    api.timeout = options.replyTimeout;
    return api;
}

// What a status is called in JSON, and the exit code it ends svcreg with.
struct FailureKind {
    const char* error;
    int exitCode;
};

FailureKind failureKindOf(Status status) {
    switch (status) {
        case Status::NotFound:
            return {"notFound", kExitNotFound};
        case Status::Refused:
            return {"refused", kExitNotFound};
        case Status::Invalid:
            return {"invalid", kExitUsage};
        case Status::Interrupted:
            return {"interrupted", kExitInterrupted};
        case Status::NoReply:
            return {"noReply", kExitUnreachable};
        case Status::Unconfirmed:
            return {"unconfirmed", kExitUnreachable};
        case Status::ConnectionLost:
            return {"connectionLost", kExitUnreachable};
        case Status::Forbidden:
            return {"forbidden", kExitUnreachable};
        case Status::Untrusted:
            return {"untrusted", kExitUnreachable};
        case Status::InsideWatch:
            return {"insideWatch", kExitUnreachable};
        case Status::CannotStart:
            return {"cannotStart", kExitCannotStart};
        case Status::Done:
        case Status::Unreachable:
        case Status::Busy:
            break;
    }
    return {"unreachable", kExitUnreachable};
}

// The exit code of a request that did not end done, after saying why: on standard error, or
// as JSON on standard output. A refusal is also said on standard output, as the registry's
// text replies say it.
int failure(const ClientOptions& options, const svcreg::Outcome& outcome) {
    const FailureKind kind = failureKindOf(outcome.status());
    if (!options.json && outcome == Status::Refused) std::printf("refused\n");
    return reportFailure(options, kind.error, outcome.reason(), kind.exitCode);
}

// A client with its channel open, or null after saying why not.
std::unique_ptr<RegistryClient> openClient(const ClientOptions& options, int& exitCode) {
    auto client = std::make_unique<RegistryClient>(apiOptions(options));
    const svcreg::Outcome opened = client->open();
    if (opened) return client;
    exitCode = failure(options, opened);
    return nullptr;
}

// result's value into value; result as an Outcome.
template <typename T>
svcreg::Outcome kept(svcreg::Result<T> result, T& value) {
    value = std::move(result).value();
    return std::move(result);
}

// The interface names an IFCS argument holds, separated by spaces.
std::vector<std::string> namesIn(const std::string& names) {
    std::vector<std::string> split;
    std::size_t at = 0;
    while ((at = names.find_first_not_of(' ', at)) != std::string::npos) {
        const std::size_t end = std::min(names.find(' ', at), names.size());
        split.push_back(names.substr(at, end - at));
        at = end;
    }
    return split;
}

Json arrayOf(const std::vector<std::string>& texts) {
    Json array = Json::array();
    for (const std::string& text : texts) array.add(text);
    return array;
}

// The name an argument has in JSON output, as lookups name what they print.
std::string jsonKey(const std::string& parameter) {
    if (parameter == "IFCS") return "interfaces";
    if (parameter == "IFC") return "interface";
    if (parameter == "CREATOR") return "creatorFn";
    std::string key = parameter;
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    return key;
}

// The command with its arguments by name, for a JSON answer; the interface names as a list.
Json requestJson(const ClientOptions& o) {
    const Command& command = *findCommand(o.command);
    Json json = Json::object().set("command", o.command);
    for (std::size_t i = 0; i < o.arguments.size(); ++i) {
        const std::string key = jsonKey(command.parameters[i]);
        json.set(key, key == "interfaces" ? arrayOf(namesIn(o.arguments[i])) : o.arguments[i]);
    }
    return json;
}

// Opens a client, runs request on it and, when it ends done, print.
int run(const ClientOptions& options,
        const std::function<svcreg::Outcome(RegistryClient&)>& request,
        const std::function<void()>& print) {
    int exitCode = kExitDone;
    const std::unique_ptr<RegistryClient> client = openClient(options, exitCode);
    if (client == nullptr) return exitCode;
    const svcreg::Outcome outcome = request(*client);
    if (!outcome) return failure(options, outcome);
    print();
    return kExitDone;
}

// "registered", or the change as JSON with "done" (and the service id it got, when known).
void printChange(const ClientOptions& o, const char* done, svcreg::ServiceId svcId = 0) {
    if (!o.json) return (void)std::printf("%s\n", done);
    Json json = requestJson(o).set("done", true);
    if (svcId != 0) json.set("svcId", Json::number(svcId));
    printJson(o, json);
}

// The service id a text registration of ifc at channel just got: the text command has no
// answer, but the newest entry of ifc there is the one it made. 0 when the lookup fails.
svcreg::ServiceId newestId(RegistryClient& client, const std::string& ifc,
                           const std::string& channel) {
    svcreg::ServiceId newest = 0;
    for (const svcreg::ServiceRecord& entry : client.details().value()) {
        if (entry.ifc == ifc && entry.channel == channel) newest = std::max(newest, entry.svcId);
    }
    return newest;
}

int runReg(const ClientOptions& o) {
    const std::vector<std::string> names = namesIn(o.arguments[0]);
    svcreg::ServiceId svcId = 0;
    return run(
        o,
        [&](RegistryClient& client) {
            const svcreg::Outcome made = client.reg(names, o.arguments[1]);
            if (made && o.json) svcId = newestId(client, names.front(), o.arguments[1]);
            return made;
        },
        [&] { printChange(o, "registered", svcId); });
}

// The names of ifcs without an entry at channel, into missing, from the table's entries: any
// name, a comma in it too, is looked for. Fails as the lookup does.
svcreg::Outcome lookForMissing(RegistryClient& client, const std::vector<std::string>& ifcs,
                               const std::string& channel, std::vector<std::string>& missing) {
    const svcreg::Result<std::vector<svcreg::ServiceRecord>> entries = client.details();
    if (!entries && entries != Status::NotFound) return entries;
    std::set<std::string> present;
    for (const svcreg::ServiceRecord& entry : entries.value()) {
        if (entry.channel == channel) present.insert(entry.ifc);
    }
    for (const std::string& ifc : ifcs) {
        if (present.count(ifc) == 0) missing.push_back(ifc);
    }
    return svcreg::Outcome();
}

// A deregistration, which the registry answers the same whether or not there was anything to
// remove: the names without an entry at the channel are looked up first, and said (NotFound).
// Nothing is sent when none has one.
int runRemoval(const ClientOptions& o,
               svcreg::Outcome (RegistryClient::*request)(const std::vector<std::string>&,
                                                          const std::string&)) {
    const std::vector<std::string> names = namesIn(o.arguments[0]);
    const std::string& channel = o.arguments[1];
    return run(
        o,
        [&](RegistryClient& client) {
            std::vector<std::string> missing;
            const svcreg::Outcome looked = lookForMissing(client, names, channel, missing);
            if (!looked) return looked;
            if (missing.size() < names.size()) {
                const svcreg::Outcome removed = (client.*request)(names, channel);
                if (!removed) return removed;
            }
            if (missing.empty()) return svcreg::Outcome();
            std::string listed;
            for (const std::string& name : missing) {
                listed += (listed.empty() ? "'" : ", '") + name + "'";
            }
            return svcreg::Outcome(Status::NotFound,
                                   "not registered at channel '" + channel + "': " + listed);
        },
        [&] { printChange(o, "deregistered"); });
}

int runDereg(const ClientOptions& o) {
    return runRemoval(o, &RegistryClient::dereg);
}

int runRegister(const ClientOptions& o) {
    svcreg::ServiceId svcId = 0;
    return run(
        o,
        [&](RegistryClient& client) {
            const svcreg::EntryOwner owner =
                o.keep ? svcreg::EntryOwner::Nobody : svcreg::EntryOwner::Caller;
            return kept(client.registerInterfaces(namesIn(o.arguments[0]), o.arguments[1], owner),
                        svcId);
        },
        [&] { printChange(o, "registered", svcId); });
}

int runDeregister(const ClientOptions& o) {
    return runRemoval(o, &RegistryClient::deregisterInterfaces);
}

int runRegInvoker(const ClientOptions& o) {
    const auto& a = o.arguments;
    return run(
        o, [&](RegistryClient& client) { return client.regInvoker(a[0], a[1], a[2], a[3]); },
        [&] { printChange(o, "registered"); });
}

int runRegProxy(const ClientOptions& o) {
    const auto& a = o.arguments;
    return run(
        o, [&](RegistryClient& client) { return client.regProxy(a[0], a[1], a[2], a[3]); },
        [&] { printChange(o, "registered"); });
}

int runFind(const ClientOptions& o) {
    const std::string& ifc = o.arguments[0];
    std::string channel;
    return run(
        o, [&](RegistryClient& client) { return kept(client.find(ifc), channel); },
        [&] {
            if (!o.json) return (void)std::printf("%s\n", shown(channel).c_str());
            printJson(
                o, Json::object().set("interface", ifc).set("found", true).set("channel", channel));
        });
}

int runFindSvcId(const ClientOptions& o) {
    const std::string& ifc = o.arguments[0];
    svcreg::ServiceId id = 0;
    return run(
        o, [&](RegistryClient& client) { return kept(client.findSvcId(ifc), id); },
        [&] {
            if (!o.json) return (void)std::printf("%lld\n", static_cast<long long>(id));
            printJson(o, Json::object()
                             .set("interface", ifc)
                             .set("found", true)
                             .set("svcId", Json::number(id)));
        });
}

int runGetList(const ClientOptions& o) {
    const std::string& ifc = o.arguments[0];
    std::vector<std::string> channels;
    return run(
        o, [&](RegistryClient& client) { return kept(client.getList(ifc), channels); },
        [&] {
            if (o.json) {
                return printJson(
                    o, Json::object().set("interface", ifc).set("channels", arrayOf(channels)));
            }
            for (const std::string& channel : channels) std::printf("%s\n", shown(channel).c_str());
        });
}

Json entryJson(const svcreg::ServiceRecord& entry) {
    return Json::object()
        .set("interface", entry.ifc)
        .set("svcId", Json::number(entry.svcId))
        .set("channel", entry.channel);
}

int runDetails(const ClientOptions& o) {
    std::vector<svcreg::ServiceRecord> records;
    return run(
        o, [&](RegistryClient& client) { return kept(client.details(), records); },
        [&] {
            Json list = Json::array();
            Table table({"INTERFACE", "ID", "CHANNEL"}, {false, true, false});
            for (const svcreg::ServiceRecord& record : records) {
                list.add(entryJson(record));
                table.add({shown(record.ifc), std::to_string(record.svcId), shown(record.channel)});
            }
            if (o.json) return printJson(o, list);
            table.print(o.legend);
        });
}

Json declaredJson(const svcreg::DeclaredService& service) {
    return Json::object()
        .set("name", service.name)
        .set("state", service.state)
        .set("reason", service.reason.empty() ? Json() : Json(service.reason))
        .set("channel", service.channel)
        .set("interfaces", arrayOf(service.interfaces))
        .set("pid", service.pid ? Json::number(*service.pid) : Json());
}

// The declared services, after a blank line, as a table of their own; nothing when there is
// none.
void printDeclared(const ClientOptions& o, const std::vector<svcreg::DeclaredService>& services) {
    if (services.empty()) return;
    Table table({"NAME", "STATE", "CHANNEL", "INTERFACES", "REASON"},
                {false, false, false, false, false});
    for (const svcreg::DeclaredService& service : services) {
        table.add({shown(service.name), shown(service.state), shown(service.channel),
                   shown(RegistryText::joinWith(service.interfaces, ' ')),
                   service.reason.empty() ? "-" : shown(service.reason)});
    }
    std::printf("\n");
    table.print(o.legend);
}

// The entries, then the declared services; as JSON, {"entries": [...], "declared": [...]}.
int runList(const ClientOptions& o) {
    std::vector<svcreg::ServiceRecord> records;
    std::vector<svcreg::DeclaredService> declared;
    return run(
        o,
        [&](RegistryClient& client) {
            const svcreg::Outcome listed = kept(client.list(), records);
            return listed ? kept(client.declaredServices(), declared) : listed;
        },
        [&] {
            Json list = Json::array();
            Table table({"INTERFACE", "ID", "CHANNEL", "DEVICE", "PID", "USER"},
                        {false, true, false, false, true, false});
            for (const svcreg::ServiceRecord& record : records) {
                const std::string device = svcreg::deviceOfChannel(record.channel);
                list.add(entryJson(record)
                             .set("device", device.empty() ? Json() : Json(device))
                             .set("pid", record.pid ? Json::number(*record.pid) : Json())
                             .set("user", record.user ? Json(*record.user) : Json()));
                table.add({shown(record.ifc), std::to_string(record.svcId), shown(record.channel),
                           shown(device), record.pid ? std::to_string(*record.pid) : "-",
                           record.user ? shown(*record.user) : "-"});
            }
            if (o.json) {
                Json services = Json::array();
                for (const svcreg::DeclaredService& service : declared) {
                    services.add(declaredJson(service));
                }
                return printJson(o, Json::object()
                                        .set("entries", std::move(list))
                                        .set("declared", std::move(services)));
            }
            table.print(o.legend);
            printDeclared(o, declared);
        });
}

bool isCount(const std::string& text) {
    return !text.empty() && text.size() < 19 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "2d 03h 04m 05s", leaving out the leading units that are zero.
std::string duration(const std::string& seconds) {
    long long left = std::atoll(seconds.c_str());
    const std::pair<long long, char> units[] = {{86400, 'd'}, {3600, 'h'}, {60, 'm'}, {1, 's'}};
    std::string text;
    for (const auto& [size, unit] : units) {
        const long long count = left / size;
        left %= size;
        if (text.empty() && count == 0 && size != 1) continue;
        char part[32];
        std::snprintf(part, sizeof(part), text.empty() ? "%lld%c" : " %02lld%c", count, unit);
        text += part;
    }
    return text;
}

// Another device of a federation, as status reports it in "peer.NAME":
// "ALIVE,LEASE_MS,ENTRIES,LAST_HEARD_MS".
struct PeerFact {
    std::string name;
    bool alive = false;
    long long leaseMs = 0, entries = 0, lastHeardMs = 0;
};

PeerFact peerOf(const std::string& name, const std::string& value) {
    PeerFact peer{name};
    const std::vector<std::string> fields = RegistryText::splitAt(value, ',');
    if (fields.size() != 4) return peer;
    peer.alive = fields[0] == "1";
    peer.leaseMs = std::atoll(fields[1].c_str());
    peer.entries = std::atoll(fields[2].c_str());
    peer.lastHeardMs = std::atoll(fields[3].c_str());
    return peer;
}

Json peerJson(const PeerFact& peer) {
    return Json::object()
        .set("name", peer.name)
        .set("alive", peer.alive)
        .set("leaseMs", Json::number(peer.leaseMs))
        .set("entries", Json::number(peer.entries))
        .set("lastHeardMs", Json::number(peer.lastHeardMs));
}

// "  B    alive, lease 2.0 s, 3 entries, last heard 0.4 s ago"
void printPeer(const PeerFact& peer) {
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    std::printf("  %-26s %s, lease %.1f s, %lld entries, last heard %.1f s ago\n",
                shown(peer.name).c_str(), peer.alive ? "alive" : "gone", peer.leaseMs / 1000.0,
                peer.entries, std::max(0ll, now - peer.lastHeardMs) / 1000.0);
}

void printPeers(const std::vector<PeerFact>& peers) {
    if (!peers.empty()) std::printf("peers:\n");
    for (const PeerFact& peer : peers) printPeer(peer);
}

// A declared service, as status reports it in "service.NAME": its state, or "failed: REASON".
Json serviceJson(const std::string& name, const std::string& value) {
    const std::string failed = "failed: ";
    const bool hasReason = value.compare(0, failed.size(), failed) == 0;
    return Json::object()
        .set("name", name)
        .set("state", hasReason ? "failed" : value)
        .set("reason", hasReason ? Json(value.substr(failed.size())) : Json());
}

// The facts in their order; a federated daemon's peer devices after its device's name, then the
// declared services, before the limits.
void printStatus(const ClientOptions& o, const svcreg::StatusReport& facts) {
    const std::string limitPrefix = "limit.", peerPrefix = "peer.", servicePrefix = "service.";
    const auto hasPrefix = [](const std::string& name, const std::string& prefix) {
        return name.compare(0, prefix.size(), prefix) == 0;
    };
    Json json = Json::object();
    Json limits = Json::object();
    Json peers = Json::array();
    Json services = Json::array();
    std::vector<PeerFact> peerFacts;
    std::vector<std::pair<std::string, std::string>> serviceFacts;
    bool federated = false;
    for (const auto& [name, value] : facts) {
        federated = federated || name == "device";
        if (hasPrefix(name, peerPrefix)) {
            peerFacts.push_back(peerOf(name.substr(peerPrefix.size()), value));
            peers.add(peerJson(peerFacts.back()));
        } else if (hasPrefix(name, servicePrefix)) {
            serviceFacts.emplace_back(name.substr(servicePrefix.size()), value);
            services.add(serviceJson(serviceFacts.back().first, value));
        }
    }
    const auto printGroups = [&] {
        printPeers(peerFacts);
        if (!serviceFacts.empty()) std::printf("services:\n");
        for (const auto& [name, value] : serviceFacts) {
            std::printf("  %-26s %s\n", shown(name).c_str(), shown(value).c_str());
        }
    };
    bool limitsBegun = false;
    for (const auto& [name, value] : facts) {
        if (hasPrefix(name, peerPrefix) || hasPrefix(name, servicePrefix)) continue;
        const bool isLimit = name.compare(0, limitPrefix.size(), limitPrefix) == 0;
        const std::string key = isLimit ? name.substr(limitPrefix.size()) : name;
        if (o.json) {
            (isLimit ? limits : json)
                .set(camelCase(key),
                     isCount(value) ? Json::number(std::atoll(value.c_str())) : Json(value));
            continue;
        }
        if (isLimit && !limitsBegun) {
            printGroups();
            std::printf("limits:\n");
        }
        limitsBegun = limitsBegun || isLimit;
        const std::string text = key == "uptime" ? duration(value) : shown(value);
        std::printf(isLimit ? "  %-26s %s\n" : "%-13s %s\n", shown(key + ":").c_str(),
                    text.c_str());
    }
    if (!o.json) {
        if (!limitsBegun) printGroups();
        return;
    }
    if (federated) json.set("peers", std::move(peers));
    printJson(o, json.set("services", std::move(services)).set("limits", std::move(limits)));
}

int runStatus(const ClientOptions& o) {
    svcreg::StatusReport facts;
    return run(
        o, [&](RegistryClient& client) { return kept(client.status(), facts); },
        [&] { printStatus(o, facts); });
}

void printCreator(const ClientOptions& o, const svcreg::CreatorRecord& creator) {
    if (!o.json)
        return (void)std::printf("%s %s\n", shown(creator.lib).c_str(),
                                 shown(creator.creatorFn).c_str());
    printJson(o, Json::object()
                     .set("interface", o.arguments[0])
                     .set("found", true)
                     .set("lib", creator.lib)
                     .set("creatorFn", creator.creatorFn));
}

int runFindInvoker(const ClientOptions& o) {
    svcreg::CreatorRecord creator;
    return run(
        o,
        [&](RegistryClient& client) {
            return kept(client.findInvoker(o.arguments[0], o.arguments[1]), creator);
        },
        [&] { printCreator(o, creator); });
}

int runFindProxy(const ClientOptions& o) {
    svcreg::CreatorRecord creator;
    return run(
        o, [&](RegistryClient& client) { return kept(client.findProxy(o.arguments[0]), creator); },
        [&] { printCreator(o, creator); });
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

// That no registry serves the channel now, and why: on standard error, or as a "lost" event.
void printAbsence(const ClientOptions& o, const std::string& why) {
    if (!o.json) return complain(why);
    printJson(o, Json::object()
                     .set("time", logTimestamp())
                     .set("event", eventWord(svcreg::RegistryEvent::Kind::Lost))
                     .set("cause", why));
    std::fflush(stdout);
}

// One line per event: time, event, then interface, channel and service id, tab-separated; or
// the same as a JSON object. A registry that went away is told as printAbsence does.
void printEvent(const ClientOptions& o, const svcreg::RegistryEvent& event) {
    using Kind = svcreg::RegistryEvent::Kind;
    if (event.kind == Kind::Lost) {
        return printAbsence(o, "the registry at channel '" + o.registryChannel +
                                   "' has gone; watching again once it is back");
    }
    const svcreg::ServiceRecord& entry = event.entry;
    const bool aboutEntry = event.kind != Kind::Restarted;
    if (o.json) {
        Json json = Json::object().set("time", logTimestamp()).set("event", eventWord(event.kind));
        if (aboutEntry) {
            json.set("interface", entry.ifc)
                .set("channel", entry.channel)
                .set("svcId", Json::number(entry.svcId));
        }
        printJson(o, json);
    } else if (aboutEntry) {
        std::printf("%s\t%s\t%s\t%s\t%lld\n", logTimestamp().c_str(), eventWord(event.kind),
                    shown(entry.ifc).c_str(), shown(entry.channel).c_str(),
                    static_cast<long long>(entry.svcId));
    } else {
        std::printf("%s\t%s\n", logTimestamp().c_str(), eventWord(event.kind));
    }
    std::fflush(stdout);
}

// Whether a watch that failed may be made once a registry is up: at boot, the daemon may start
// after its watchers.
// A registry that is there but did not answer is not waited for: each watch asked of it would
// be answered, and replayed, once it does.
bool registryMayComeYet(const svcreg::Outcome& outcome) {
    return outcome == Status::Unreachable;
}

// Watches once a registry serves the channel, asking again after 0.1 s, then twice as long each
// time up to 2 s, as the client does once a registry has gone; done when stopped meanwhile.
svcreg::Outcome watchOnceUp(const ClientOptions& o, RegistryClient& client) {
    constexpr std::chrono::milliseconds kLongestPause{2000};
    std::chrono::milliseconds pause{100};
    for (bool told = false;; told = true) {
        const svcreg::Outcome watching =
            client.watch([&o](const svcreg::RegistryEvent& event) { printEvent(o, event); });
        if (!registryMayComeYet(watching)) return watching;
        if (!told) {
            printAbsence(o, "no registry serves channel '" + o.registryChannel +
                                "' yet; watching once one does (" + watching.reason() + ")");
        }
        if (stopSignals->waitForStop(pause)) return svcreg::Outcome();
        pause = std::min(pause * 2, kLongestPause);
    }
}

int runWatch(const ClientOptions& o) {
    return run(
        o,
        [&](RegistryClient& client) {
            const svcreg::Outcome watching = watchOnceUp(o, client);
            if (!watching) return watching;
            stopSignals->waitForStop();
            client.unwatch();  // a registry that has gone has forgotten the watch already
            return svcreg::Outcome();
        },
        [] {});
}

// Ctrl-C ends the wait, as a failure: the interface was not seen.
int runWait(const ClientOptions& o) {
    return run(
        o,
        [&](RegistryClient& client) {
            stopSignals->whenStopped([&client] { client.interrupt(); });
            const svcreg::Outcome waited =
                client.wait(o.arguments[0], o.waitTimeout,
                            o.ifDeclared ? svcreg::WaitMode::IfDeclared : svcreg::WaitMode::Always);
            stopSignals->whenStopped(nullptr);
            return waited;
        },
        [&] {
            if (o.json) {
                printJson(o, Json::object().set("interface", o.arguments[0]).set("found", true));
            }
        });
}

// Not declared is a failure (exit 1), as a lookup that finds nothing is.
int runIsDeclared(const ClientOptions& o) {
    const std::string& ifc = o.arguments[0];
    bool declared = false;
    return run(
        o,
        [&](RegistryClient& client) {
            const svcreg::Outcome asked = kept(client.isDeclared(ifc), declared);
            if (!asked || declared) return asked;
            return svcreg::Outcome(Status::NotFound, "'" + ifc + "' is not declared");
        },
        [&] {
            if (!o.json) return (void)std::printf("declared\n");
            printJson(o, Json::object().set("interface", ifc).set("declared", true));
        });
}

int runHelp(const ClientOptions& o) {
    if (o.arguments.empty()) return printHelp(o, clientUsage());
    const Command* command = findCommand(o.arguments[0]);
    if (command == nullptr) {
        return reportFailure(
            o, "usage", "no command '" + o.arguments[0] + "'. Try 'svcreg --help'.", kExitUsage);
    }
    return printHelp(o, commandUsage(*command));
}

}  // namespace

void useStopSignals(svcreg::StopSignals& signals) {
    stopSignals = &signals;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"list",
         {},
         "every entry: its id, channel, device, pid and user",
         "Lists every registered interface with its service id and channel, the device of "
         "another device's entry (at CHANNEL@DEVICE; empty for this device's), the pid of the "
         "process serving the channel while the daemon watches it, and the user who registered "
         "it; '-' where the daemon does not know. Then, after a blank line, the declared "
         "services: name, state (idle, starting, running, failed), channel, interfaces and the "
         "reason of the last failed start. On a terminal, as columns under a header; else as "
         "tab-separated lines. With --json, {\"entries\": [...], \"declared\": [...]}.",
         "svcreg list",
         runList},
        {"status",
         {},
         "the daemon's pid, version, uptime, counts and limits",
         "Shows the daemon's pid, version, uptime, runtime directory and channel, how many "
         "entries, creators, subscribers and connections it holds, on a federated daemon this "
         "device's name and each other device (alive or not, lease, entries, last heard), each "
         "declared service's state (or 'failed: REASON'), and the limits it runs with.",
         "svcreg status",
         runStatus},
        {"find",
         {"IFC"},
         "the channel of IFC's first registration",
         "When nobody serves IFC and a declared service offers it, starts that service and "
         "answers once it has registered; exits 1 with why when it could not start or did not "
         "register within --reply-timeout.",
         "svcreg find com.example.Camera",
         runFind,
         true},
        {"find-svc-id",
         {"IFC"},
         "the service id of IFC's first registration",
         "Starts IFC's declared service, as find does.",
         "svcreg find-svc-id com.example.Camera",
         runFindSvcId,
         true},
        {"getlist",
         {"IFC"},
         "every channel IFC is registered at",
         "Prints them in the order they were registered; exits 1 when there is none. Starts "
         "IFC's declared service, as find does.",
         "svcreg getlist com.example.Camera",
         runGetList,
         true},
        {"details",
         {},
         "every entry: interface, service id, channel",
         "As the registry's own list, by interface and then service id: on a terminal as columns "
         "under a header, else as tab-separated lines.",
         "svcreg --json=pretty details",
         runDetails,
         true},
        {"find-invoker",
         {"IFC", "PROTOCOL"},
         "the library and creator of IFC's invoker",
         "",
         "svcreg find-invoker com.example.Camera binary",
         runFindInvoker,
         true},
        {"find-proxy",
         {"IFC"},
         "the library and creator of IFC's proxy",
         "",
         "svcreg find-proxy com.example.Camera",
         runFindProxy,
         true},
        {"reg",
         {"IFCS", "CHANNEL"},
         "register interfaces at CHANNEL (text command)",
         "IFCS is one argument holding one or more interface names separated by spaces; each "
         "gets an entry at CHANNEL under one new service id.",
         "svcreg reg 'com.example.Camera com.example.Zoom' camera_ch",
         runReg,
         true},
        {"dereg",
         {"IFCS", "CHANNEL"},
         "deregister interfaces from CHANNEL (text command)",
         "A name without an entry at CHANNEL is said (\"not registered\"), and svcreg exits 1.",
         "svcreg dereg com.example.Zoom camera_ch",
         runDereg,
         true},
        {"register",
         {"IFCS", "CHANNEL"},
         "register interfaces at CHANNEL (remote call)",
         "As reg, by a remote method call, whose answer says whether the registry accepted it.",
         "svcreg register com.example.Camera camera_ch",
         runRegister},
        {"deregister",
         {"IFCS", "CHANNEL"},
         "deregister interfaces from CHANNEL (remote call)",
         "",
         "svcreg deregister com.example.Camera camera_ch",
         runDeregister},
        {"reg-invoker",
         {"LIB", "CREATOR", "IFC", "PROTOCOL"},
         "register the creator of IFC's invoker",
         "LIB is the plug-in library and CREATOR the function in it that makes the invoker.",
         "svcreg reg-invoker libcamera.so makeInvoker com.example.Camera binary",
         runRegInvoker},
        {"reg-proxy",
         {"LIB", "CREATOR", "IFC", "PROTOCOL"},
         "register the creator of IFC's proxy",
         "",
         "svcreg reg-proxy libcamera.so makeProxy com.example.Camera binary",
         runRegProxy},
        {"watch",
         {},
         "print the entries, then each change, until Ctrl-C",
         "One line per event: the time (UTC), the event (replay, registered, removed, "
         "restarted), then the interface, channel and service id, tab-separated. When no "
         "registry is up yet, or it goes away, says so on standard error (with --json, as a "
         "'lost' event) and watches once one is: its replay, after 'restarted' for one that "
         "came back.",
         "svcreg --json watch",
         runWatch},
        {"wait",
         {"IFC"},
         "return once IFC is registered (see --timeout)",
         "Waits for a registry that is not up yet, and across its restarts; exits 1 when "
         "--timeout passes first (3 when no registry was reached by then), 130 when Ctrl-C "
         "ends it. Starts IFC's declared service, as find does. With --if-declared, exits 1 at "
         "once (\"not declared\") when IFC is neither registered nor declared.",
         "svcreg --timeout=30 wait com.example.Camera",
         runWait},
        {"is-declared",
         {"IFC"},
         "whether a declared service offers IFC",
         "Prints \"declared\" and exits 0 when a declared service offers IFC, registered or "
         "not; else says \"not declared\" on standard error and exits 1.",
         "svcreg is-declared com.example.Camera",
         runIsDeclared},
        {"help", {"[COMMAND]"}, "this help, or a command's", "", "svcreg help wait", runHelp},
    };
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands()) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

std::string usageProblem(const Command& command, const ClientOptions& options) {
    const std::size_t optional = static_cast<std::size_t>(
        std::count_if(command.parameters.begin(), command.parameters.end(),
                      [](const char* parameter) { return parameter[0] == '['; }));
    const std::size_t given = options.arguments.size();
    if (given > command.parameters.size() || given + optional < command.parameters.size()) {
        const std::string takes =
            command.parameters.empty() ? "no arguments" : parameterList(command);
        return std::string(command.name) + " takes " + takes;
    }
    for (const std::string& argument : options.arguments) {
        if (command.textRequest && argument.find(',') != std::string::npos) {
            return "an argument of " + std::string(command.name) +
                   " cannot hold a comma: text requests separate their arguments with commas";
        }
    }
    if (command.parameters.size() == 2 && std::string(command.parameters[0]) == "IFCS" &&
        (namesIn(options.arguments[0]).empty() || options.arguments[1].empty())) {
        return std::string(command.name) + " needs at least one interface name and a channel";
    }
    if (command.run == runHelp) return "";
    return RegistryClient::checkChannel(apiOptions(options)).reason();
}
