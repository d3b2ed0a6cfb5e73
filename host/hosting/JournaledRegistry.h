#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Mutex.h"
#include "RegistryJournal.h"
#include "RegistryState.h"
#include "Service.h"
#include "ServiceRegistryIfc.h"

namespace svcreg {

// Told of every change of the service table, in the order the changes were made, under the
// lock that orders them: it must not call back into the registry.
class TableListener {
public:
    virtual void registered(const std::vector<ServiceRecord>& entries) = 0;
    virtual void removed(const std::vector<ServiceRecord>& entries) = 0;

protected:
    ~TableListener() = default;
};

// The registry as the daemon serves it: lookups go straight to the loaded registry; changes,
// whether by text command or by call, are made one at a time, each first written to the
// journal (when there is one) and then told to the listener, so that the journal replays them in
// the order that gave each registration its service id.
class JournaledRegistry final : public Service, public ServiceRegistryIfc {
public:
    // registry is the loaded one, not owned; journal null keeps the tables in memory only.
    // callerUid says who asks for the change being made.
    JournaledRegistry(Service& registry, std::unique_ptr<RegistryJournal> journal,
                      std::function<uid_t()> callerUid);

    // Rebuilds the tables from the journal, then rewrites it as they are. False, with a message,
    // when the journal cannot be read or written; its damaged end is dropped, and logged.
    bool restore(std::string& error);
    // Listeners are told in the order they were added.
    void addListener(TableListener* listener);
    // Runs read while no change is made: a listener set from it misses none after what it read.
    void whileUnchanged(const std::function<void(const RegistryState&)>& read);
    // Removes every entry at channel, through the registry's deregistration; returns them.
    std::vector<ServiceRecord> removeChannel(const std::string& channel);
    // Records that channel is served from the runtime directory, so that its entries are known
    // to have an owner whose end removes them, across restarts too.
    void markServed(const std::string& channel);

    void init(Context&) override {}
    void shutdown() override {}
    void run() override {}
    void handleMsg(const char* data, int length, std::string sourceChannel,
                   CommsChannelIfc& channel, CommsChannelDataContainerMessage* message) override;

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
    // Journals record, makes the change through make and keeps the state in step. False, and
    // nothing changed, when the journal refuses it.
    // The entries it removed go to removed.
    // When the journal refuses it, why goes to failure.
    bool change(const JournalRecord& record, const std::function<bool()>& make,
                std::vector<ServiceRecord>* removed = nullptr, std::string* failure = nullptr)
        TS_REQUIRES(mutex);
    // A change asked for by the caller of this thread; a registration gets its id here.
    bool changeNow(JournalRecord record, const std::function<bool()>& make,
                   std::string* failure = nullptr);
    void refuse(CommsChannelIfc& channel, const CommsChannelDataContainerMessage& request,
                const std::string& reason);
    // Applies a restored record to the loaded registry.
    void replay(const JournalRecord& record) TS_REQUIRES(mutex);
    // Uses up service ids until the registry's next one is id.
    void skipIdsUntil(std::int64_t id) TS_REQUIRES(mutex);
    std::string unusedChannel() const TS_REQUIRES(mutex);
    void compactIfDue() TS_REQUIRES(mutex);

    Service& loaded;
    ServiceRegistryIfc& table;
    const std::unique_ptr<RegistryJournal> journal;
    const std::function<uid_t()> callerUid;

    Mutex mutex;  // orders the changes; guards state, listener and the journal's file
    RegistryState state TS_GUARDED_BY(mutex);
    std::vector<TableListener*> listeners TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
