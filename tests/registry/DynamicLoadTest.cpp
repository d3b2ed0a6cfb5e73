// The registry library opened with dlopen and closed again while a thread that called into it
// lives on, as a framework's threads do. This binary does not link the library; loading it by
// its factories' plain names is the host runtime's RegistryLibrary, tested with it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>

#include "AdapterOnlyFramework.h"
#include "BinaryCodec.h"
#include "CountingResponse.h"
#include "Invoker.h"
#include "Service.h"

namespace {

// Registers a name through a new invoker of the library, as a framework's thread would.
bool registerThroughInvoker(void* library) {
    using ServiceFactory = Service* (*)();
    using InvokerFactory = Invoker* (*)();
    auto makeRegistry = reinterpret_cast<ServiceFactory>(dlsym(library, "createServiceRegistry"));
    auto makeInvoker =
        reinterpret_cast<InvokerFactory>(dlsym(library, "createServiceRegistryInvoker"));
    std::unique_ptr<Executable> registry(makeRegistry());
    std::unique_ptr<Invoker> invoker(makeInvoker());
    BinaryProtocolAdapter adapter;
    AdapterOnlyFramework framework(adapter);
    invoker->initInvoker(&framework);
    Method request("registerSvcInterface", Method::REQUEST);
    request.addStringParameter("ifc", "A", Parameter::IN);
    request.addStringParameter("chanName", "c", Parameter::IN);
    ResponseLog log;
    handOver(*invoker, registry.get(), encode(request), log);
    return log.replies == 1;
}

}  // namespace

TEST(DynamicLoad, UnloadsOnCloseAfterAThreadStillRunningHasCalledAnInvoker) {
    void* library = dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();

    // The caller's thread lives on past dlclose, as a framework's threads do.
    std::promise<bool> registered;
    std::promise<void> closed;
    std::thread caller([&] {
        registered.set_value(registerThroughInvoker(library));
        closed.get_future().wait();
    });
    EXPECT_TRUE(registered.get_future().get());
    EXPECT_EQ(dlclose(library), 0);
    // A library dlclose cannot unload (one marked NODELETE, or holding a unique symbol) stays
    // loaded, and RTLD_NOLOAD finds it.
    void* const stillLoaded = dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(stillLoaded, nullptr) << "dlclose left the library in memory";
    if (stillLoaded != nullptr) dlclose(stillLoaded);
    closed.set_value();
    caller.join();
}
