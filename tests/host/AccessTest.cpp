// Who may use the daemon and what each may change, and a daemon that cannot be tricked by the
// files around it. Runs the daemon and client as other users, so these tests need root.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"

namespace {

class Access : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "runs programs as other users: needs root";
    }
};

// Members change what the policy lets them, which SIGHUP reloads; outsiders are told why not.
TEST_F(Access, TheGroupMayUseTheRegistryWithinThePolicyAndOthersAreToldWhy) {
    TempDirectory etc;
    const std::string policy = etc.path() + "/policy.conf";
    std::ofstream(policy) << "# the members' part\n"
                             "allow group:users register com.ok.*\n";
    DaemonUnderTest daemon({"--group", "users", "--policy", policy});
    ASSERT_EQ(chmod(daemon.runtimeDirectory().c_str(), 0755), 0);
    const auto member = asUser(kNobody, kNogroup, {kUsers});
    const auto outsider = asUser(kNobody, kNogroup);

    ASSERT_EQ(daemon.client({"--keep", "register", "com.root.A", "root_ch"}).exitCode, 0);
    EXPECT_EQ(daemon.client({"find", "com.root.A"}, member).out, "root_ch\n");
    EXPECT_EQ(daemon.client({"--keep", "register", "com.ok.B", "b_ch"}, member).exitCode, 0);

    // Refused outside the policy's pattern, told and logged with the peer's own credentials;
    // each reason to refuse is RegistryGate's test.
    const ClientResult dropped = daemon.client({"reg", "com.other.D", "d_ch"}, member);
    EXPECT_EQ(dropped.exitCode, 1);
    EXPECT_EQ(dropped.err, "svcreg: refused: may not register 'com.other.D'\n");
    EXPECT_EQ(daemon.client({"find", "com.other.D"}).exitCode, 1);
    EXPECT_TRUE(daemon.logged("Refused 'reg:com.other.D,d_ch' from pid "));
    EXPECT_TRUE(daemon.logged(" uid 65534 gid 65534: may not register"));

    // SIGHUP puts a new policy in force; one that cannot be read leaves the old one in force,
    // and the daemon logs why and serves on.
    std::ofstream(policy) << "allow group:users register com.other.*\n";
    daemon.process().signal(SIGHUP);
    ASSERT_TRUE(daemon.logged("reloaded the policy from '" + policy + "'"));
    const auto registers = [&](const std::string& ifc) {
        return daemon.client({"--keep", "register", ifc, "ch"}, member).exitCode;
    };
    EXPECT_EQ(registers("com.other.E"), 0);
    EXPECT_EQ(registers("com.ok.F"), 1);
    // A policy file that is gone: unlike at a start, not the group's defaults but an error, and
    // the policy in force stays. What makes a file unreadable otherwise is the policy's own test.
    unlink(policy.c_str());
    daemon.process().signal(SIGHUP);
    ASSERT_TRUE(daemon.logged("Kept the policy in force: "));
    EXPECT_TRUE(contains(daemon.process().err(), policy + ": No such file or directory"));
    EXPECT_EQ(registers("com.other.G"), 0);
    EXPECT_EQ(registers("com.ok.H"), 1);

    const ClientResult denied = daemon.client({"find", "com.root.A"}, outsider);
    EXPECT_EQ(denied.exitCode, 3);
    EXPECT_TRUE(contains(denied.err, "permission denied")) << denied.err;
    EXPECT_TRUE(contains(denied.err, "usermod -aG svcreg")) << denied.err;

    // Once the socket lets anyone connect, the daemon closes outsiders itself.
    ASSERT_EQ(chmod(daemon.socketPath().c_str(), 0666), 0);
    const ClientResult closed =
        daemon.client({"--reply-timeout", "1", "register", "com.X", "x"}, outsider);
    EXPECT_EQ(closed.exitCode, 3);
    EXPECT_TRUE(daemon.logged("uid 65534 gid 65534: only root and members of group 'users'"));
}

TEST_F(Access, ClientsTrustOnlyRootTheirOwnUserAndTheRegistrysUser) {
    DaemonUnderTest impostor({"--group", ""}, asUser(kNobody, kNogroup));
    const ClientResult untrusted = impostor.client({"find", "com.ex.A"});
    EXPECT_EQ(untrusted.exitCode, 3);
    EXPECT_TRUE(contains(untrusted.err, "is served by uid 65534")) << untrusted.err;
    EXPECT_TRUE(contains(untrusted.err, "not trusted")) << untrusted.err;

    setenv("SVCREG_REGISTRY_USER", "nobody", 1);
    const ClientResult trusted = impostor.client({"find", "com.ex.A"});
    unsetenv("SVCREG_REGISTRY_USER");
    EXPECT_EQ(trusted.exitCode, 1);  // asked and answered: not found
}

