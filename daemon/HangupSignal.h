#pragma once

#include <signal.h>

// SIGHUP, an operator's request to read the policy again: held back from every thread, so that
// it never ends the daemon, and taken when the daemon is ready for it. Build it first thing in
// main: it blocks the signal in the calling thread, and so in every thread started later.
class HangupSignal {
public:
    HangupSignal();
    HangupSignal(const HangupSignal&) = delete;
    HangupSignal& operator=(const HangupSignal&) = delete;

    // True when SIGHUP came since the last call (however many times); takes it.
    bool taken();

private:
    sigset_t hangup;
};
