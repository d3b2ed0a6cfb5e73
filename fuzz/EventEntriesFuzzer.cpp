// Decodes arbitrary text as the entries of a registry event: text that decodes must encode
// again to itself, and whatever decodes must survive the round trip unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "RegistryEventsProtocol.h"

using namespace svcreg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<ServiceRecord> entries;
    if (!RegistryEventsProtocol::decodeEntries(text, entries)) return 0;
    if (RegistryEventsProtocol::encodeEntries(entries) != text) std::abort();
    return 0;
}
