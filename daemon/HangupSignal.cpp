#include "HangupSignal.h"

#include <pthread.h>

HangupSignal::HangupSignal() {
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
}

bool HangupSignal::taken() {
    // Signals of one kind that come while one is pending merge into it.
    const timespec noWait{0, 0};
    return sigtimedwait(&hangup, nullptr, &noWait) == SIGHUP;
}
