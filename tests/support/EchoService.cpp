// The echo service of the calls between devices (see EchoCalls.h):
//   echo_service RUNTIME_DIR CHANNEL
// It serves CHANNEL in RUNTIME_DIR until SIGINT or SIGTERM. A held call keeps the thread that
// reads its connection, and every connection that thread reads, until SIGUSR1 lets it go
// unanswered: a service holding a call ends by SIGKILL, or after SIGUSR1. Each text message that
// comes to CHANNEL is printed on its standard output, after "message ". Started with a socket
// passed in by a service manager for CHANNEL, it serves that one.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>

#include "BinaryCodec.h"
#include "EchoCalls.h"
#include "InvokerResponse.h"
#include "ServiceRegistry/StopSignals.h"

using namespace svcreg;

namespace {

void say(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// SIGUSR1, blocked in every thread started after this, for a held call to wait for.
sigset_t releaseSignal() {
    sigset_t release;
    sigemptyset(&release);
    sigaddset(&release, SIGUSR1);
    return release;
}

class Echo final : public CallHandler, public MessageHandler {
public:
    void handleMessage(IncomingCall&, const char* data, int length, const std::string&,
                       CommsChannelIfc&, CommsChannelDataContainerMessage*) override {
        std::string line = "message ";
        if (data != nullptr && length > 0) line.append(data, static_cast<std::size_t>(length));
        line += "\n";
        say(line.c_str());
    }

    void handleCall(IncomingCall& call, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override {
        Method request;
        std::string echoed;
        if (!decode(std::string(data, static_cast<std::size_t>(length)), request) ||
            !request.getStringParameter(kEchoData, echoed, Parameter::IN)) {
            call.refuse("not an echo request");
            return;
        }
        if (call.asks(kEchoHold)) {
            say(kEchoHolding);
            const sigset_t release = releaseSignal();
            int taken = 0;
            sigwait(&release, &taken);
            return;
        }
        Method reply(request.getName(), Method::REPLY);
        reply.addStringParameter(kEchoData, echoed, Parameter::OUT);
        reply.addStringParameter(kEchoCaller, call.peer().describe(), Parameter::OUT);
        const std::string encoded = encode(reply);
        response->sendReply(encoded.data(), static_cast<int>(encoded.size()));
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: echo_service RUNTIME_DIR CHANNEL\n");
        return 2;
    }
    const sigset_t release = releaseSignal();
    pthread_sigmask(SIG_BLOCK, &release, nullptr);
    StopSignals stop;
    HostOptions options;
    options.runtimeDirectory = argv[1];
    HostFramework framework(options);
    Echo echo;
    Outcome serving = framework.bindChannel(argv[2], echo);
    if (serving) {
        framework.bindCallHandler(argv[2], kEchoInterface, echo);
        serving = framework.start();
    }
    if (!serving) {
        std::fprintf(stderr, "echo_service: %s\n", serving.reason().c_str());
        return 1;
    }
    say(kEchoServing);
    stop.waitForStop();
    framework.stop();
    return 0;
}
