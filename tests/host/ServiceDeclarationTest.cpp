// The declarations of services: what a file may say, and how the files of several folders add
// up.

#include "ServiceDeclaration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "DaemonUnderTest.h"

using namespace svcreg;

namespace {

const std::string kGood =
    "# the camera\n"
    "Interfaces=com.ex.Camera  com.ex.Focus\n"
    "Channel=camera\n"
    "Exec=/usr/bin/camera --quiet\n";

// Words split at runs of blanks; keys and values trimmed (a User= left untrimmed is refused).
// Where the other keys' values go is the launcher's test (User=, IdleExitSec=, the name) and the
// daemon's (Channel=).
TEST(ServiceDeclaration, TakesWhatTheKeysSay) {
    ServiceDeclaration declaration;
    std::string error;
    ASSERT_TRUE(parseServiceDeclaration(
        "camera", kGood + " ; more\n\tUser = camera \nIdleExitSec=30", declaration, error))
        << error;
    EXPECT_EQ(declaration.interfaces, (std::vector<std::string>{"com.ex.Camera", "com.ex.Focus"}));
    EXPECT_EQ(declaration.exec, (std::vector<std::string>{"/usr/bin/camera", "--quiet"}));
}

TEST(ServiceDeclaration, RefusesWhatItCannotTakeNamingTheLine) {
    struct Case {
        std::string name;
        std::string text;
        std::string error;  // empty: taken
    };
    const std::string channel = "Channel=c\n";
    const std::string exec = "Exec=/bin/x\n";
    const std::string ifc = "Interfaces=I\n";
    const std::string ok = ifc + channel + exec;
    const Case cases[] = {
        {"ok", ok, ""},
        {"", ok, "'' is not a declaration's name"},
        {"../etc", ok, "is not a declaration's name"},
        {".hidden", ok, "is not a declaration's name"},
        {std::string(64, 'n'), ok, ""},
        {std::string(65, 'n'), ok, "is not a declaration's name"},
        {"s", channel + exec, "no Interfaces="},
        {"s", ifc + exec, "no Channel="},
        {"s", ifc + channel, "no Exec="},
        {"s", ok + "Bogus=1\n", "line 4: not KEY=VALUE"},
        {"s", ok + "just words\n", "line 4: not KEY=VALUE"},
        {"s", ok + ifc, "line 4: Interfaces= is given twice"},
        {"s", "Interfaces=\n" + channel + exec, "line 1: Interfaces= names no interface"},
        {"s", "Interfaces=A,B\n" + channel + exec, "line 1: 'A,B' is not an interface name"},
        {"s", "Interfaces=A B A\n" + channel + exec, "line 1: 'A' is listed twice"},
        {"s", ifc + "Channel=\n" + exec, "line 2: a channel name cannot be empty"},
        {"s", ifc + "Channel=:private\n" + exec, "line 2: ':private' is a private channel"},
        {"s", ifc + "Channel=cam@dev\n" + exec, "line 2: 'cam@dev' names another device's"},
        {"s", ifc + "Channel=a/b\n" + exec, "line 2: a channel name cannot hold '/'"},
        {"s", ifc + "Channel=.x\n" + exec, "line 2: a channel name cannot start with '.'"},
        {"s", ifc + "Channel=" + std::string(89, 'c') + "\n" + exec, ""},
        {"s", ifc + "Channel=" + std::string(90, 'c') + "\n" + exec, "at most 89 bytes"},
        {"s", ifc + channel + "Exec=bin/x\n", "line 3: Exec= must start with an absolute path"},
        {"s", ifc + channel + "Exec=\n", "line 3: Exec= must start with an absolute path"},
        {"s", ok + "User=_svc-1.a$\n", ""},
        {"s", ok + "User=" + std::string(32, 'u') + "\n", ""},
        {"s", ok + "User=" + std::string(33, 'u') + "\n", "line 4: 'uuu"},
        {"s", ok + "User=1000\n", "line 4: '1000' is not a user name"},
        {"s", ok + "User=-rf\n", "line 4: '-rf' is not a user name"},
        {"s", ok + "User=a b\n", "line 4: 'a b' is not a user name"},
        {"s", ok + "User=\n", "line 4: '' is not a user name"},
        {"s", ok + "IdleExitSec=1\n", ""},
        {"s", ok + "IdleExitSec=86400\n", ""},
        {"s", ok + "IdleExitSec=0\n", "line 4: IdleExitSec= takes 1 to 86400 seconds"},
        {"s", ok + "IdleExitSec=86401\n", "IdleExitSec= takes 1 to 86400"},
        {"s", ok + "IdleExitSec=99999999999999999999\n", "IdleExitSec= takes 1 to 86400"},
        {"s", ok + "IdleExitSec=-5\n", "IdleExitSec= takes 1 to 86400"},
        {"s", ok + "User=a\r\n", "line 4: a control character"},
        {"s", ok + std::string("Exec=/bin/x\0y\n", 14), "line 4: a control character"},
        {"s", ifc + channel + "Activation=socket\n", ""},
        {"s", ok + "Activation=exec\n", ""},
        {"s", ok + "Activation=dbus\n", "line 4: Activation= takes exec or socket"},
        {"s", ok + "Activation=socket\n", "Exec= belongs to the service manager's units"},
        {"s", ifc + channel + "Activation=socket\nUser=u\n", ""},
        {"s", ifc + channel + "Activation=socket\nIdleExitSec=5\n", "IdleExitSec= belongs to"},
        {"s", channel + "Activation=socket\n", "no Interfaces="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " | " + c.text);
        ServiceDeclaration declaration;
        declaration.name = "untouched";
        std::string error;
        EXPECT_EQ(parseServiceDeclaration(c.name, c.text, declaration, error), c.error.empty());
        if (c.error.empty()) continue;
        EXPECT_TRUE(contains(error, c.error)) << error;
        EXPECT_EQ(declaration.name, "untouched") << "a refused text leaves the record as it was";
    }
}

// Folders of declarations under a temporary directory, written as the test needs them.
class DeclarationFolders : public ::testing::Test {
protected:
    std::string folder(const std::string& name) {
        const std::string path = temp.path() + "/" + name;
        mkdir(path.c_str(), 0755);
        return path;
    }
    std::string write(const std::string& folderPath, const std::string& file,
                      const std::string& text, mode_t mode = 0644) {
        const std::string path = folderPath + "/" + file;
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }
    static std::vector<std::string> names(const DeclarationSet& set) {
        std::vector<std::string> found;
        for (const ServiceDeclaration& service : set.services) found.push_back(service.name);
        return found;
    }
    static std::string declaring(const std::string& interfaces, const std::string& exec) {
        return "Interfaces=" + interfaces + "\nChannel=c\nExec=" + exec + "\n";
    }

