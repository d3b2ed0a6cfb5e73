#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Invoker.h"
#include "JournaledRegistry.h"
#include "Mutex.h"

class InvokerResponse;
class ProtocolAdapter;

namespace svcreg {

class HostFramework;

// Serves the feed of table changes (see RegistryEventsProtocol.h): keeps the watchers' callback
// channels and sends each change to each of them. A watcher that cannot be reached any more, or
// does not keep up, is dropped, and watcherGone told: it learns of it when its connection
// closes, and watches anew.
class RegistryEvents final : public Invoker, public TableListener {
public:
    RegistryEvents(HostFramework& framework, JournaledRegistry& registry,
                   std::function<void(const std::string& channel)> watcherGone);

    void handleMessage(Executable* executable, const char* data, int length,
                       InvokerResponse* response) override;
    void registered(const std::vector<ServiceRecord>& entries) override;
    void removed(const std::vector<ServiceRecord>& entries) override;

private:
    // Sends entries to channel as event; false when the watcher cannot be reached.
    bool send(const std::string& channel, const char* event,
              const std::vector<ServiceRecord>& entries);
    void answerWith(InvokerResponse& response, const char* name, bool result);
    bool watching(const std::string& channel);
    void sendToAll(const char* event, const std::vector<ServiceRecord>& entries);

    HostFramework& framework;
    JournaledRegistry& registry;
    ProtocolAdapter& adapter;
    const std::function<void(const std::string&)> watcherGone;

    Mutex mutex;  // guards watchers
    std::set<std::string> watchers TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
