#pragma once

#include <sstream>

#include "FrameworkExport.h"

class Method;

// Turns a Method into bytes and back.
class FRAMEWORK_API ProtocolAdapter {
public:
    virtual void encode(Method& method, std::stringstream& out) = 0;
    // False for input that is not one whole, well-formed Method.
    virtual bool decode(std::stringstream& in, Method& method) = 0;

protected:
    // Never deleted through this type. A virtual destructor would move every operation above
    // down two slots in the table the framework calls through.
    ~ProtocolAdapter() = default;
};
