// The framework and the library call each other through virtual tables, so every operation must
// sit in the slot the other side was built to call. Under the Itanium C++ ABI (g++ and clang on
// Linux) a pointer to a virtual member function holds 1 + its byte offset in the table, and a
// virtual destructor fills two slots (complete and deleting) before the operations that follow: a
// class that gains or loses one moves every operation by two.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "CommsChannelIfc.h"
#include "FrameworkContext.h"
#include "Invoker.h"
#include "InvokerResponse.h"
#include "ProtocolAdapter.h"
#include "Proxy.h"
#include "ProxyRequest.h"
#include "Service.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"
#include "ServiceRegistryObserverProxy.h"
#include "ServiceRegistryProxy.h"

namespace {

// The slot a virtual member function is called through, or -1 for a non-virtual one.
template <typename MemberFunction>
long slotOf(MemberFunction function) {
    struct ItaniumRepresentation {
        std::uintptr_t pointerOrOffset;
        std::ptrdiff_t thisAdjustment;
    };
    static_assert(sizeof(MemberFunction) == sizeof(ItaniumRepresentation));
    ItaniumRepresentation representation;
    std::memcpy(&representation, &function, sizeof representation);
    if ((representation.pointerOrOffset & 1) == 0) return -1;
    return static_cast<long>((representation.pointerOrOffset - 1) / sizeof(void*));
}

// Slots 0 and 1 belong to the destructor in classes that have a virtual one.
constexpr long kAfterDestructor = 2;

// Which classes are deleted through a base pointer, and which never: a virtual destructor
// gained or lost at the end of a class moves none of the slots checked below.
static_assert(std::has_virtual_destructor_v<Executable> &&
              std::has_virtual_destructor_v<Threadable> && std::has_virtual_destructor_v<Invoker> &&
              std::has_virtual_destructor_v<InvokerResponse>);
static_assert(!std::has_virtual_destructor_v<ProxyRequest> &&
              !std::has_virtual_destructor_v<CallbackChannelResolver> &&
              !std::has_virtual_destructor_v<FrameworkContext> &&
              !std::has_virtual_destructor_v<ProtocolAdapter> &&
              !std::has_virtual_destructor_v<CommsChannelIfc> &&
              !std::has_virtual_destructor_v<ServiceRegistryIfc> &&
              !std::has_virtual_destructor_v<ServiceRegistryObserverIfc>);

// The slots of the given operations, in the order given.
template <typename... MemberFunctions>
std::vector<long> slotsOf(MemberFunctions... functions) {
    return {slotOf(functions)...};
}

// The slots first, first + 1, ..., count of them.
std::vector<long> counting(long first, std::size_t count) {
    std::vector<long> slots;
    for (std::size_t i = 0; i < count; ++i) slots.push_back(first + static_cast<long>(i));
    return slots;
}

// The slots of the eleven registry operations, in the interface's order, in Class's table.
template <typename Class>
std::vector<long> registryOperationSlots() {
    return slotsOf(&Class::registerSvcInterface, &Class::deregisterSvcInterfaces,
                   &Class::registerProxyInfo, &Class::registerInvokerInfo, &Class::findSvcsForIfc,
                   &Class::findSvcInterface, &Class::findInvoker, &Class::findProxy,
                   &Class::getSvcDetailsList, &Class::subscribeStartupEvents,
                   &Class::unsubscribeStartupEvents);
}

}  // namespace

// Bases list their operations in order after their destructor's slots, interfaces without one
// from slot zero, and a proxy's own table has Proxy's slots, then its interface's operations.
TEST(VirtualSlots, EveryOperationSitsInTheSlotOfItsBuild) {
    EXPECT_EQ(slotsOf(&Executable::init, &Executable::shutdown, &Executable::timerEvent,
                      &Service::handleMsg),
              counting(kAfterDestructor, 4));
    EXPECT_EQ(
        slotsOf(&Threadable::run, &Threadable::getThreadPriorityForPlatform, &Threadable::type),
        counting(kAfterDestructor, 3));
    EXPECT_EQ(slotOf(&Proxy::initProxy), kAfterDestructor + 3);
    EXPECT_EQ(slotsOf(&Invoker::handleMessage, &Invoker::initInvoker),
              counting(kAfterDestructor, 2));
    EXPECT_EQ(slotsOf(&InvokerResponse::sendReply, &InvokerResponse::getProtocol,
                      &InvokerResponse::getRemoteContext),
              counting(kAfterDestructor, 3));
    EXPECT_EQ(slotsOf(&ProxyRequest::sendRequest, &ProxyRequest::sendRequestWithCallback,
                      &ProxyRequest::sendOneWay),
              counting(0, 3));
    EXPECT_EQ(slotOf(&CallbackChannelResolver::getCallbackChannel), 0);
    EXPECT_EQ(slotsOf(&FrameworkContext::getProxy, &FrameworkContext::getProtocolAdapter),
              counting(0, 2));
    EXPECT_EQ(slotsOf(&ProtocolAdapter::encode, &ProtocolAdapter::decode), counting(0, 2));
    EXPECT_EQ(slotsOf(&CommsChannelIfc::sendMessage, &CommsChannelIfc::sendData), counting(0, 2));
    EXPECT_EQ(registryOperationSlots<ServiceRegistryIfc>(), counting(0, 11));
    EXPECT_EQ(slotOf(&ServiceRegistryObserverIfc::newServiceIfcRegistered), 0);
    const long afterInitProxy = slotOf(&Proxy::initProxy) + 1;
    EXPECT_EQ(registryOperationSlots<ServiceRegistryProxy>(), counting(afterInitProxy, 11));
    EXPECT_EQ(slotOf(&ServiceRegistryObserverProxy::newServiceIfcRegistered), afterInitProxy);
}
