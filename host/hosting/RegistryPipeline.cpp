#include "RegistryPipeline.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <typeinfo>
#include <utility>

#include "HostLog.h"
#include "PeerAccount.h"
#include "ProcessWatch.h"
#include "RegistryCallAnswers.h"
#include "RegistryTextProtocol.h"
#include "RemoteTextReplies.h"

namespace svcreg {

// The type is told by its name, as the library is loaded at run time: its type information is
// not linked in here, and for the same reason the sanitizer's check of the cast, which would
// read it, is left out.
__attribute__((no_sanitize("vptr"))) ServiceRegistry* serviceTablesOf(Service& made) {
    const char* const kMangledName = "15ServiceRegistry";
    if (std::strcmp(typeid(made).name(), kMangledName) != 0) return nullptr;
    return static_cast<ServiceRegistry*>(&made);
}

namespace {

using Kind = RegistryChange::Kind;

// A journal is rewritten once it has grown to this many bytes, and to three times its size when
// last rewritten: it stays within a few times the tables it keeps, and rewriting stays a small
// share of the work of the changes.
constexpr std::size_t kBytesBeforeRewrite = 1 << 20;

std::vector<ServiceRecord> entriesOf(const std::vector<std::string>& names, ServiceId svcId,
                                     const std::string& channel) {
    std::vector<ServiceRecord> entries;
    entries.reserve(names.size());
    for (const std::string& name : names) entries.push_back({name, svcId, channel});
    return entries;
}

// Whether text asks for the whole table's details: its command word, before the first colon,
// says so.
bool asksForDetailsList(std::string_view text) {
    const std::size_t colon = text.find(':');
    return colon != std::string_view::npos &&
           text.substr(0, colon) == RegistryText::kGetDetailsList;
}

bool listsNames(JournalRecord::Kind kind) {
    return kind == JournalRecord::Kind::Register || kind == JournalRecord::Kind::Deregister;
}

}  // namespace

RegistryPipeline::RegistryPipeline(Service& registry, ServiceRegistry& tables,
                                   const RegistryGate& gate, const RegistryQuotas& quotas,
                                   std::unique_ptr<RegistryJournal> journal)
    : loaded(registry),
      table(dynamic_cast<ServiceRegistryIfc&>(registry)),
      gate(gate),
      entryQuota(quotas.entriesPerUser, quotas.entries),
      creatorQuota(quotas.creatorsPerUser, quotas.creators),
      byteQuota(quotas.tableBytesPerUser, quotas.tableBytes),
      subscriptions(quotas),
      changeRate(quotas.changesPerUserPerSecond, quotas.changeBytesPerUserPerSecond),
      listingRate("listed bytes", quotas.listedBytesPerUserPerSecond),
      journal(std::move(journal)),
      state(tables),
      entriesPerDevice(quotas.entriesPerDevice),
      tableBytesPerDevice(quotas.tableBytesPerDevice),
      deviceTableBytes(quotas.deviceTableBytes) {}

bool RegistryPipeline::restore(std::string& error) {
    if (journal == nullptr) return true;
    std::size_t records = 0, entries = 0;
    {
        MutexLock hold(mutex);
        // Called by load, within this scope, so under the lock.
        const auto replayed = [&](const JournalRecord& record) TS_REQUIRES(mutex) {
            replay(record);
            ++records;
        };
        if (!journal->load(replayed, error)) return false;
        entries = state.entryCount();
        // On a full file system the journal is kept as it is: changes wait for room.
        std::string notRewritten;
        if (!journal->rewrite(snapshot(), notRewritten)) {
            HOST_FAILURE("%s: appending to the journal as it is", notRewritten.c_str());
            if (!journal->appendAfterLoaded(error)) return false;
        }
    }
    if (journal->droppedBytes() != 0) {
        HOST_FAILURE("%zu bytes of '%s' were cut short or damaged, and are dropped",
                     journal->droppedBytes(), journal->path().c_str());
    }
    if (records != 0) {
        HOST_TRACE(4, "Restored %zu entries from %zu records of '%s'", entries, records,
                   journal->path().c_str());
    }
    return true;
}

// A record replayed takes the road of a change asked for, but for what the journal's records
// keep of the ids: the ids a rewrite left out, and a registration kept of one empty name. A
// registration of a caller on another device (its record names the device) ended with its
// connection, before the restart: only its id stays used.
void RegistryPipeline::replay(const JournalRecord& record) {
    const std::vector<std::string>& f = record.fields;
    if (record.kind == JournalRecord::Kind::Register) {
        if (f[1].empty()) return;
        if (!callerDeviceOf(record).empty()) {
            skipIdsUntil(record.id + 1);
            return;
        }
        skipIdsUntil(record.id);
        if (f[0].empty()) {
            replayEmptyName(record);
            return;
        }
    }
    make(record,
         listsNames(record.kind) ? RegistryText::splitAt(f[0], ' ') : std::vector<std::string>{});
}

// One empty name alone cannot be registered as such: it is registered beside a name the channel
// does not have, which is taken away again.
void RegistryPipeline::replayEmptyName(const JournalRecord& record) {
    const std::string& channel = record.fields[1];
    std::string placeholder = "\x01";
    const std::vector<std::string> names = state.namesAt(channel);
    while (std::count(names.begin(), names.end(), placeholder) != 0) placeholder += '\x01';
    make({JournalRecord::Kind::Register, record.owner, record.id, {placeholder + " ", channel}},
         {placeholder, ""});
    make({JournalRecord::Kind::Deregister, record.owner, 0, {placeholder, channel}}, {placeholder});
}

// The registry gives ids one by one: each skipped one is a registration at a channel without
// entries, taken away at once.
void RegistryPipeline::skipIdsUntil(std::int64_t id) {
    if (state.nextId() >= id) return;
    const std::string channel = unusedChannel();
    const std::vector<std::string> names{"skipped"};
    const uid_t self = geteuid();
    while (state.nextId() < id) {
        if (!make({JournalRecord::Kind::Register, self, 0, {names[0], channel}}, names).accepted)
            return;
        make({JournalRecord::Kind::Deregister, self, 0, {names[0], channel}}, names);
    }
}

std::string RegistryPipeline::unusedChannel() const {
    std::string channel = ".skipped";
    while (state.hasEntriesAt(channel)) channel += '.';
    return channel;
}

void RegistryPipeline::addListener(TableListener* listener,
                                   const std::function<void(const RegistryState&)>& startingFrom) {
    MutexLock hold(mutex);
    if (startingFrom) startingFrom(state);
    listeners.push_back(listener);
}

void RegistryPipeline::whileUnchanged(const std::function<void(const RegistryState&)>& read) {
    MutexLock hold(mutex);
    read(state);
}

RegistryPipeline::ChangeAnswer RegistryPipeline::subscribe(const RegistryChange& change,
                                                           IncomingCall* call,
                                                           const std::function<bool()>& make) {
    const PeerCredentials* peer = call != nullptr ? &call->peer() : nullptr;
    const uid_t user = peer != nullptr ? accountOf(*peer) : geteuid();
    ChangeAnswer answer;
    MutexLock order(subscribing);
    {
        MutexLock hold(mutex);
        answer.refusal = refusalOf(change, call, user);
    }
    if (!answer.refusal.empty()) return answer;
    // Whether the channel is the caller's, and watching who serves it, may read the system's
    // table of file locks: outside the lock, and on the caller's time, refused or not.
    const WorkTime::Clock::time_point began = WorkTime::Clock::now();
    if (call != nullptr && !call->ownsChannel(change.channel)) {
        answer.refusal = "channel '" + change.channel +
                         "' is not the caller's own: calls back go only to a private channel of "
                         "its connection or a channel served by a process of its user";
        logRefusal(change, *peer, answer.refusal);
    } else {
        answer.made = make();
    }
    if (answer.made) subscriptions.add(user, change.request, change.channel);
    if (isRated(peer)) tookSince(user, began);
    return answer;
}

void RegistryPipeline::tookSince(uid_t user, WorkTime::Clock::time_point began) {
    const WorkTime::Clock::time_point now = WorkTime::Clock::now();
    MutexLock hold(mutex);
    subscribeTime.took(user, now - began, now);
}

RegistryPipeline::ChangeAnswer RegistryPipeline::apply(const RegistryChange& change,
                                                       IncomingCall* call) {
    const PeerCredentials* peer = call != nullptr ? &call->peer() : nullptr;
    const uid_t user = peer != nullptr ? accountOf(*peer) : geteuid();
    ChangeAnswer answer;
    MutexLock hold(mutex);
    answer.refusal = refusalOf(change, call, user);
    if (!answer.refusal.empty()) return answer;
    const ServiceId nextId = state.nextId();
    // A caller on another device has nothing here that outlives its connection: whatever way it
    // registers, its entries end with that connection.
    const bool byCaller = change.kind == Kind::Register && peer != nullptr &&
                          (change.ownedByCaller || peer->isRemote()) &&
                          RegistryState::accepts(change.names, change.channel);
    bool callerWatched = false;
    if (byCaller) {
        answer.refusal = watchCaller(nextId, change, *call, callerWatched);
        if (!answer.refusal.empty()) {
            // Listeners before the one that refused may watch the caller already.
            for (TableListener* listener : listeners) listener->callerNotRegistered(nextId);
            logRefusal(change, *peer, answer.refusal);
            return answer;
        }
    }
    JournalRecord record = *change.record(user);
    if (record.kind == JournalRecord::Kind::Register && peer != nullptr && peer->isRemote()) {
        nameCallerDevice(record, peer->device);
    } else if (callerWatched) {
        keepCaller(record, *peer);
    }
    const LibraryAnswer made = commit(std::move(record), change.interfaces(), answer.refusal, peer);
    answer.made = made.accepted;
    answer.svcId = made.svcId;
    if (byCaller && !made.accepted) {
        for (TableListener* listener : listeners) listener->callerNotRegistered(nextId);
    }
    if (answer.refusal.empty() && isRated(peer)) {
        changeRate.took(user, change.bytes(), ChangeRate::Clock::now());
    }
    return answer;
}

void RegistryPipeline::subscriberGone(const std::string& request, const std::string& channel) {
    MutexLock order(subscribing);
    subscriptions.remove(request, channel);
}

// The daemon's own changes are not checked. The rate goes first: a peer over it is refused
// before its change's names are looked at, whatever their size. A refusal is logged with the peer
// and the request.
std::string RegistryPipeline::refusalOf(const RegistryChange& change, const IncomingCall* call,
                                        uid_t user) const {
    if (call == nullptr) return std::string();
    const PeerCredentials* peer = &call->peer();
    std::string refusal;
    if (user == kNoAccount) {
        refusal = "the registry counts the changes of as many devices as it can: device '" +
                  peer->device + "' has no share";
    }
    if (refusal.empty() && change.kind != RegistryChange::Kind::Subscribe && isRated(peer)) {
        refusal =
            changeRate.refusal(changeRate.judge(user, change.bytes(), ChangeRate::Clock::now()));
    }
    if (refusal.empty() && change.kind == RegistryChange::Kind::Subscribe && isRated(peer) &&
        !subscribeTime.allows(user, WorkTime::Clock::now())) {
        refusal = WorkTime::refusal();
    }
    if (refusal.empty()) refusal = gate.refusalOf(*peer, change, entryQuota.perUser());
    for (auto listener = listeners.begin();
         refusal.empty() && change.kind != Kind::Deregister && change.kind != Kind::Subscribe &&
         listener != listeners.end();
         ++listener) {
        refusal = (*listener)->registrationRefusal(*peer, change.interfaces());
    }
    if (refusal.empty()) refusal = overQuota(user, change);
    if (refusal.empty() && change.kind == RegistryChange::Kind::Deregister) {
        // The entries at a channel a process of the user serves are the user's to remove, as
        // they go with that process: another user who registers its names there too cannot
        // keep the user from taking them back.
        const bool servesChannel = state.serverOf(change.channel) == user;
        const auto other = state.otherOwnerAt(
            change.interfaces(), change.channel, user, [&](const std::string& ifc) {
                return servesChannel || gate.mayRemoveOthers(*peer, ifc);
            });
        if (other) {
            refusal = "interface '" + other->first + "' at channel '" + change.channel +
                      "' was registered by " + describeAccount(other->second);
        }
    }
    if (!refusal.empty()) logRefusal(change, *peer, refusal);
    return refusal;
}

void RegistryPipeline::logRefusal(const std::string& request, const PeerCredentials& peer,
                                  const std::string& refusal) const {
    HOST_PEER_FAILURE(logKeyOf(peer), "Refused '%s' from %s: %s", request.c_str(),
                      peer.describe().c_str(), refusal.c_str());
}

// A listing passes while its user's bucket is not empty, and takes the bytes the table's entries
// take in a listing (as the quotas of table bytes count them), below empty when the bucket holds
// less: a table larger than a burst is still listed, at the rate.
bool RegistryPipeline::mayList(IncomingCall& call, const char* request) {
    const PeerCredentials& peer = call.peer();
    if (!isRated(&peer)) return true;
    const uid_t user = accountOf(peer);
    const UserRate::Clock::time_point now = UserRate::Clock::now();
    std::string refusal;
    {
        MutexLock hold(mutex);
        if (listingRate.allows(user, 1.0, now)) {
            const std::size_t bytes = state.byteCount() + state.remoteEntries().bytes();
            listingRate.take(user, static_cast<double>(bytes), now);
            return true;
        }
        refusal = listingRate.refusal();
    }
    logRefusal(request, peer, refusal);
    call.refuse(refusal);
    return false;
}

// The caller is named for good, by its pid and start time, in the registration's own record, so
// that a daemon started again can watch it again, or find it gone, whenever it ended. One that
// has ended already is not: its registration is on its way out.
void RegistryPipeline::keepCaller(JournalRecord& registration, const PeerCredentials& peer) {
    const std::string startTime = ProcessWatch::startTimeOf(peer.pid);
    if (!startTime.empty()) nameCallerProcess(registration, std::to_string(peer.pid), startTime);
}

std::string RegistryPipeline::watchCaller(ServiceId svcId, const RegistryChange& change,
                                          IncomingCall& call, bool& watched) {
    for (TableListener* listener : listeners) {
        std::string refusal = listener->watchingCaller(svcId, change, call, watched);
        if (!refusal.empty()) return refusal;
    }
    return std::string();
}

// Root and the daemon's user may change the registry as fast as they like, as they may do
// anything else.
bool RegistryPipeline::isRated(const PeerCredentials* peer) {
    return peer != nullptr && !isPrivileged(*peer);
}

// Only what a change adds is bounded: the count of what the tables hold goes first, since a
// refused change counts nothing.
std::string RegistryPipeline::overQuota(uid_t user, const RegistryChange& change) const {
    using Kind = RegistryChange::Kind;
    switch (change.kind) {
        case Kind::Register: {
            const std::vector<std::string>& names = change.interfaces();
            std::string refusal = entryQuota.refusal(
                "entries",
                entryQuota.judge(state.entriesHeldBy(user), state.entryCount(), names.size()));
            std::size_t bytes = 0;
            for (const std::string& name : names)
                bytes += RegistryState::bytesOf(name, change.channel);
            if (refusal.empty()) {
                refusal = byteQuota.refusal(
                    "table bytes",
                    byteQuota.judge(state.bytesHeldBy(user), state.byteCount(), bytes));
            }
            return refusal;
        }
        case Kind::RegisterProxy:
        case Kind::RegisterInvoker:
            if (state.keepsCreator(*change.record(user))) return std::string();
            return creatorQuota.refusal("creators", creatorQuota.judge(state.creatorsHeldBy(user),
                                                                       state.creatorCount(), 1));
        case Kind::Subscribe:
            return subscriptions.refusalOf(user, change.request, change.channel);
        case Kind::Deregister:
            break;
    }
    return std::string();
}

std::vector<ServiceRecord> RegistryPipeline::removeChannel(const std::string& channel) {
    MutexLock hold(mutex);
    return removeNamesHeld(state.namesAt(channel), channel);
}

std::vector<ServiceRecord> RegistryPipeline::removeRegistration(ServiceId svcId) {
    MutexLock hold(mutex);
    std::string channel;
    const std::vector<std::string> names = state.namesOnlyIn(svcId, channel);
    return removeNamesHeld(names, channel);
}

// The daemon's own deregistration, journaled like any other.
std::vector<ServiceRecord> RegistryPipeline::removeNamesHeld(
    const std::vector<std::string>& present, const std::string& channel) {
    if (present.empty()) return {};
    std::string failure;
    return commit({JournalRecord::Kind::Deregister,
                   geteuid(),
                   0,
                   {RegistryText::joinWith(present, ' '), channel}},
                  present, failure)
        .removed;
}

void RegistryPipeline::markServed(const std::string& channel, uid_t server) {
    std::string failure;
    MutexLock hold(mutex);
    if (state.serverOf(channel) == server || !state.hasEntriesAt(channel)) return;
    commit({JournalRecord::Kind::Served, server, 0, {channel}}, {}, failure);
}

// Journal first: a change acknowledged is on file, and one on file but not acknowledged (the
// daemon stopped in between) is made again on restart, as it would have been. A registration
// that the journal could not tell from one of a single empty name (no names or no channel) is
// not kept: the library refuses it, and it gets no id.
RegistryPipeline::LibraryAnswer RegistryPipeline::commit(JournalRecord record,
                                                         const std::vector<std::string>& names,
                                                         std::string& failure,
                                                         const PeerCredentials* by) {
    const bool registration = record.kind == JournalRecord::Kind::Register;
    if (registration) {
        if (!RegistryState::accepts(record.fields[0], record.fields[1])) return make(record, names);
        record.id = state.nextId();
    }
    std::string error;
    if (journal != nullptr && !journal->append(record, error)) {
        HOST_FAILURE("Change refused: %s", error.c_str());
        failure = "the registry cannot keep the change: " + error;
        return LibraryAnswer();
    }
    // Lookups see the change before anyone is told of it: a watcher that looks up what it was
    // told of finds it. The library tells its observers of a registration's names as it makes
    // it, so lookups are told first: one that looks meanwhile waits for this lock to be given
    // back before it is answered, and then finds the registration.
    if (registration) {
        for (TableListener* listener : listeners) listener->lookupsChanged();
    }
    const LibraryAnswer answer = make(record, names);
    const std::vector<ServiceRecord> added = registration && answer.accepted
                                                 ? entriesOf(names, answer.svcId, record.fields[1])
                                                 : std::vector<ServiceRecord>{};
    // A change that leaves the tables as they were is no news to lookups.
    const bool seenByLookups = !answer.removed.empty() || answer.newCreator;
    for (TableListener* listener : listeners) {
        if (seenByLookups) listener->lookupsChanged();
    }
    for (TableListener* listener : listeners) {
        if (!added.empty()) listener->registered(added, by);
        if (!answer.removed.empty()) listener->removed(answer.removed, by);
        if (answer.newCreator) listener->creatorTaken(record);
    }
    compactIfDue();
    return answer;
}

RegistryPipeline::LibraryAnswer RegistryPipeline::make(const JournalRecord& record,
                                                       const std::vector<std::string>& names) {
    const std::vector<std::string>& f = record.fields;
    LibraryAnswer answer;
    switch (record.kind) {
        case JournalRecord::Kind::Register:
            answer.accepted = table.registerSvcInterface(f[0], f[1]);
            if (answer.accepted) answer.svcId = state.registered(names, f[1], record.owner);
            if (const auto caller = callerRecordOf(record, answer.svcId); answer.accepted && caller)
                state.apply(*caller);
            break;
        case JournalRecord::Kind::Deregister: {
            std::vector<ServiceRecord> held = state.entriesAt(names, f[1]);
            answer.accepted = table.deregisterSvcInterfaces(f[0], f[1]);
            if (answer.accepted) answer.removed = state.deregistered(std::move(held), names, f[1]);
            break;
        }
        case JournalRecord::Kind::Proxy:
            answer.accepted = table.registerProxyInfo(f[0], f[1], f[2], f[3]);
            answer.newCreator = answer.accepted && state.creatorTaken(record);
            break;
        case JournalRecord::Kind::Invoker:
            answer.accepted = table.registerInvokerInfo(f[0], f[1], f[2], f[3]);
            answer.newCreator = answer.accepted && state.creatorTaken(record);
            break;
        case JournalRecord::Kind::NextId:
            skipIdsUntil(record.id);
            answer.accepted = state.nextId() >= record.id;
            break;
        case JournalRecord::Kind::Served:
        case JournalRecord::Kind::Caller:
            // The daemon's own knowledge, not the library's.
            state.apply(record);
            answer.accepted = true;
            break;
    }
    return answer;
}

RegistryJournal::Records RegistryPipeline::snapshot() const {
    // Called by rewrite, under the lock its caller holds.
    return [this](const std::function<void(const JournalRecord&)>& take)
               TS_REQUIRES(mutex) { state.snapshot(take); };
}

void RegistryPipeline::compactIfDue() {
    if (journal == nullptr) return;
    if (journal->size() < std::max(kBytesBeforeRewrite, 3 * journal->sizeAtRewrite())) return;
    std::string error;
    if (!journal->rewrite(snapshot(), error)) HOST_FAILURE("%s", error.c_str());
}

void RegistryPipeline::handleMessage(IncomingCall& call, const char* data, int length,
                                     const std::string& sourceChannel, CommsChannelIfc& replies,
                                     CommsChannelDataContainerMessage* message) {
    const std::string_view text(data, length > 0 ? static_cast<std::size_t>(length) : 0);
    const std::optional<RegistryChange> change = RegistryChange::fromText(text);
    if (!change) {
        if (asksForDetailsList(text) && !mayList(call, RegistryText::kGetDetailsList)) return;
        if (answeredWithRemote(text, replies, message)) return;
        loaded.handleMsg(data, length, sourceChannel, replies, message);
        return;
    }
    const ChangeAnswer answer = apply(*change, &call);
    // Text changes get no reply, but a sender that asks for one learns why this one was not made.
    if (!answer.refusal.empty()) call.refuse(answer.refusal);
}

bool RegistryPipeline::answerCall(IncomingCall* call, const ChangeAnswer& answer) {
    if (call == nullptr) return answer.made;
    if (!answer.refusal.empty()) call->refuse(answer.refusal);
    if (answer.svcId != 0) call->addToAnswer(kServiceIdParameter, std::to_string(answer.svcId));
    return answer.made;
}

// A registration by call is its caller's unless it asks to be kept: the caller is a process
// with a connection, which the daemon can watch. A text one stays, as an operator's; but a
// caller on another device's is its caller's either way (see apply).
bool RegistryPipeline::registerSvcInterface(IncomingCall* call, const std::string& ifc,
                                            const std::string& channelName) {
    RegistryChange change =
        RegistryChange::entries(Kind::Register, ifc, channelName, kRegisterMethod);
    change.ownedByCaller = call != nullptr && !call->asks(kKeepParameter);
    if (call != nullptr && call->peer().isRemote() && !change.ownedByCaller) {
        ChangeAnswer kept;
        kept.refusal =
            "the entries of a caller on another device end with its connection: they "
            "cannot be kept";
        logRefusal(change, call->peer(), kept.refusal);
        return answerCall(call, kept);
    }
    return answerCall(call, apply(change, call));
}

bool RegistryPipeline::deregisterSvcInterfaces(IncomingCall* call, const std::string& ifc,
                                               const std::string& channelName) {
    return answerCall(call, apply(RegistryChange::entries(Kind::Deregister, ifc, channelName,
                                                          "deregisterSvcInterfaces"),
                                  call));
}

bool RegistryPipeline::registerProxyInfo(IncomingCall* call, const std::string& lib,
                                         const std::string& creatorFn, const std::string& ifc,
                                         const std::string& protocol) {
    return answerCall(call, apply(RegistryChange::creator(Kind::RegisterProxy, lib, creatorFn, ifc,
                                                          protocol, "registerProxyInfo"),
                                  call));
}

bool RegistryPipeline::registerInvokerInfo(IncomingCall* call, const std::string& lib,
                                           const std::string& creatorFn, const std::string& ifc,
                                           const std::string& protocol) {
    return answerCall(call, apply(RegistryChange::creator(Kind::RegisterInvoker, lib, creatorFn,
                                                          ifc, protocol, "registerInvokerInfo"),
                                  call));
}

// The daemon's own subscriptions are not counted.
bool RegistryPipeline::subscribeStartupEvents(IncomingCall* call,
                                              ServiceRegistryObserverIfc* observer,
                                              const std::function<bool()>& watchSubscriber) {
    if (call == nullptr) return table.subscribeStartupEvents(observer);
    return answerCall(
        call,
        subscribe(RegistryChange::subscription(call->callbackChannel(), kObserverSubscription),
                  call,
                  [&] { return watchSubscriber() && table.subscribeStartupEvents(observer); }));
}

bool RegistryPipeline::unsubscribeStartupEvents(IncomingCall* call,
                                                ServiceRegistryObserverIfc* observer) {
    if (call != nullptr &&
        !mayUnsubscribe(*call, call->callbackChannel(), "unsubscribeStartupEvents")) {
        return false;
    }
    return table.unsubscribeStartupEvents(observer);
}

// A look at who serves the channel, as for a subscription, on the peer's time.
bool RegistryPipeline::mayUnsubscribe(IncomingCall& call, const std::string& channel,
                                      const char* request) {
    const PeerCredentials& peer = call.peer();
    if (!isRated(&peer)) return call.ownsChannel(channel);
    const uid_t user = accountOf(peer);
    {
        MutexLock hold(mutex);
        if (!subscribeTime.allows(user, WorkTime::Clock::now())) {
            logRefusal(RegistryChange::subscription(channel, request), peer, WorkTime::refusal());
            call.refuse(WorkTime::refusal());
            return false;
        }
    }
    const WorkTime::Clock::time_point began = WorkTime::Clock::now();
    const bool owned = call.ownsChannel(channel);
    tookSince(user, began);
    return owned;
}

bool RegistryPipeline::registerSvcInterface(const std::string& ifc,
                                            const std::string& channelName) {
    return registerSvcInterface(nullptr, ifc, channelName);
}

bool RegistryPipeline::deregisterSvcInterfaces(const std::string& ifc,
                                               const std::string& channelName) {
    return deregisterSvcInterfaces(nullptr, ifc, channelName);
}

bool RegistryPipeline::registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                                         const std::string& ifc, const std::string& protocol) {
    return registerProxyInfo(nullptr, lib, creatorFn, ifc, protocol);
}

