// Every svcreg subcommand against a real daemon, with its output and exit code.
#include <gtest/gtest.h>

#include "DaemonUnderTest.h"

namespace {

TEST(ClientCommands, ServiceTableCommandsAnswerAsTheRegistryDoes) {
    DaemonUnderTest daemon;
    ASSERT_TRUE(daemon.serving());

    EXPECT_EQ(daemon.client({"reg", "com.ex.Audio com.ex.Volume", "audio_ch"}).exitCode, 0);
    EXPECT_EQ(daemon.client({"reg", "com.ex.Audio", "spare_ch"}).exitCode, 0);

    const ClientResult found = daemon.client({"find", "com.ex.Volume"});
    EXPECT_EQ(found.exitCode, 0);
    EXPECT_EQ(found.out, "audio_ch\n");
    EXPECT_EQ(daemon.client({"--json", "find", "com.ex.Audio"}).out,
              "{\"interface\":\"com.ex.Audio\",\"found\":true,\"channel\":\"audio_ch\"}\n");
    const ClientResult missing = daemon.client({"find", "com.ex.None"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("not found"), std::string::npos);

    EXPECT_EQ(daemon.client({"find-svc-id", "com.ex.Audio"}).out, "1\n");
    EXPECT_EQ(daemon.client({"--json", "find-svc-id", "com.ex.None"}).exitCode, 1);
    EXPECT_EQ(daemon.client({"getlist", "com.ex.Audio"}).out, "audio_ch\nspare_ch\n");
    EXPECT_EQ(daemon.client({"--json", "getlist", "com.ex.None"}).out,
              "{\"interface\":\"com.ex.None\",\"channels\":[]}\n");
    EXPECT_EQ(daemon.client({"details"}).out,
              "com.ex.Audio\t1\taudio_ch\ncom.ex.Audio\t2\tspare_ch\ncom.ex.Volume\t1\taudio_ch\n");

    EXPECT_EQ(daemon.client({"dereg", "com.ex.Audio", "audio_ch"}).exitCode, 0);
    EXPECT_EQ(daemon.client({"find", "com.ex.Audio"}).out, "spare_ch\n");
    EXPECT_EQ(daemon.client({"--json", "details"}).out,
              "[{\"interface\":\"com.ex.Audio\",\"svcId\":2,\"channel\":\"spare_ch\"},"
              "{\"interface\":\"com.ex.Volume\",\"svcId\":1,\"channel\":\"audio_ch\"}]\n");
}

TEST(ClientCommands, CreatorCommandsAndRemoteRegistration) {
    DaemonUnderTest daemon;
    EXPECT_EQ(daemon.client({"reg-invoker", "libA.so", "makeInvoker", "IfcX", "binary"}).exitCode,
              0);
    EXPECT_EQ(daemon.client({"find-invoker", "IfcX", "binary"}).out, "libA.so makeInvoker\n");
    EXPECT_EQ(daemon.client({"find-invoker", "IfcX", "other"}).exitCode, 1);
    EXPECT_EQ(daemon.client({"reg-proxy", "libB.so", "makeProxy", "IfcX", "binary"}).exitCode, 0);
    EXPECT_EQ(daemon.client({"--json", "find-proxy", "IfcX"}).out,
              "{\"interface\":\"IfcX\",\"found\":true,\"lib\":\"libB.so\","
              "\"creatorFn\":\"makeProxy\"}\n");

    const ClientResult registered = daemon.client({"register", "IfcR IfcS", "remote_ch"});
    EXPECT_EQ(registered.exitCode, 0);
    EXPECT_EQ(registered.out, "registered\n");
    EXPECT_EQ(daemon.client({"register", "", "remote_ch"}).exitCode, 1);
    EXPECT_EQ(daemon.client({"find", "IfcS"}).out, "remote_ch\n");
    EXPECT_EQ(daemon.client({"deregister", "IfcR IfcS", "remote_ch"}).out, "deregistered\n");
    EXPECT_EQ(daemon.client({"find", "IfcR"}).exitCode, 1);
}

TEST(ClientCommands, UsageErrorsAndUnreachableRegistry) {
    DaemonUnderTest daemon;
    EXPECT_EQ(daemon.client({}).exitCode, 2);
    EXPECT_EQ(daemon.client({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(daemon.client({"find"}).exitCode, 2);
    EXPECT_EQ(daemon.client({"find", "a,b"}).exitCode, 2);
    EXPECT_EQ(daemon.client({"--timeout", "soon", "wait", "X"}).exitCode, 2);
    const ClientResult help = daemon.client({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("find-svc-id"), std::string::npos);
    EXPECT_EQ(daemon.client({"wait", "--help"}).exitCode, 0);

    const ClientResult elsewhere = daemon.client({"--channel", "nobody", "find", "X"});
    EXPECT_EQ(elsewhere.exitCode, 3);
    EXPECT_NE(elsewhere.err.find("no registry reachable"), std::string::npos);
    EXPECT_EQ(daemon.client({"--channel", "nobody", "register", "X", "c"}).exitCode, 3);
}

}  // namespace
