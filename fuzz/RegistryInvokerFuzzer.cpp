// Feeds arbitrary bytes as a remote request to ServiceRegistryInvoker::handleMessage, on a fresh
// registry holding a few entries, with a subscriber channel bound so that subscriptions and
// their notifications run too. Every reply the invoker sends must decode.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "BinaryCodec.h"
#include "FuzzSupport.h"
#include "LoopbackFramework.h"
#include "LoopbackInvokerResponse.h"
#include "Method.h"
#include "RecordingObserver.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"
#include "ServiceRegistryObserverInvoker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    logEverythingQuietly();
    if (size > INT32_MAX) return 0;

    LoopbackFramework framework;
    ServiceRegistry registry;
    addFewEntries(registry);
    std::unique_ptr<Invoker> invoker(createServiceRegistryInvoker());
    std::unique_ptr<Invoker> observerInvoker(createServiceRegistryObserverInvoker());
    invoker->initInvoker(&framework);
    observerInvoker->initInvoker(&framework);
    ExecutableObserver observer;
    framework.bind("cb", *observerInvoker, observer);

    std::string reply;
    invoker->handleMessage(
        &registry, reinterpret_cast<const char*>(data), static_cast<int>(size),
        new LoopbackInvokerResponse(BinaryProtocolAdapter::kProtocolName, "cb", &reply));
    Method decoded;
    if (!reply.empty() && !decode(reply, decoded)) std::abort();
    return 0;
}
