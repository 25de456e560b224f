// check_test.cc -- dostrel-check: warnings as the gateway writes them, the link table, routes,
// probes and exit statuses; the manual pages and the sample configuration kept in step.
#include "diag/catalogue.h"
#include "gateway_process.h"
#include "scripted_server.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

GatewayResult runCheck(const WorkDirectory& dir, std::vector<std::string> arguments) {
    GatewayCall call(dir.path, {}, "", "dostrel-check");
    call.program = checkPath();
    call.arguments = std::move(arguments);
    return runGateway(call);
}

TEST(Check, CleanFileShowsLinksFallbackShadowedPathsAndSwitches) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link /a tcp 127.0.0.1 1\nlink * tcp - 2\nlink /A tcp other 3\n"
                             "link * tcp third 4\nterseErrors on\n");
    GatewayResult result = runCheck(dir, {});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "links, in file order:\n"
                          "  /a -> 127.0.0.1 port 1\n"
                          "  * -> - port 2  (serves every path that no link names)\n"
                          "  /A -> other port 3  (never used: the earlier link /a serves this "
                          "path)\n"
                          "  * -> third port 4  (never used: the earlier link * serves this "
                          "path)\n"
                          "debug: off\n"
                          "terseErrors: on\n");
}

TEST(Check, WarningsAreTheGatewaysOwnAndGiveStatus1) {
    WorkDirectory dir;
    dir.write("other.cnf", "bogus x\nlink /a tcp h 99999\ndebug yes\n");
    GatewayResult result = runCheck(dir, {"other.cnf"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              "dostrel: warning 1: Invalid keyword 'bogus' in configuration file.\n"
              "dostrel: warning 6: Bad port number '99999' specified in configuration file.\n"
              "dostrel: warning 2: Invalid data 'yes' for keyword 'debug' in configuration "
              "file.\n");
    EXPECT_EQ(result.out, "links, in file order:\n"
                          "  none: every request is answered with error 8\n"
                          "debug: off\nterseErrors: off\n");
}

TEST(Check, UnusableFileGivesStatus2) {
    WorkDirectory dir;
    GatewayResult missing = runCheck(dir, {});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.err, "dostrel-check: dostrel.cnf: No such file or directory\n");
    GatewayResult directory = runCheck(dir, {"."});
    EXPECT_EQ(directory.exitStatus, 2);
    EXPECT_EQ(directory.err, "dostrel-check: .: Is a directory\n");
    EXPECT_EQ(runCheck(dir, {"--bogus"}).exitStatus, 2);
}

TEST(Check, PathShowsTheLinkARequestWouldUse) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link /shop tcp 10.0.0.1 80\nlink * tcp 10.0.0.2 81\n");
    EXPECT_NE(runCheck(dir, {"--path", "/SHOP"})
                  .out.find("path '/SHOP': link /shop -> 10.0.0.1 "
                            "port 80\n"),
              std::string::npos);
    EXPECT_NE(runCheck(dir, {"--path", ""}).out.find("path '': link * -> 10.0.0.2 port 81\n"),
              std::string::npos);
    dir.write("dostrel.cnf", "link /shop tcp 10.0.0.1 80\n");
    EXPECT_NE(runCheck(dir, {"--path", "/x"})
                  .out.find("path '/x': no link; the gateway answers "
                            "with error 8\n"),
              std::string::npos);
}

TEST(Check, ProbeReportsEachServerAndStatus3WhenOneIsUnreachable) {
    ScriptedServer listening({});
    std::uint16_t closed = unusedPort();
    WorkDirectory dir;
    std::string up = std::to_string(listening.port), down = std::to_string(closed);
    dir.write("dostrel.cnf", "link /up tcp 127.0.0.1 " + up + "\nlink /down tcp 127.0.0.1 " + down +
                                 "\nlink /nowhere tcp no-such-host.invalid 1\n");
    GatewayResult result = runCheck(dir, {"--probe"});
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_NE(result.out.find("probing:\n  /up -> 127.0.0.1 port " + up +
                              ": reachable\n"
                              "  /down -> 127.0.0.1 port " +
                              down +
                              ": Connection refused\n"
                              "  no-such-host.invalid: the name cannot be resolved\n"),
              std::string::npos)
        << result.out;

    // The listener still completes connections after its one served exchange.
    dir.write("dostrel.cnf", "link /up tcp 127.0.0.1 " + up + "\n");
    EXPECT_EQ(runCheck(dir, {"--probe"}).exitStatus, 0);
}

TEST(Check, VersionMatchesTheGateway) {
    WorkDirectory dir;
    GatewayResult result = runCheck(dir, {"--version"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out.rfind("dostrel-check 1.0 (compiled on ", 0), 0u);
}

TEST(Check, SampleConfigurationIsClean) {
    WorkDirectory dir;
    GatewayResult result = runCheck(dir, {DOSTREL_SOURCE_DIR "/examples/dostrel.cnf"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

// The manual pages as groff renders them in plain ASCII, white space folded.
std::string renderedManual(const std::string& page, std::string* warnings) {
    std::string command = "groff -ww -man -Tascii -rHY=0 -rLL=200n " DOSTREL_SOURCE_DIR
                          "/docs/man/" +
                          page + " 2>&1 | col -b";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, pipe)) > 0;)
        text.append(block, n);
    pclose(pipe);
    std::string folded;
    for (char c : text) {
        bool space = c == ' ' || c == '\n' || c == '\t';
        if (space && (folded.empty() || folded.back() == ' ')) continue;
        folded += space ? ' ' : c;
    }
    std::string check = "groff -ww -z -man " DOSTREL_SOURCE_DIR "/docs/man/" + page + " 2>&1";
    pipe = popen(check.c_str(), "r");
    warnings->clear();
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, pipe)) > 0;)
        warnings->append(block, n);
    pclose(pipe);
    return folded;
}

TEST(Manual, PagesRenderWithoutWarningsAndDocumentEveryMessage) {
    if (std::system("command -v groff >/dev/null && command -v col >/dev/null") != 0)
        GTEST_SKIP() << "groff is not installed";
    std::string warnings;
    std::string gateway = renderedManual("dostrel.8", &warnings);
    EXPECT_EQ(warnings, "");
    std::string file = renderedManual("dostrel.cnf.5", &warnings);
    EXPECT_EQ(warnings, "");
    renderedManual("dostrel-check.8", &warnings);
    EXPECT_EQ(warnings, "");
    for (int number = 1; number <= 21; ++number)
        EXPECT_NE(gateway.find(errorMessages[number]), std::string::npos) << "error " << number;
    for (int number = 1; number <= 6; ++number)
        EXPECT_NE(file.find(warningMessages[number]), std::string::npos) << "warning " << number;
    EXPECT_NE(gateway.find(warningMessages[7]), std::string::npos);
}

} // namespace
