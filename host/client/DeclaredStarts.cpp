#include "DeclaredStarts.h"

#include <algorithm>
#include <thread>

#include "LocalTable.h"
#include "Method.h"
#include "RegistryRequests.h"
#include "RegistryStatusProtocol.h"

namespace svcreg {

namespace Wire = RegistryStatusProtocol;

namespace {

// How often a wait looks again when nothing wakes it: the interruption, on the table; the
// service's state, by asking the registry where there is no table.
constexpr std::chrono::milliseconds kLookAgain{100};

// "5 s", "0.5 s": the request's timeout, as the reason says it.
std::string secondsOf(std::chrono::milliseconds timeout) {
    std::string seconds = std::to_string(timeout.count() / 1000);
    const long long thousandths = timeout.count() % 1000;
    if (thousandths != 0) {
        std::string fraction = std::to_string(1000 + thousandths).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        seconds += "." + fraction;
    }
    return seconds + " s";
}

// A request that failed as the wait's deadline came failed for want of time: the wait is over.
Outcome unlessOutOfTime(const Outcome& failed, std::chrono::steady_clock::time_point deadline) {
    if (std::chrono::steady_clock::now() >= deadline) return Outcome(Status::NotFound);
    return failed;
}

}  // namespace

DeclaredStarts::DeclaredStarts(RegistryRequests& requests, LocalTable* table)
    : requests(requests), table(table) {}

// A table that cannot be read now is no table: the registry is asked.
Outcome DeclaredStarts::isDeclared(const std::string& ifc, bool& declared, Deadline deadline) {
    const auto readDeclared = [&](const TableSnapshotView& view) {
        declared = view.declaredStateOf(ifc).has_value();
    };
    if (table != nullptr && table->read(readDeclared, deadline)) return Outcome();
    Method request(Wire::kIsDeclared, Method::REQUEST);
    request.addStringParameter(Wire::kInterfaceParameter, ifc, Parameter::IN);
    Method reply;
    const Outcome called = requests.call(Wire::kInterface, request, reply, deadline);
    if (!called) return called;
    if (!reply.getBoolParameter(Wire::kDeclared, declared, Parameter::OUT)) {
        return RegistryRequests::refused("the registry does not report declarations");
    }
    return Outcome();
}

Outcome DeclaredStarts::askStart(const std::string& ifc, StartAnswer& answer, Deadline deadline) {
    Method request(Wire::kStart, Method::REQUEST);
    request.addStringParameter(Wire::kInterfaceParameter, ifc, Parameter::IN);
    Method reply;
    const Outcome called = requests.call(Wire::kInterface, request, reply, deadline);
    if (!called) return called;
    if (!reply.getStringParameter(Wire::kState, answer.state, Parameter::OUT)) {
        answer.state = Wire::kUndeclared;  // a registry from before declarations
    }
    reply.getStringParameter(Wire::kReason, answer.reason, Parameter::OUT);
    return Outcome();
}

Outcome DeclaredStarts::goesOn(const std::string& ifc, const StartAnswer& answer) {
    if (answer.state == Wire::kUndeclared) return Outcome(Status::NotFound);
    if (answer.state == declaredStateName(DeclaredState::Failed)) {
        return RegistryRequests::refused(
            "'" + ifc + "' " + (answer.reason.empty() ? "could not start" : answer.reason));
    }
    return Outcome();
}

Outcome DeclaredStarts::startAfterMiss(const std::string& ifc, Deadline deadline,
                                       std::chrono::milliseconds timeout,
                                       const std::function<Outcome()>& lookAgain,
                                       const Interrupted& interrupted) {
    std::uint32_t generation = 0;
    const bool shared =
        table != nullptr &&
        table->read([&](const TableSnapshotView& view) { generation = view.generation(); },
                    deadline);
    if (shared && !table->declaredState(ifc, deadline)) return Outcome(Status::NotFound);
    StartAnswer answer;
    const Outcome asked = askStart(ifc, answer, deadline);
    if (!asked) return asked;
    if (const Outcome started = goesOn(ifc, answer); !started) return started;
    const Outcome waited = shared ? waitOnTable(ifc, deadline, lookAgain, interrupted, generation)
                                  : waitByAsking(ifc, deadline, lookAgain, interrupted);
    if (waited != Status::NotFound || !waited.reason().empty()) return waited;
    return Outcome(Status::NotFound, "'" + ifc + "' did not register within " + secondsOf(timeout));
}

// The generation is read before the lookup and the state, so that a change after it wakes the
// sleep at once. A state of Failed or Idle, seen in a generation after the one "start" was last
// asked in, asks it again: its answer says why the start failed, or it starts the service again
// when it had ended meanwhile.
Outcome DeclaredStarts::waitOnTable(const std::string& ifc, Deadline deadline,
                                    const std::function<Outcome()>& lookAgain,
                                    const Interrupted& interrupted, std::uint32_t asked) {
    for (;;) {
        std::uint32_t seen = 0;
        if (!table->read([&](const TableSnapshotView& view) { seen = view.generation(); },
                         deadline)) {
            return Outcome(Status::NotFound);
        }
        if (const Outcome found = lookAgain(); found != Status::NotFound) {
            return found ? found : unlessOutOfTime(found, deadline);
        }
        const std::optional<DeclaredState> state = table->declaredState(ifc, deadline);
        if (!state) return Outcome(Status::NotFound);
        if ((*state == DeclaredState::Failed || *state == DeclaredState::Idle) && asked != seen) {
            StartAnswer answer;
            const Outcome again = askStart(ifc, answer, deadline);
            if (!again) return unlessOutOfTime(again, deadline);
            if (const Outcome started = goesOn(ifc, answer); !started) return started;
            asked = seen;
        }
        if (interrupted()) return Outcome(Status::Interrupted);
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= left.zero()) return Outcome(Status::NotFound);
        if (!table->waitWhile(seen, std::min<std::chrono::nanoseconds>(left, kLookAgain))) {
            return Outcome(Status::NotFound);
        }
    }
}

Outcome DeclaredStarts::waitByAsking(const std::string& ifc, Deadline deadline,
                                     const std::function<Outcome()>& lookAgain,
                                     const Interrupted& interrupted) {
    for (;;) {
        if (const Outcome found = lookAgain(); found != Status::NotFound) {
            return found ? found : unlessOutOfTime(found, deadline);
        }
        if (interrupted()) return Outcome(Status::Interrupted);
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= kLookAgain) return Outcome(Status::NotFound);
        std::this_thread::sleep_for(kLookAgain);
        StartAnswer answer;
        const Outcome asked = askStart(ifc, answer, deadline);
        if (!asked) return unlessOutOfTime(asked, deadline);
        if (const Outcome started = goesOn(ifc, answer); !started) return started;
    }
}

}  // namespace svcreg