bool RegistryPipeline::registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                                           const std::string& ifc, const std::string& protocol) {
    return registerInvokerInfo(nullptr, lib, creatorFn, ifc, protocol);
}

bool RegistryPipeline::subscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    return subscribeStartupEvents(nullptr, observer, nullptr);
}

bool RegistryPipeline::unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    return unsubscribeStartupEvents(nullptr, observer);
}

// The library's answer first: a local entry of an interface goes before the remote ones.
std::vector<std::string> RegistryPipeline::findSvcsForIfc(const std::string& ifc) {
    std::vector<std::string> channels = table.findSvcsForIfc(ifc);
    for (ServiceRecord& entry : remoteEntriesFor(ifc)) channels.push_back(std::move(entry.channel));
    return channels;
}

bool RegistryPipeline::findSvcInterface(const std::string& ifc, std::string& channelName) {
    if (table.findSvcInterface(ifc, channelName)) return true;
    std::vector<ServiceRecord> remote = remoteEntriesFor(ifc);
    if (remote.empty()) return false;
    channelName = std::move(remote.front().channel);
    return true;
}

bool RegistryPipeline::findInvoker(const std::string& ifc, const std::string& protocol,
                                   std::string& lib, std::string& creatorFn) {
    return table.findInvoker(ifc, protocol, lib, creatorFn) ||
           findRemoteCreator(true, RemoteCreators::keyOf(true, ifc, protocol), lib, creatorFn);
}

