// svcreg-launch [--services-dir=DIR]... [--make-room] NAME
//
// Starts the declared service NAME as its declaration says, in this process's place, for the
// registry daemon, which spawns it and reaps the service as its child. With --make-room, for a
// service the service manager starts on its socket (Activation=socket), it only makes the
// channel's files the declared user's, as before a start, and exits: a unit's ExecStartPre=+.
// Installed setuid root, runnable by the group svcreg only (mode 4754), so that the daemon, running
// as its own user, can start services as theirs. It trusts nothing its caller gives but NAME and
// the folders: it reads the declaration again itself and checks who may have written it and the
// program it names. Every refusal is one line "svcreg-launch: NAME: why" on stderr and the exit
// code 125.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ChannelRoom.h"
#include "RuntimeDirectory.h"
#include "ServiceDeclaration.h"
#include "ServiceRegistry/Defaults.h"
#include "TrustedFile.h"
#include "TrustedPath.h"

// The tests build a copy that takes another user for the registry's; the installed one takes
// the host runtime's default.
#ifndef SVCREG_LAUNCH_REGISTRY_USER
#define SVCREG_LAUNCH_REGISTRY_USER svcreg::kDefaultRegistryUser
#endif

using namespace svcreg;

namespace {

constexpr int kRefused = 125;
constexpr std::size_t kLargestDeclaration = 64 * 1024;

std::string serviceName = "?";

void say(const std::string& what) {
    std::fprintf(stderr, "svcreg-launch: %s: %s\n", serviceName.c_str(), what.c_str());
}

[[noreturn]] void refuse(const std::string& why) {
    say(why);
    std::exit(kRefused);
}

std::string fromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A copy: getpwnam's record is overwritten by the next lookup.
struct Account {
    std::string name, home, shell;
    uid_t uid;
    gid_t gid;
};

bool findAccount(const passwd* entry, Account& account) {
    if (entry == nullptr) return false;
    account = {entry->pw_name, entry->pw_dir, entry->pw_shell, entry->pw_uid, entry->pw_gid};
    return true;
}

// Running setuid, the environment is the caller's to make up: the registry's user is then the
// compiled one only, or any caller could name itself the registry's user.
std::string registryUser() {
    const bool elevated = getuid() != geteuid() || getgid() != getegid();
    const std::string configured = elevated ? "" : fromEnvironment("SVCREG_REGISTRY_USER");
    return configured.empty() ? SVCREG_LAUNCH_REGISTRY_USER : configured;
}

// The group svcreg, which may run this program, holds every service and client of the registry:
// only the daemon (and root) may start services, or any member could start any service as its
// user.
void checkCaller(const std::string& registry) {
    Account account;
    if (getuid() == 0 ||
        (findAccount(getpwnam(registry.c_str()), account) && account.uid == getuid())) {
        return;
    }
    refuse("uid " + std::to_string(getuid()) + " is neither root nor the registry's user '" +
           registry + "'");
}

// A folder is named as it is, with no link on the way: the declaration is read through the
// kernel's resolution of its path, and checked through a walk of the path's text, and a link
// such as /proc/self/fd/N (a descriptor, of another mount namespace even) resolves to another
// folder than its text names. A folder that does not exist (it declares nothing) is judged by
// the part of its path that does.
void checkFolderName(const std::string& folder) {
    std::string existing = folder;
    char* real = nullptr;
    while ((real = realpath(existing.c_str(), nullptr)) == nullptr && errno == ENOENT &&
           existing.rfind('/') != std::string::npos && existing.rfind('/') != 0) {
        existing.resize(existing.rfind('/'));
    }
    const bool asItIs = real != nullptr && existing == real && folder[0] == '/';
    std::free(real);
    if (!asItIs) refuse("--services-dir='" + folder + "' must be an absolute path with no link");
}

// The later folder's file replaces the earlier's, as the daemon reads them.
std::string declarationFile(const std::vector<std::string>& folders) {
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        const std::string file = *folder + "/" + serviceName + ".service";
        struct stat status {};
        if (lstat(file.c_str(), &status) == 0 || errno != ENOENT) return file;
    }
    refuse("not declared in any of the folders");
}

// Read as the caller: trusted as the daemon trusts it (root's or the caller's own, writable by
// no one else), and never a file the caller could not read itself.
ServiceDeclaration readDeclaration(const std::string& file) {
    const uid_t effective = geteuid();
    std::string text, error;
    if (seteuid(getuid()) != 0) refuse(std::string("cannot act as the caller: ") + strerror(errno));
    const bool read = readTrustedFile(file, kLargestDeclaration, text, error);
    if (seteuid(effective) != 0) refuse(std::string("cannot act as root: ") + strerror(errno));
    if (!read) refuse(error);
    ServiceDeclaration declaration;
    declaration.file = file;
    if (!parseServiceDeclaration(serviceName, text, declaration, error))
        refuse(file + ": " + error);
    return declaration;
}

// Who else may write a declaration may make anyone run anything: to start as another user than
// the caller's own, the file and its folder must be root's and writable by root alone.
void checkDeclarationIsRoots(const std::string& file) {
    std::string problem;
    const std::string real = trustedPath(file, {0}, problem);
    if (real.empty()) refuse(problem + ", and only root's declarations start other users");
    const std::string folder = real.substr(0, real.rfind('/') + 1);
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refuse("the folder '" + folder + "' is writable by others than root");
    }
}

