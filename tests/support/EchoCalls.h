#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ServiceRegistry/HostFramework.h"

// Calls across processes and devices through the host runtime, for the tests and benchmarks of
// calls between devices: the echo service (echo_service, EchoService.cpp) answers each call of
// kEchoInterface with its data and the caller as the service's side saw it, and holds each call
// flagged kEchoHold, unanswered, until SIGUSR1 lets it go; an EchoCaller calls it, or asks a
// service by text.

constexpr const char* kEchoInterface = "com.ex.Echo";
constexpr const char* kEchoData = "data";
constexpr const char* kEchoCaller = "caller";  // PeerCredentials::describe() of the caller
constexpr const char* kEchoHold = "hold";
// What the echo service prints on its standard output once it serves, and at each held call.
constexpr const char* kEchoServing = "serving\n";
constexpr const char* kEchoHolding = "holding\n";

// The command line of the echo service serving channel in runtimeDirectory.
std::vector<std::string> echoServiceCommand(const std::string& runtimeDirectory,
                                            const std::string& channel);

struct EchoAnswer {
    std::string data;
    std::string caller;
};

// A process's framework on a device's runtime directory, which calls and asks by text.
class EchoCaller {
public:
    explicit EchoCaller(const std::string& runtimeDirectory);
    ~EchoCaller();
    EchoCaller(const EchoCaller&) = delete;
    EchoCaller& operator=(const EchoCaller&) = delete;

    // Why it cannot call; empty once it can.
    const std::string& problem() const { return failure; }
    // Calls the echo service at channel with data, held when hold, waiting until timeout.
    svcreg::Outcome echo(const std::string& channel, const std::string& data, EchoAnswer& answer,
                         std::chrono::milliseconds timeout, bool hold = false);
    // Sends text to channel from a private channel of this caller's and waits until timeout for
    // the first text message that comes back to it, into reply.
    svcreg::Outcome ask(const std::string& channel, const std::string& text, std::string& reply,
                        std::chrono::milliseconds timeout);

private:
    class Replies;
    const std::string ownChannel;
    std::unique_ptr<Replies> replies;
    svcreg::HostFramework framework;  // destroyed first: it hands replies over
    std::string failure;
};
