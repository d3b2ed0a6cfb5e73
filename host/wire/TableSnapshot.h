#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeclaredState.h"
#include "ServiceRegistry/ServiceRecord.h"

// The registry's tables as one block of bytes, which the daemon writes into the file it shares
// with its clients and every client maps read-only: lookups then read memory, with no request
// and no system call. Both ends are the same machine, so the block holds native integers.
//
//   Header | entry rows | proxy rows | invoker rows | declared rows | texts
//
// Each kind of row is sorted by its key and, within a key, in the order the registry keeps them,
// so that the first row of a key is the registry's answer to a lookup of it. Rows point into the
// texts by offset and length. A reader may look at a block while the daemon writes it again (it
// then throws away what it read, see SharedTableFile.h), so TableSnapshotView never trusts what
// it reads: every access stays inside the block, whatever the bytes say.
namespace svcreg {

// An entry of the table, as views into what holds it.
struct SnapshotEntry {
    std::string_view ifc;
    std::string_view channel;
    ServiceId svcId;
};

// A creator of proxies or invokers as the registry keys it: the interface for a proxy,
// "interface,protocol" for an invoker.
struct SnapshotCreator {
    std::string key;
    std::string lib;
    std::string creatorFn;
};

// A declared interface (see ServiceDeclaration.h), with the state of the service declaring it.
struct SnapshotDeclared {
    std::string_view ifc;
    DeclaredState state;
};

// The size of the block of a table holding entries, creators and declared interfaces.
std::size_t tableSnapshotSize(const std::vector<SnapshotEntry>& entries,
                              const std::vector<SnapshotCreator>& proxies,
                              const std::vector<SnapshotCreator>& invokers,
                              const std::vector<SnapshotDeclared>& declared = {});
// Writes into block, of tableSnapshotSize bytes and aligned for 8-byte integers, the block for
// generation of a table holding entries, in the registry's order already (by interface, then as
// registered), the creators (in the order they were registered), nextId and the declared
// interfaces (in any order; each once).
void writeTableSnapshot(char* block, std::uint32_t generation, std::int64_t nextId,
                        const std::vector<SnapshotEntry>& entries,
                        std::vector<SnapshotCreator> proxies, std::vector<SnapshotCreator> invokers,
                        std::vector<SnapshotDeclared> declared = {});
// The same block, in a string.
std::string encodeTableSnapshot(std::uint32_t generation, std::int64_t nextId,
                                const std::vector<SnapshotEntry>& entries,
                                std::vector<SnapshotCreator> proxies,
                                std::vector<SnapshotCreator> invokers,
                                std::vector<SnapshotDeclared> declared = {});

// Lookups in a block encodeTableSnapshot made; the block must outlive the view.
class TableSnapshotView {
public:
    struct Entry {
        std::uint32_t ifc, ifcLength, channel, channelLength;
        std::int64_t svcId;
    };
    struct Creator {
        std::uint32_t key, keyLength, lib, libLength, creatorFn, creatorFnLength;
    };
    struct Declared {
        std::uint32_t ifc, ifcLength, state;
    };

    // False, with why, when bytes do not start with a block of this version whose rows fit in
    // size. Cheap: nothing but the header is read.
    bool open(const char* bytes, std::size_t size, std::string& why);

    std::uint32_t generation() const;
    std::int64_t nextId() const;
    std::size_t entryCount() const { return entriesEnd - entries; }
    std::size_t textBytes() const { return textsSize; }
    const Entry& entryAt(std::size_t index) const { return entries[index]; }
    // The entries of ifc, in the registry's order: [first, last).
    std::pair<const Entry*, const Entry*> entriesOf(std::string_view ifc) const;
    const Creator* findProxy(std::string_view ifc) const;
    const Creator* findInvoker(std::string_view ifc, std::string_view protocol) const;
    std::size_t declaredCount() const { return declaredEnd - declared; }
    // The state of the service that declares ifc; nullopt when ifc is not declared. A state the
    // block does not know reads as Idle.
    std::optional<DeclaredState> declaredStateOf(std::string_view ifc) const;

    // The text at offset, cut to what the texts hold.
    std::string_view text(std::uint32_t offset, std::uint32_t length) const {
        if (offset > textsSize) return std::string_view();
        return std::string_view(texts + offset, std::min<std::size_t>(length, textsSize - offset));
    }
    std::string_view ifcOf(const Entry& entry) const { return text(entry.ifc, entry.ifcLength); }
    std::string_view channelOf(const Entry& entry) const {
        return text(entry.channel, entry.channelLength);
    }

    // Counts and offsets, at the start of the block.
    struct Header;

private:
    // The first row whose key is the pieces of key joined; null for none.
    const Creator* firstOf(const Creator* begin, const Creator* end,
                           std::initializer_list<std::string_view> key) const;

    const Entry* entries = nullptr;
    const Entry* entriesEnd = nullptr;
    const Creator* proxies = nullptr;
    const Creator* proxiesEnd = nullptr;
    const Creator* invokers = nullptr;
    const Creator* invokersEnd = nullptr;
    const Declared* declared = nullptr;
    const Declared* declaredEnd = nullptr;
    const char* texts = nullptr;
    std::size_t textsSize = 0;
    std::uint32_t generationOfBlock = 0;
    std::int64_t nextIdOfBlock = 0;
};

}  // namespace svcreg
