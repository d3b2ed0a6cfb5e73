#include "ServiceDeclaration.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "RuntimeDirectory.h"
#include "TrustedFile.h"

namespace svcreg {

namespace {

constexpr std::size_t kLongestDeclarationName = 64;
constexpr std::size_t kLongestUserName = 32;
constexpr std::chrono::seconds kLongestIdleExit{86400};
// A declaration is a few lines; a folder holds one file per service of the device.
constexpr std::size_t kLargestDeclaration = 64 * 1024;
constexpr std::size_t kMostFilesPerFolder = 1024;
constexpr std::string_view kSuffix = ".service";
constexpr std::string_view kBlanks = " \t";

// Why a line could not be taken; line 0 for the file as a whole.
struct Problem {
    std::size_t line;
    std::string why;
};

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isLetterOrDigit(char c) {
    return isLetter(c) || (c >= '0' && c <= '9');
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::string_view();
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> found;
    for (std::size_t at = text.find_first_not_of(kBlanks); at != std::string_view::npos;) {
        const std::size_t end = std::min(text.find_first_of(kBlanks, at), text.size());
        found.emplace_back(text.substr(at, end - at));
        at = text.find_first_not_of(kBlanks, end);
    }
    return found;
}

// Control characters would end up in log lines, in the shared table and in a program's argv.
bool holdsControlCharacter(std::string_view line) {
    return std::any_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
}

// Interface names as a registration takes them: separated by blanks, so none holds one, and
// never a comma, which separates a text request's arguments.
std::string interfacesProblem(const std::vector<std::string>& interfaces) {
    if (interfaces.empty()) return "Interfaces= names no interface";
    std::set<std::string_view> seen;
    for (const std::string& ifc : interfaces) {
        if (ifc.find(',') != std::string::npos) {
            return "'" + ifc + "' is not an interface name: it holds a comma";
        }
        if (!seen.insert(ifc).second) return "'" + ifc + "' is listed twice";
    }
    return std::string();
}

// A channel of its own: a socket in the runtime directory, which lookups lead to.
std::string channelProblem(const std::string& channel) {
    if (channel.find('@') != std::string::npos) {
        return "'" + channel + "' names another device's channel";
    }
    if (RuntimeDirectory::isPrivateChannel(channel)) {
        return "'" + channel + "' is a private channel, which only a connection can hold";
    }
    return RuntimeDirectory(RuntimeDirectory::kSystemPath).channelProblem(channel);
}

// A name as the system's tools make them: a letter or '_' first, then letters, digits, '_',
// '-' or '.', and maybe a final '$'; at most 32 bytes.
bool isPlausibleUserName(const std::string& user) {
    if (user.empty() || user.size() > kLongestUserName) return false;
    if (!isLetter(user[0]) && user[0] != '_') return false;
    const std::size_t end = user.back() == '$' ? user.size() - 1 : user.size();
    return std::all_of(user.begin(), user.begin() + end, [](char c) {
        return isLetterOrDigit(c) || c == '_' || c == '-' || c == '.';
    });
}

std::optional<std::chrono::seconds> idleExitOf(std::string_view value) {
    if (value.empty() || value.size() > 5) return std::nullopt;
    long seconds = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        seconds = seconds * 10 + (c - '0');
    }
    const std::chrono::seconds idleExit(seconds);
    if (idleExit < std::chrono::seconds(1) || idleExit > kLongestIdleExit) return std::nullopt;
    return idleExit;
}

// Takes one key's value into declaration; why it cannot, else empty.
std::string take(std::string_view key, std::string_view value, ServiceDeclaration& declaration) {
    if (key == "Interfaces") {
        declaration.interfaces = words(value);
        return interfacesProblem(declaration.interfaces);
    }
    if (key == "Channel") {
        declaration.channel = std::string(value);
        return channelProblem(declaration.channel);
    }
    if (key == "Exec") {
        declaration.exec = words(value);
        if (declaration.exec.empty() || declaration.exec[0][0] != '/') {
            return "Exec= must start with an absolute path";
        }
        return std::string();
    }
    if (key == "User") {
        declaration.user = std::string(value);
        return isPlausibleUserName(declaration.user)
                   ? std::string()
                   : "'" + declaration.user + "' is not a user name";
    }
    if (key == "Activation") {
        declaration.socketActivated = value == "socket";
        return declaration.socketActivated || value == "exec" ? std::string()
                                                              : "Activation= takes exec or socket";
    }
    const std::optional<std::chrono::seconds> idleExit = idleExitOf(value);
    if (!idleExit) return "IdleExitSec= takes 1 to 86400 seconds";
    declaration.idleExit = *idleExit;
    return std::string();
}

constexpr std::string_view kKeys[] = {"Interfaces", "Channel",     "Exec",
                                      "User",       "IdleExitSec", "Activation"};
// The keys of how the daemon starts a service, Exec= and IdleExitSec=: a socket-activated one is
// the service manager's to start, as its own units say (its User= names whose its socket is).
constexpr std::size_t kExecKey = 2;
constexpr std::size_t kIdleExitKey = 4;

std::optional<Problem> parseLines(std::string_view text, ServiceDeclaration& declaration) {
    bool given[std::size(kKeys)] = {};
    std::size_t number = 0;
    for (std::size_t start = 0; start <= text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (holdsControlCharacter(line)) return Problem{number + 1, "a control character"};
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const std::size_t equals = line.find('=');
        const std::string_view key = trimmed(line.substr(0, equals));
        const auto known = std::find(std::begin(kKeys), std::end(kKeys), key);
        if (equals == std::string_view::npos || known == std::end(kKeys)) {
            return Problem{number + 1,
                           "not KEY=VALUE of a key among Interfaces, Channel, Exec, "
                           "User, IdleExitSec and Activation"};
        }
        bool& seen = given[known - std::begin(kKeys)];
        if (seen) return Problem{number + 1, std::string(key) + "= is given twice"};
        seen = true;
        std::string problem = take(key, trimmed(line.substr(equals + 1)), declaration);
        if (!problem.empty()) return Problem{number + 1, std::move(problem)};
    }
    const std::size_t required = declaration.socketActivated ? kExecKey : kExecKey + 1;
    for (std::size_t key = 0; key < required; ++key) {
        if (!given[key]) return Problem{0, "no " + std::string(kKeys[key]) + "="};
    }
    for (const std::size_t key : {kExecKey, kIdleExitKey}) {
        if (declaration.socketActivated && given[key]) {
            return Problem{0, std::string(kKeys[key]) +
                                  "= belongs to the service manager's units with "
                                  "Activation=socket"};
        }
    }
    return std::nullopt;
}

std::optional<Problem> parse(std::string_view name, std::string_view text,
                             ServiceDeclaration& declaration) {
    if (!isValidDeclarationName(name)) {
        return Problem{0, "'" + std::string(name) + "' is not a declaration's name"};
    }
    declaration.name = std::string(name);
    return parseLines(text, declaration);
}

std::string located(const std::string& file, const Problem& problem) {
    return file + (problem.line == 0 ? "" : ":" + std::to_string(problem.line)) + ": " +
           problem.why;
}

using Declarations = std::map<std::string, std::optional<ServiceDeclaration>>;

// The names of the *.service files in folder, at most kMostFilesPerFolder of them.
bool declarationFilesIn(const std::string& folder, std::vector<std::string>& names,
                        std::vector<std::string>& problems) {
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), closedir);
    if (!listing) {
        if (errno == ENOENT) return true;
        problems.push_back(folder + ": cannot read the folder: " + std::strerror(errno));
        return false;
    }
    while (const dirent* entry = readdir(listing.get())) {
        const std::string_view file = entry->d_name;
        if (file.size() <= kSuffix.size() ||
            file.compare(file.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
            continue;
        }
        if (names.size() == kMostFilesPerFolder) {
            problems.push_back(folder + ": holds more than " + std::to_string(kMostFilesPerFolder) +
                               " declarations; the rest are not read");
            break;
        }
        names.emplace_back(file.substr(0, file.size() - kSuffix.size()));
    }
    std::sort(names.begin(), names.end());
    return true;
}

