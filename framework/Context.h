#pragma once

/// \file
/// What the framework hands to an executable's init.

#include "FrameworkExport.h"

/// What the framework hands to Executable::init. Hosts derive from it to carry their own state;
/// an executable keeps the pointer but never owns or deletes it.
class FRAMEWORK_API Context {
public:
    /// Destroys the host's state with it.
    virtual ~Context() {}
};