bool RegistryPipeline::findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) {
    return table.findProxy(ifc, lib, creatorFn) ||
           findRemoteCreator(false, RemoteCreators::keyOf(false, ifc, ""), lib, creatorFn);
}

bool RegistryPipeline::findRemoteCreator(bool invoker, const std::string& key, std::string& lib,
                                         std::string& creatorFn) {
    // Acquire, paired with the release store in tellRemote, as in remoteEntriesFor.
    if (remoteCreatorCount.load(std::memory_order_acquire) == 0) return false;
    MutexLock hold(mutex);
    const RemoteCreator* found = state.remoteCreators().find(invoker, key);
    if (found == nullptr) return false;
    lib = found->lib;
    creatorFn = found->creatorFn;
    return true;
}

// By interface, the library's entries of each before the remote ones.
std::vector<SvcDetails> RegistryPipeline::getSvcDetailsList() {
    std::vector<SvcDetails> local = table.getSvcDetailsList();
    if (remoteCount.load(std::memory_order_acquire) == 0) return local;
    std::vector<SvcDetails> remote;
    {
        MutexLock hold(mutex);
        for (ServiceRecord& entry : state.remoteEntries().all()) {
            remote.push_back(
                {std::move(entry.ifc), std::to_string(entry.svcId), std::move(entry.channel)});
        }
    }
    std::vector<SvcDetails> merged;
    merged.reserve(local.size() + remote.size());
    std::merge(std::make_move_iterator(local.begin()), std::make_move_iterator(local.end()),
               std::make_move_iterator(remote.begin()), std::make_move_iterator(remote.end()),
               std::back_inserter(merged),
               [](const SvcDetails& a, const SvcDetails& b) { return a.ifc < b.ifc; });
    return merged;
}

