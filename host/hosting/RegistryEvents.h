#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Mutex.h"
#include "RegistryPipeline.h"
#include "ServiceRegistry/HostFramework.h"

class InvokerResponse;
class ProtocolAdapter;

namespace svcreg {

class HostFramework;

// Serves the feed of table changes (see RegistryEventsProtocol.h): keeps the watchers' callback
// channels and sends each change to each of them. A watch is a subscription: it goes through
// the registry's pipeline, which checks and counts it. A watcher that ends (see PeerEnds), or does
// not keep up, is dropped and its subscription given back: one that does not keep up learns of
// it when its connection closes, and watches anew.
class RegistryEvents final : public CallHandler, public TableListener {
public:
    RegistryEvents(HostFramework& framework, RegistryPipeline& registry);

    void handleCall(IncomingCall& call, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override;
    void registered(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) override;
    void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) override;
    bool hearsRemote() const override { return true; }

private:
    // Sends channel the table as it is and adds it to the watchers; false when it cannot be
    // reached.
    bool join(const std::string& channel);
    bool replayTo(const std::string& channel);
    // The table as a replay sends it: the local entries, then other devices'.
    static std::vector<ServiceRecord> replayOf(const RegistryState& state);
    bool watching(const std::string& channel);
    // Stops sending to channel and gives its subscription back; false when it was not watching.
    bool drop(const std::string& channel);
    // Sends entries to channel as event; false when the watcher cannot be reached.
    bool send(const std::string& channel, const char* event,
              const std::vector<ServiceRecord>& entries);
    void answerWith(InvokerResponse& response, const char* name, bool result);
    void sendToAll(const char* event, const std::vector<ServiceRecord>& entries);

    HostFramework& framework;
    RegistryPipeline& registry;
    ProtocolAdapter& adapter;

    Mutex mutex;                                                       // guards watchers
    std::map<std::string, PeerWatchId> watchers TS_GUARDED_BY(mutex);  // by callback channel
};

}  // namespace svcreg
