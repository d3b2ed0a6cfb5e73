#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ChangeRate.h"
#include "Mutex.h"
#include "RegistryChange.h"
#include "RegistryGate.h"
#include "RegistryJournal.h"
#include "RegistryState.h"
#include "Service.h"
#include "ServiceRegistry.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/IncomingCall.h"
#include "ServiceRegistry/Outcome.h"
#include "ServiceRegistry/PeerCredentials.h"
#include "ServiceRegistryIfc.h"
#include "Subscriptions.h"
#include "UserRate.h"
#include "WorkTime.h"

namespace svcreg {

// The registry that createServiceRegistry made, as the ServiceRegistry whose service table the
// pipeline's state reads; null when the library made another type.
ServiceRegistry* serviceTablesOf(Service& made);

// Told of every change of the service table, in the order the changes were made, under the
// lock that orders them: it must not call back into the registry.
class TableListener {
public:
    // by is the peer whose change it is; null for the daemon's own.
    virtual void registered(const std::vector<ServiceRecord>& entries,
                            const PeerCredentials* by) = 0;
    // Before a registration whose entries end with the process that asks for it by call (see
    // RegistryChange::ownedByCaller) is made under svcId, on the thread handling the call:
    // empty when that process's end can be told, with watched set when this listener watches
    // it; else why not, and the registration is refused.
    virtual std::string watchingCaller(ServiceId /*svcId*/, const RegistryChange& /*change*/,
                                       IncomingCall& /*call*/, bool& /*watched*/) {
        return std::string();
    }
    // The registration watchingCaller was told of was not made after all.
    virtual void callerNotRegistered(ServiceId /*svcId*/) {}
    // Why by may not register interfaces, or a creator of one, whatever the policy lets it:
    // empty when it may.
    virtual std::string registrationRefusal(const PeerCredentials& /*by*/,
                                            const std::vector<std::string>& /*interfaces*/) const {
        return std::string();
    }
    virtual void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) = 0;
    // Whether registered and removed are told of other devices' entries too (see
    // RegistryPipeline::addRemote); no other listener hears of them.
    virtual bool hearsRemote() const { return false; }
    // The registry took a creator (a Proxy or Invoker record) it held none of the same kind,
    // key, library and function of, after lookups were told.
    virtual void creatorTaken(const JournalRecord& /*record*/) {}
    // After every change lookups may see (entries or creators added or removed), before any
    // listener is told of it by the two above; for a registration, before it is made, as the
    // library tells its observers of it while it makes it.
    virtual void lookupsChanged() {}

protected:
    ~TableListener() = default;
};

// The registry as the daemon serves it. Lookups go straight to the loaded registry. Every
// change, whether by text command, by call or by watch, is decoded once into a RegistryChange
// and takes one road, one change at a time:
//   check (the gate's policy and name bounds, the quotas) -> journal -> library -> count ->
//   tell the listeners (the feed, the owner watch, the log).
// The library is the one model: each change goes to it through its own typed calls, by the
// same code that replays the journal at start, and what the daemon keeps beside it (the
// registrations' owners, the counts the quotas judge, the next service id) follows its
// answers: a change it refuses counts nothing, and a registration's id is the one its answer
// gave. A change the journal refuses counts nothing either. The journal replays the changes in
// the order that gave each registration its service id.
//
// A change comes with the IncomingCall that asks for it: the peer it is checked for, refused to
// and counted against. The ServiceRegistryIfc functions are the daemon's own changes, which are
// not checked.
class RegistryPipeline final : public Executable, public MessageHandler, public ServiceRegistryIfc {
public:
    // What became of a change: made (the library's answer) or refused, and why.
    struct ChangeAnswer {
        bool made = false;
        std::string refusal;  // empty unless refused before the library was asked
        ServiceId svcId = 0;  // the id a registration made got
    };

    // registry is the loaded one and gate the judge of each change, neither owned; tables is the
    // library's registry whose service table registry's changes are made in (registry itself,
    // or the one it stands for), which the state beside it reads. journal null keeps the tables
    // in memory only.
    RegistryPipeline(Service& registry, ServiceRegistry& tables, const RegistryGate& gate,
                     const RegistryQuotas& quotas, std::unique_ptr<RegistryJournal> journal);

