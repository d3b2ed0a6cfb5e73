// Loads the registry as a framework does: dlopen by path, the factory by its plain name, and
// only framework and interface types from then on. This binary does not link the library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>

#include "Context.h"
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
