#include "ServiceRegistry/RegistryClient.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>

#include "BinaryProtocolAdapter.h"
#include "DeclaredStarts.h"
#include "LocalTable.h"
#include "Method.h"
#include "RegistryCallAnswers.h"
#include "RegistryEventsProtocol.h"
#include "RegistryRequests.h"
#include "RegistryStatusProtocol.h"
#include "RegistryTextProtocol.h"
#include "RegistryTrust.h"
#include "RegistryWatch.h"
#include "RemoteLookups.h"
#include "ReplyInbox.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistry/RemoteDevices.h"
#include "ServiceRegistryIfc.h"
#include "SnapshotLookups.h"
#include "TextReplies.h"
#include "UnixSocket.h"
#include "WatchReconnector.h"
#include "WireRows.h"

namespace svcreg {

namespace {

HostOptions hostOptionsFor(const ClientOptions& options) {
    HostOptions host;
    host.runtimeDirectory = options.runtimeDirectory;
    host.workerThreads = 1;
    host.requestTimeout = options.timeout;
    return host;
}

// Done when ifcs can go in a registration: one or more names, none empty or holding a space,
// which separates them, nor, in a text request, a comma; else Invalid, saying why.
Outcome namesProblem(const std::vector<std::string>& ifcs, bool textRequest) {
    if (ifcs.empty()) return Outcome(Status::Invalid, "no interface name given");
    for (const std::string& ifc : ifcs) {
        if (ifc.empty() || ifc.find(' ') != std::string::npos) {
            return Outcome(Status::Invalid,
                           "'" + ifc + "' is not an interface name: a name is one word");
        }
        if (textRequest && ifc.find(',') != std::string::npos) {
            return RegistryRequests::commaProblem("'" + ifc + "'");
        }
    }
    return Outcome();
}

// The device of a registry channel NAME@DEVICE; empty for this device's.
std::string deviceOfRegistry(const std::string& channel) {
    return channel.find('@') == std::string::npos ? std::string() : deviceOfChannel(channel);
}

}  // namespace

// The client's parts, wired together over its framework. Hidden: not part of the library's
// interface, though its enclosing class is.
class __attribute__((visibility("hidden"))) RegistryClient::Impl final : public PeerListener {
public:
    explicit Impl(ClientOptions options)
        : options(std::move(options)),
          channel(RuntimeDirectory::newPrivateChannel()),
          trust(this->options.registryUser),
          framework(hostOptionsFor(this->options)),
          device(deviceOfRegistry(this->options.registryChannel)),
          table(sharedTable()),
          requests(this->options, channel, framework, inbox.waiting()),
          watch(*framework.getProtocolAdapter(BinaryProtocolAdapter::kProtocolName), requests,
                "registry channel '" + this->options.registryChannel + "' by client channel '" +
                    channel + "'"),
          reconnector(watch),
          starts(requests, table.get()) {}

    // The rewatcher ends before the framework that carries its calls.
    ~Impl() {
        reconnector.stop();
        framework.stop();
    }

    Outcome open();

    // The table the registry shares; none from another device's registry, whose memory is not
    // this device's: lookups there go by text commands and calls.
    std::unique_ptr<LocalTable> sharedTable() {
        if (!device.empty()) return nullptr;
        return std::make_unique<LocalTable>(
            RuntimeDirectory(options.runtimeDirectory).socketPath(options.registryChannel),
            options.registryChannel,
            [this](const PeerCredentials& peer) {
                return trust.admitsPeer(peer, options.registryChannel);
            },
            options.timeout, framework);
    }
    // As LocalTable::read; false when the registry shares no table.
    template <typename Read>
    bool readTable(Read&& read, LocalTable::Deadline deadline) {
        return table != nullptr && table->read(std::forward<Read>(read), deadline);
    }
    // Why the registry was not reached, for a person.
    std::string unreachable() const;

