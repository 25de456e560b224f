// failure_path_test.cc -- the gateway run as a CGI program up to its failures: pages, lines, exits.
#include "gateway_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::vector<std::pair<std::string, std::string>> serverFacts = {
    {"SERVER_SOFTWARE", "TestServer/1.0"},
    {"SERVER_NAME", "www.example.test"},
    {"GATEWAY_INTERFACE", "CGI/1.1"},
    {"SCRIPT_NAME", "/cgi-bin/dostrel"},
};

std::vector<std::string> cgiEnvironment(std::vector<std::string> extra) {
    std::vector<std::string> env;
    for (const auto& [name, value] : serverFacts)
        env.push_back(name + "=" + value);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

TEST(FailurePath, MissingConfigurationIsError2WithTheFullPage) {
    WorkDirectory dir;
    GatewayResult result = runGateway({dir.path, cgiEnvironment({"PATH_INFO=/app"})});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              gatewayName() +
                  ": error 2: Configuration file dostrel.cnf not found or unreadable.\n");
    EXPECT_EQ(result.out,
              expectedErrorPage(2, "Configuration file dostrel.cnf not found or unreadable.",
                                gatewayName(), serverFacts, dir.path));
}

TEST(FailurePath, ConfigurationThatIsADirectoryIsError2) {
    WorkDirectory dir;
    std::filesystem::create_directory(dir.path + "/dostrel.cnf");
    GatewayResult result = runGateway({dir.path, cgiEnvironment({})});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              gatewayName() +
                  ": error 2: Configuration file dostrel.cnf not found or unreadable.\n");
}

TEST(FailurePath, UnreadableConfigurationIsError2) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 1\n");
    chmod((dir.path + "/dostrel.cnf").c_str(), 0);
    GatewayResult result = runGateway({dir.path, cgiEnvironment({})});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.err.find("error 2:"), std::string::npos);
}

TEST(FailurePath, NoLinkForThePathIsError8EscapedOnThePageOnly) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link /app tcp 127.0.0.1 1\n");
    std::string path = "/<script>alert(\"x\")&</script>";
    GatewayResult result = runGateway({dir.path, cgiEnvironment({"PATH_INFO=" + path})});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              gatewayName() + ": error 8: No link found for path info '" + path + "'.\n");
    EXPECT_EQ(result.out, expectedErrorPage(8, "No link found for path info '" + path + "'.",
                                            gatewayName(), serverFacts, dir.path));
    EXPECT_EQ(result.out.find("<script>"), std::string::npos);
}

TEST(FailurePath, UnsetPathInfoWithoutStarLinkNamesTheEmptyPath) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link /app tcp 127.0.0.1 1\n");
    GatewayResult result = runGateway({dir.path, {}});
    EXPECT_EQ(result.err, gatewayName() + ": error 8: No link found for path info ''.\n");
    EXPECT_EQ(result.out,
              expectedErrorPage(8, "No link found for path info ''.", gatewayName(), {}, dir.path));
}

TEST(FailurePath, TersePageAndWarningsBeforeTheError) {
    if (underWrapper()) GTEST_SKIP() << "the wrapper chooses the first argument";
    WorkDirectory dir;
    dir.write("dostrel.cnf", "terseErrors on\nbogus line\ndebug\nlink /a udp h 1\n");
    GatewayResult result =
        runGateway({dir.path, cgiEnvironment({"PATH_INFO=/none"}), "", "/cgi-bin/dostrel"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              "/cgi-bin/dostrel: warning 1: Invalid keyword 'bogus' in configuration file.\n"
              "/cgi-bin/dostrel: warning 4: No parameters for keyword 'debug' in configuration "
              "file.\n"
              "/cgi-bin/dostrel: warning 5: Invalid link protocol 'udp' specified in "
              "configuration file.\n"
              "/cgi-bin/dostrel: error 8: No link found for path info '/none'.\n");
    EXPECT_EQ(result.out,
              expectedErrorPage(8, "", "/cgi-bin/dostrel", serverFacts, dir.path, true));
    EXPECT_FALSE(dir.exists("dostrel.dbg"));
}

TEST(FailurePath, BadContentLengthIsError12WithTheWholeValue) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 1\n");
    for (std::string value : {"12 ", "abc", "0x10", "-", "<b>"}) {
        GatewayResult result =
            runGateway({dir.path, cgiEnvironment({"content_length=" + value}), "x"});
        EXPECT_EQ(result.exitStatus, 1) << value;
        std::string message = "Bad data in CONTENT_LENGTH environment variable: '" + value + "'.";
        EXPECT_EQ(result.err, gatewayName() + ": error 12: " + message + "\n");
        EXPECT_EQ(result.out, expectedErrorPage(12, message, gatewayName(), serverFacts, dir.path));
    }
}

