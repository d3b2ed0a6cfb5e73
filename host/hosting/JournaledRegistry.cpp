#include "JournaledRegistry.h"

#include <unistd.h>

#include <algorithm>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "HostLog.h"
#include "RegistryTextProtocol.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

namespace {

// A journal is rewritten once it holds this many records more than the tables need, and at
// least twice as many: rewriting stays a small share of the work of the changes.
constexpr std::size_t kRecordsBeforeRewrite = 4096;

bool isChange(std::string_view command) {
    return command == RegistryText::kRegister || command == RegistryText::kDeregister ||
           command == RegistryText::kRegisterInvoker || command == RegistryText::kRegisterProxy;
}

// The record of a text command that changes the tables.
JournalRecord recordOf(const std::vector<std::string>& fields, uid_t owner) {
    const std::string& command = fields[0];
    if (command == RegistryText::kRegister || command == RegistryText::kDeregister) {
        return {command == RegistryText::kRegister ? JournalRecord::Kind::Register
                                                   : JournalRecord::Kind::Deregister,
                owner,
                0,
                {fields[1], fields[2]}};
    }
    return {command == RegistryText::kRegisterProxy ? JournalRecord::Kind::Proxy
                                                    : JournalRecord::Kind::Invoker,
            owner,
            0,
            {fields[1], fields[2], fields[3], fields[4]}};
}

std::vector<ServiceRecord> entriesOf(const JournalRecord& registration) {
    std::vector<ServiceRecord> entries;
    for (std::string& name : RegistryText::splitAt(registration.fields[0], ' ')) {
        entries.push_back({std::move(name), registration.id, registration.fields[1]});
    }
    return entries;
}

}  // namespace

JournaledRegistry::JournaledRegistry(Service& registry, std::unique_ptr<RegistryJournal> journal,
                                     std::function<uid_t()> callerUid)
    : loaded(registry),
      table(dynamic_cast<ServiceRegistryIfc&>(registry)),
      journal(std::move(journal)),
      callerUid(std::move(callerUid)) {}

bool JournaledRegistry::restore(std::string& error) {
    if (journal == nullptr) return true;
    std::vector<JournalRecord> records;
    if (!journal->load(records, error)) return false;
    std::size_t entries = 0;
    {
        MutexLock hold(mutex);
        for (const JournalRecord& record : records) replay(record);
        entries = state.entries().size();
        if (!journal->rewrite(state.snapshot(), error)) return false;
    }
    if (journal->droppedBytes() != 0) {
        HOST_FAILURE("The last %zu bytes of '%s' were cut short or damaged, and are dropped",
                     journal->droppedBytes(), journal->path().c_str());
    }
    if (!records.empty()) {
        HOST_TRACE(4, "Restored %zu entries from %zu records of '%s'", entries, records.size(),
                   journal->path().c_str());
    }
    return true;
}

void JournaledRegistry::replay(const JournalRecord& record) {
    const std::vector<std::string>& f = record.fields;
    switch (record.kind) {
        case JournalRecord::Kind::Register:
            if (f[1].empty()) return;
            skipIdsUntil(record.id);
            if (f[0].empty()) {
                // One empty name alone cannot be registered as such: register it beside a
                // name the channel does not have, and take that away again.
                std::string placeholder = "\x01";
                const std::vector<std::string> names = state.namesAt(f[1]);
                while (std::count(names.begin(), names.end(), placeholder) != 0)
                    placeholder += '\x01';
                table.registerSvcInterface(placeholder + " ", f[1]);
                table.deregisterSvcInterfaces(placeholder, f[1]);
            } else {
                table.registerSvcInterface(f[0], f[1]);
            }
            break;
        case JournalRecord::Kind::Deregister:
            table.deregisterSvcInterfaces(f[0], f[1]);
            break;
        case JournalRecord::Kind::Proxy:
            table.registerProxyInfo(f[0], f[1], f[2], f[3]);
            break;
        case JournalRecord::Kind::Invoker:
            table.registerInvokerInfo(f[0], f[1], f[2], f[3]);
            break;
        case JournalRecord::Kind::NextId:
            skipIdsUntil(record.id);
            break;
        case JournalRecord::Kind::Served:
            break;
    }
    state.apply(record);
}

// The registry gives ids one by one: each skipped one is a registration at a channel without
// entries, taken away at once.
void JournaledRegistry::skipIdsUntil(std::int64_t id) {
    if (state.nextId() >= id) return;
    const std::string channel = unusedChannel();
    for (std::int64_t next = state.nextId(); next < id; ++next) {
        table.registerSvcInterface("skipped", channel);
        table.deregisterSvcInterfaces("skipped", channel);
    }
    state.apply({JournalRecord::Kind::NextId, 0, id, {}});
}

std::string JournaledRegistry::unusedChannel() const {
    std::string channel = ".skipped";
    while (!state.namesAt(channel).empty()) channel += '.';
    return channel;
}

void JournaledRegistry::addListener(TableListener* listener) {
    MutexLock hold(mutex);
    listeners.push_back(listener);
}

void JournaledRegistry::whileUnchanged(const std::function<void(const RegistryState&)>& read) {
    MutexLock hold(mutex);
    read(state);
}

std::vector<ServiceRecord> JournaledRegistry::removeChannel(const std::string& channel) {
    std::vector<ServiceRecord> removed;
    MutexLock hold(mutex);
    const std::vector<std::string> present = state.namesAt(channel);
    if (present.empty()) return removed;
    const std::string names = RegistryText::joinWith(present, ' ');
    change(
        {JournalRecord::Kind::Deregister, geteuid(), 0, {names, channel}},
        [&] { return table.deregisterSvcInterfaces(names, channel); }, &removed);
    return removed;
}

