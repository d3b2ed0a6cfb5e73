// svcreg-launch against hostile declarations, programs and callers, and the place it starts a
// good declaration's program in. As root: the launcher changes users, and the tests act as a
// member of the registry's group through the user nobody.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "DaemonUnderTest.h"
#include "UnixSocket.h"

namespace {

namespace fs = std::filesystem;

// Who runs the launcher, and which one: the installed kind, or the tests' copy whose compiled
// registry user is nobody; either as it is built or as a setuid root copy.
enum class Caller { Root, Member, MemberSetuid, RegistryUserSetuid };

struct Launch {
    int exitCode = -1;
    std::string err;
    std::map<std::string, std::string> report;  // empty: the program did not run
    std::vector<std::string> environment;
};

// A tree the launcher may trust, in a fresh folder of root's (under /tmp, root's and sticky):
// services/ for the declarations and bin/ with the report program, root's; member/ and out/,
// nobody's.
class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the launcher's tests change users: run them as root";
        chmod(temp.path().c_str(), 0755);
        makeTree();
    }

    void makeTree() {
        services = folder("services", 0);
        bin = folder("bin", 0);
        member = folder("member", kNobody);
        out = folder("out", kNobody);
        report = program(bin + "/report", 0);
    }

    std::string folder(const std::string& name, uid_t owner) {
        const std::string path = temp.path() + "/" + name;
        mkdir(path.c_str(), 0755);
        chown(path.c_str(), owner, owner);
        return path;
    }
    static std::string program(const std::string& path, uid_t owner,
                               const std::string& from = LAUNCHED_REPORT_PATH) {
        fs::copy_file(from, path, fs::copy_options::overwrite_existing);
        chown(path.c_str(), owner, owner);
        chmod(path.c_str(), 0755);
        return path;
    }
    static void declare(const std::string& file, const std::string& text, uid_t owner = 0,
                        mode_t mode = 0644) {
        std::ofstream(file) << text;
        chown(file.c_str(), owner, owner);
        chmod(file.c_str(), mode);
    }
    std::string declaration(const std::string& exec, const std::string& user = "nobody") const {
        return "Interfaces=com.ex.Report\nChannel=report\nExec=" + exec + " " + out + "/report\n" +
               (user.empty() ? "" : "User=" + user + "\n") + "IdleExitSec=30\n";
    }

    // A setuid root copy of launcher, as installed.
    std::string setuidCopy(const std::string& launcher) const {
        const std::string copy = program(bin + "/launch", 0, launcher);
        chmod(copy.c_str(), 04755);
        return copy;
    }

    Launch launch(const std::string& name, Caller caller, std::vector<std::string> environment = {},
                  const std::string& servicesFolder = "", bool roomOnly = false) {
        std::vector<std::string> command;
        std::string launcher = LAUNCHER_PATH;
        if (caller == Caller::MemberSetuid) launcher = setuidCopy(LAUNCHER_PATH);
        if (caller == Caller::RegistryUserSetuid) launcher = setuidCopy(TEST_LAUNCHER_PATH);
        if (caller != Caller::Root) command = asUser(kNobody, kNogroup);
        command.insert(command.end(), {"/usr/bin/env", "-i"});
        command.insert(command.end(), environment.begin(), environment.end());
        // The registry user's own declarations are in its folder.
        const std::string& folder = !servicesFolder.empty()                ? servicesFolder
                                    : caller == Caller::RegistryUserSetuid ? member
                                                                           : services;
        command.insert(command.end(), {launcher, "--services-dir=" + temp.path() + "/none",
                                       "--services-dir=" + folder});
        if (roomOnly) command.push_back("--make-room");
        command.push_back(name);
        ChildProcess child(command, temp.path() + "/launch");
        Launch result;
        result.exitCode = child.wait();
        result.err = child.err();
        std::ifstream lines(out + "/report");
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("env ", 0) == 0) {
                result.environment.push_back(line.substr(4));
            } else if (line.find('=') != std::string::npos) {
                result.report[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
            }
        }
        return result;
    }

    TempDirectory temp;
    std::string services, bin, member, out, report;
};