    // What request returned, with a reason for a person when it has none of its own. A request
    // from inside a watch callback fails at once: its answer would come on the very thread that
    // runs the callback.
    template <typename Request>
    Outcome run(Request&& request) {
        if (watch.events().insideWatcher()) return insideWatch();
        return runAnywhere(std::forward<Request>(request));
    }
    // As run, for a request that needs none of the client's threads.
    template <typename Request>
    Outcome runAnywhere(Request&& request) {
        if (!opened) {
            return Outcome(Status::CannotStart, "the client is not open: open() it first");
        }
        const auto start = std::chrono::steady_clock::now();
        Outcome outcome = request();
        if (outcome || (!outcome.reason().empty() && outcome != Status::Refused)) {
            return outcome;
        }
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        return Outcome(outcome.status(), explain(outcome.status(), outcome.reason(), waited));
    }
    static Outcome insideWatch() {
        return Outcome(Status::InsideWatch,
                       "this request cannot be made from inside a watch callback: its answer "
                       "would come on the thread that runs the callback");
    }
    // As run (or, from any thread, as runAnywhere), for a request that fills in a value.
    template <typename T, bool fromAnyThread = false, typename Request>
    Result<T> answer(Request&& request) {
        T value{};
        const auto filled = [&] { return request(value); };
        Outcome outcome = fromAnyThread ? runAnywhere(filled) : run(filled);
        return Result<T>(std::move(outcome), std::move(value));
    }
    // The lookup by remote call of a value whose text reply may have been cut.
    template <typename T>
    using WholeLookup = std::function<Outcome(T& value, RegistryRequests::Deadline deadline)>;
    // What a lookup does when it misses: answer NotFound, or first start the interface's
    // declared service and wait for it (see DeclaredStarts).
    enum class OnMiss { Answer, StartDeclared };
    // A lookup in the registry's shared table by local, or where the registry shares none, by
    // text command word with arguments, whose reply take parses into a value, or by whole when
    // that reply may have been cut. Each is false when the registry has none. The arguments are
    // checked as a text command's either way, so that a lookup does not depend on which answers
    // it. It all ends by one deadline, the table's request and a start included. Inside a watch
    // callback only the table answers, and nothing is started: a reply would come on the
    // callback's thread.
    template <typename T, typename Local>
    Result<T> lookUp(OnMiss onMiss, const char* word,
                     std::initializer_list<std::string_view> arguments,
                     bool (*take)(const std::string& reply, T& value), Local&& local,
                     const WholeLookup<T>& whole = nullptr) {
        const RegistryRequests::Deadline deadline = requests.deadline();
        return answer<T, true>([&](T& value) {
            for (std::string_view argument : arguments) {
                if (argument.find(',') != std::string_view::npos) {
                    return RegistryRequests::commaProblem("'" + std::string(argument) + "'");
                }
            }
            const auto lookOnce = [&]() -> Outcome {
                bool registered = false;
                if (readTable(
                        [&](const TableSnapshotView& view) {
                            value = T{};
                            registered = local(view, value);
                        },
                        deadline)) {
                    return registered ? Outcome() : Outcome(Status::NotFound);
                }
                if (watch.events().insideWatcher()) return insideWatch();
                std::function<Outcome()> wholeValue;
                if (whole) {
                    wholeValue = [&] {
                        value = T{};
                        return whole(value, deadline);
                    };
                }
                return requests.lookUp(
                    word, std::vector<std::string>(arguments.begin(), arguments.end()),
                    [&](const std::string& reply) { return take(reply, value); }, wholeValue,
                    deadline);
            };
            Outcome found = lookOnce();
            // Another device's registry starts nothing for this device's callers.
            if (found == Status::NotFound && onMiss == OnMiss::StartDeclared && device.empty() &&
                !watch.events().insideWatcher()) {
                // interrupt() ends waits, never a lookup.
                found = starts.startAfterMiss(std::string(*arguments.begin()), deadline,
                                              options.timeout, lookOnce, [] { return false; });
            }
            if (found != Status::NotFound || !found.reason().empty() || arguments.size() == 0) {
                return found;
            }
            return Outcome(found.status(), "'" + std::string(*arguments.begin()) + "' not found");
        });
    }
    // The rows of the registry's "list" answer in its parameter, of fields each; none when the
    // answer has no such parameter and it is not required. Refused, with the registry's reason
    // when it refused the list, else naming what they are, for rows it cannot read.
    Outcome listRows(const char* parameter, std::size_t fields, bool required, const char* what,
                     std::vector<WireRows::Row>& rows) {
        Method reply;
        const Outcome called =
            requests.call(RegistryStatusProtocol::kInterface, RegistryStatusProtocol::kList, reply,
                          requests.deadline());
        if (!called) return called;
        std::string encoded;
        if (reply.getStringParameter(kRefusalParameter, encoded, Parameter::OUT))
            return RegistryRequests::refused(std::move(encoded));
        const bool present = reply.getStringParameter(parameter, encoded, Parameter::OUT);
        if (!present && !required) return Outcome();
        if (!present || !WireRows::decode(encoded, fields, rows)) {
            rows.clear();
            return RegistryRequests::refused(std::string("the registry does not report its ") +
                                             what);
        }
        return Outcome();
    }
    // Whether ifc is registered now: Done or NotFound, else why it is not known.
    Outcome registeredNow(const std::string& ifc, RegistryRequests::Deadline deadline);
    // wait()'s start of ifc's declared service, in mode: how the wait ended, or nullopt for a
    // wait as for any other interface (it is not declared, or the registry is not reached).
    std::optional<Outcome> waitDeclared(const std::string& ifc, WaitMode mode,
                                        std::chrono::milliseconds timeout,
                                        RegistryRequests::Deadline deadline);
    // Waits for ifc in the shared table until deadline: nullopt when the registry shares none,
    // for the caller to wait through its watch instead.
    std::optional<Outcome> waitLocally(const std::string& ifc,
                                       std::chrono::steady_clock::time_point deadline);
    // A change by text command: word, a colon, the names separated by spaces, a comma, channel.
    Outcome tellChange(const char* word, const std::vector<std::string>& ifcs,
                       const std::string& channel);
    // Why status, for a person, of a request that waited so long; for Refused, with the
    // registry's refusal when it gave one.
    std::string explain(Status status, const std::string& refusal,
                        std::chrono::milliseconds waited) const;

