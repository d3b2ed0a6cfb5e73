// Reads arbitrary bytes as the registry's journal. The records taken out must encode again to
// exactly the front of the bytes, the rest must be what is reported dropped followed by nothing
// but zero bytes (room for later records), and applying the records to the daemon's copy of
// the tables, and rebuilding them from its snapshot, must give the same tables.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "RegistryJournal.h"
#include "RegistryState.h"

using namespace svcreg;

namespace {

std::string described(const RegistryState& state) {
    std::string text;
    for (const JournalRecord& record : state.snapshot()) text += RegistryJournal::encode(record);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::size_t dropped = 0;
    const std::vector<JournalRecord> records = RegistryJournal::parse(bytes, dropped);
    std::string again;
    for (const JournalRecord& record : records) again += RegistryJournal::encode(record);
    const std::size_t room = bytes.size() - again.size() - dropped;
    if (bytes.compare(0, again.size(), again) != 0 || again.size() + dropped > bytes.size() ||
        bytes.find_first_not_of('\0', bytes.size() - room) != std::string::npos ||
        (dropped != 0 && bytes[again.size() + dropped - 1] == '\0')) {
        std::abort();
    }
    // Room added after whole records changes nothing read from them. (Added after a record cut
    // short it may complete it, as the zero bytes it lacked.)
    std::size_t droppedBeforeRoom = 0;
    if (dropped == 0 &&
        (RegistryJournal::parse(bytes + std::string(64, '\0'), droppedBeforeRoom).size() !=
             records.size() ||
         droppedBeforeRoom != 0)) {
        std::abort();
    }
    RegistryState state;
    for (const JournalRecord& record : records) state.apply(record);
    RegistryState rebuilt;
    for (const JournalRecord& record : state.snapshot()) rebuilt.apply(record);
    if (described(rebuilt) != described(state)) std::abort();
    return 0;
}