// A later folder's file replaces an earlier one's even when it is refused: a broken
// replacement does not bring back what it was to replace.
void readFolder(const std::string& folder, Declarations& declarations,
                std::vector<std::string>& problems) {
    std::vector<std::string> names;
    if (!declarationFilesIn(folder, names, problems)) return;
    for (const std::string& name : names) {
        std::optional<ServiceDeclaration>& slot = declarations[name];
        slot.reset();
        ServiceDeclaration declaration;
        declaration.file = folder + "/" + name + std::string(kSuffix);
        std::string text, error;
        if (!readTrustedFile(declaration.file, kLargestDeclaration, text, error)) {
            problems.push_back(error);
            continue;
        }
        const std::optional<Problem> problem = parse(name, text, declaration);
        if (problem) {
            problems.push_back(located(declaration.file, *problem));
            continue;
        }
        slot = std::move(declaration);
    }
}

// Why declaration cannot be taken beside the ones taken before it, whose interfaces are in
// owners; empty when it can, and then its interfaces join owners.
std::string conflictOf(const ServiceDeclaration& declaration,
                       std::map<std::string, std::string>& owners) {
    for (const std::string& ifc : declaration.interfaces) {
        const auto owner = owners.find(ifc);
        if (owner != owners.end()) {
            return declaration.file + ": interface '" + ifc + "' is declared by '" + owner->second +
                   "' already";
        }
    }
    for (const std::string& ifc : declaration.interfaces) owners.emplace(ifc, declaration.name);
    return std::string();
}

}  // namespace

bool isValidDeclarationName(std::string_view name) {
    if (name.empty() || name.size() > kLongestDeclarationName || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return isLetterOrDigit(c) || c == '.' || c == '-' || c == '_';
    });
}

bool parseServiceDeclaration(std::string_view name, std::string_view text,
                             ServiceDeclaration& declaration, std::string& error) {
    ServiceDeclaration parsed;
    parsed.file = declaration.file;  // where the text came from is the caller's to say
    const std::optional<Problem> problem = parse(name, text, parsed);
    if (problem) {
        error = (problem->line == 0 ? "" : "line " + std::to_string(problem->line) + ": ") +
                problem->why;
        return false;
    }
    declaration = std::move(parsed);
    return true;
}

DeclarationSet readServiceDeclarations(const std::vector<std::string>& folders) {
    Declarations declarations;
    DeclarationSet set;
    for (const std::string& folder : folders) readFolder(folder, declarations, set.problems);
    std::map<std::string, std::string> owners;
    for (auto& [name, declaration] : declarations) {
        if (!declaration) continue;
        std::string conflict = conflictOf(*declaration, owners);
        if (!conflict.empty()) {
            set.problems.push_back(std::move(conflict));
            continue;
        }
        set.services.push_back(std::move(*declaration));
    }
    return set;
}

}  // namespace svcreg
