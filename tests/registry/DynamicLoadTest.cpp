// Loads the registry as a framework does: dlopen by path, the factory by its plain name, and
// only framework and interface types from then on. This binary does not link the library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AdapterOnlyFramework.h"
#include "BinaryCodec.h"
#include "Context.h"
#include "CountingResponse.h"
#include "Invoker.h"
#include "Proxy.h"
#include "Service.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"

namespace {

class CountingObserver final : public ServiceRegistryObserverIfc {
public:
    void newServiceIfcRegistered(std::string) override { ++calls; }
    int calls = 0;
};

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};

// ServiceRegistryProxy::sRegisterSvcInterfaceMethodName of the library loaded at `library`,
// found by its mangled name, since this binary does not link the library.
std::string* registerMethodName(void* library) {
    return static_cast<std::string*>(
        dlsym(library, "_ZN20ServiceRegistryProxy31sRegisterSvcInterfaceMethodNameB5cxx11E"));
}

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
    const std::string bytes = encode(request);
    ResponseLog log;
    invoker->handleMessage(registry.get(), bytes.data(), static_cast<int>(bytes.size()),
                           new CountingResponse(log));
    return log.replies == 1;
}

}  // namespace

TEST(DynamicLoad, FactoryFoundByPlainNameMakesAWorkingRegistry) {
    std::unique_ptr<void, LibraryCloser> library(dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW));
    ASSERT_NE(library, nullptr) << dlerror();
    using Factory = Service* (*)();
    auto factory = reinterpret_cast<Factory>(dlsym(library.get(), "createServiceRegistry"));
    ASSERT_NE(factory, nullptr) << dlerror();

    Service* service = factory();
    ASSERT_NE(service, nullptr);
    {
        std::unique_ptr<Executable> executable(service);
        Context context;
        executable->init(context);
        service->run();

        auto* registry = dynamic_cast<ServiceRegistryIfc*>(executable.get());
        ASSERT_NE(registry, nullptr) << "the registry is reachable from its Executable base";
        CountingObserver observer;
        EXPECT_TRUE(registry->subscribeStartupEvents(&observer));
        EXPECT_TRUE(registry->registerSvcInterface("A B", "ch"));
        EXPECT_EQ(observer.calls, 2);
        std::string channel;
        EXPECT_TRUE(registry->findSvcInterface("B", channel));
        EXPECT_EQ(channel, "ch");
        ASSERT_EQ(registry->getSvcDetailsList().size(), 2u);
        EXPECT_EQ(registry->getSvcDetailsList()[1].svcId, "1");
        EXPECT_TRUE(registry->unsubscribeStartupEvents(&observer));
        executable->shutdown();
    }  // deleted through Executable, while the library is still loaded
}

TEST(DynamicLoad, RemoteBindingFactoriesFoundByPlainNamesMakeTheirKinds) {
    std::unique_ptr<void, LibraryCloser> library(dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW));
    ASSERT_NE(library, nullptr) << dlerror();
    using ProxyFactory = Proxy* (*)();
    using InvokerFactory = Invoker* (*)();
    auto registryProxyFactory =
        reinterpret_cast<ProxyFactory>(dlsym(library.get(), "createServiceRegistryProxy"));
    auto observerProxyFactory =
        reinterpret_cast<ProxyFactory>(dlsym(library.get(), "createServiceRegistryObserverProxy"));
    auto registryInvokerFactory =
        reinterpret_cast<InvokerFactory>(dlsym(library.get(), "createServiceRegistryInvoker"));
    auto observerInvokerFactory = reinterpret_cast<InvokerFactory>(
        dlsym(library.get(), "createServiceRegistryObserverInvoker"));
    ASSERT_TRUE(registryProxyFactory && observerProxyFactory && registryInvokerFactory &&
                observerInvokerFactory);

    std::unique_ptr<Proxy> registryProxy(registryProxyFactory());
    EXPECT_NE(dynamic_cast<ServiceRegistryIfc*>(registryProxy.get()), nullptr);
    std::unique_ptr<Proxy> observerProxy(observerProxyFactory());
    EXPECT_NE(dynamic_cast<ServiceRegistryObserverIfc*>(observerProxy.get()), nullptr);
    std::unique_ptr<Invoker> registryInvoker(registryInvokerFactory());
    std::unique_ptr<Invoker> observerInvoker(observerInvokerFactory());
    EXPECT_NE(registryInvoker, nullptr);
    EXPECT_NE(observerInvoker, nullptr);
}

TEST(DynamicLoad, UnloadsOnCloseAfterAThreadStillRunningHasCalledAnInvoker) {
    void* library = dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    ASSERT_NE(registerMethodName(library), nullptr) << dlerror();
    *registerMethodName(library) = "changed while loaded";

    // The caller's thread lives on past dlclose, as a framework's threads do.
    std::mutex mutex;
    std::condition_variable changed;
    bool called = false, closed = false, registered = false;
    std::thread caller([&] {
        const bool ok = registerThroughInvoker(library);
        std::unique_lock<std::mutex> lock(mutex);
        registered = ok;
        called = true;
        changed.notify_all();
        changed.wait(lock, [&] { return closed; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return called; });
    }
    EXPECT_TRUE(registered);
    EXPECT_EQ(dlclose(library), 0);
    void* stillLoaded = dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(stillLoaded, nullptr) << "dlclose left the library in memory";
    if (stillLoaded != nullptr) dlclose(stillLoaded);
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    changed.notify_all();
    caller.join();

    std::unique_ptr<void, LibraryCloser> reloaded(dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW));
    ASSERT_NE(reloaded, nullptr) << dlerror();
    EXPECT_EQ(*registerMethodName(reloaded.get()), "registerSvcInterface")
        << "a new load constructs the static strings anew";
}