    // Requests waiting learn of a lost connection directly.
    void connectionLost(const std::string& lostChannel) override {
        if (lostChannel != options.registryChannel) return;
        inbox.waiting().allLost();
        watch.connectionLost();
    }

    const ClientOptions options;
    // A private channel: the registry answers over the client's own connection, so the client
    // needs no socket in the runtime directory.
    const std::string channel;
    ReplyInbox inbox;
    RegistryTrust trust;
    RegistryLibrary library;
    HostFramework framework;
    // Another device's name when the registry is that device's (options.registryChannel is
    // NAME@DEVICE); empty for this device's.
    const std::string device;
    std::unique_ptr<LocalTable> table;  // null: the registry shares none
    // Destroyed before the framework that carries their calls.
    RegistryRequests requests;
    RegistryWatch watch;
    WatchReconnector reconnector;
    DeclaredStarts starts;
    bool opened = false;  // open() succeeded
};

// CannotStart, with why, whatever fails.
Outcome RegistryClient::Impl::open() {
    if (Outcome loaded = library.load(options.library); !loaded) return loaded;
    const Outcome bound = framework.bindChannel(channel, nullptr);
    if (!bound) return Outcome(Status::CannotStart, bound.reason());
    framework.bindReplies(channel, inbox);
    framework.setAccessGate(&trust);
    framework.setPeerListener(this);
    framework.bindInvoker(channel, RegistryEventsProtocol::kInterface, watch.events(),
                          watch.events());
    reconnector.start();
    const Outcome started = framework.start();
    opened = started.ok();
    return started;
}

// The page wakes this wait at every change, and at interrupt(); it looks at the interruption at
// least this often too, in case interrupt() came just before it went to sleep.
std::optional<Outcome> RegistryClient::Impl::waitLocally(
    const std::string& ifc, std::chrono::steady_clock::time_point deadline) {
    constexpr std::chrono::milliseconds kLookAgain{100};
    for (;;) {
        bool registered = false;
        std::uint32_t seen = 0;
        if (!readTable(
                [&](const TableSnapshotView& view) {
                    seen = view.generation();
                    registered = SnapshotLookups::isRegistered(view, ifc);
                },
                deadline)) {
            return std::nullopt;
        }
        if (registered) return Outcome();
        if (watch.interruptPending()) return Outcome(Status::Interrupted);
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= left.zero()) return Outcome(Status::NotFound);
        if (!table->waitWhile(seen, std::min<std::chrono::nanoseconds>(left, kLookAgain)))
            return std::nullopt;
    }
}

