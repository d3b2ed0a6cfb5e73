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
// "start" (string parameter "interface") starts the declared service of that interface when
// nobody serves it and no start is under way or backed off, and is answered with the strings
// "state" ("running", "starting", "failed" or "undeclared"; see DeclaredState.h) and "reason"
// (for "failed", why the last start failed). "is-declared" (string "interface") is answered with
// the bool "declared". "list" is also answered with the string "declared": each declared service
// as a row of its name, state, reason, channel, interfaces (blank-separated) and the pid it was
// started as (empty when none); "status" adds "service.NAME" for each, its value the state, or
// "failed: REASON".
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
inline constexpr char kStart[] = "start";
inline constexpr char kIsDeclared[] = "is-declared";
inline constexpr char kInterfaceParameter[] = "interface";
inline constexpr char kState[] = "state";
inline constexpr char kReason[] = "reason";
inline constexpr char kUndeclared[] = "undeclared";
inline constexpr char kDeclared[] = "declared";
inline constexpr char kServicePrefix[] = "service.";
inline constexpr std::size_t kDeclaredFields = 6;

}  // namespace svcreg::RegistryStatusProtocol