    // Rebuilds the tables from the journal, then rewrites it as they are. False, with a message,
    // when the journal cannot be read or written; its damaged end is dropped, and logged.
    bool restore(std::string& error);
    // Listeners are told in the order they were added. startingFrom, when given, reads the
    // state the listener is told the changes of from then on.
    void addListener(TableListener* listener,
                     const std::function<void(const RegistryState&)>& startingFrom = nullptr);
    // Runs read while no change is made: a listener set from it misses none after what it read.
    void whileUnchanged(const std::function<void(const RegistryState&)>& read);

    // Makes change, which is no subscription, for call's peer (null for the daemon itself, which
    // may make any) through the library's own typed call.
    ChangeAnswer apply(const RegistryChange& change, IncomingCall* call);
    // Checks and counts a subscription for call's peer; make subscribes, and says whether it did.
    // A peer's subscriptions take their time from its share (see WorkTime): the check that the
    // channel is the caller's, and make.
    ChangeAnswer subscribe(const RegistryChange& change, IncomingCall* call,
                           const std::function<bool()>& make);
    // Whether call's peer may end its subscription at channel (request names the call in the
    // log): the channel must be its own. The check takes its time from the peer's share, as a
    // subscription's does; a peer whose share is spent is refused, logged, without it.
    bool mayUnsubscribe(IncomingCall& call, const std::string& channel, const char* request);
    // Removes every entry at channel, its process being gone; returns them.
    std::vector<ServiceRecord> removeChannel(const std::string& channel);
    // Removes the entries of registration svcId, the process that registered them being gone,
    // but for names another registration at its channel holds too (a deregistration would take
    // those along); returns them.
    std::vector<ServiceRecord> removeRegistration(ServiceId svcId);

    // Records that channel is served from the runtime directory by a process of user server,
    // so that its entries are known to have an owner whose end removes them, and whose user a
    // process serving it after a restart must be, across restarts too.
    void markServed(const std::string& channel, uid_t server);
    // Whether call's peer may be sent the whole table now, asking by request (its name in the
    // log): a user other than root and the registry's own is held to its rate of listed bytes,
    // and one over it is refused, and logged. Such an answer's work grows with the table, so
    // that a user asking for it again and again would keep the registry from the others.
    bool mayList(IncomingCall& call, const char* request);
    // A subscriber's process is gone: its subscription no longer counts. Waits for a
    // subscription being made to be counted first; never call it while making one, or under
    // the table's lock.
    // request names what subscribed: "subscribeStartupEvents" or "watch".
    void subscriberGone(const std::string& request, const std::string& channel);
    std::size_t subscriberCount() { return subscriptions.count(); }
    // Logs change refused to peer, naming both and why.
    void logRefusal(const RegistryChange& change, const PeerCredentials& peer,
                    const std::string& refusal) const {
        logRefusal(change.request, peer, refusal);
    }
    // Logs request refused to peer, naming both and why.
    void logRefusal(const std::string& request, const PeerCredentials& peer,
                    const std::string& refusal) const;

    // Other devices' entries (see RemoteDevices.h): entered and removed under the lock that
    // orders the changes, never journaled nor counted against a user; each device may hold
    // quotas.entriesPerDevice. Lookups find them after the local entries of their interface,
    // and the listeners that hear remote changes are told of them. Other devices' creators are
    // kept the same way, and count against the same limit; lookups find them when the library
    // holds none of their kind and key.
    Outcome addRemote(const std::string& device, const ServiceRecord& entry);
    Outcome addRemoteCreator(const std::string& device, const RemoteCreator& creator);
    void removeRemote(const std::string& device, const ServiceRecord& entry);
    void dropDevice(const std::string& device);
    std::size_t remoteEntriesOf(const std::string& device);
    // retake is called, under the lock that orders the changes, when other devices' entries
    // refused before may be taken now: with "" when the policy was replaced, with each device
    // refused for a limit when entries were removed after. It must not block nor call back
    // into the registry.
    void watchRetake(std::function<void(const std::string& device)> retake);
    // The gate's policy was replaced: removes the remote entries it now refuses, and asks for
    // every device's entries again, so that those it now allows come back.
    void policyReplaced();