std::vector<ServiceRecord> RegistryPipeline::remoteEntriesFor(const std::string& ifc) {
    // Acquire, paired with the release store in tellRemote: an entry whose addition returned
    // before this lookup began is counted here.
    if (remoteCount.load(std::memory_order_acquire) == 0) return {};
    MutexLock hold(mutex);
    return state.remoteEntries().entriesFor(ifc);
}

// Only a lookup whose answer a remote entry changes is answered here: a registry without
// them takes the library's road, as does a find that a local entry answers.
bool RegistryPipeline::answeredWithRemote(std::string_view text, CommsChannelIfc& replies,
                                          CommsChannelDataContainerMessage* message) {
    if (message == nullptr || (remoteCount.load(std::memory_order_acquire) == 0 &&
                               remoteCreatorCount.load(std::memory_order_acquire) == 0)) {
        return false;
    }
    std::vector<std::string> fields;
    if (!RegistryText::splitRequest(text, fields)) return false;
    const std::string& command = fields[0];
    const std::string& ifc = fields[1];
    if (command == RegistryText::kFindProxy || command == RegistryText::kFindInvoker) {
        return answeredWithRemoteCreator(fields, replies, *message);
    }
    if (remoteCount.load(std::memory_order_acquire) == 0) return false;
    if (command == RegistryText::kGetDetailsList) {
        RemoteTextReplies::sendDetailsList(replies, *message, getSvcDetailsList());
        return true;
    }
    const bool lookup = command == RegistryText::kFind || command == RegistryText::kGetList ||
                        command == RegistryText::kFindServiceId;
    if (!lookup || ifc.empty()) return false;
    std::vector<ServiceRecord> remote = remoteEntriesFor(ifc);
    if (remote.empty()) return false;
    if (command == RegistryText::kGetList) {
        RemoteTextReplies::sendList(replies, fields[2], findSvcsForIfc(ifc));
        return true;
    }
    std::string local;
    if (table.findSvcInterface(ifc, local)) return false;
    if (command == RegistryText::kFind) {
        RemoteTextReplies::sendFound(replies, fields[2], *message, remote.front().channel);
    } else {
        RemoteTextReplies::sendServiceId(replies, *message, remote.front().svcId);
    }
    return true;
}

