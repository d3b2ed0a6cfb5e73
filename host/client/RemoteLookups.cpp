#include "RemoteLookups.h"

#include <initializer_list>
#include <utility>

#include "Method.h"
#include "RegistryCallAnswers.h"
#include "RegistryTextProtocol.h"

namespace svcreg {

namespace RemoteLookups {

namespace {

// Calls method with the named string inputs; reply gets the answer.
Outcome callWith(RegistryRequests& requests, const char* method,
                 std::initializer_list<std::pair<const char*, const std::string*>> inputs,
                 Method& reply, Deadline deadline) {
    Method request(method, Method::REQUEST);
    for (const auto& [name, value] : inputs)
        request.addStringParameter(name, *value, Parameter::IN);
    return requests.call(kRegistryInterface, request, reply, deadline);
}

Outcome notAnswered(const char* method) {
    return RegistryRequests::refused(std::string("the registry does not answer '") + method +
                                     "' by remote call");
}

// A found answer holds "result" true and the named strings; one without them is not found.
Outcome takeFound(const Method& reply, const char* method,
                  std::initializer_list<std::pair<const char*, std::string*>> outputs) {
    bool found = false;
    if (!reply.getBoolParameter("result", found, Parameter::OUT)) return notAnswered(method);
    if (!found) return Status::NotFound;
    for (const auto& [name, value] : outputs) {
        if (!reply.getStringParameter(name, *value, Parameter::OUT)) return notAnswered(method);
    }
    return Outcome();
}

Outcome findCreator(RegistryRequests& requests, const char* method,
                    std::initializer_list<std::pair<const char*, const std::string*>> inputs,
                    CreatorRecord& creator, Deadline deadline) {
    Method reply;
    const Outcome called = callWith(requests, method, inputs, reply, deadline);
    if (!called) return called;
    return takeFound(reply, method, {{"library", &creator.lib}, {"creatorFn", &creator.creatorFn}});
}

}  // namespace

Outcome findChannel(RegistryRequests& requests, const std::string& ifc, std::string& channel,
                    Deadline deadline) {
    constexpr char kMethod[] = "findSvcInterface";
    Method reply;
    const Outcome called = callWith(requests, kMethod, {{"ifc", &ifc}}, reply, deadline);
    if (!called) return called;
    return takeFound(reply, kMethod, {{"channel", &channel}});
}

Outcome channelList(RegistryRequests& requests, const std::string& ifc,
                    std::vector<std::string>& channels, Deadline deadline) {
    constexpr char kMethod[] = "findSvcsForIfc";
    Method reply;
    const Outcome called = callWith(requests, kMethod, {{"ifc", &ifc}}, reply, deadline);
    if (!called) return called;
    std::string joined;
    if (!reply.getStringParameter("channels", joined, Parameter::OUT)) return notAnswered(kMethod);
    if (joined.empty()) return Status::NotFound;
    channels = RegistryText::splitAt(joined, ',');
    return Outcome();
}

Outcome findInvoker(RegistryRequests& requests, const std::string& ifc, const std::string& protocol,
                    CreatorRecord& creator, Deadline deadline) {
    return findCreator(requests, "findInvoker", {{"ifc", &ifc}, {"protocol", &protocol}}, creator,
                       deadline);
}

Outcome findProxy(RegistryRequests& requests, const std::string& ifc, CreatorRecord& creator,
                  Deadline deadline) {
    return findCreator(requests, "findProxy", {{"ifc", &ifc}}, creator, deadline);
}

}  // namespace RemoteLookups

}  // namespace svcreg