    TempDirectory temp;
};

TEST_F(DeclarationFolders, LaterFolderReplacesEarlierAndRefusedFilesAndFoldersAreNamed) {
    const std::string packaged = folder("usr");
    const std::string local = folder("etc");
    write(packaged, "camera.service", declaring("Camera", "/usr/bin/camera"));
    write(packaged, "audio.service", declaring("Audio", "/usr/bin/audio"));
    write(packaged, "masked.service", declaring("Masked", "/usr/bin/masked"));
    write(packaged, "notes.txt", "not a declaration");
    write(local, "camera.service", declaring("Camera", "/usr/local/bin/camera"));
    const std::string broken = write(local, "masked.service", "Interfaces=Masked\n");
    const std::string open = write(local, "open.service", declaring("Open", "/bin/x"), 0666);
    const std::string taken = write(local, "zoom.service", declaring("Zoom Audio", "/bin/zoom"));
    symlink("/dev/null", (local + "/fifo.service").c_str());
    mkdir((local + "/dir.service").c_str(), 0755);

    const std::string plain = write(temp.path(), "plain", "x");  // a file, not a folder
    const DeclarationSet set =
        readServiceDeclarations({packaged, local, temp.path() + "/none", plain});
    EXPECT_EQ(names(set), (std::vector<std::string>{"audio", "camera"}));
    EXPECT_EQ(set.services[1].exec[0], "/usr/local/bin/camera");
    EXPECT_EQ(set.services[1].file, local + "/camera.service");
    const std::vector<std::string> problems = set.problems;
    ASSERT_EQ(problems.size(), 6u) << ::testing::PrintToString(problems);
    const auto named = [&](const std::string& part) {
        return std::any_of(problems.begin(), problems.end(),
                           [&](const std::string& p) { return contains(p, part); });
    };
    EXPECT_TRUE(named(broken + ": no Channel=")) << "a broken replacement hides the packaged file";
    EXPECT_TRUE(named("'" + open + "' is writable by group or others"));
    EXPECT_TRUE(named(taken + ": interface 'Audio' is declared by 'audio' already"));
    EXPECT_TRUE(named("fifo.service' is not a regular file"));
    EXPECT_TRUE(named("dir.service' is not a regular file"));
    EXPECT_TRUE(named(plain + ": cannot read the folder"));
}

// One file over: a bound one lower or higher would read another count.
TEST_F(DeclarationFolders, ReadsAtMostAThousandAndTwentyFourFilesOfAFolder) {
    const std::string many = folder("many");
    for (int i = 0; i < 1025; ++i) {
        write(many, "s" + std::to_string(i) + ".service",
              declaring("I" + std::to_string(i), "/bin/x"));
    }
    const DeclarationSet set = readServiceDeclarations({many});
    EXPECT_EQ(set.services.size(), 1024u);
    ASSERT_EQ(set.problems.size(), 1u);
    EXPECT_TRUE(contains(set.problems[0], "more than 1024"));
}

}  // namespace
