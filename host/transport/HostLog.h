#pragma once

#include "LogCall.h"
#include "LogLimiter.h"

// The host runtime logs as one module; each file names itself.
#define HOST_TRACE(level, ...) LOG_TRACE("HostRuntime", __FILE__, level, __VA_ARGS__)
#define HOST_FAILURE(...) LOG_FAILURE("HostRuntime", __FILE__, __VA_ARGS__)
// A failure a peer caused, about who (see LogLimiter): so that no peer can flood the log, at
// most a few such lines of one kind about one peer an interval.
#define HOST_PEER_FAILURE(who, format, ...)                            \
    do {                                                               \
        if (::svcreg::LogLimiter::admits(format, who)) {               \
            LOG_FAILURE("HostRuntime", __FILE__, format, __VA_ARGS__); \
        }                                                              \
    } while (false)
// A trace a peer caused, about who: held to the same rate, so that a verbose log cannot be
// flooded either.
#define HOST_PEER_TRACE(level, who, format, ...)                                                  \
    do {                                                                                          \
        if (loggingOnAppUni("HostRuntime", level) && ::svcreg::LogLimiter::admits(format, who)) { \
            logAppUni("HostRuntime", __FILE__, level, __LINE__, format, __VA_ARGS__);             \
        }                                                                                         \
    } while (false)