Outcome RegistryClient::Impl::registeredNow(const std::string& ifc,
                                            RegistryRequests::Deadline deadline) {
    bool registered = false;
    if (readTable(
            [&](const TableSnapshotView& view) {
                registered = SnapshotLookups::isRegistered(view, ifc);
            },
            deadline)) {
        return registered ? Outcome() : Outcome(Status::NotFound);
    }
    std::string found;
    return requests.lookUp(
        RegistryText::kFind, {ifc, channel},
        [&](const std::string& reply) { return parseFoundChannel(reply, found); }, nullptr,
        deadline);
}

// Only a start's own ends are final: a registry not reached is waited for as wait() does.
std::optional<Outcome> RegistryClient::Impl::waitDeclared(const std::string& ifc, WaitMode mode,
                                                          std::chrono::milliseconds timeout,
                                                          RegistryRequests::Deadline deadline) {
    const auto lookAgain = [&] { return registeredNow(ifc, deadline); };
    if (const Outcome registered = lookAgain(); registered) return registered;
    if (mode == WaitMode::IfDeclared) {
        bool declared = false;
        const Outcome asked = starts.isDeclared(ifc, declared, deadline);
        if (!asked) return asked;
        if (!declared) return Outcome(Status::NotFound, "'" + ifc + "' is not declared");
    }
    if (!device.empty()) return std::nullopt;  // another device's registry starts nothing here
    Outcome started = starts.startAfterMiss(ifc, deadline, timeout, lookAgain,
                                            [this] { return watch.interruptPending(); });
    const bool final = started == Status::Done || started == Status::Interrupted ||
                       (started == Status::Refused && !started.reason().empty()) ||
                       (started == Status::NotFound && !started.reason().empty());
    if (final) return started;
    return std::nullopt;
}

std::string RegistryClient::Impl::explain(Status status, const std::string& refusal,
                                          std::chrono::milliseconds waited) const {
    const std::string at =
        "channel '" + options.registryChannel + "'" +
        (device.empty() ? ""
                        : " (through this device's gateway, '" +
                              std::string(RuntimeDirectory::kGatewayChannel) + "')");
    switch (status) {
        case Status::Done:
            return std::string();
        case Status::NotFound:
            return "not found";
        case Status::Refused:
            return refusal.empty() ? "refused" : "refused: " + refusal;
        case Status::Unreachable:
        case Status::Busy:
            return unreachable();
        case Status::NoReply:
            return "no reply from the registry at " + at + " within " +
                   std::to_string(waited.count()) + " ms";
        case Status::Unconfirmed:
            return "no answer from the registry at " + at + " within " +
                   std::to_string(waited.count()) + " ms: the change may or may not have been made";
        case Status::ConnectionLost:
            return "the connection to the registry at " + at + " closed before its answer came";
        case Status::Forbidden:
            return "permission denied at " + at + " in '" + options.runtimeDirectory +
                   "': only root and members of the registry's group may use it; ask an "
                   "administrator to add you to that group (usermod -aG svcreg USER), then log "
                   "in again";
        case Status::Untrusted:
            return at + " in '" + options.runtimeDirectory + "' is served by " + trust.refused() +
                   ", which is neither root, this user nor the registry's user '" +
                   options.registryUser + "': its answers are not trusted";
        case Status::Invalid:
            return "invalid request";
        case Status::InsideWatch:
            return "called from inside a watch callback";
        case Status::CannotStart:
            return "the client cannot start";
        case Status::Interrupted:
            break;
    }
    return "interrupted";
}

// Another device's registry is reached through this device's gateway, whose socket is the one
// to look at: there is none named after the channel.
std::string RegistryClient::Impl::unreachable() const {
    const RuntimeDirectory directory(options.runtimeDirectory);
    const std::string why = whyNotConnected(directory.socketPath(
        device.empty() ? options.registryChannel : std::string(RuntimeDirectory::kGatewayChannel)));
    const bool notRunning = why.rfind("there is no", 0) == 0 || why.rfind("nobody", 0) == 0;
    if (!device.empty()) {
        return "device " + device + " cannot be reached: " +
               (why.empty() ? "this device's registry has no link to it, or it does not answer"
                            : why + (notRunning ? "; calls to other devices go through this "
                                                  "device's registry, when it federates "
                                                  "(svcregd --federate)"
                                                : ""));
    }
    return "no registry reachable at channel '" + options.registryChannel + "' in '" +
           options.runtimeDirectory + "'" + (why.empty() ? ": it does not answer" : ": " + why) +
           (notRunning ? "; is svcregd running? Start it with 'service svcregd start'" : "");
}