bool RegistryPipeline::answeredWithRemoteCreator(const std::vector<std::string>& fields,
                                                 CommsChannelIfc& replies,
                                                 const CommsChannelDataContainerMessage& request) {
    const bool invoker = fields[0] == RegistryText::kFindInvoker;
    const std::string& ifc = fields[1];
    const std::string& protocol = fields[2];
    std::string lib, creatorFn;
    const bool local = invoker ? table.findInvoker(ifc, protocol, lib, creatorFn)
                               : table.findProxy(ifc, lib, creatorFn);
    if (local) return false;
    const std::string key = RemoteCreators::keyOf(invoker, ifc, protocol);
    if (!findRemoteCreator(invoker, key, lib, creatorFn)) return false;
    RemoteTextReplies::sendCreator(
        replies, request, invoker ? RegistryText::kFoundInvoker : RegistryText::kFoundProxy,
        lib + "," + creatorFn);
    return true;
}

Outcome RegistryPipeline::addRemote(const std::string& device, const ServiceRecord& entry) {
    MutexLock hold(mutex);
    std::string refusal = gate.refusalOfRemote(device, entry);
    // An entry taken again (the bridge offers them all after a reload) adds nothing to count.
    if (refusal.empty() && !state.remoteEntries().holds(device, entry)) {
        refusal = overDeviceLimit(device, RemoteTable::bytesOf(device, entry));
    }
    if (!refusal.empty()) return refuseRemote(device, "an entry", refusal);
    if (std::optional<ServiceRecord> added = state.remoteEntries().add(device, entry))
        tellRemote({*added}, {});
    return Outcome();
}

