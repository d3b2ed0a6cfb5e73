#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svcreg {

// One change of the registry's tables, as the journal keeps it.
struct JournalRecord {
    enum class Kind : std::uint8_t {
        // fields: names, channel, and the caller's device for a caller on another device, or an
        // empty device, the pid and the start time of a local caller that owns it; id: the
        // service id it got
        Register = 1,
        Deregister = 2,  // fields: names, channel
        Proxy = 3,       // fields: lib, creatorFn, ifc, protocol
        Invoker = 4,     // fields: lib, creatorFn, ifc, protocol
        Served = 5,      // fields: channel, served from the runtime directory; owner: whose process
        NextId = 6,      // id: the service id the next registration gets
        // fields: pid, start time (clock ticks after boot) of the process the registration with
        // service id id ends with; owner: its user
        Caller = 7,
    };
    Kind kind;
    uid_t owner = 0;  // who made the change
    std::int64_t id = 0;
    std::vector<std::string> fields;
};

// A Register record of a caller on another device names its device, which a replay reads to
// leave out what ended with that caller's connection.
void nameCallerDevice(JournalRecord& record, const std::string& device);
// The device a record names as its caller's; empty for a local caller's.
std::string callerDeviceOf(const JournalRecord& record);
// A Register record of a local caller that owns the registration names the caller's process
// too, after an empty device: the registration is never on file without the caller it ends with.
void nameCallerProcess(JournalRecord& record, const std::string& pid, const std::string& startTime);
// The Caller record of registration id, when record names its caller's process.
std::optional<JournalRecord> callerRecordOf(const JournalRecord& record, std::int64_t id);

// A record as the journal's file holds it: its payload's length and CRC-32, then the payload.
std::string encodeRecord(const JournalRecord& record);

// Finds the records in the bytes of a journal, fed as they are read, so that a file is never
// held whole. A record that is damaged (its checksum or its contents wrong) is skipped, and the
// records after it are found again; so are bytes that are no record at all. A damaged record
// followed by a record, or by zero bytes only (the last one, cut short by a crash), is skipped
// whole: the names it holds, which a peer chose, are never searched for records. Zero bytes
// after the last record are the room kept for later ones, not damage.
class RecordScanner {
public:
    // What a journal's bytes start with.
    enum class Found { Record, Partial, Damage };

    void feed(const char* data, std::size_t size);
    // No more bytes come: what is left after the last record is damage or room.
    void end();
    // The next record of the bytes fed; false when more are needed, or after end, when there
    // are none.
    bool next(JournalRecord& record);

    // Bytes skipped as damage, room not counted.
    std::size_t droppedBytes() const { return dropped; }
    // Where the last record found ends, counted from the first byte fed.
    std::size_t endOfRecords() const { return recordsEnd; }

private:
    void skipByte();
    // Skips the length bytes of a damaged record.
    void skipDamaged(std::size_t length);
    // Whether the damaged record that rest follows ends there; nullopt until that can be told.
    std::optional<bool> endsWhereItSays(std::string_view rest) const;

    std::string pending;
    std::size_t position = 0;  // in pending, of the first byte not handled
    std::size_t consumed = 0;  // bytes handled since the first
    std::size_t recordsEnd = 0;
    std::size_t dropped = 0;
    std::size_t zerosSkipped = 0;  // since the last record or damaged byte
    bool ended = false;
    // Whether position is where a record must start: the first byte, or right after a record.
    bool atRecordStart = true;
};

}  // namespace svcreg
