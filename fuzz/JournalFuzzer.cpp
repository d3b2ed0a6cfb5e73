// Reads arbitrary bytes as the registry's journal. The records taken out must each be found in
// the bytes, in order and whole; with the bytes skipped as damage and the zero bytes of room at
// the end they must account for every byte; and fed in pieces the bytes must give the same. (The
// tables a journal replays to, and rebuilds from their snapshot, are the pipeline fuzzer's.)

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "RegistryJournal.h"

using namespace svcreg;

// The records of bytes, fed to a scanner in pieces of the given size.
std::vector<JournalRecord> scannedInPieces(const std::string& bytes, std::size_t piece,
                                           std::size_t& dropped) {
    RecordScanner scanner;
    std::vector<JournalRecord> records;
    JournalRecord record;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        scanner.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
        while (scanner.next(record)) records.push_back(record);
    }
    scanner.end();
    while (scanner.next(record)) records.push_back(record);
    dropped = scanner.droppedBytes();
    return records;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::size_t dropped = 0;
    const std::vector<JournalRecord> records = RegistryJournal::parse(bytes, dropped);
    std::size_t found = 0, at = 0;
    for (const JournalRecord& record : records) {
        const std::string encoded = RegistryJournal::encode(record);
        at = bytes.find(encoded, at);
        if (at == std::string::npos) std::abort();
        at += encoded.size();
        found += encoded.size();
    }
    const std::size_t room = bytes.size() - found - dropped;
    if (found + dropped > bytes.size() ||
        bytes.find_first_not_of('\0', bytes.size() - room) != std::string::npos) {
        std::abort();
    }
    std::size_t droppedInPieces = 0;
    if (scannedInPieces(bytes, 7, droppedInPieces).size() != records.size() ||
        droppedInPieces != dropped) {
        std::abort();
    }
    return 0;
}