Outcome RegistryPipeline::addRemoteCreator(const std::string& device,
                                           const RemoteCreator& creator) {
    MutexLock hold(mutex);
    RemoteCreators& remote = state.remoteCreators();
    std::string refusal = gate.refusalOfRemote(device, creator);
    // A creator in place of the device's own of its kind and key adds nothing to count.
    if (refusal.empty() && !remote.holds(device, creator)) refusal = overDeviceLimit(device, 0);
    if (!refusal.empty()) return refuseRemote(device, "a creator", refusal);
    if (remote.add(device, creator)) tellRemote({}, {});
    return Outcome();
}

// Entries and creators count alike against entries-per-device; only entries take bytes of a
// listing.
std::string RegistryPipeline::overDeviceLimit(const std::string& device, std::size_t bytes) {
    const RemoteTable& remote = state.remoteEntries();
    std::string over;
    if (remote.entriesOf(device) + state.remoteCreators().creatorsOf(device) >= entriesPerDevice) {
        over = "over the limit of entries (" + std::to_string(entriesPerDevice) + " per device)";
    } else if (remote.bytesOf(device) + bytes > tableBytesPerDevice) {
        over = "over the limit of table bytes (" + std::to_string(tableBytesPerDevice) +
               " per device)";
    } else if (remote.bytes() + bytes > deviceTableBytes) {
        over = "over the limit of table bytes (" + std::to_string(deviceTableBytes) +
               " for all devices)";
    }
    if (!over.empty()) refusedForRoom.insert(device);
    return over;
}

