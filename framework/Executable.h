#pragma once

#include "FrameworkExport.h"

class Context;

// Anything the framework creates, initialises and destroys: services, proxies, observers.
class FRAMEWORK_API Executable {
public:
    virtual ~Executable() {}
    virtual void init(Context& context) = 0;
    virtual void shutdown() = 0;
    virtual void timerEvent(int /*timerId*/) {}
};
