#pragma once

/// \file
/// The base of everything the framework creates.

#include "FrameworkExport.h"

class Context;

/// Anything the framework creates, initialises and destroys: services, proxies, observers.
/// The framework calls init, then the object's work, then shutdown, then deletes it.
class FRAMEWORK_API Executable {
public:
    /// Destroyed through this type by whoever owns the object.
    virtual ~Executable() {}
    /// Called once, before any other call, with the host's context (not owned; it outlives the
    /// object).
    virtual void init(Context& context) = 0;
    /// Called once, before the object is deleted: it ends its work and gives back what it holds.
    virtual void shutdown() = 0;
    /// Called when a framework's timer for this object fires; does nothing unless overridden.
    /// The host runtime of this project starts no timers.
    virtual void timerEvent(int /*timerId*/) {}
};