// The program runs as account: whoever could change it, or a folder or a link on the way to it,
// could run what they like as account.
std::string trustedProgram(const ServiceDeclaration& declaration, const Account& account) {
    std::vector<uid_t> owners = {0};
    if (account.uid == getuid()) owners.push_back(account.uid);
    std::string problem;
    const std::string program = trustedPath(declaration.exec[0], owners, problem);
    if (program.empty()) refuse("Exec= " + problem);
    return program;
}

std::vector<std::string> cleanEnvironment(const ServiceDeclaration& declaration,
                                          const Account& account, const std::string& registry) {
    std::vector<std::string> environment = {"PATH=/usr/local/bin:/usr/bin:/bin",
                                            "HOME=" + account.home,
                                            "USER=" + account.name,
                                            "LOGNAME=" + account.name,
                                            "SHELL=" + account.shell,
                                            "SVCREG_REGISTRY_USER=" + registry,
                                            "SVCREG_SERVICE=" + declaration.name};
    const std::string runtime = fromEnvironment("SVCREG_RUNTIME_DIR");
    if (!runtime.empty()) environment.push_back("SVCREG_RUNTIME_DIR=" + runtime);
    if (declaration.idleExit.count() > 0) {
        environment.push_back("SVCREG_IDLE_EXIT_SEC=" +
                              std::to_string(declaration.idleExit.count()));
    }
    return environment;
}

// Nothing of the daemon reaches the service but stdout and stderr, its log: no descriptor, no
// blocked or ignored signal, no controlling terminal or process group.
void leaveTheCallersPlace() {
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < sysconf(_SC_OPEN_MAX); ++fd) close(fd);
    }
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(nothing, STDIN_FILENO) < 0) refuse("cannot open /dev/null");
    if (nothing != STDIN_FILENO) close(nothing);
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    for (int number = 1; number < NSIG; ++number) signal(number, SIG_DFL);
    if (setsid() < 0) refuse(std::string("cannot start a session: ") + strerror(errno));
}

// Groups first, while still root; then the user, for good: a service that could become root
// again would be root.
void becomeUser(const Account& account) {
    if (geteuid() != 0) {
        if (account.uid != getuid()) refuse("only root may start a service as another user");
        return;
    }
    if (setgid(account.gid) != 0 || initgroups(account.name.c_str(), account.gid) != 0 ||
        setuid(account.uid) != 0) {
        refuse("cannot become user '" + account.name + "': " + strerror(errno));
    }
    if (account.uid != 0 && (setuid(0) == 0 || geteuid() == 0 || getuid() == 0)) {
        refuse("could become root again as user '" + account.name + "'");
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> folders;
    const std::string option = "--services-dir=";
    int at = 1;
    for (; at < argc && std::string(argv[at]).rfind(option, 0) == 0; ++at) {
        folders.push_back(argv[at] + option.size());
    }
    const bool roomOnly = at < argc && std::string(argv[at]) == "--make-room";
    if (roomOnly) ++at;
    if (at != argc - 1) refuse("usage: svcreg-launch [--services-dir=DIR]... [--make-room] NAME");
    serviceName = argv[at];
    // The name makes a path: "../x" would read a file of anyone's choosing.
    if (!isValidDeclarationName(serviceName)) refuse("not a declaration's name");
    // Before any path of the caller's is looked at as root: what realpath answers would tell any
    // member what a folder it may not search holds.
    const std::string registry = registryUser();
    checkCaller(registry);
    if (folders.empty()) {
        folders.assign(std::begin(kDefaultDeclarationFolders),
                       std::end(kDefaultDeclarationFolders));
    }
    for (const std::string& folder : folders) checkFolderName(folder);

    const ServiceDeclaration declaration = readDeclaration(declarationFile(folders));
    // Its socket's first connection starts it, through the service manager's own units, which
    // ask only for its room.
    if (declaration.socketActivated != roomOnly) {
        refuse(roomOnly ? "--make-room is for Activation=socket: a start makes the room itself"
                        : "Activation=socket: the service manager starts it");
    }
    // The service's user is its unit's, not the caller's.
    if (roomOnly && declaration.user.empty()) {
        refuse("--make-room needs User=, the user whose the channel's files are made");
    }

    // An empty User= is the daemon's: the caller's own.
    Account account;
    const bool found = declaration.user.empty()
                           ? findAccount(getpwuid(getuid()), account)
                           : findAccount(getpwnam(declaration.user.c_str()), account);
    if (!found) refuse("no user '" + declaration.user + "'");
    if (account.uid != getuid()) checkDeclarationIsRoots(declaration.file);

    const std::string program = roomOnly ? std::string() : trustedProgram(declaration, account);

    // The channel is the service's user's: what another user left or put at its names would
    // keep the service from serving it.
    const std::string blocked = makeRoomForChannel(
        RuntimeDirectory::defaultPath(), declaration.channel, account.uid, account.gid, say);
    if (!blocked.empty()) refuse(blocked);
    if (roomOnly) return 0;

    const std::vector<std::string> environment = cleanEnvironment(declaration, account, registry);
    leaveTheCallersPlace();
    becomeUser(account);
    if (chdir(account.home.c_str()) != 0 && chdir("/") != 0) refuse("cannot enter '/'");

    std::vector<char*> args, env;
    for (const std::string& arg : declaration.exec) args.push_back(const_cast<char*>(arg.c_str()));
    for (const std::string& var : environment) env.push_back(const_cast<char*>(var.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    execve(program.c_str(), args.data(), env.data());
    refuse("cannot run '" + program + "': " + strerror(errno));
}
