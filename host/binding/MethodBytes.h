#pragma once

#include <sstream>
#include <string>

#include "Method.h"
#include "ProtocolAdapter.h"

// A Method as the bytes an adapter makes of it, and back, for the host's own interfaces.
namespace svcreg {

inline std::string encodeMethod(ProtocolAdapter& adapter, Method& method) {
    std::stringstream out(std::ios::in | std::ios::out);
    adapter.encode(method, out);
    return out.str();
}

// False when bytes are not a Method the adapter encoded.
inline bool decodeMethod(ProtocolAdapter& adapter, std::string bytes, Method& method) {
    std::stringstream in(std::move(bytes), std::ios::in | std::ios::out);
    return adapter.decode(in, method);
}

// The bytes an invoker is handed.
inline std::string bytesOf(const char* data, int length) {
    return std::string(data, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace svcreg