Outcome RegistryClient::Impl::tellChange(const char* word, const std::vector<std::string>& ifcs,
                                         const std::string& channel) {
    const RegistryRequests::Deadline deadline = requests.deadline();
    return run([&] {
        const Outcome names = namesProblem(ifcs, true);
        if (!names) return names;
        if (channel.find(',') != std::string::npos) {
            return RegistryRequests::commaProblem("channel '" + channel + "'");
        }
        return requests.tell(
            std::string(word) + ":" + RegistryText::joinWith(ifcs, ' ') + "," + channel, deadline);
    });
}

RegistryClient::RegistryClient(ClientOptions options)
    : impl(std::make_unique<Impl>(std::move(options))) {}

RegistryClient::~RegistryClient() = default;

Outcome RegistryClient::checkChannel(const ClientOptions& options) {
    const std::string& channel = options.registryChannel;
    const RuntimeDirectory directory(options.runtimeDirectory);
    const std::string problem = channel.find('@') != std::string::npos
                                    ? directory.remoteChannelProblem(channel)
                                    : directory.channelProblem(channel);
    if (problem.empty()) return Outcome();
    return Outcome(Status::Invalid,
                   "invalid channel '" + options.registryChannel + "': " + problem);
}

Outcome RegistryClient::open() {
    if (Outcome checked = checkChannel(impl->options); !checked) return checked;
    return impl->open();
}

Result<std::vector<ServiceRecord>> RegistryClient::list() {
    return impl->answer<std::vector<ServiceRecord>>([&](std::vector<ServiceRecord>& records) {
        std::vector<WireRows::Row> rows;
        const Outcome listed =
            impl->listRows(RegistryStatusProtocol::kEntries, RegistryStatusProtocol::kListFields,
                           true, "entries", rows);
        for (WireRows::Row& row : rows) {
            ServiceRecord record(std::move(row.fields[0]), row.number, std::move(row.fields[1]));
            if (const long pid = std::atol(row.fields[2].c_str()); pid > 0) record.pid = pid;
            if (!row.fields[3].empty()) record.user = std::move(row.fields[3]);
            records.push_back(std::move(record));
        }
        return listed;
    });
}

// A registry from before declarations sends no "declared" rows: it has none.
Result<std::vector<DeclaredService>> RegistryClient::declaredServices() {
    return impl->answer<std::vector<DeclaredService>>([&](std::vector<DeclaredService>& services) {
        std::vector<WireRows::Row> rows;
        const Outcome listed = impl->listRows(RegistryStatusProtocol::kDeclared,
                                              RegistryStatusProtocol::kDeclaredFields, false,
                                              "declared services", rows);
        for (WireRows::Row& row : rows) {
            std::vector<std::string>& fields = row.fields;
            DeclaredService service{std::move(fields[0]),
                                    std::move(fields[1]),
                                    std::move(fields[2]),
                                    std::move(fields[3]),
                                    RegistryText::splitAt(fields[4], ' '),
                                    std::nullopt};
            if (const long pid = std::atol(fields[5].c_str()); pid > 0) service.pid = pid;
            services.push_back(std::move(service));
        }
        return listed;
    });
}

Result<StatusReport> RegistryClient::status() {
    return impl->answer<StatusReport>([&](StatusReport& facts) {
        Method reply;
        const Outcome called =
            impl->requests.call(RegistryStatusProtocol::kInterface, RegistryStatusProtocol::kStatus,
                                reply, impl->requests.deadline());
        if (!called) return called;
        for (const Parameter& fact : reply.getParameters()) {
            std::string value;
            if (reply.getStringParameter(fact.getName(), value, Parameter::OUT)) {
                facts.emplace_back(fact.getName(), std::move(value));
            }
        }
        if (facts.empty())
            return RegistryRequests::refused("the registry does not report its status");
        return Outcome();
    });
}

