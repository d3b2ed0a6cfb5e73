#pragma once

#include <string>
#include <utility>

namespace svcreg {

// How a request to the registry ended.
enum class ClientStatus {
    Done,
    NotFound,     // the registry has no such entry
    Refused,      // the registry refused the request, or answered with an error
    Unreachable,  // no registry serves the channel, or it does not keep up
    NoReply,      // the request went out, but no answer came within the timeout
    // A change went out, but no answer came within the timeout or the connection was lost:
    // the registry may or may not have made it.
    Unconfirmed,
    ConnectionLost,  // the connection to the registry closed before the answer came
    Interrupted,     // interrupt() ended a wait
    Invalid,         // a name the request cannot carry
    Forbidden,       // the system denies this user access to the registry's socket
    Untrusted,       // the registry's channel is served by a user this client does not trust
    // open() failed: the registry library does not load, or the system refuses the client the
    // socket or threads it needs.
    CannotStart,
    // Asked from inside a watch callback, on the thread that must carry the answer: it fails
    // at once instead of waiting for an answer that cannot come.
    InsideWatch,
    // The peer does not keep up now: its queue or its listen backlog is full. The same request
    // may well go through a moment later.
    Busy,
};

// How a request ended and, unless it was done, why, in words for a person. True when done:
//     if (const Outcome done = client.regProxy(...); !done) std::cerr << done.reason();
class Outcome {
public:
    Outcome() = default;
    Outcome(ClientStatus status, std::string reason = std::string())
        : statusValue(status), reasonText(std::move(reason)) {}

    ClientStatus status() const noexcept { return statusValue; }
    bool ok() const noexcept { return statusValue == ClientStatus::Done; }
    explicit operator bool() const noexcept { return ok(); }
    bool operator==(ClientStatus other) const noexcept { return statusValue == other; }
    bool operator!=(ClientStatus other) const noexcept { return statusValue != other; }
    // Empty when done; else what went wrong: for Refused, with the registry's reason when it
    // gave one.
    const std::string& reason() const noexcept { return reasonText; }

private:
    ClientStatus statusValue = ClientStatus::Done;
    std::string reasonText;
};

// An Outcome with what the request asked for: meaningful when done, and for the requests that
// say so, also when not found (an empty list).
template <typename T>
class Result : public Outcome {
public:
    Result(Outcome outcome, T value = T()) : Outcome(std::move(outcome)), held(std::move(value)) {}

    const T& value() const& { return held; }
    // By value, so that a loop over client.list().value() (or *client.list()) holds what it
    // loops over.
    T value() && { return std::move(held); }
    const T& operator*() const& { return held; }
    T operator*() && { return std::move(held); }
    const T* operator->() const { return &held; }

private:
    T held;
};

}  // namespace svcreg