TEST(FailurePath, ImpossibleLengthsAreError1) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 1\n");
    for (std::string value : {"-5", "-1", "4294967295", "4294967270", "99999999999"}) {
        GatewayResult result = runGateway({dir.path, cgiEnvironment({"CONTENT_LENGTH=" + value})});
        EXPECT_EQ(result.exitStatus, 1) << value;
        EXPECT_EQ(result.err, gatewayName() + ": error 1: Out of memory.\n") << value;
    }
}

// The largest lengths that are not refused outright. Bodies this large wait in a temporary file,
// so a 32-bit program takes 4 GiB as a 64-bit one does, and the short body is error 18. 2 GiB is
// the first length a 32-bit read cannot ask for in one call. Memory stays small either way.
TEST(FailurePath, LargeLengthsAreRefusedOrTakenWithoutTouchingTheMemory) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 1\n");
    std::string body(100000, 'b');
    for (std::uint32_t length : {4294967263u, 3221225472u, 2147483648u, 1073741824u}) {
        std::string value = std::to_string(length);
        GatewayResult result =
            runGateway({dir.path, cgiEnvironment({"CONTENT_LENGTH=" + value}), body});
        bool refused = result.err.find(": error 1: ") != std::string::npos;
        int number = refused ? 1 : 18;
        std::string message =
            refused ? "Out of memory."
                    : "Error reading request body: got 100000 of " + value + " bytes.";
        EXPECT_EQ(result.err,
                  gatewayName() + ": error " + std::to_string(number) + ": " + message + "\n");
        EXPECT_EQ(result.out,
                  expectedErrorPage(number, message, gatewayName(), serverFacts, dir.path));
        EXPECT_EQ(result.exitStatus, 1) << value;
        EXPECT_FALSE(refused) << value;
        if (!underWrapper()) {
            EXPECT_LT(result.peakKib, 128 * 1024) << value;
        }
    }
}

TEST(FailurePath, BodyShorterThanContentLengthIsError18) {
    WorkDirectory dir;
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 1\n");
    GatewayResult result =
        runGateway({dir.path, cgiEnvironment({"CONTENT_LENGTH=100"}), std::string(60, 'b')});
    EXPECT_EQ(result.exitStatus, 1);
    std::string message = "Error reading request body: got 60 of 100 bytes.";
    EXPECT_EQ(result.err, gatewayName() + ": error 18: " + message + "\n");
    EXPECT_EQ(result.out, expectedErrorPage(18, message, gatewayName(), serverFacts, dir.path));
}

TEST(FailurePath, WithoutProgramArgumentTheExecutablePathIsUsed) {
    if (underWrapper()) GTEST_SKIP() << "the wrapper chooses the first argument";
    WorkDirectory dir;
    std::string executable = std::filesystem::canonical(gatewayPath()).string();
    GatewayCall call{dir.path, {}};
    call.argv0 = "";
    EXPECT_EQ(runGateway(call).err, executable + ": error 2: Configuration file dostrel.cnf not "
                                                 "found or unreadable.\n");
    if (underEmulator()) GTEST_SKIP() << "the emulator cannot start a program without arguments";
    call.noArguments = true;
    EXPECT_EQ(runGateway(call).err, executable + ": error 2: Configuration file dostrel.cnf not "
                                                 "found or unreadable.\n");
}

} // namespace
