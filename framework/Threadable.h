#pragma once

/// \file
/// An object the framework may run on a thread of its own.

#include "FrameworkExport.h"

/// An object the framework may run on a thread of its own.
class FRAMEWORK_API Threadable {
public:
    /// Destroyed through this type by whoever owns the object.
    virtual ~Threadable() {}
    /// The object's own work, on the thread the framework gives it; returns when the work is
    /// done.
    virtual void run() = 0;
    /// Scheduling priority for the thread that runs this object; 0 leaves the platform default.
    virtual int getThreadPriorityForPlatform() { return 0; }
    /// A host-defined kind code; 0 for objects that do not care.
    virtual int type() { return 0; }
};
