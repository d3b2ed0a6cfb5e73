#pragma once

#include <string>

#include "FrameworkExport.h"

class Executable;
class Method;

// Tells on which channel an executable of this process receives calls.
class FRAMEWORK_API CallbackChannelResolver {
public:
    // Empty when the executable receives no calls.
    virtual std::string getCallbackChannel(Executable* executable) = 0;

protected:
    // Never deleted through this type. A virtual destructor would move every operation above
    // down two slots in the table the framework calls through.
    ~CallbackChannelResolver() = default;
};

// A proxy's request channel to the one remote endpoint it is bound to.
class FRAMEWORK_API ProxyRequest {
public:
    explicit ProxyRequest(CallbackChannelResolver* resolver) : callbackChannelResolver(resolver) {}

    // Both fill the reply before they return; a request that gets no answer leaves it empty.
    virtual bool sendRequest(Method& request, Method& reply) = 0;
    // As sendRequest, and the remote side sees callbackChannel as the request's remote context.
    virtual bool sendRequestWithCallback(Method& request, Method& reply,
                                         const std::string& callbackChannel) = 0;
    // Sends and returns without waiting for the remote side.
    virtual bool sendOneWay(Method& request) = 0;

    // Kept first among the data members: proxies reach the resolver through it. Not owned.
    CallbackChannelResolver* const callbackChannelResolver;

protected:
    // Never deleted through this type. A virtual destructor would move every operation above
    // down two slots in the table the framework calls through.
    ~ProxyRequest() = default;
};