TEST_F(Launcher, StartsTheProgramAsItsUserWithACleanEnvironmentInItsOwnSession) {
    declare(services + "/report.service", declaration(report));
    // A descriptor the caller leaves open, as a daemon might, and an input of its own.
    const int leaked = open("/dev/null", O_RDONLY);
    const int input = dup(STDIN_FILENO);
    const int program = open(report.c_str(), O_RDONLY);
    dup2(program, STDIN_FILENO);
    close(program);
    const Launch launched =
        launch("report", Caller::Root,
               {"FOO=bar", "SVCREG_RUNTIME_DIR=/run/test", "SVCREG_REGISTRY_USER=svcreg"});
    dup2(input, STDIN_FILENO);
    close(input);
    close(leaked);

    ASSERT_EQ(launched.exitCode, 0) << launched.err;
    std::map<std::string, std::string> seen = launched.report;
    EXPECT_EQ(seen["uid"], std::to_string(kNobody));
    EXPECT_EQ(seen["euid"], std::to_string(kNobody));
    EXPECT_EQ(seen["gid"], std::to_string(kNogroup));
    EXPECT_EQ(seen["sid"], seen["pid"]) << "a session of its own";
    EXPECT_EQ(seen["fds"], "0 1 2");
    EXPECT_EQ(seen["stdin"], "/dev/null");
    const passwd* nobody = getpwuid(kNobody);
    ASSERT_NE(nobody, nullptr);
    const std::string home = nobody->pw_dir;
    EXPECT_EQ(seen["cwd"], fs::is_directory(home) ? home : "/");
    std::vector<std::string> environment = launched.environment;
    std::sort(environment.begin(), environment.end());
    EXPECT_EQ(environment,
              (std::vector<std::string>{
                  "HOME=" + home, "LOGNAME=nobody", "PATH=/usr/local/bin:/usr/bin:/bin",
                  "SHELL=" + std::string(nobody->pw_shell), "SVCREG_IDLE_EXIT_SEC=30",
                  "SVCREG_REGISTRY_USER=svcreg", "SVCREG_RUNTIME_DIR=/run/test",
                  "SVCREG_SERVICE=report", "USER=nobody"}));
}