// The daemon refuses directories others could tamper with and files it did not make, and follows
// no link.
TEST_F(Access, TheDaemonRefusesADirectoryOrFilesOthersControl) {
    TempDirectory top;
    const std::string target = top.path() + "/target";
    struct Case {
        const char* what;
        mode_t mode;
        uid_t owner;
        bool planted;  // a file in the socket's place
        const char* error;
    };
    const Case cases[] = {
        {"writable by others", 0777, 0, false, "has no sticky bit"},
        {"another user's", 0700, kNobody, false, "belongs to another user"},
        {"a file in the socket's place, named with its owner", 0700, 0, true, "/svcreg' of uid "},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string runtime = top.path() + "/run" + std::to_string(++n);
        ASSERT_EQ(mkdir(runtime.c_str(), c.mode), 0);
        ASSERT_EQ(chmod(runtime.c_str(), c.mode), 0);
        ASSERT_EQ(chown(runtime.c_str(), c.owner, 0), 0);
        if (c.planted) std::ofstream(runtime + "/svcreg") << "someone else's";
        ChildProcess daemon({SVCREGD_PATH, "--runtime-dir", runtime, "--policy="},
                            runtime + ".daemon");
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(contains(daemon.err(), c.error)) << daemon.err();
    }
    // What members may put in a sticky folder, where the daemon once kept its own files, is
    // nothing in its way, nor anything it waits on.
    const std::string sticky = top.path() + "/sticky";
    ASSERT_EQ(mkdir(sticky.c_str(), 0), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    ASSERT_EQ(symlink(target.c_str(), (sticky + "/.svcreg.lock").c_str()), 0);
    for (const char* fifo : {"/.svcreg.journal", "/.other.lock"}) {
        ASSERT_EQ(mkfifo((sticky + fifo).c_str(), 0600), 0);
    }
    for (int i = 0; i < 100; ++i) mkfifo((sticky + "/.f" + std::to_string(i) + ".lock").c_str(), 0);
    ChildProcess daemon({SVCREGD_PATH, "--runtime-dir", sticky, "--policy="}, sticky + ".daemon");
    EXPECT_TRUE(eventually([&] { return accepting(sticky + "/svcreg"); })) << daemon.err();
    EXPECT_LT(occurrences(daemon.err(), "Skipped"), 20u) << "each planted file logged";
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(std::chrono::seconds(2)), 0);
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "followed the link";
}

// Without a state directory the daemon keeps only its claim in the runtime directory, as a
// service does: a journal put there at its name is not read, and nothing of its own is written.
TEST_F(Access, WithoutAStateDirectoryTheDaemonReadsAndWritesNoFileOthersMayPlant) {
    DaemonUnderTest daemon({"--state-dir="});
    const std::string planted = daemon.runtimeDirectory() + "/.svcreg.journal";
    {
        DaemonUnderTest forger;
        ASSERT_EQ(forger.client({"reg", "com.ex.Forged", "forged_ch"}).exitCode, 0);
        daemon.restart(SIGTERM, false);
        std::ofstream(planted)
            << std::ifstream(forger.stateDirectory() + "/svcreg.journal").rdbuf();
    }
    const std::string journal = readFile(planted);
    ASSERT_FALSE(journal.empty());
    daemon.start();
    EXPECT_EQ(daemon.client({"find", "com.ex.Forged"}).exitCode, 1);
    EXPECT_EQ(daemon.client({"reg", "com.ex.Mine", "mine_ch"}).exitCode, 0);
    EXPECT_EQ(daemon.client({"find", "com.ex.Mine"}).out, "mine_ch\n");
    EXPECT_EQ(readFile(planted), journal);
    EXPECT_NE(access((daemon.runtimeDirectory() + "/.svcreg.table").c_str(), F_OK), 0);
}

TEST_F(Access, ADaemonWhoseSocketOrDirectoryIsReplacedExitsAndLeavesTheNewFilesAlone) {
    for (const bool wholeDirectory : {false, true}) {
        SCOPED_TRACE(wholeDirectory ? "directory" : "socket");
        TempDirectory top;
        const std::string runtime = top.path() + "/run";
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        ChildProcess daemon({SVCREGD_PATH, "--runtime-dir", runtime, "--policy="},
                            top.path() + "/daemon");
        ASSERT_TRUE(eventually([&] { return contains(daemon.err(), "serving channel"); }));
        if (wholeDirectory) {
            ASSERT_EQ(rename(runtime.c_str(), (top.path() + "/moved").c_str()), 0);
            ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        }
        for (const char* name : {"/svcreg", "/.svcreg.lock"}) {
            unlink((runtime + name).c_str());
            std::ofstream(runtime + name) << "a newer daemon's";
        }
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(contains(daemon.err(), "was removed or replaced: stopping")) << daemon.err();
        EXPECT_EQ(readFile(runtime + "/svcreg"), "a newer daemon's");
        EXPECT_EQ(readFile(runtime + "/.svcreg.lock"), "a newer daemon's");
    }
}

}  // namespace
