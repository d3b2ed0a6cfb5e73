#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "UnixSocket.h"

namespace svcreg {

// One change of the registry's tables, as the journal keeps it.
struct JournalRecord {
    enum class Kind : std::uint8_t {
        Register = 1,    // fields: names, channel; id: the service id it got
        Deregister = 2,  // fields: names, channel
        Proxy = 3,       // fields: lib, creatorFn, ifc, protocol
        Invoker = 4,     // fields: lib, creatorFn, ifc, protocol
        Served = 5,      // fields: channel, served from the runtime directory
        NextId = 6,      // id: the service id the next registration gets
    };
    Kind kind;
    uid_t owner = 0;  // who made the change
    std::int64_t id = 0;
    std::vector<std::string> fields;
};

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

    // The records of the file, up to the first damaged one; none when it does not exist. False,
    // with a message, when it cannot be read or belongs to another user.
    bool load(std::vector<JournalRecord>& records, std::string& error);
    // Replaces the file by records, written in full before it takes the old one's place, and
    // appends to it from then on.
    bool rewrite(const std::vector<JournalRecord>& records, std::string& error);
    // False, with a message, when the file cannot grow to hold the record or the system refuses
    // the write.
    bool append(const JournalRecord& record, std::string& error);

    // How many bytes at the end of the file load found damaged or cut short, and dropped.
    std::size_t droppedBytes() const { return dropped; }
    // A record as the file holds it, and the records of a file's bytes up to the first damaged
    // or cut short one, with how many bytes are left after them in dropped: zero bytes at the
    // end are room, not damage, and are not counted.
    static std::string encode(const JournalRecord& record);
    static std::vector<JournalRecord> parse(const std::string& bytes, std::size_t& dropped);

    // Records appended since the last rewrite.
    std::size_t appendedSinceRewrite() const { return appended; }
    const std::string& path() const { return file; }

private:
    // Makes the file and its mapping hold at least needed bytes. False, with a message, when
    // the file cannot grow.
    bool reserve(std::size_t needed, std::string& error);
    void unmap();

    const std::string file;
    UniqueFd output;
    bool mappable = false;     // whether the file's file system keeps its reserved room
    char* mapped = nullptr;    // the whole file, capacity bytes, when mappable
    std::size_t capacity = 0;  // of the file and its mapping
    std::size_t used = 0;      // by the records written in full
    std::size_t dropped = 0;
    std::size_t appended = 0;
};

}  // namespace svcreg