// Each case arranges the tree, then launches the service "report" (or the name it gives).
TEST_F(Launcher, RefusesWhatAnyoneButRootCouldHaveChanged) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        Caller caller;
        std::string refusal;  // empty: started
        std::string name = "report";
        std::vector<std::string> environment = {};
        std::string folder = "";  // empty: as launch chooses
        std::string said = "";    // on stderr, when started
        bool roomOnly = false;    // --make-room: nothing started
    };
    const std::string declared = services + "/report.service";
    const std::string onItsSocket =
        "Interfaces=com.ex.Report\nChannel=report\nActivation=socket\nUser=nobody\n";
    const std::string theirs = member + "/report.service";
    // The runtime directory, root's and sticky as the packages make it, with a file of uid
    // 12345's at name there; the channel's lock held by this process, as root, when it is
    // opened.
    const std::string run = temp.path() + "/run";
    const std::vector<std::string> inRun = {"SVCREG_RUNTIME_DIR=" + run};
    int held = -1;
    // The channel's lock held by a process whose parent took it and ended, which the table of
    // file locks names still; it ends once this end of its pipe closes.
    int orphansPipe = -1;
    const auto holdInOrphan = [&](const std::string& lockFile) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        const pid_t parent = fork();
        if (parent == 0) {
            const int lock = open(lockFile.c_str(), O_RDONLY);
            if (flock(lock, LOCK_EX) != 0 || fork() != 0) _exit(0);
            close(ends[1]);
            char none;
            while (read(ends[0], &none, 1) < 0) {
            }
            _exit(0);
        }
        close(ends[0]);
        orphansPipe = ends[1];
        waitpid(parent, nullptr, 0);
    };
    // A process of user listening at path, until the next case.
    const auto listenAs = [&](uid_t user, const std::string& path) {
        int ready[2], life[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(life), 0);
        if (fork() == 0) {
            close(ready[0]);
            close(life[1]);
            const gid_t root = 0;  // the runtime directory's group
            std::string error;
            if (setgroups(1, &root) != 0 || setgid(user) != 0 || setuid(user) != 0) _exit(1);
            const svcreg::UniqueFd listener = svcreg::listenAt(path, error);
            char none = 0;
            if (!listener.valid() || write(ready[1], &none, 1) != 1) _exit(1);
            while (read(life[0], &none, 1) < 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(life[0]);
        char none = 0;
        EXPECT_EQ(read(ready[0], &none, 1), 1) << "the listener of uid " << user << " is there";
        close(ready[0]);
        orphansPipe = life[1];
    };
    const auto ownerOf = [](const std::string& path) {
        struct stat status {};
        return lstat(path.c_str(), &status) == 0 ? status.st_uid : static_cast<uid_t>(-1);
    };
    const auto plant = [&](const std::string& name, mode_t type, mode_t folderMode = 01770) {
        mkdir(run.c_str(), folderMode);
        chmod(run.c_str(), folderMode);
        const std::string path = run + "/" + name;
        if (type == S_IFDIR) {
            mkdir(path.c_str(), 0755);
        } else {
            mknod(path.c_str(), type | 0644, 0);
        }
        lchown(path.c_str(), 12345, 12345);
    };
    const Case cases[] = {
        {"a declaration writable by its group",
         [&] { declare(declared, declaration(report), 0, 0664); }, Caller::Root,
         "is writable by group or others"},
        {"a declaration writable by others, for the caller's own user",
         [&] { declare(declared, declaration(report, "root"), 0, 0646); }, Caller::Root,
         "is writable by group or others: it is not read"},
        {"the registry user's own declaration, for itself",
         [&] { declare(theirs, declaration(program(member + "/own", kNobody), "")); },
         Caller::RegistryUserSetuid, ""},
        {"the registry user's own declaration, for root",
         [&] { declare(theirs, declaration(report, "root"), kNobody); }, Caller::RegistryUserSetuid,
         "belongs to uid 65534, and only root's declarations"},
        {"root's declaration in the registry user's folder, for root",
         [&] { declare(theirs, declaration(report, "root")); }, Caller::RegistryUserSetuid,
         "member' belongs to uid 65534, and only root's declarations"},
        {"a program through root's link into a member's folder",
         [&] {
             program(member + "/copy", 0);
             symlink((member + "/copy").c_str(), (bin + "/link").c_str());
             declare(declared, declaration(bin + "/link"));
         },
         Caller::Root, "Exec= '" + member + "' belongs to uid 65534"},
        {"a member's program",
         [&] { declare(declared, declaration(program(bin + "/theirs", kNobody))); }, Caller::Root,
         "Exec= '" + bin + "/theirs' belongs to uid 65534"},
        {"a program others may write",
         [&] {
             chmod(report.c_str(), 0757);
             declare(declared, declaration(report));
         },
         Caller::Root, "Exec= '" + report + "' is writable by group or others"},
        {"an undeclared name", [&] { declare(declared, declaration(report)); }, Caller::Root,
         "svcreg-launch: absent: not declared", "absent"},
        {"a name leading out of the folder", [&] { declare(declared, declaration(report)); },
         Caller::Root, "launch: ../services/report: not a declaration's name",
         "../services/report"},
        {"a member calling", [&] { declare(declared, declaration(report)); }, Caller::Member,
         "uid 65534 is neither root nor the registry's user 'svcreg'"},
        {"a member naming itself the registry user to the setuid launcher",
         [&] { declare(declared, declaration(report)); },
         Caller::MemberSetuid,
         "uid 65534 is neither root nor the registry's user 'svcreg'",
         "report",
         {"SVCREG_REGISTRY_USER=nobody"}},
        {"a member asking about a file in a folder it may not search",
         [&] {
             declare(declared, declaration(report));
             chmod(services.c_str(), 0700);
         },
         Caller::MemberSetuid,
         "uid 65534 is neither root nor the registry's user 'svcreg'",
         "report",
         {},
         services + "/report.service/x"},
        {"a folder named through a link (as a descriptor's of /proc would be)",
         [&] {
             declare(declared, declaration(report));
             fs::create_directory_symlink(services, temp.path() + "/alias");
         },
         Caller::Root,
         "must be an absolute path with no link",
         "report",
         {},
         temp.path() + "/alias"},
        {"a lock file of another user's at the channel's, which no process holds",
         [&] {
             declare(declared, declaration(report));
             plant(".report.lock", S_IFREG);
         },
         Caller::Root, "", "report", inRun, "", "removed '" + run + "/.report.lock' of uid 12345"},
        {"a socket of another user's at the channel's, which nothing listens at",
         [&] {
             declare(declared, declaration(report));
             plant("report", S_IFSOCK);
         },
         Caller::Root, "", "report", inRun, "", "removed '" + run + "/report' of uid 12345"},
        {"a folder of another user's, not empty, at the channel's socket",
         [&] {
             declare(declared, declaration(report));
             plant("report", S_IFDIR);
             plant("report/in", S_IFREG);
         },
         Caller::Root, "", "report", inRun, "", "moved '" + run + "/report' of uid 12345 to"},
        {"a lock file of root's at the channel, held",
         [&] {
             declare(declared, declaration(report));
             plant(".report.lock", S_IFREG);
             lchown((run + "/.report.lock").c_str(), 0, 0);
             held = open((run + "/.report.lock").c_str(), O_RDONLY);
             flock(held, LOCK_EX);
         },
         Caller::Root,
         "the channel 'report' is held by pid " + std::to_string(getpid()) + " of uid 0", "report",
         inRun},
        // Taken back from files of any other user but root's, whoever holds them: a declared
        // channel is its service's, and a member may have a process of root's hold its lock (the
        // setuid launcher it ran, stopped).
        {"another user's lock file at the channel, held by root",
         [&] {
             declare(declared, declaration(report));
             plant(".report.lock", S_IFREG);
             held = open((run + "/.report.lock").c_str(), O_RDONLY);
             flock(held, LOCK_EX);
         },
         Caller::Root, "", "report", inRun, "",
         "taken back from pid " + std::to_string(getpid()) + " of uid 12345"},
        {"the channel held by an orphan of a process of another user",
         [&] {
             declare(declared, declaration(report));
             plant(".report.lock", S_IFREG);
             holdInOrphan(run + "/.report.lock");
         },
         Caller::Root, "", "report", inRun, "", "taken back from pid "},
        {"the channel's socket listened at by a process of another user",
         [&] {
             declare(declared, declaration(report));
             plant(".report.lock", S_IFREG);
             listenAs(12345, run + "/report");
         },
         Caller::Root, "", "report", inRun, "", "taken back from pid "},
        // A service the service manager starts on its socket has its room made by its unit.
        {"room for a service started on its socket, its lock file another user's, held",
         [&] {
             declare(declared, onItsSocket);
             plant(".report.lock", S_IFREG);
             held = open((run + "/.report.lock").c_str(), O_RDONLY);
             flock(held, LOCK_EX);
         },
         Caller::Root, "", "report", inRun, "",
         "taken back from pid " + std::to_string(getpid()) + " of uid 12345", true},
        {"room for a service the launcher starts", [&] { declare(declared, declaration(report)); },
         Caller::Root, "--make-room is for Activation=socket", "report", inRun, "", "", true},
        {"a start of a service the service manager starts", [&] { declare(declared, onItsSocket); },
         Caller::Root, "Activation=socket: the service manager starts it"},
        {"the registry user's own service, another user's file in a folder anyone may write",
         [&] {
             declare(theirs, declaration(program(member + "/own", kNobody), ""));
             plant(".report.lock", S_IFREG, 01777);
         },
         Caller::RegistryUserSetuid, "'" + run + "/.report.lock' of uid 12345 is in the way",
         "report", inRun},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        const Launch launched = launch(c.name, c.caller, c.environment, c.folder, c.roomOnly);
        if (c.refusal.empty()) {
            EXPECT_EQ(launched.exitCode, 0) << launched.err;
            EXPECT_EQ(launched.report.empty() ? "" : launched.report.at("uid"),
                      c.roomOnly ? "" : std::to_string(kNobody));
            EXPECT_TRUE(contains(launched.err, c.said)) << launched.err;
            // Both of the channel's names are left the user's: another user's file put there
            // between their clearing and the service's claim would keep it from serving.
            if (c.environment == inRun) {
                EXPECT_EQ(ownerOf(run + "/.report.lock"), kNobody);
                EXPECT_EQ(ownerOf(run + "/report"), kNobody);
            }
        } else {
            EXPECT_EQ(launched.exitCode, 125);
            EXPECT_TRUE(contains(launched.err, c.refusal)) << launched.err;
            EXPECT_TRUE(launched.report.empty()) << "started as uid " << launched.report.at("uid");
        }
        // The next case starts from a tree made afresh.
        if (held >= 0) close(held);
        if (orphansPipe >= 0) close(orphansPipe);
        held = orphansPipe = -1;
        for (const auto& entry : fs::directory_iterator(temp.path())) fs::remove_all(entry);
        makeTree();
    }
}

}  // namespace
