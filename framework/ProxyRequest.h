#pragma once

/// \file
/// A proxy's request channel to its remote endpoint.

#include <string>

#include "FrameworkExport.h"

class Executable;
class Method;

/// Tells on which channel an executable of this process receives calls.
class FRAMEWORK_API CallbackChannelResolver {
public:
    /// The channel on which executable receives calls; empty when it receives none.
    virtual std::string getCallbackChannel(Executable* executable) = 0;

protected:
    /// Never deleted through this type. A virtual destructor would move every operation above
    /// down two slots in the table the framework calls through.
    ~CallbackChannelResolver() = default;
};

/// A proxy's request channel to the one remote endpoint it is bound to. The framework that
/// implements it says from which threads it may be used.
class FRAMEWORK_API ProxyRequest {
public:
    /// A channel whose proxies find callback channels through resolver (not owned; may be
    /// null).
    explicit ProxyRequest(CallbackChannelResolver* resolver) : callbackChannelResolver(resolver) {}

    /// Sends request and waits for its reply on the calling thread. Fills reply before it
    /// returns; a request that gets no answer leaves it empty. False when the request could not
    /// be sent or got no answer.
    virtual bool sendRequest(Method& request, Method& reply) = 0;
    /// As sendRequest, and the remote side sees callbackChannel as the request's remote context.
    virtual bool sendRequestWithCallback(Method& request, Method& reply,
                                         const std::string& callbackChannel) = 0;
    /// Sends request and returns without waiting for the remote side. False when it could not
    /// be sent; nothing tells whether it arrived.
    virtual bool sendOneWay(Method& request) = 0;

    /// Kept first among the data members: proxies reach the resolver through it. Not owned.
    CallbackChannelResolver* const callbackChannelResolver;

protected:
    /// Never deleted through this type. A virtual destructor would move every operation above
    /// down two slots in the table the framework calls through.
    ~ProxyRequest() = default;
};
