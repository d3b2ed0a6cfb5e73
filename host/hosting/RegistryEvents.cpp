#include "RegistryEvents.h"

#include <iterator>
#include <memory>

#include "BinaryProtocolAdapter.h"
#include "HostLog.h"
#include "InvokerResponse.h"
#include "Method.h"
#include "MethodBytes.h"
#include "RegistryEventsProtocol.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

namespace Wire = RegistryEventsProtocol;

namespace {

// How a watch's subscription is named in the log and counted.
constexpr char kWatchRequest[] = "watch";

}  // namespace

RegistryEvents::RegistryEvents(HostFramework& framework, RegistryPipeline& registry)
    : framework(framework),
      registry(registry),
      adapter(*framework.getProtocolAdapter(BinaryProtocolAdapter::kProtocolName)) {}

void RegistryEvents::handleCall(IncomingCall& call, const char* data, int length,
                                std::unique_ptr<InvokerResponse> answer) {
    Method request;
    if (!decodeMethod(adapter, bytesOf(data, length), request)) return;
    const std::string& channel = answer->getRemoteContext();
    if (request.getName() == Wire::kWatch) {
        // A watch is answered with the whole table.
        if (!registry.mayList(call, kWatchRequest)) {
            answerWith(*answer, Wire::kWatch, false);
            return;
        }
        const RegistryPipeline::ChangeAnswer outcome =
            registry.subscribe(RegistryChange::subscription(channel, kWatchRequest), &call,
                               [&] { return join(channel); });
        if (!outcome.refusal.empty()) call.refuse(outcome.refusal);
        answerWith(*answer, Wire::kWatch, outcome.made);
    } else if (request.getName() == Wire::kUnwatch) {
        // Only the watcher's own channel: nobody ends another's watch.
        answerWith(*answer, Wire::kUnwatch,
                   registry.mayUnsubscribe(call, channel, Wire::kUnwatch) && drop(channel));
    } else {
        answerWith(*answer, request.getName().c_str(), false);
    }
}

// The replay goes out, and the watcher joins, while the table stands still: each entry is seen
// once, in the replay or as a change after it, in the order of the changes. Its end is watched
// from before it joins, so that a watcher that ends at once is dropped all the same. Joins come
// one at a time: the pipeline makes subscriptions so.
bool RegistryEvents::join(const std::string& channel) {
    if (watching(channel)) return replayTo(channel);
    const Result<PeerWatch> watching = framework.watchPeer(channel, [this, channel] {
        if (drop(channel)) HOST_TRACE(4, "Watcher at channel '%s' has ended", channel.c_str());
    });
    if (!watching) {
        HOST_TRACE(3, "No watch from channel '%s': %s", channel.c_str(), watching.reason().c_str());
        return false;
    }
    const PeerWatchId watch = watching->id;
    bool replayed = false;
    registry.whileUnchanged([&](const RegistryState& state) {
        replayed = send(channel, Wire::kReplayed, replayOf(state));
        if (replayed) {
            MutexLock hold(mutex);
            watchers.emplace(channel, watch);
        }
    });
    // A watcher that ended before it joined was not there to be dropped: it is dropped now.
    if (replayed && !framework.stillWatching(watch)) {
        MutexLock hold(mutex);
        watchers.erase(channel);
        replayed = false;
    }
    if (!replayed) framework.unwatchPeer(watch);
    return replayed;
}

// A channel watching already is sent the table again, and keeps its one place.
bool RegistryEvents::replayTo(const std::string& channel) {
    bool replayed = false;
    registry.whileUnchanged([&](const RegistryState& state) {
        replayed = send(channel, Wire::kReplayed, replayOf(state));
    });
    return replayed;
}

std::vector<ServiceRecord> RegistryEvents::replayOf(const RegistryState& state) {
    std::vector<ServiceRecord> entries = state.entries();
    std::vector<ServiceRecord> remote = state.remoteEntries().all();
    entries.insert(entries.end(), std::make_move_iterator(remote.begin()),
                   std::make_move_iterator(remote.end()));
    return entries;
}

bool RegistryEvents::watching(const std::string& channel) {
    MutexLock hold(mutex);
    return watchers.count(channel) != 0;
}

// The subscription is given back on a framework thread: this may be called under the table's
// lock, and the pipeline orders subscriptions before it.
bool RegistryEvents::drop(const std::string& channel) {
    PeerWatchId watch = 0;
    {
        MutexLock hold(mutex);
        auto found = watchers.find(channel);
        if (found == watchers.end()) return false;
        watch = found->second;
        watchers.erase(found);
    }
    framework.unwatchPeer(watch);
    framework.post([this, channel] { registry.subscriberGone(kWatchRequest, channel); });
    return true;
}

bool RegistryEvents::send(const std::string& channel, const char* event,
                          const std::vector<ServiceRecord>& entries) {
    Method call(event, Method::REQUEST);
    call.addStringParameter(Wire::kEntries, Wire::encodeEntries(entries), Parameter::IN);
    return framework.sendOneWay(channel, Wire::kInterface, call).ok();
}

void RegistryEvents::answerWith(InvokerResponse& response, const char* name, bool result) {
    Method reply(name, Method::REPLY);
    reply.addBoolParameter(Wire::kResult, result, Parameter::OUT);
    const std::string bytes = encodeMethod(adapter, reply);
    response.sendReply(bytes.data(), static_cast<int>(bytes.size()));
}

void RegistryEvents::registered(const std::vector<ServiceRecord>& entries,
                                const PeerCredentials* /*by*/) {
    sendToAll(Wire::kRegistered, entries);
}

void RegistryEvents::removed(const std::vector<ServiceRecord>& entries,
                             const PeerCredentials* /*by*/) {
    sendToAll(Wire::kRemoved, entries);
}

// Called under the table's lock, so that every watcher gets the changes in their order. A
// watcher that does not keep up is disconnected and dropped rather than waited for; it learns of
// it and watches anew. Whether one has ended is the watch of its end's to say, not a send's: a
// watcher whose send fails keeps its place until that watch drops it.
void RegistryEvents::sendToAll(const char* event, const std::vector<ServiceRecord>& entries) {
    std::vector<std::string> all;
    {
        MutexLock hold(mutex);
        for (const auto& watcher : watchers) all.push_back(watcher.first);
    }
    if (all.empty()) return;
    Method call(event, Method::REQUEST);
    call.addStringParameter(Wire::kEntries, Wire::encodeEntries(entries), Parameter::IN);
    for (const std::string& channel : all) {
        const Outcome sent = framework.sendOneWay(channel, Wire::kInterface, call);
        if (sent.ok()) continue;
        if (sent != Status::Busy) {
            HOST_TRACE(4, "Watcher at channel '%s' cannot be reached", channel.c_str());
            continue;
        }
        HOST_PEER_FAILURE(channel, "Watcher at channel '%s' does not keep up: disconnected",
                          channel.c_str());
        framework.disconnect(channel);
        drop(channel);
    }
}

}  // namespace svcreg
