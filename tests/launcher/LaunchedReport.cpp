// What a program started by svcreg-launch finds itself with, written to the file argv[1] for
// the launcher's tests: its user, session, standard input, folder, open descriptors and
// environment, one "key=value" a line.

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string linkTarget(const char* path) {
    char target[PATH_MAX] = {};
    return readlink(path, target, sizeof(target) - 1) > 0 ? target : "";
}

// Those open before this program listed them: not the listing's own.
std::string openDescriptors() {
    DIR* listing = opendir("/proc/self/fd");
    if (listing == nullptr) return "?";
    std::string found;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.' || std::stoi(entry->d_name) == dirfd(listing)) continue;
        found += (found.empty() ? "" : " ") + std::string(entry->d_name);
    }
    closedir(listing);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string fds = openDescriptors();  // before the report's own is open
    FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) return 3;
    char cwd[PATH_MAX] = {};
    std::fprintf(out, "uid=%d\neuid=%d\ngid=%d\npid=%d\nsid=%d\nstdin=%s\ncwd=%s\nfds=%s\n",
                 static_cast<int>(getuid()), static_cast<int>(geteuid()),
                 static_cast<int>(getgid()), static_cast<int>(getpid()),
                 static_cast<int>(getsid(0)), linkTarget("/proc/self/fd/0").c_str(),
                 getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "?", fds.c_str());
    // As execve gave it, not environ: a runtime linked in (as coverage's, which sets a variable
    // of its own) may change environ before main.
    std::ifstream environment("/proc/self/environ");
    for (std::string variable; std::getline(environment, variable, '\0');) {
        std::fprintf(out, "env %s\n", variable.c_str());
    }
    return std::fclose(out) == 0 ? 0 : 4;
}