Outcome RegistryPipeline::refuseRemote(const std::string& device, const char* what,
                                       const std::string& refusal) {
    logRemoteRefusal(device, what, refusal);
    return Outcome(Status::Refused, "device '" + device + "': " + refusal);
}

void RegistryPipeline::removeRemote(const std::string& device, const ServiceRecord& entry) {
    MutexLock hold(mutex);
    if (std::optional<ServiceRecord> removed = state.remoteEntries().remove(device, entry)) {
        tellRemote({}, {*removed});
        retakeIfRoomMade();
    }
}

void RegistryPipeline::dropDevice(const std::string& device) {
    MutexLock hold(mutex);
    const std::vector<ServiceRecord> removed = state.remoteEntries().drop(device);
    const bool creatorsGone = state.remoteCreators().drop(device) != 0;
    remoteRefusalLogged.erase(device);
    // Its readers are closed, or made anew with all it holds: taken again, a removal it made
    // meanwhile would be lost; and a device gone would be kept here until the next retake.
    refusedForRoom.erase(device);
    if (removed.empty() && !creatorsGone) return;
    tellRemote({}, removed);
    retakeIfRoomMade();
}

void RegistryPipeline::watchRetake(std::function<void(const std::string& device)> retake) {
    MutexLock hold(mutex);
    retakeRemote = std::move(retake);
}

