#pragma once

/// \file
/// The interface of the framework's encodings of methods.

#include <sstream>

#include "FrameworkExport.h"

class Method;

/// Turns a Method into bytes and back. One adapter may be used by several threads at once, so
/// an implementation keeps no state between calls.
class FRAMEWORK_API ProtocolAdapter {
public:
    /// Appends the encoding of method to out.
    virtual void encode(Method& method, std::stringstream& out) = 0;
    /// Reads one Method from in into method. False for input that is not one whole,
    /// well-formed Method.
    virtual bool decode(std::stringstream& in, Method& method) = 0;

protected:
    /// Never deleted through this type. A virtual destructor would move every operation above
    /// down two slots in the table the framework calls through.
    ~ProtocolAdapter() = default;
};
