#pragma once

#include "Logging.h"

// The two ways the library logs. A trace asks loggingOnAppUni first, so that its arguments are
// not formatted when nobody wants it; a failure is always written.
#define LOG_TRACE(module, sourceFile, level, ...)                        \
    do {                                                                 \
        if (loggingOnAppUni(module, level))                              \
            logAppUni(module, sourceFile, level, __LINE__, __VA_ARGS__); \
    } while (0)

#define LOG_FAILURE(module, sourceFile, ...) logAppUni(module, sourceFile, 2, __LINE__, __VA_ARGS__)
