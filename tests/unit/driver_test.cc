// driver_test.cc -- start-up checks, environment lookups, CONTENT_LENGTH and reading the body.
#include "config/decimal.h"
#include "driver/gateway_main.h"
#include "driver/request.h"
#include "fake_sockets.h"
#include "platform/environment.h"
#include "portable.h"
#include "unit_support.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>
#ifndef _WIN32
#include <sys/time.h>
#endif

namespace {

class DriverTest : public testing::Test {
  protected:
    void SetUp() override { resetGatewayState(); }
};

struct Conversion {
    const char* text;
    std::uint32_t value;
    std::size_t consumed;
};

TEST(Decimal, ConversionRules) {
    const Conversion table[] = {
        {"", 0, 0},
        {"0", 0, 1},
        {"12", 12, 2},
        {" \t\n\v\f\r12", 12, 8},
        {"+12", 12, 3},
        {"-5", 4294967291u, 2},
        {"-0", 0, 2},
        {"4294967295", 4294967295u, 10},
        {"4294967296", 4294967295u, 10},
        {"99999999999999999999999", 4294967295u, 23},
        {"-99999999999999999999999", 1, 24},
        {"12 ", 12, 2},
        {"0x10", 0, 1},
        {"abc", 0, 0},
        {"-", 0, 0},
        {"+-1", 0, 0},
        {"   ", 0, 0},
        {"007", 7, 3},
    };
    for (const Conversion& row : table) {
        std::uint32_t value = 12345;
        const char* end = scanDecimal32(row.text, &value);
        EXPECT_EQ(value, row.value) << '"' << row.text << '"';
        EXPECT_EQ(static_cast<std::size_t>(end - row.text), row.consumed) << '"' << row.text << '"';
    }
}

TEST_F(DriverTest, ContentLengthAcceptsWhatTheNumberEnds) {
    EXPECT_EQ(requestBodyLength(nullptr), 0u);
    EXPECT_EQ(requestBodyLength(""), 0u);
    EXPECT_EQ(requestBodyLength("0"), 0u);
    EXPECT_EQ(requestBodyLength(" 12"), 12u);
    EXPECT_EQ(requestBodyLength("+12"), 12u);
    EXPECT_EQ(requestBodyLength("4294967263"), 4294967263u);
}

TEST_F(DriverTest, ContentLengthWithCharactersLeftIsError12) {
    for (const char* value : {"12 ", "abc", "0x10", "-", " ", "1 2"}) {
        std::string expected = "^dostrel: error 12: Bad data in CONTENT_LENGTH environment "
                               "variable: '" +
                               std::string(value) + "'\\.\n$";
        EXPECT_EXIT(requestBodyLength(value), testing::ExitedWithCode(1), expected) << value;
    }
}

TEST_F(DriverTest, ContentLengthWithoutRoomForTheTerminatorIsError1) {
    for (const char* value : {"-5", "-1", "4294967264", "4294967294", "4294967295", "5000000000"})
        EXPECT_EXIT(requestBodyLength(value), testing::ExitedWithCode(1),
                    "^dostrel: error 1: Out of memory\\.\n$")
            << value;
}

TEST_F(DriverTest, LookupIgnoresCaseAndTakesTheFirstMatch) {
    useEnvironment({"Content_Length=7", "CONTENT_LENGTH=9", "PATH=/bin", "PATH_INFOX=no",
                    "EMPTY=", "NOEQUALS"});
    EXPECT_STREQ(lookupEnvironment("CONTENT_LENGTH"), "7");
    EXPECT_STREQ(lookupEnvironment("path"), "/bin");
    EXPECT_EQ(lookupEnvironment("PATH_INFO"), nullptr);
    EXPECT_STREQ(lookupEnvironment("EMPTY"), "");
    EXPECT_EQ(lookupEnvironment("NOEQUALS"), nullptr);
    EXPECT_EQ(lookupEnvironment("PAT"), nullptr);
}

TEST_F(DriverTest, HiddenEntriesAreNeitherCountedNorFound) {
    useEnvironment({"=C:=C:\\x", "A=1", "=ExitCode=0", "B=2"});
    EXPECT_EQ(envCount, 2);
    EXPECT_STREQ(envStrings[0], "A=1");
    EXPECT_STREQ(envStrings[1], "B=2");
    EXPECT_EQ(envStrings[2], nullptr);
    EXPECT_EQ(lookupEnvironment(""), nullptr);
}

// A pipe holding |content|, its writing end closed: reads deliver it and then the end.
int pipeHolding(const std::string& content) {
    int ends[2];
    EXPECT_EQ(makePipe(ends), 0);
    EXPECT_EQ(writeDescriptor(ends[1], content.data(), static_cast<unsigned>(content.size())),
              static_cast<long>(content.size()));
    closeDescriptor(ends[1]);
    return ends[0];
}

TEST_F(DriverTest, ReadExactlyTakesTheBytesUnchanged) {
    std::string body("a\r\nb\rc\x1A\0d\n", 11);
    int input = pipeHolding(body + "more");
    char buffer[12] = {};
    readExactly(input, buffer, 11);
    EXPECT_EQ(std::string(buffer, 11), body);
    char next;
    EXPECT_EQ(readDescriptor(input, &next, 1), 1); // no byte beyond the length was taken
    EXPECT_EQ(next, 'm');
    closeDescriptor(input);
}

#ifndef _WIN32 // signals that interrupt system calls are a POSIX matter
void ignoreAlarm(int) {}

TEST_F(DriverTest, ReadsInterruptedBySignalsAreRetried) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    // A handler without SA_RESTART: a blocked read returns EINTR at every tick.
    struct sigaction handler = {}, previous = {};
    handler.sa_handler = ignoreAlarm;
    sigaction(SIGALRM, &handler, &previous);
    std::thread writer([&] {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            ASSERT_EQ(writeDescriptor(ends[1], "0123456789", 10), 10);
        }
    });
    itimerval every = {{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every, nullptr);
    char buffer[101] = {};
    readExactly(ends[0], buffer, 100);
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    writer.join();
    sigaction(SIGALRM, &previous, nullptr);
    closeDescriptor(ends[0]);
    closeDescriptor(ends[1]);
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += "0123456789";
    EXPECT_EQ(std::string(buffer, 100), expected);
}