Result<std::string> RegistryClient::find(const std::string& ifc) {
    return impl->lookUp<std::string>(
        Impl::OnMiss::StartDeclared, RegistryText::kFind, {ifc, impl->channel}, parseFoundChannel,
        [&](const TableSnapshotView& view, std::string& channel) {
            return SnapshotLookups::findChannel(view, ifc, channel);
        },
        [&](std::string& channel, RegistryRequests::Deadline deadline) {
            return RemoteLookups::findChannel(impl->requests, ifc, channel, deadline);
        });
}

Result<ServiceId> RegistryClient::findSvcId(const std::string& ifc) {
    return impl->lookUp<ServiceId>(Impl::OnMiss::StartDeclared, RegistryText::kFindServiceId, {ifc},
                                   parseServiceId,
                                   [&](const TableSnapshotView& view, ServiceId& svcId) {
                                       return SnapshotLookups::findServiceId(view, ifc, svcId);
                                   });
}

Result<std::vector<std::string>> RegistryClient::getList(const std::string& ifc) {
    return impl->lookUp<std::vector<std::string>>(
        Impl::OnMiss::StartDeclared, RegistryText::kGetList, {ifc, impl->channel},
        [](const std::string& reply, std::vector<std::string>& channels) {
            channels = parseChannelList(reply);
            return !channels.empty();
        },
        [&](const TableSnapshotView& view, std::vector<std::string>& channels) {
            return SnapshotLookups::channelList(view, ifc, channels);
        },
        [&](std::vector<std::string>& channels, RegistryRequests::Deadline deadline) {
            return RemoteLookups::channelList(impl->requests, ifc, channels, deadline);
        });
}

Result<std::vector<ServiceRecord>> RegistryClient::details() {
    return impl->lookUp<std::vector<ServiceRecord>>(
        Impl::OnMiss::Answer, RegistryText::kGetDetailsList, {},
        [](const std::string& reply, std::vector<ServiceRecord>& records) {
            records = parseDetailsList(reply);
            return true;
        },
        SnapshotLookups::detailsList);
}

Result<CreatorRecord> RegistryClient::findInvoker(const std::string& ifc,
                                                  const std::string& protocol) {
    return impl->lookUp<CreatorRecord>(
        Impl::OnMiss::Answer, RegistryText::kFindInvoker, {ifc, protocol}, parseCreator,
        [&](const TableSnapshotView& view, CreatorRecord& creator) {
            return SnapshotLookups::findInvoker(view, ifc, protocol, creator);
        },
        [&](CreatorRecord& creator, RegistryRequests::Deadline deadline) {
            return RemoteLookups::findInvoker(impl->requests, ifc, protocol, creator, deadline);
        });
}

Result<CreatorRecord> RegistryClient::findProxy(const std::string& ifc) {
    return impl->lookUp<CreatorRecord>(
        Impl::OnMiss::Answer, RegistryText::kFindProxy, {ifc}, parseCreator,
        [&](const TableSnapshotView& view, CreatorRecord& creator) {
            return SnapshotLookups::findProxy(view, ifc, creator);
        },
        [&](CreatorRecord& creator, RegistryRequests::Deadline deadline) {
            return RemoteLookups::findProxy(impl->requests, ifc, creator, deadline);
        });
}

Outcome RegistryClient::reg(const std::vector<std::string>& ifcs, const std::string& channel) {
    return impl->tellChange(RegistryText::kRegister, ifcs, channel);
}

Outcome RegistryClient::dereg(const std::vector<std::string>& ifcs, const std::string& channel) {
    return impl->tellChange(RegistryText::kDeregister, ifcs, channel);
}

