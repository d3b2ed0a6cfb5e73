#pragma once

// The daemon's report on itself, for operators: an interface of the registry's channel, called
// with the binary adapter, open to everyone who may connect.
//
// "status" is answered with one string parameter per fact, in the order to show them: "pid",
// "version", "uptime" (seconds), "runtime-dir", "channel", the counts "entries", "creators",
// "subscribers" and "connections"; on a daemon of a federation of devices, "device" (this
// device's name) and "peer.NAME" for each other device, its value "ALIVE,LEASE_MS,ENTRIES,
// LAST_HEARD_MS" (ALIVE 1 or 0; LAST_HEARD_MS since the epoch); then "limit.NAME" for each
// limit the daemon runs with.
//
// "list" is answered with the string "entries": each entry of the table as a row (see
// WireRows.h) of its service id, interface, channel, the pid of the process serving the
// channel and the user who registered it; either of the last two is empty when not known.
namespace svcreg::RegistryStatusProtocol {

inline constexpr char kInterface[] = "svcreg.RegistryStatus";
inline constexpr char kStatus[] = "status";
inline constexpr char kList[] = "list";
inline constexpr char kEntries[] = "entries";
inline constexpr char kUptime[] = "uptime";
inline constexpr char kLimitPrefix[] = "limit.";
inline constexpr char kDevice[] = "device";
inline constexpr char kPeerPrefix[] = "peer.";
inline constexpr std::size_t kListFields = 4;

}  // namespace svcreg::RegistryStatusProtocol
