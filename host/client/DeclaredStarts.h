#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "ServiceRegistry/Outcome.h"

namespace svcreg {

class LocalTable;
class RegistryRequests;

// The client's side of declared services: whether an interface is declared, and the start of
// its service on a lookup that misses it. With a shared table, the table's declared section
// says whether to ask at all, so that a miss of an undeclared interface stays a memory read;
// without one, the registry is asked. The service is started by the status protocol's "start"
// (see RegistryStatusProtocol.h), then waited for: on the table, woken at each of its changes,
// or, without one, by asking "start" again at short intervals, which also says how it stands.
//
// Threads: the client's one request at a time.
class DeclaredStarts {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // An interruption check: whether the wait is to end (Interrupted).
    using Interrupted = std::function<bool()>;

    // table is null where the registry shares none.
    DeclaredStarts(RegistryRequests& requests, LocalTable* table);

    // Whether ifc is declared, by deadline: declared when done.
    Outcome isDeclared(const std::string& ifc, bool& declared, Deadline deadline);

    // After a miss of ifc: starts its declared service and waits, by deadline, until lookAgain
    // (the lookup made again: Done once found, NotFound while not) finds it; timeout is what
    // deadline allows, for the reason. Done then; NotFound with no reason, and no wait, when
    // ifc is not declared (or the registry knows nothing of declarations); Refused with
    // "'IFC' could not start: WHY" when its start failed; NotFound with "'IFC' did not
    // register within N s" at the deadline; Interrupted once interrupted says so; else as the
    // "start" call failed.
    Outcome startAfterMiss(const std::string& ifc, Deadline deadline,
                           std::chrono::milliseconds timeout,
                           const std::function<Outcome()>& lookAgain,
                           const Interrupted& interrupted);

private:
    // What "start" answered: its state word ("undeclared" too when the registry knows none) and
    // reason.
    struct StartAnswer {
        std::string state;
        std::string reason;
    };
    Outcome askStart(const std::string& ifc, StartAnswer& answer, Deadline deadline);
    // Done for "starting" and "running": the wait goes on; else how the start ended.
    static Outcome goesOn(const std::string& ifc, const StartAnswer& answer);
    // The waits on the shared table, "start" asked last in its generation asked, and, without
    // one, by asking again.
    Outcome waitOnTable(const std::string& ifc, Deadline deadline,
                        const std::function<Outcome()>& lookAgain, const Interrupted& interrupted,
                        std::uint32_t asked);
    Outcome waitByAsking(const std::string& ifc, Deadline deadline,
                         const std::function<Outcome()>& lookAgain, const Interrupted& interrupted);

    RegistryRequests& requests;
    LocalTable* const table;  // null: none shared
};

}  // namespace svcreg