    void init(Context&) override {}
    void shutdown() override {}
    // A text change is made for call; other text goes to the loaded registry.
    void handleMessage(IncomingCall& call, const char* data, int length,
                       const std::string& sourceChannel, CommsChannelIfc& replies,
                       CommsChannelDataContainerMessage* message) override;

    // The changes a call asks for, made for call (null for the daemon's own): refused ones
    // answered with why, registrations with their service id (see RegistryCallAnswers.h).
    bool registerSvcInterface(IncomingCall* call, const std::string& ifc,
                              const std::string& channelName);
    bool deregisterSvcInterfaces(IncomingCall* call, const std::string& ifc,
                                 const std::string& channelName);
    bool registerProxyInfo(IncomingCall* call, const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol);
    bool registerInvokerInfo(IncomingCall* call, const std::string& lib,
                             const std::string& creatorFn, const std::string& ifc,
                             const std::string& protocol);
    // A remote observer's channel is the call's callback channel. watchSubscriber, run once the
    // call may subscribe, watches the end of the process at that channel, or refuses the call,
    // saying why, and says it did not.
    bool subscribeStartupEvents(IncomingCall* call, ServiceRegistryObserverIfc* observer,
                                const std::function<bool()>& watchSubscriber);
    // Only for the caller's own channel: nobody ends another's subscription.
    bool unsubscribeStartupEvents(IncomingCall* call, ServiceRegistryObserverIfc* observer);

    bool registerSvcInterface(const std::string& ifc, const std::string& channelName) override;
    bool deregisterSvcInterfaces(const std::string& ifc, const std::string& channelName) override;
    bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol) override;
    bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                             const std::string& ifc, const std::string& protocol) override;
    std::vector<std::string> findSvcsForIfc(const std::string& ifc) override;
    bool findSvcInterface(const std::string& ifc, std::string& channelName) override;
    bool findInvoker(const std::string& ifc, const std::string& protocol, std::string& lib,
                     std::string& creatorFn) override;
    bool findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) override;
    std::vector<SvcDetails> getSvcDetailsList() override;
    bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;
    bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;

