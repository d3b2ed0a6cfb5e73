#pragma once

/// \file
/// What peers may hold of a process's connections and memory, and of the registry.

#include <chrono>
#include <cstddef>

namespace svcreg {

/// What peers may hold of a process's connections and memory, per user (by the uid the kernel
/// reports for the peer) and in total, so that what one user does cannot starve another. A
/// plain value, read when the host starts.
struct ConnectionLimits {
    /// Connections peers have made to the channels served here, per user. Those the registry
    /// makes for the callers of another device count as that device's, once it vouches for them.
    std::size_t connectionsPerUser = 256;
    /// Connections peers have made to the channels served here, in total; as many again for the
    /// callers of other devices.
    std::size_t connections = 1024;
    /// Connections this process keeps open to other channels: replies and announcements go out
    /// on them. Those made to answer one user's requests (on a channel it names) are a quarter
    /// of them at most, so that one whose channels never read cannot take them all. At the
    /// limit, the one unused longest (of that user's, at its share) makes room. One over which a
    /// private channel of this process is reached is never closed for that, nor for being idle.
    std::size_t outboundConnections = 256;
    /// Bytes of memory held by frames waiting to be written to a user's connections: each
    /// frame's block, with the allocator's share, and its place in the queue. The relays that
    /// carry other devices' calls to channels here have as much again of their own, shared by
    /// device as this is by user.
    std::size_t queuedBytesPerUser = 32u << 20;
    /// Bytes of memory held by frames waiting to be written, to all connections together.
    std::size_t queuedBytes = 64u << 20;
    /// Bytes received of frames not yet whole, per user.
    std::size_t unfinishedBytesPerUser = 16u << 20;
    /// Bytes received of frames not yet whole, in total.
    std::size_t unfinishedBytes = 48u << 20;
    /// A frame begun must be whole within this time, or its connection is closed.
    std::chrono::seconds stallTimeout{10};
    /// An outbound connection with nothing sent or received for this long is closed.
    std::chrono::seconds idleTimeout{60};
    /// Processes whose end this process watches (see HostFramework::watchPeer), counted per
    /// user of the process watched.
    std::size_t watchedProcessesPerUser = 64;
    /// Processes whose end this process watches, in total.
    std::size_t watchedProcesses = 256;
    /// Lines of one kind (a refusal, a connection closed, a delivery failed) logged about one
    /// peer (a user, or a channel) per logInterval; the rest are counted in one line after it.
    std::size_t logLinesPerPeer = 10;
    /// The interval of logLinesPerPeer.
    std::chrono::seconds logInterval{30};
};

/// What users may keep in the registry. A plain value, read when the registry starts.
struct RegistryQuotas {
    /// Interface entries per user; a registration of n names adds n.
    std::size_t entriesPerUser = 4096;
    /// Interface entries in total.
    std::size_t entries = 32768;
    /// Bytes a user's entries take in the table's listing, their names and channels and some
    /// 16 more each, so that the whole listing always fits a frame (8 MiB).
    std::size_t tableBytesPerUser = 1u << 20;
    /// Bytes all entries take in the table's listing, counted as for tableBytesPerUser.
    std::size_t tableBytes = 4u << 20;
    /// Proxy and invoker creators per user.
    std::size_t creatorsPerUser = 256;
    /// Proxy and invoker creators in total.
    std::size_t creators = 2048;
    /// Subscriber channels per user, one per channel however often it subscribes.
    std::size_t subscriptionsPerUser = 64;
    /// Subscriber channels in total.
    std::size_t subscriptions = 1024;
    /// Changes a user other than root and the registry's own may make a second, with bursts of
    /// up to ten seconds' worth.
    std::size_t changesPerUserPerSecond = 100;
    /// Bytes of the names those changes carry, a second, with the same bursts: a change's work
    /// grows with its bytes, so that one user's large changes cannot keep the registry busy. Ten
    /// seconds' worth is more than tableBytesPerUser, so that a user's whole share of the table
    /// may be registered at once.
    std::size_t changeBytesPerUserPerSecond = 128u << 10;
    /// Bytes of whole-table answers (the details list, the status list, a watch's first answer)
    /// a user other than root and the registry's own may be sent a second, each counted as the
    /// table's bytes (see tableBytes), with bursts of up to ten seconds' worth: such an answer's
    /// work grows with the table, so that one user asking for it again and again cannot slow the
    /// others' requests. A user's whole share of the table a second; an answer larger than a
    /// burst still goes while the user's bucket is not empty, and is paid back at the rate.
    std::size_t listedBytesPerUserPerSecond = 1u << 20;
    /// Entries of any one other device of the federation (see RemoteDevices), so that one
    /// faulty device cannot fill the table; they count against no user's quota.
    std::size_t entriesPerDevice = 32768;
    /// Changes of any one other device's entries and creators taken a second, with bursts of
    /// as many as its readers hold (twice entriesPerDevice, each made anew when the entries are
    /// taken again): past it, the device's changes wait in DDS, where each entry and creator
    /// keeps only its last, so that a device that churns its entries cannot keep this
    /// registry, nor the observers it tells, busy.
    std::size_t changesPerDevicePerSecond = 1000;
    /// Bytes any one other device's entries take in the table's listing, counted as for
    /// tableBytesPerUser, their channels with "@DEVICE", and the digits of the device's own
    /// service ids past the eleven that 16 bytes leave room for.
    std::size_t tableBytesPerDevice = 1u << 20;
    /// Bytes all other devices' entries take in the table's listing, counted as for
    /// tableBytesPerDevice. The local tableBytes (4 MiB) and these (3 MiB) leave 1 MiB of the
    /// frame (8 MiB) for the reply's other fields, so that the whole listing always fits it.
    std::size_t deviceTableBytes = 3u << 20;
    /// Bytes of any one name a change of the registry carries.
    std::size_t nameLength = 255;
    /// Whether those names may hold control characters (bytes below 0x20, and 0x7f), which a
    /// terminal would act on when an operator lists them.
    bool controlCharactersInNames = false;
};

}  // namespace svcreg
