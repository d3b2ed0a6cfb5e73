#pragma once

// The daemon's report on itself, for operators: an interface of the registry's channel, called
// with the binary adapter, open to everyone who may connect.
//
// "status" is answered with one string parameter per fact, in the order to show them: "pid",
// "version", "uptime" (seconds), "runtime-dir", "channel", the counts "entries", "creators",
// "subscribers" and "connections", then "limit.NAME" for each limit the daemon runs with.
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
inline constexpr std::size_t kListFields = 4;

}  // namespace svcreg::RegistryStatusProtocol
