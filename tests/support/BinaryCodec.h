#pragma once

#include <sstream>
#include <string>

#include "BinaryProtocolAdapter.h"
#include "Method.h"

// The binary protocol adapter on plain strings.
inline std::string encode(Method method) {
    std::stringstream out(std::ios::in | std::ios::out);
    BinaryProtocolAdapter().encode(method, out);
    return out.str();
}

inline bool decode(const std::string& bytes, Method& method) {
    std::stringstream in(bytes, std::ios::in | std::ios::out);
    return BinaryProtocolAdapter().decode(in, method);
}
