#pragma once

#include <string>
#include <vector>

#include "MethodText.h"
#include "ProxyRequest.h"

// A request channel that records what proxies send through it and answers every request with
// a reply set beforehand. It is also its own callback channel resolver (a base constructed
// before ProxyRequest, so the pointer handed to it is valid), giving no channel.
class ScriptedProxyRequest final : public CallbackChannelResolver, public ProxyRequest {
public:
    ScriptedProxyRequest() : ProxyRequest(this) {}

    bool sendRequest(Method& request, Method& reply) override {
        sent.push_back("sendRequest " + describe(request));
        reply = nextReply;
        return true;
    }
    bool sendRequestWithCallback(Method& request, Method& reply,
                                 const std::string& callbackChannel) override {
        sent.push_back("sendRequestWithCallback(" + callbackChannel + ") " + describe(request));
        reply = nextReply;
        return true;
    }
    bool sendOneWay(Method& request) override {
        sent.push_back("sendOneWay " + describe(request));
        return true;
    }
    std::string getCallbackChannel(Executable*) override { return std::string(); }

    Method nextReply;  // what every request is answered with
    std::vector<std::string> sent;
};
