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

TEST(DynamicLoad, UnloadsOnCloseAfterAThreadStillRunningHasCalledAnInvoker) {
    void* library = dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    ASSERT_NE(registerMethodName(library), nullptr) << dlerror();
    *registerMethodName(library) = "changed while loaded";

    // The caller's thread lives on past dlclose, as a framework's threads do.
    std::promise<bool> registered;
    std::promise<void> closed;
    std::thread caller([&] {
        registered.set_value(registerThroughInvoker(library));
        closed.get_future().wait();
    });
    EXPECT_TRUE(registered.get_future().get());
    EXPECT_EQ(dlclose(library), 0);
    void* stillLoaded = dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(stillLoaded, nullptr) << "dlclose left the library in memory";
    if (stillLoaded != nullptr) dlclose(stillLoaded);
    closed.set_value();
    caller.join();

    std::unique_ptr<void, LibraryCloser> reloaded(dlopen(SERVICE_REGISTRY_LIBRARY, RTLD_NOW));
    ASSERT_NE(reloaded, nullptr) << dlerror();
    EXPECT_EQ(*registerMethodName(reloaded.get()), "registerSvcInterface")
        << "a new load constructs the static strings anew";
}
