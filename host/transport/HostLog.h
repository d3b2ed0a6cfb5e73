#pragma once

#include "LogCall.h"

// The host runtime logs as one module; each file names itself.
#define HOST_TRACE(level, ...) LOG_TRACE("HostRuntime", __FILE__, level, __VA_ARGS__)
#define HOST_FAILURE(...) LOG_FAILURE("HostRuntime", __FILE__, __VA_ARGS__)
