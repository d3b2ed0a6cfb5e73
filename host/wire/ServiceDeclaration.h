#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

// A declared service: a file NAME.service that says which interfaces a service offers, on which
// channel, and how to start it, so that the registry can start it when one of them is first
// asked for. The daemon reads the declarations to know what it may start; the privileged
// launcher reads the same files again itself, and trusts nothing the daemon tells it but the
// name.
//
//   # comment
//   Interfaces=com.example.Camera com.example.Focus
//   Channel=camera
//   Exec=/usr/bin/camera-service --quiet
//   User=camera
//   IdleExitSec=30
namespace svcreg {

struct ServiceDeclaration {
    std::string name;                     // the file's name without ".service"
    std::string file;                     // the path it was read from
    std::vector<std::string> interfaces;  // Interfaces=, in the order written, at least one
    std::string channel;                  // Channel=
    std::vector<std::string> exec;        // Exec=, split at blanks; exec[0] an absolute path
    std::string user;                     // User=; empty: the daemon's user
    std::chrono::seconds idleExit{0};     // IdleExitSec=; 0: never asked to end when idle
    // Activation=socket: the service manager holds the channel's socket and starts the service
    // at its first connection (no Exec= or IdleExitSec=; User=, whose the socket may be besides
    // root's); the registry keeps the interfaces' entries at the channel while that socket is
    // there, so that lookups answer at once.
    bool socketActivated = false;
};

// Where declarations are read from when no folder is given, in order.
inline constexpr const char* kDefaultDeclarationFolders[] = {"/usr/share/svcreg/services",
                                                             "/etc/svcreg/services"};

// Whether name may name a declaration: 1 to 64 letters, digits, '.', '-' or '_', not starting
// with '.'.
bool isValidDeclarationName(std::string_view name);

// Reads the text of the declaration named name. False, with "line N: why" in error, for a line
// that is neither blank, a comment ('#' or ';' first), nor KEY=VALUE of a known key given once;
// for a value a key does not take; or for a missing Interfaces=, Channel= or Exec=.
bool parseServiceDeclaration(std::string_view name, std::string_view text,
                             ServiceDeclaration& declaration, std::string& error);

// What a set of folders declares.
struct DeclarationSet {
    std::vector<ServiceDeclaration> services;  // by name
    std::vector<std::string> problems;  // "FILE:LINE: why" or "FILE: why", one per file refused
};

// Reads the files *.service of each folder, in order: a later folder's file replaces an earlier
// folder's of the same name. A file not trusted (see readTrustedFile) or that does not parse is
// refused and named in problems; the rest still load. A folder that does not exist declares
// nothing; one that cannot be read is a problem. An interface declared by two services stays
// with the first by name, and the second's is a problem.
DeclarationSet readServiceDeclarations(const std::vector<std::string>& folders);

}  // namespace svcreg
