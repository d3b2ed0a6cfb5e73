#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "JournalFormat.h"
#include "UnixSocket.h"

namespace svcreg {

// The registry's tables kept in a file, so that a restarted daemon finds them again: every
// change is appended before it is made and acknowledged, and the file is now and then
// rewritten as the few records that give the tables as they are. Each record carries its length
// and checksum: a record cut short by a crash, which was never acknowledged, is dropped on load.
// The file has room reserved after its records, zero bytes, and grows by a step of room at a
// time: a change is refused when it cannot grow. Where the file system keeps the reserved room
// for the pages that fill it (tmpfs, ext2/3/4, XFS) the file is mapped into memory, and an
// append is a copy into the page cache, which outlives this process, with no system call;
// elsewhere, where storing into a mapping could fail with SIGBUS, it is a pwrite.
class RegistryJournal {
public:
    explicit RegistryJournal(std::string path);
    ~RegistryJournal();
    RegistryJournal(const RegistryJournal&) = delete;
    RegistryJournal& operator=(const RegistryJournal&) = delete;

    // Hands each record of the file to take, in order, as it is read (see RecordScanner): a
    // damaged one is skipped and the rest found again. Nothing when the file does not exist.
    // False, with a message, when it cannot be read or is not a regular file of this user's.
    bool load(const std::function<void(const JournalRecord&)>& take, std::string& error);
    // What hands each record of a rewrite to take, in order.
    using Records = std::function<void(const std::function<void(const JournalRecord&)>& take)>;
    // Replaces the file by the records records hands out, written in full before it takes the
    // old one's place, and appends to it from then on. The records are encoded as they come,
    // and none is kept.
    bool rewrite(const Records& records, std::string& error);
    // Appends to the file as load found it, after its last record, when it cannot be rewritten
    // (its file system is full, say): changes are refused until there is room again.
    bool appendAfterLoaded(std::string& error);
    // False, with a message, when the file cannot grow to hold the record or the system refuses
    // the write.
    bool append(const JournalRecord& record, std::string& error);

    // How many bytes load found damaged or cut short, and skipped.
    std::size_t droppedBytes() const { return dropped; }
    // The bytes of the records now, and when the file was last rewritten.
    std::size_t size() const { return used; }
    std::size_t sizeAtRewrite() const { return rewrittenSize; }
    const std::string& path() const { return file; }

    // A record as the file holds it, and the records of a file's bytes, with how many bytes of
    // damage were skipped in dropped; zero bytes at the end are room, not damage.
    static std::string encode(const JournalRecord& record) { return encodeRecord(record); }
    static std::vector<JournalRecord> parse(const std::string& bytes, std::size_t& dropped);

private:
    // Makes the file and its mapping hold at least needed bytes. False, with a message, when
    // the file cannot grow.
    bool reserve(std::size_t needed, std::string& error);
    // Appends from now on to opened, whose records end at recordsEnd.
    void useForAppends(UniqueFd opened, std::size_t recordsEnd);
    void unmap();

    const std::string file;
    UniqueFd output;
    bool mappable = false;     // whether the file's file system keeps its reserved room
    char* mapped = nullptr;    // the whole file, capacity bytes, when mappable
    std::size_t capacity = 0;  // of the file and its mapping
    std::size_t used = 0;      // by the records written in full
    std::size_t rewrittenSize = 0;
    std::size_t loadedEnd = 0;  // where the records load found end
    std::size_t dropped = 0;
};

}  // namespace svcreg
