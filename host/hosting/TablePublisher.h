#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeclaredServices.h"
#include "RegistryPipeline.h"
#include "SharedTableFile.h"
#include "UnixSocket.h"

namespace svcreg {

// Shares the registry's table with every client the gate lets connect, in the file of
// SharedTableFile.h, so that their lookups read memory instead of asking. Each change lookups
// can see moves the file's generation on, under the pipeline's lock and so before the change is
// acknowledged, and wakes those waiting on it. A client that asks gets the file, read-only,
// once the current snapshot is in it: it is written when the first client asks after a change.
// The file is one for good, kept in the daemon's state folder: its memory is a few times the
// largest table's, whatever clients hold, and a daemon started again after a crash moves the
// same generation on.
class TablePublisher final : public TableListener {
public:
    explicit TablePublisher(RegistryPipeline& pipeline);
    // Marks the file no longer served, for clients to ask the socket instead.
    ~TablePublisher();
    TablePublisher(const TablePublisher&) = delete;
    TablePublisher& operator=(const TablePublisher&) = delete;

    // Opens, or makes, the file at path, marks it served and listens to the pipeline's changes.
    // False, with why, when it is not a regular file of this process's user or cannot be
    // mapped: then nothing is shared.
    bool open(const std::string& path, std::string& error);

    // The snapshots mark the interfaces declared's services declare, each with its service's
    // state; declared, not owned, outlives this publisher. Before open.
    void showDeclared(const DeclaredServices* declared) { this->declared = declared; }

    // The file, read-only, holding the current snapshot; none when it cannot be written.
    std::vector<int> share();

    // The snapshot block of the entries of state's library, in its table's order, each
    // interface's followed by other devices' entries of it, and of state's creators (other
    // devices' after the library's) and next id, as generation.
    static std::string encode(const RegistryState& state, std::uint32_t generation);

    // The entries are read from the library's table, which keeps them in order.
    void registered(const std::vector<ServiceRecord>&, const PeerCredentials*) override {}
    void removed(const std::vector<ServiceRecord>&, const PeerCredentials*) override {}
    void lookupsChanged() override;

private:
    SharedTableFile::Page& page() const { return *static_cast<SharedTableFile::Page*>(mapped); }
    // Writes the snapshot of state into the half not current, unless the current one holds its
    // generation, and makes it current. Under the pipeline's lock; the library's is taken while
    // its table's entries are written.
    bool publish(const RegistryState& state);
    // The creators a snapshot holds, by kind: the library's in the order they were registered,
    // then other devices' in lookup order.
    struct Creators {
        std::vector<SnapshotCreator> proxies;
        std::vector<SnapshotCreator> invokers;
    };
    static Creators creatorsOf(const RegistryState& state);
    // local, the library's entries, with other devices' after each interface's: local itself
    // when there are none, else merged, made from both.
    static const std::vector<SnapshotEntry>& withRemote(const std::vector<SnapshotEntry>& local,
                                                        const std::vector<SnapshotEntry>& remote,
                                                        std::vector<SnapshotEntry>& merged);
    // Writes the snapshot of entries, creators and nextId into the half not current, growing
    // the halves when it does not fit, and makes it current.
    bool write(const std::vector<SnapshotEntry>& entries, Creators creators, std::int64_t nextId,
               const std::vector<SnapshotDeclared>& declaredRows);
    bool holdsGeneration(unsigned half, std::uint32_t generation) const;
    // Makes the halves large enough for needed bytes, and maps the file again.
    bool grow(std::size_t needed);
    // Maps the file with halves of halfCapacity, making it that large if it is not.
    bool map(std::uint64_t halfCapacity, std::string& error);

    RegistryPipeline& pipeline;
    const DeclaredServices* declared = nullptr;
    UniqueFd file;          // read-write
    UniqueFd readOnlyFile;  // what clients get a copy of
    void* mapped = nullptr;
    std::size_t mappedSize = 0;
};

}  // namespace svcreg
