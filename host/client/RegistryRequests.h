#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ServiceRegistry/RegistryClient.h"

class Method;

namespace svcreg {

class HostFramework;
class PendingReplies;

// A client's requests to the registry and their answers: text commands whose replies come to
// the client's channel, and remote method calls, the changes among them. A refusal
// carries the registry's reason, when it gave one, as its Outcome's reason. Each request ends
// by the deadline it is given, sending, retries while the registry is busy and the wait for the
// answer included.
class RegistryRequests {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // waiting is where the client's channel hands the text replies in.
    RegistryRequests(const ClientOptions& options, const std::string& channel,
                     HostFramework& framework, PendingReplies& waiting);
    ~RegistryRequests();

    // The deadline of a request that starts now: the client's timeout from now.
    Deadline deadline() const;

    // Asks the registry for the change request, a call of its interface as the registry proxy
    // makes it, by deadline; its answer goes to reply. Done when made; Refused, with the
    // registry's reason, when not; Unconfirmed when it went out and no answer came.
    Outcome change(Method& request, Method& reply, Deadline deadline);
    Outcome change(Method& request, Deadline deadline);
    // As change, for method of the registry proxy whose inputs are lib, creatorFn, ifc and
    // protocol, in that order.
    Outcome changeCreator(const char* method, const std::array<std::string, 4>& inputs,
                          Deadline deadline);

    Outcome ask(const std::string& command, std::string& reply, Deadline deadline);
    Outcome tell(const std::string& command, Deadline deadline);
    // A lookup by text command: word, a colon, then the arguments separated by commas. Its
    // reply goes to take, which says whether it holds what was looked for (else NotFound, or
    // Refused for a reply that is malformed: neither what was looked for nor a miss). A
    // reply the registry may have cut (see RegistryText::kLongestReply) that holds what was
    // looked for is not taken: whole then looks it up by a road that carries the whole answer.
    // whole is empty for a lookup whose answer the registry never cuts.
    Outcome lookUp(const std::string& word, const std::vector<std::string>& arguments,
                   const std::function<bool(const std::string& reply)>& take,
                   const std::function<Outcome()>& whole, Deadline deadline);
    // Calls method of the registry's interfaceName, with request's inputs, retrying while the
    // registry is busy, until deadline or the client's timeout from now, whichever comes first.
    Outcome call(const char* interfaceName, Method& request, Method& reply, Deadline deadline);
    // As call, for a method with no inputs.
    Outcome call(const char* interfaceName, const char* method, Method& reply, Deadline deadline);

    // Refused, for the registry's reason (empty when it gave none).
    static Outcome refused(std::string reason);
    // Invalid, saying why, for what (quoted, or named) that holds a comma; else Done.
    static Outcome commaProblem(const std::string& what);
    // The first of arguments a text request cannot carry, as commaProblem says.
    static Outcome textArgumentsProblem(const std::vector<std::string>& arguments);

private:
    // Sends text under a new request id whose reply, or refusal, waiting then expects, trying
    // again while the registry is busy until deadline; then reads what comes back while
    // answered() does not hold (see HostFramework::sendAndAwait).
    Outcome sendExpectingReply(const std::string& text, long& requestId, Deadline deadline,
                               const std::function<bool()>& answered);

    const ClientOptions& options;
    const std::string& channel;
    HostFramework& framework;
    PendingReplies& waiting;
    std::atomic<long> nextRequestId{1};
};

}  // namespace svcreg
