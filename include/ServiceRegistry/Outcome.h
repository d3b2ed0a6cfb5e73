#pragma once

#include <string>
#include <utility>

namespace svcreg {

/// How a request ended: the one set of codes every request of RegistryClient and HostFramework
/// returns, inside an Outcome or a Result.
enum class Status {
    Done,         ///< The request was done.
    NotFound,     ///< The registry has no such entry.
    Refused,      ///< The registry refused the request, or answered with an error.
    Unreachable,  ///< No registry serves the channel, or it does not keep up.
    NoReply,      ///< The request went out, but no answer came within the timeout.
    /// A change went out, but no answer came within the timeout or the connection was lost: the
    /// registry may or may not have made it.
    Unconfirmed,
    /// The connection the request went out on (to the registry, or to the channel called)
    /// closed before the answer came.
    ConnectionLost,
    Interrupted,  ///< RegistryClient::interrupt() ended a wait.
    Invalid,      ///< A name the request cannot carry, or a request the client cannot make now.
    Forbidden,    ///< The system denies this user access to the registry's socket.
    Untrusted,    ///< The registry's channel is served by a user this client does not trust.
    /// RegistryClient::open() failed, or was not called: the registry library does not load, or
    /// the system refuses the client the socket or threads it needs.
    CannotStart,
    /// Asked from inside a watch callback, where its answer would have to come on the very thread
    /// that runs the callback: it fails at once instead of waiting for an answer that cannot come
    /// (see RegistryClient for which requests these are).
    InsideWatch,
    /// The peer does not keep up now: its queue or its listen backlog is full, and the same
    /// request may well go through a moment later. Only HostFramework's sends (and a link to
    /// another device, see DeviceCalls) return it; RegistryClient tries again within its
    /// timeout and then says Unreachable.
    Busy,
};

/// How a request ended and, unless it was done, why, in words for a person. True when done:
///
///     if (const Outcome done = client.regProxy(...); !done) std::cerr << done.reason();
///
/// A plain value: copy it, keep it, read it from any thread.
class Outcome {
public:
    /// Done, with no reason.
    Outcome() = default;
    /// Ended with status; reason says why for a person (empty when done).
    Outcome(Status status, std::string reason = std::string())
        : statusValue(status), reasonText(std::move(reason)) {}

    /// How the request ended.
    Status status() const noexcept { return statusValue; }
    /// Whether the request was done (Status::Done).
    bool ok() const noexcept { return statusValue == Status::Done; }
    /// As ok().
    explicit operator bool() const noexcept { return ok(); }
    /// Whether the request ended with other.
    bool operator==(Status other) const noexcept { return statusValue == other; }
    /// Whether the request ended other than with other.
    bool operator!=(Status other) const noexcept { return statusValue != other; }
    /// Empty when done; else what went wrong: for Refused, with the registry's reason when it
    /// gave one.
    const std::string& reason() const noexcept { return reasonText; }

private:
    Status statusValue = Status::Done;
    std::string reasonText;
};

/// An Outcome with what the request asked for: meaningful when done, and for the requests that
/// say so, also when not found (an empty list). Otherwise the value is T's default.
template <typename T>
class Result : public Outcome {
public:
    /// outcome, holding value.
    Result(Outcome outcome, T value = T()) : Outcome(std::move(outcome)), held(std::move(value)) {}

    /// What the request asked for.
    const T& value() const& { return held; }
    /// By value, so that a loop over client.list().value() (or *client.list()) holds what it
    /// loops over.
    T value() && { return std::move(held); }
    /// As value().
    const T& operator*() const& { return held; }
    /// As value(), by value.
    T operator*() && { return std::move(held); }
    /// The members of what the request asked for.
    const T* operator->() const { return &held; }

private:
    T held;
};

}  // namespace svcreg