void RegistryPipeline::policyReplaced() {
    MutexLock hold(mutex);
    const std::vector<ServiceRecord> refused = state.remoteEntries().removeWhere(
        [this](const std::string& device, const ServiceRecord& entry) {
            return !gate.refusalOfRemote(device, entry).empty();
        });
    const std::size_t creatorsRefused = state.remoteCreators().removeWhere(
        [this](const std::string& device, const RemoteCreator& creator) {
            return !gate.refusalOfRemote(device, creator).empty();
        });
    if (!refused.empty() || creatorsRefused != 0) {
        HOST_FAILURE(
            "Removed %zu entries and %zu creators of other devices that the policy "
            "reloaded refuses",
            refused.size(), creatorsRefused);
        tellRemote({}, refused);
    }
    refusedForRoom.clear();
    if (retakeRemote) retakeRemote(std::string());
}

// An entry refused for a limit may fit now: the bridge takes the entries of the devices
// refused again, and only theirs.
void RegistryPipeline::retakeIfRoomMade() {
    const std::set<std::string> refused = std::exchange(refusedForRoom, {});
    if (!retakeRemote) return;
    for (const std::string& device : refused) retakeRemote(device);
}

std::size_t RegistryPipeline::remoteEntriesOf(const std::string& device) {
    MutexLock hold(mutex);
    return state.remoteEntries().entriesOf(device);
}

// As commit tells a local change: lookups first, then the listeners that hear remote ones.
void RegistryPipeline::tellRemote(const std::vector<ServiceRecord>& added,
                                  const std::vector<ServiceRecord>& removed) {
    remoteCount.store(state.remoteEntries().size(), std::memory_order_release);
    remoteCreatorCount.store(state.remoteCreators().size(), std::memory_order_release);
    for (TableListener* listener : listeners) listener->lookupsChanged();
    for (TableListener* listener : listeners) {
        if (!listener->hearsRemote()) continue;
        if (!added.empty()) listener->registered(added, nullptr);
        if (!removed.empty()) listener->removed(removed, nullptr);
    }
}

void RegistryPipeline::logRemoteRefusal(const std::string& device, const char* what,
                                        const std::string& refusal) {
    // Devices are few; a map grown past that is one of names that came and went.
    constexpr std::size_t kDevicesRemembered = 1024;
    if (remoteRefusalLogged.size() >= kDevicesRemembered) remoteRefusalLogged.clear();
    const auto now = std::chrono::steady_clock::now();
    auto [last, first] = remoteRefusalLogged.try_emplace(device, now);
    if (!first && now - last->second < std::chrono::seconds(1)) return;
    last->second = now;
    HOST_FAILURE("Refused %s of device '%s': %s", what, device.c_str(), refusal.c_str());
}

}  // namespace svcreg
