// transaction_test.cc -- the link transaction against the scripted socket layer: request bytes,
// host handling, trace order and the relay.
#include "config/gateway_config.h"
#include "diag/switches.h"
#include "driver/request.h"
#include "fake_sockets.h"
#include "link/response_relay.h"
#include "link/send_buffer.h"
#include "link/tcp_transaction.h"
#include "unit_support.h"

#include "portable.h"

#ifndef _WIN32
#include <fcntl.h>
#endif
#include <gtest/gtest.h>
#include <thread>

namespace {

std::string hexBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        if (!hex.empty()) hex += ' ';
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

std::string asHex(const char* text) {
    return hexBytes(text);
}

const std::string contentKeyHex = "00 00 00 15 " + asHex("XBRENNOX_CONTENT_DATA");

class TransactionTest : public testing::Test {
  protected:
    void SetUp() override {
        resetGatewayState();
        sendBuffer.fill = 0;
        link = LinkEntry{host, LinkProtocol::Tcp, host, 8000, nullptr};
    }

    // Runs the transaction with standard output sent to a file, and returns what it wrote.
    std::string run(std::vector<std::string> env, const std::string& body = "") {
        std::vector<char*> strings;
        for (std::string& entry : env)
            strings.push_back(entry.data());
        strings.push_back(nullptr);
        std::string bodyCopy = body;
        int saved = duplicateDescriptor(1);
        int file = openForWriting("stdout.bin");
        duplicateDescriptorTo(file, 1);
        closeDescriptor(file);
        runTcpTransaction(static_cast<std::int32_t>(env.size()), strings.data(), bodyCopy.data(),
                          static_cast<std::uint32_t>(body.size()), &link);
        duplicateDescriptorTo(saved, 1);
        closeDescriptor(saved);
        return readFile("stdout.bin");
    }