private:
    // Tells lookups and the listeners that hear them of remote changes (of creators: none).
    void tellRemote(const std::vector<ServiceRecord>& added,
                    const std::vector<ServiceRecord>& removed) TS_REQUIRES(mutex);
    // Why device may not enter one more entry taking bytes of a listing, or creator (bytes 0):
    // which of the devices' limits it is over, noted for a retake once room is made; empty when
    // it fits.
    std::string overDeviceLimit(const std::string& device, std::size_t bytes) TS_REQUIRES(mutex);
    // Refuses device's entry or creator (what, as "an entry") for refusal, logged once a second
    // per device at most.
    Outcome refuseRemote(const std::string& device, const char* what, const std::string& refusal)
        TS_REQUIRES(mutex);
    // Asks for the entries of each device refused for a limit since it last did again.
    void retakeIfRoomMade() TS_REQUIRES(mutex);
    void logRemoteRefusal(const std::string& device, const char* what, const std::string& refusal)
        TS_REQUIRES(mutex);
    // The other devices' creator of kind and key, when the library holds none.
    bool findRemoteCreator(bool invoker, const std::string& key, std::string& lib,
                           std::string& creatorFn);
    // A find_proxy or find_invoker (fields) whose answer is another device's creator, answered
    // here as the library answers it; false when the library's answer stands.
    bool answeredWithRemoteCreator(const std::vector<std::string>& fields, CommsChannelIfc& replies,
                                   const CommsChannelDataContainerMessage& request);
    // The remote entries of ifc, in lookup order; none without taking the lock when there are
    // none at all.
    std::vector<ServiceRecord> remoteEntriesFor(const std::string& ifc);
    // A text lookup whose answer holds remote entries, answered here as the library answers
    // it; false for other text, which the library answers.
    bool answeredWithRemote(std::string_view text, CommsChannelIfc& replies,
                            CommsChannelDataContainerMessage* message);
    static bool isRated(const PeerCredentials* peer);
    // user's subscription work, begun at began, ended now: its time comes from user's share.
    void tookSince(uid_t user, WorkTime::Clock::time_point began) TS_EXCLUDES(mutex);
    // The check: empty when call's peer may make change; else why not, logged.
    std::string refusalOf(const RegistryChange& change, const IncomingCall* call, uid_t user) const
        TS_REQUIRES(mutex);
    // The quotas' part of the check: empty when what change adds fits them.
    std::string overQuota(uid_t user, const RegistryChange& change) const TS_REQUIRES(mutex);
    // What the library answered to a change, and what that changed beside it.
    struct LibraryAnswer {
        bool accepted = false;
        ServiceId svcId = 0;  // a registration accepted: the id it got
        std::vector<ServiceRecord> removed;
        bool newCreator = false;
    };
    // Journals record, makes it in the library and keeps the state in step with the answer.
    // Nothing changed, and why in failure, when the journal refuses it. names are the record's
    // interface names, split once.
    // by is the peer whose change it is; null for the daemon's own.
    LibraryAnswer commit(JournalRecord record, const std::vector<std::string>& names,
                         std::string& failure, const PeerCredentials* by = nullptr)
        TS_REQUIRES(mutex);
    // The one road of a change into the library, for a change asked for and a journal's record
    // replayed alike: the library's typed call, and the state kept beside it told its answer.
    LibraryAnswer make(const JournalRecord& record, const std::vector<std::string>& names)
        TS_REQUIRES(mutex);
    // Empty when every listener can watch the process of call, which asks for change, to be
    // made under svcId; watched tells whether one does.
    std::string watchCaller(ServiceId svcId, const RegistryChange& change, IncomingCall& call,
                            bool& watched) TS_REQUIRES(mutex);
    // Names in registration's record the process of peer, which made it and whose end it ends
    // with.
    void keepCaller(JournalRecord& registration, const PeerCredentials& peer) TS_REQUIRES(mutex);
    std::vector<ServiceRecord> removeNamesHeld(const std::vector<std::string>& present,
                                               const std::string& channel) TS_REQUIRES(mutex);
    // A change asked for by call: false, with the refusal beside it in the answer, when refused.
    static bool answerCall(IncomingCall* call, const ChangeAnswer& answer);
    // Applies a restored record to the loaded registry.
    void replay(const JournalRecord& record) TS_REQUIRES(mutex);
    // Replays a registration the journal kept of one empty name.
    void replayEmptyName(const JournalRecord& record) TS_REQUIRES(mutex);
    // Uses up service ids until the registry's next one is id.
    void skipIdsUntil(std::int64_t id) TS_REQUIRES(mutex);
    std::string unusedChannel() const TS_REQUIRES(mutex);
    // The fewest records that rebuild the tables, for a rewrite of the journal under the lock.
    RegistryJournal::Records snapshot() const TS_REQUIRES(mutex);
    void compactIfDue() TS_REQUIRES(mutex);

    Service& loaded;
    ServiceRegistryIfc& table;
    const RegistryGate& gate;
    UserBudget entryQuota;    // limits only: the entries are counted in state
    UserBudget creatorQuota;  // limits only: the creators are counted in state
    UserBudget byteQuota;     // limits only: the entries' bytes are counted in state
    Subscriptions subscriptions;
    ChangeRate changeRate TS_GUARDED_BY(mutex);
    WorkTime subscribeTime TS_GUARDED_BY(mutex);
    UserRate listingRate TS_GUARDED_BY(mutex);  // of bytes of whole-table answers
    const std::unique_ptr<RegistryJournal> journal;

    // Orders the subscriptions, each checked, made and counted as one; taken before mutex.
    Mutex subscribing;
    Mutex mutex;  // orders the changes; guards state, listeners and the journal's file
    RegistryState state TS_GUARDED_BY(mutex);
    const std::size_t entriesPerDevice;
    const std::size_t tableBytesPerDevice;
    const std::size_t deviceTableBytes;
    // The devices an entry or creator of which was refused for a limit since the last retake.
    std::set<std::string> refusedForRoom TS_GUARDED_BY(mutex);
    std::function<void(const std::string& device)> retakeRemote TS_GUARDED_BY(mutex);
    // How many remote entries there are: lookups of a registry without any take no lock.
    std::atomic<std::size_t> remoteCount{0};
    // How many remote creators there are, for the same purpose.
    std::atomic<std::size_t> remoteCreatorCount{0};
    std::map<std::string, std::chrono::steady_clock::time_point> remoteRefusalLogged
        TS_GUARDED_BY(mutex);
    std::vector<TableListener*> listeners TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
