// Feeds arbitrary bytes to the binary protocol adapter's decode. What decodes must re-encode to
// the very same bytes (every Method has one encoding) and decode again to an equal Method.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "BinaryProtocolAdapter.h"
#include "Method.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    BinaryProtocolAdapter adapter;
    std::stringstream in(input, std::ios::in | std::ios::out);
    Method method;
    if (!adapter.decode(in, method)) return 0;

    std::stringstream out(std::ios::in | std::ios::out);
    adapter.encode(method, out);
    if (out.str() != input) std::abort();
    Method again;
    if (!adapter.decode(out, again) || again != method) std::abort();
    return 0;
}