#endif

TEST_F(DriverTest, ShortBodyIsError18) {
    int input = pipeHolding("abc");
    char buffer[11] = {};
    EXPECT_EXIT(readExactly(input, buffer, 10), testing::ExitedWithCode(1),
                "^dostrel: error 18: Error reading request body: got 3 of 10 bytes\\.\n$");
    closeDescriptor(input);
}

// Runs the program entry; in the empty directory its caller holds, it stops at the missing
// configuration unless the socket library start-up stops it first. The directory belongs to the
// caller, as a death test's child ends without removing anything.
void runEntryInEmptyDirectory() {
    char program[] = "/cgi-bin/dostrel";
    char* argv[] = {program, nullptr};
    char* envp[] = {nullptr};
    gatewayMain(1, argv, envp);
}

TEST_F(DriverTest, SocketLibraryThatCannotStartIsError16) {
    fakeSockets.startResult = 10091;
    ScratchDirectory empty;
    EXPECT_EXIT(runEntryInEmptyDirectory(), testing::ExitedWithCode(1),
                "^/cgi-bin/dostrel: error 16: Error initializing WinSock\\.\n$");
}

TEST_F(DriverTest, SocketLibraryBelowVersion11IsError17) {
    for (SocketLibraryVersion version : {SocketLibraryVersion{1, 0}, SocketLibraryVersion{0, 9}}) {
        fakeSockets.grantedVersion = version;
        ScratchDirectory empty;
        EXPECT_EXIT(runEntryInEmptyDirectory(), testing::ExitedWithCode(1),
                    "^/cgi-bin/dostrel: error 17: Invalid WinSock version\\.\n$");
    }
}

TEST_F(DriverTest, SocketLibraryFrom11UpPassesOnToTheConfiguration) {
    for (SocketLibraryVersion version :
         {SocketLibraryVersion{1, 1}, SocketLibraryVersion{2, 0}, SocketLibraryVersion{2, 2}}) {
        fakeSockets.grantedVersion = version;
        ScratchDirectory empty;
        EXPECT_EXIT(runEntryInEmptyDirectory(), testing::ExitedWithCode(1),
                    "^/cgi-bin/dostrel: error 2: Configuration file dostrel.cnf not found or "
                    "unreadable\\.\n$");
    }
}

} // namespace
