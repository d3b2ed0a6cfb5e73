#pragma once

#include "FrameworkExport.h"

// An object the framework may run on a thread of its own.
class FRAMEWORK_API Threadable {
public:
    virtual ~Threadable() {}
    virtual void run() = 0;
    // Scheduling priority for the thread that runs this object; 0 leaves the platform default.
    virtual int getThreadPriorityForPlatform() { return 0; }
    // A host-defined kind code; 0 for objects that do not care.
    virtual int type() { return 0; }
};