// Sent as the registry proxy would, with the owner beside it, which the proxy cannot say.
Result<ServiceId> RegistryClient::registerInterfaces(const std::vector<std::string>& ifcs,
                                                     const std::string& channel, EntryOwner owner) {
    return impl->answer<ServiceId>([&](ServiceId& svcId) {
        const Outcome names = namesProblem(ifcs, false);
        if (!names) return names;
        Method request(kRegisterMethod, Method::REQUEST);
        request.addStringParameter("ifc", RegistryText::joinWith(ifcs, ' '), Parameter::IN);
        request.addStringParameter("chanName", channel, Parameter::IN);
        if (owner == EntryOwner::Nobody)
            request.addBoolParameter(kKeepParameter, true, Parameter::IN);
        Method reply;
        const Outcome made = impl->requests.change(request, reply, impl->requests.deadline());
        std::string id;
        if (!made || (reply.getStringParameter(kServiceIdParameter, id, Parameter::OUT) &&
                      parseIdDigits(id, svcId))) {
            return made;
        }
        return RegistryRequests::refused("the registry's reply to '" +
                                         std::string(kRegisterMethod) +
                                         "' is malformed: its service id is '" + id + "'");
    });
}

Outcome RegistryClient::deregisterInterfaces(const std::vector<std::string>& ifcs,
                                             const std::string& channel) {
    return impl->run([&] {
        const Outcome names = namesProblem(ifcs, false);
        if (!names) return names;
        Method request("deregisterSvcInterfaces", Method::REQUEST);
        request.addStringParameter("ifc", RegistryText::joinWith(ifcs, ' '), Parameter::IN);
        request.addStringParameter("chanName", channel, Parameter::IN);
        return impl->requests.change(request, impl->requests.deadline());
    });
}

Outcome RegistryClient::regInvoker(const std::string& lib, const std::string& creatorFn,
                                   const std::string& ifc, const std::string& protocol) {
    return impl->run([&] {
        return impl->requests.changeCreator("registerInvokerInfo", {lib, creatorFn, ifc, protocol},
                                            impl->requests.deadline());
    });
}

Outcome RegistryClient::regProxy(const std::string& lib, const std::string& creatorFn,
                                 const std::string& ifc, const std::string& protocol) {
    return impl->run([&] {
        return impl->requests.changeCreator("registerProxyInfo", {lib, creatorFn, ifc, protocol},
                                            impl->requests.deadline());
    });
}

Result<std::string> RegistryClient::ask(const std::string& command) {
    return impl->answer<std::string>([&](std::string& reply) {
        return impl->requests.ask(command, reply, impl->requests.deadline());
    });
}

Outcome RegistryClient::tell(const std::string& command) {
    return impl->run([&] { return impl->requests.tell(command, impl->requests.deadline()); });
}

Outcome RegistryClient::watch(std::function<void(const RegistryEvent&)> told) {
    return impl->run([&] { return impl->watch.watch(std::move(told), impl->requests.deadline()); });
}

Outcome RegistryClient::unwatch() {
    return impl->run([&] { return impl->watch.unwatch(impl->requests.deadline()); });
}

Result<bool> RegistryClient::isDeclared(const std::string& ifc) {
    return impl->answer<bool>([&](bool& declared) {
        return impl->starts.isDeclared(ifc, declared, impl->requests.deadline());
    });
}

// The watch replays what is registered already, so a registration made at any time before or
// after it is seen; and it goes on across the registry's restarts.
Outcome RegistryClient::wait(const std::string& ifc, std::chrono::milliseconds timeout,
                             WaitMode mode) {
    return impl->run([&] {
        if (impl->watch.watchingForSomeone()) {
            return Outcome(Status::Invalid,
                           "a client that watches cannot also wait: wait with another client");
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        Outcome status;
        if (std::optional<Outcome> declared = impl->waitDeclared(ifc, mode, timeout, deadline)) {
            status = std::move(*declared);
        } else if (std::optional<Outcome> local = impl->waitLocally(ifc, deadline)) {
            status = std::move(*local);
        } else {
            impl->watch.await(ifc);
            status = impl->reconnector.watchBy(deadline, true);
            if (status) {
                status = impl->watch.waitUntil(deadline);
                impl->watch.stop(deadline);
            } else {
                impl->watch.forget();
            }
        }
        impl->watch.clearInterrupt();
        if (status == Status::NotFound && status.reason().empty()) {
            return Outcome(status.status(), "'" + ifc + "' was not registered within " +
                                                std::to_string(timeout.count()) + " ms");
        }
        return status;
    });
}

void RegistryClient::interrupt() {
    impl->watch.interrupt();
    if (impl->table != nullptr) impl->table->wakeWaiters();
}

const std::string& RegistryClient::ownChannel() const {
    return impl->channel;
}

}  // namespace svcreg
