#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GenerationPage.h"
#include "Mutex.h"
#include "RegistryPipeline.h"
#include "UnixSocket.h"

namespace svcreg {

// Shares the registry's table with every client the gate lets connect, so that their lookups
// read memory instead of asking. Each change lookups can see moves the generation in the page
// of generationPath on, before it is acknowledged, and wakes those waiting on it. A client that
// asks gets the page, read-only, and a snapshot of the table for the current generation: a
// sealed memory file nobody can write, made when the first client asks after a change and shared
// with the others until the next. A snapshot is freed once the last client lets it go.
//
// The page is a file in the daemon's state folder, so that it outlives a daemon that crashes:
// the next daemon moves the same generation on, and clients holding the page learn of it.
class TablePublisher final : public TableListener {
public:
    explicit TablePublisher(RegistryPipeline& pipeline);
    // Marks the page no longer served, for clients to ask the socket instead.
    ~TablePublisher();
    TablePublisher(const TablePublisher&) = delete;
    TablePublisher& operator=(const TablePublisher&) = delete;

    // Opens, or makes, the page at generationPath and marks it served. False, with why, when it
    // is not a regular file of this process's user or cannot be mapped: then nothing is shared.
    bool open(const std::string& generationPath, std::string& error);

    // The page, read-only, and the current snapshot; none when there is nothing to share.
    std::vector<int> share();

    // What a snapshot holds, copied from the state while no change is made.
    struct Contents {
        std::vector<ServiceRecord> entries;
        std::vector<JournalRecord> creators;
        std::int64_t nextId = 0;
    };
    static Contents contentsOf(const RegistryState& state);
    // The snapshot block of contents, as generation.
    static std::string encode(Contents contents, std::uint32_t generation);

    void registered(const std::vector<ServiceRecord>&) override {}
    void removed(const std::vector<ServiceRecord>&) override {}
    void lookupsChanged() override;

private:
    // The snapshot of the tables as they are now, sealed; invalid when the system refuses one.
    UniqueFd snapshotNow(std::uint32_t& generation);

    RegistryPipeline& pipeline;
    GenerationPage* page = nullptr;  // mapped writable; null until open succeeds
    UniqueFd readOnlyPage;

    Mutex mutex;  // guards the snapshot
    UniqueFd snapshot TS_GUARDED_BY(mutex);
    std::uint32_t snapshotGeneration TS_GUARDED_BY(mutex) = 0;
};

}  // namespace svcreg