    ScratchDirectory scratch;
    char host[64] = "10.1.2.3";
    LinkEntry link;
};

TEST_F(TransactionTest, OneStringAndATwoByteBodyGiveThe57ByteRequest) {
    run({"A=1"}, "xy");
    EXPECT_EQ(fakeSockets.sentBytes.size(), 57u);
    EXPECT_EQ(hexBytes(fakeSockets.sentBytes), "09 23 19 63 00 00 00 01 00 00 00 00 00 00 00 02 "
                                               "00 00 00 01 41 00 00 00 01 31 " +
                                                   contentKeyHex + " 00 00 00 02 78 79");
    // A request this small leaves in one send, at the flush.
    EXPECT_EQ(fakeSockets.sendOffered, std::vector<std::size_t>{57});
}

TEST_F(TransactionTest, EmptyEnvironmentAndNoBodyGiveThe45ByteRequest) {
    run({});
    EXPECT_EQ(hexBytes(fakeSockets.sentBytes),
              "09 23 19 63 00 00 00 01 00 00 00 00 00 00 00 01 " + contentKeyHex + " 00 00 00 00");
}

TEST_F(TransactionTest, StringsSplitAtTheirFirstEqualsSign) {
    run({"K=V=W", "NAME=", "NOEQUALS", "", "=x"});
    EXPECT_EQ(hexBytes(fakeSockets.sentBytes),
              "09 23 19 63 00 00 00 01 00 00 00 00 00 00 00 06 "
              "00 00 00 01 4b 00 00 00 03 56 3d 57 "             // K = V=W
              "00 00 00 04 4e 41 4d 45 00 00 00 00 "             // NAME = (empty)
              "00 00 00 08 4e 4f 45 51 55 41 4c 53 00 00 00 00 " // NOEQUALS
              "00 00 00 00 00 00 00 00 "                         // the empty string
              "00 00 00 00 00 00 00 01 78 " +                    // =x: empty name
                  contentKeyHex +
                  " 00 00 00 00");
}

TEST_F(TransactionTest, BodyIsSentByItsLengthWithEveryByteValue) {
    std::string body;
    for (int i = 0; i < 512; ++i)
        body += static_cast<char>(i & 0xFF);
    run({}, body);
    EXPECT_EQ(fakeSockets.sentBytes.substr(41, 4), std::string("\0\0\x02\0", 4));
    EXPECT_TRUE(fakeSockets.sentBytes.substr(45) == body);
}

TEST_F(TransactionTest, DottedAddressIsUsedWithoutLookup) {
    link.port = 40000;
    run({});
    EXPECT_TRUE(fakeSockets.lookedUp.empty());
    EXPECT_EQ(fakeSockets.connectedAddress, toNetworkOrder(0x0A010203));
    EXPECT_EQ(fakeSockets.connectedPort, 40000);
}

TEST_F(TransactionTest, NamesAndAllOnesAddressAreLookedUp) {
    for (const char* name : {"app.example", "255.255.255.255", "-x", "--"}) {
        SetUp();
        std::snprintf(host, sizeof host, "%s", name);
        run({});
        EXPECT_EQ(fakeSockets.lookedUp, std::vector<std::string>{name});
        EXPECT_EQ(fakeSockets.connectedAddress, toNetworkOrder(0x7F000001));
    }
}

TEST_F(TransactionTest, DashMeansThisMachineInTraceAndLookup) {
    std::snprintf(host, sizeof host, "-");
    debug = 1;
    run({});
    EXPECT_EQ(fakeSockets.lookedUp, std::vector<std::string>{"fakehost"});
    EXPECT_EQ(traceMessages()[1], "resolving hostname for 'fakehost'");
    EXPECT_EQ(traceMessages()[2], "connecting to server fakehost on port 8000");
}

TEST_F(TransactionTest, FailedLookupIsError6WithTheHost) {
    std::snprintf(host, sizeof host, "nowhere.invalid");
    fakeSockets.lookupSucceeds = false;
    EXPECT_EXIT((silenceStandardOutput(), run({})), testing::ExitedWithCode(1),
                "^dostrel: error 6: Error resolving host name 'nowhere.invalid'\\.\n$");
}

TEST_F(TransactionTest, UnknownLocalHostNameIsError13BeforeAnyTraceLine) {
    std::snprintf(host, sizeof host, "-");
    fakeSockets.hostNameFails = true;
    debug = 1;
    EXPECT_EXIT((silenceStandardOutput(), run({})), testing::ExitedWithCode(1),
                "^dostrel: error 13: Unable to determine local host name\\.\n$");
    if (!deathTestsShareFiles()) GTEST_SKIP() << "the dying process wrote into its own directory";
    EXPECT_EQ(readFile("dostrel.dbg"), "<missing>");
}

TEST_F(TransactionTest, SocketThatCannotBeCreatedIsError5WithTheErrorCode) {
    fakeSockets.socketFails = true;
    fakeSockets.errorCode = 24;
    EXPECT_EXIT((silenceStandardOutput(), run({})), testing::ExitedWithCode(1),
                "^dostrel: error 5: Error creating socket, errno 24\\.\n$");
}

TEST_F(TransactionTest, TraceOfASmallRequestInOrder) {
    debug = 1;
    fakeSockets.receiveScript = {"Status: 200\n\nhello", "!"};
    EXPECT_EQ(run({"A=1"}, "xy"), "Status: 200\n\nhello!");
    EXPECT_EQ(traceMessages(), (std::vector<std::string>{
                                   "----------------------------------------------",
                                   "resolving hostname for '10.1.2.3'",
                                   "connecting to server 10.1.2.3 on port 8000",
                                   "sending request ...",
                                   "sending magic cookie",
                                   "sending version info",
                                   "sending number of keys: (2)",
                                   "sending keys",
                                   "sending content (length=2)",
                                   "send()'ing 57 bytes",
                                   "actually sent: 57 bytes",
                                   "receiving response ...",
                                   "receiving ...",
                                   "received 18 bytes",
                                   "starting write",
                                   "write complete",
                                   "receiving ...",
                                   "received 1 bytes",
                                   "starting write",
                                   "write complete",
                                   "receiving ...",
                                   "received 0 bytes",
                                   "closing socket",
                               }));
}

TEST_F(TransactionTest, EnvironmentFillingTheBufferPutsItsSendBeforeTheContentLine) {
    debug = 1;
    run({"BIG=" + std::string(9000, 'v')}, "body");
    std::vector<std::string> trace = traceMessages();
    std::vector<std::string> middle(trace.begin() + 7, trace.begin() + 16);
    // 16 header bytes and 11 of the key's own, then its 9000-byte value: a full block, and the
    // send that follows the last chunk of a large append; the content leaves at the flush.
    EXPECT_EQ(middle,
              (std::vector<std::string>{
                  "sending keys", "send()'ing 8192 bytes", "actually sent: 8192 bytes",
                  "send()'ing 835 bytes", "actually sent: 835 bytes", "sending content (length=4)",
                  "send()'ing 33 bytes", "actually sent: 33 bytes", "receiving response ..."}));
}

TEST_F(TransactionTest, ResponseBlocksAreRelayedWholeAndInOrder) {
    std::string response;
    for (int i = 0; i < 20000; ++i)
        response += static_cast<char>("\n\r\x1a\0ab"[i % 6]);
    fakeSockets.receiveScript = {response.substr(0, 1), response.substr(1, 9000),
                                 response.substr(9001)};
    EXPECT_TRUE(run({}) == response);
}

TEST_F(TransactionTest, ReceiveFailureBeforeAnyByteAnswersWithThePage) {
    fakeSockets.receiveFails = true;
    fakeSockets.errorCode = 104;
    EXPECT_EXIT(run({}), testing::ExitedWithCode(1),
                "^dostrel: error 11: Error receivng data on socket: 7, errno 104\\.\n$");
    if (!deathTestsShareFiles()) GTEST_SKIP() << "the dying process wrote into its own directory";
    EXPECT_NE(readFile("stdout.bin").find("Status: 500 Error\n"), std::string::npos);
}

TEST_F(TransactionTest, WriteAllResumesAfterPartialWritesAndGivesUpOnFailure) {
    int ends[2];
    ASSERT_EQ(makePipe(ends), 0);
#ifndef _WIN32
    fcntl(ends[1], F_SETPIPE_SZ, 4096); // many partial writes
#endif
    std::string data(100000, 'd');
    std::string got;
    int reader = ends[0];
    std::thread drain([&] {
        char block[1000];
        for (long n; (n = readDescriptor(reader, block, sizeof block)) > 0;)
            got.append(block, static_cast<std::size_t>(n));
    });
    writeAll(ends[1], data.data(), data.size());
    closeDescriptor(ends[1]);
    drain.join();
    closeDescriptor(ends[0]);
    EXPECT_EQ(got.size(), data.size());
    writeAll(-1, data.data(), data.size()); // a failing descriptor: returns, reports nothing
}

TEST_F(TransactionTest, ProtocolOtherThanTcpIsWarning7AndSendsNothing) {
    link.protocol = static_cast<LinkProtocol>(2);
    char* noStrings[] = {nullptr};
    testing::internal::CaptureStderr();
    dispatchRequest(0, noStrings, &link);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dostrel: warning 7: Invalid protocol 2' requested.\n");
    EXPECT_TRUE(fakeSockets.sendOffered.empty());
}

} // namespace