void JournaledRegistry::markServed(const std::string& channel) {
    MutexLock hold(mutex);
    if (state.isServed(channel) || state.namesAt(channel).empty()) return;
    change({JournalRecord::Kind::Served, geteuid(), 0, {channel}}, [] { return true; });
}

// Journal first: a change acknowledged is on file, and one on file but not acknowledged (the
// daemon stopped in between) is made again on restart, as it would have been.
bool JournaledRegistry::change(const JournalRecord& record, const std::function<bool()>& make,
                               std::vector<ServiceRecord>* removed, std::string* failure) {
    std::string error;
    if (journal != nullptr && !journal->append(record, error)) {
        HOST_FAILURE("Change refused: %s", error.c_str());
        if (failure != nullptr) *failure = "the registry cannot keep the change: " + error;
        return false;
    }
    std::vector<ServiceRecord> gone;
    const bool made = make();
    state.apply(record, &gone);
    for (TableListener* listener : listeners) {
        if (record.kind == JournalRecord::Kind::Register) listener->registered(entriesOf(record));
        if (!gone.empty()) listener->removed(gone);
    }
    if (removed != nullptr) *removed = std::move(gone);
    compactIfDue();
    return made;
}

bool JournaledRegistry::changeNow(JournalRecord record, const std::function<bool()>& make,
                                  std::string* failure) {
    record.owner = callerUid();
    MutexLock hold(mutex);
    if (record.kind == JournalRecord::Kind::Register) {
        if (!RegistryState::accepts(record.fields[0], record.fields[1])) return make();
        record.id = state.nextId();
    }
    return change(record, make, nullptr, failure);
}

void JournaledRegistry::compactIfDue() {
    if (journal == nullptr) return;
    const std::size_t needed = state.recordCount();
    if (journal->appendedSinceRewrite() < std::max(kRecordsBeforeRewrite, 2 * needed)) return;
    std::string error;
    if (!journal->rewrite(state.snapshot(), error)) HOST_FAILURE("%s", error.c_str());
}

void JournaledRegistry::handleMsg(const char* data, int length, std::string sourceChannel,
                                  CommsChannelIfc& channel,
                                  CommsChannelDataContainerMessage* message) {
    const std::string_view text(data, length > 0 ? static_cast<std::size_t>(length) : 0);
    std::vector<std::string> fields;
    if (!isChange(text.substr(0, text.find(':'))) || !RegistryText::splitRequest(text, fields)) {
        loaded.handleMsg(data, length, std::move(sourceChannel), channel, message);
        return;
    }
    std::string failure;
    changeNow(
        recordOf(fields, 0),
        [&] {
            loaded.handleMsg(data, length, sourceChannel, channel, message);
            return true;
        },
        &failure);
    if (!failure.empty() && message != nullptr) refuse(channel, *message, failure);
}

// Text changes get no reply, but a sender that asks for one learns why this one was not made.
void JournaledRegistry::refuse(CommsChannelIfc& channel,
                               const CommsChannelDataContainerMessage& request,
                               const std::string& reason) {
    if (request.sourceChannel().empty()) return;
    CommsChannelDataContainerMessage error;
    error.setChannel(request.sourceChannel());
    error.setInterface(kErrorReplyInterface);
    error.setRequestId(request.requestId());
    error.setData(reason.data(), static_cast<int>(reason.size()));
    channel.sendMessage(&error);
}

bool JournaledRegistry::registerSvcInterface(const std::string& ifc,
                                             const std::string& channelName) {
    return changeNow({JournalRecord::Kind::Register, 0, 0, {ifc, channelName}},
                     [&] { return table.registerSvcInterface(ifc, channelName); });
}

bool JournaledRegistry::deregisterSvcInterfaces(const std::string& ifc,
                                                const std::string& channelName) {
    return changeNow({JournalRecord::Kind::Deregister, 0, 0, {ifc, channelName}},
                     [&] { return table.deregisterSvcInterfaces(ifc, channelName); });
}

bool JournaledRegistry::registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                                          const std::string& ifc, const std::string& protocol) {
    return changeNow({JournalRecord::Kind::Proxy, 0, 0, {lib, creatorFn, ifc, protocol}},
                     [&] { return table.registerProxyInfo(lib, creatorFn, ifc, protocol); });
}

bool JournaledRegistry::registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                                            const std::string& ifc, const std::string& protocol) {
    return changeNow({JournalRecord::Kind::Invoker, 0, 0, {lib, creatorFn, ifc, protocol}},
                     [&] { return table.registerInvokerInfo(lib, creatorFn, ifc, protocol); });
}

std::vector<std::string> JournaledRegistry::findSvcsForIfc(const std::string& ifc) {
    return table.findSvcsForIfc(ifc);
}

bool JournaledRegistry::findSvcInterface(const std::string& ifc, std::string& channelName) {
    return table.findSvcInterface(ifc, channelName);
}

bool JournaledRegistry::findInvoker(const std::string& ifc, const std::string& protocol,
                                    std::string& lib, std::string& creatorFn) {
    return table.findInvoker(ifc, protocol, lib, creatorFn);
}

bool JournaledRegistry::findProxy(const std::string& ifc, std::string& lib,
                                  std::string& creatorFn) {
    return table.findProxy(ifc, lib, creatorFn);
}

std::vector<SvcDetails> JournaledRegistry::getSvcDetailsList() {
    return table.getSvcDetailsList();
}

bool JournaledRegistry::subscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    return table.subscribeStartupEvents(observer);
}

bool JournaledRegistry::unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) {
    return table.unsubscribeStartupEvents(observer);
}

}  // namespace svcreg
