// send_buffer_test.cc -- staging and sending against the scripted socket layer.
#include "diag/switches.h"
#include "fake_sockets.h"
#include "link/send_buffer.h"
#include "portable.h"
#include "unit_support.h"

#include <cstdio>
#include <deque>
#include <gtest/gtest.h>
#include <random>

namespace {

constexpr SocketHandle socket7 = 7;

class SendBufferTest : public testing::Test {
  protected:
    void SetUp() override {
        resetGatewayState();
        sendBuffer.fill = 0;
        debug = 1;
    }

    ScratchDirectory scratch;

    static std::string pattern(std::size_t size, unsigned seed = 1) {
        std::string bytes(size, '\0');
        std::mt19937 random(seed);
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        return bytes;
    }

    using Sizes = std::vector<std::size_t>;
};

TEST_F(SendBufferTest, StagingBelow8192SendsNothing) {
    std::string first = pattern(100), second = pattern(8091, 2);
    appendBytes(socket7, first.data(), 100);
    appendBytes(socket7, second.data(), 8091);
    EXPECT_EQ(sendBuffer.fill, 8191);
    EXPECT_EQ(fakeSockets.sendOffered, Sizes{});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sendBuffer.bytes), 8191), first + second);
    EXPECT_EQ(readFile("dostrel.dbg"), "<missing>");
}

TEST_F(SendBufferTest, ReachingExactly8192SendsOneBlock) {
    std::string first = pattern(100), second = pattern(8092, 2);
    appendBytes(socket7, first.data(), 100);
    appendBytes(socket7, second.data(), 8092);
    EXPECT_EQ(fakeSockets.sendOffered, Sizes{8192});
    EXPECT_EQ(sendBuffer.fill, 0);
    EXPECT_EQ(fakeSockets.sentBytes, first + second);
    EXPECT_EQ(traceMessages(),
              (std::vector<std::string>{"send()'ing 8192 bytes", "actually sent: 8192 bytes"}));
}

TEST_F(SendBufferTest, LargeAppendFromEmptySendsEveryChunkTheLastToo) {
    std::string bytes = pattern(20000);
    appendBytes(socket7, bytes.data(), 20000);
    EXPECT_EQ(fakeSockets.sendOffered, (Sizes{8192, 8192, 3616}));
    EXPECT_EQ(sendBuffer.fill, 0);
    EXPECT_EQ(fakeSockets.sentBytes, bytes);
    EXPECT_EQ(traceMessages(),
              (std::vector<std::string>{"send()'ing 8192 bytes", "actually sent: 8192 bytes",
                                        "send()'ing 8192 bytes", "actually sent: 8192 bytes",
                                        "send()'ing 3616 bytes", "actually sent: 3616 bytes"}));
}

TEST_F(SendBufferTest, AppendThatOverflowsAFullishBufferSendsTwice) {
    std::string first = pattern(8000), second = pattern(500, 2);
    appendBytes(socket7, first.data(), 8000);
    appendBytes(socket7, second.data(), 500);
    EXPECT_EQ(fakeSockets.sendOffered, (Sizes{8192, 308}));
    EXPECT_EQ(fakeSockets.sentBytes, first + second);
}

TEST_F(SendBufferTest, PartialSendMovesTheRestForwardAndShrinksTheNextChunk) {
    fakeSockets.sendScript = {5000};
    std::string bytes = pattern(20000);
    appendBytes(socket7, bytes.data(), 20000);
    // 8192 offered, 5000 taken; the next chunk has room for 5000 only.
    EXPECT_EQ(fakeSockets.sendOffered, (Sizes{8192, 8192, 6808}));
    EXPECT_EQ(sendBuffer.fill, 0);
    EXPECT_EQ(fakeSockets.sentBytes, bytes);
    EXPECT_EQ(traceMessages()[1], "actually sent: 5000 bytes");
}

TEST_F(SendBufferTest, FlushRepeatsPartialSendsUntilEmpty) {
    fakeSockets.sendScript = {3, 1, 2};
    appendBytes(socket7, "abcdefghij", 10);
    flushSendBuffer(socket7);
    EXPECT_EQ(fakeSockets.sendOffered, (Sizes{10, 7, 6, 4}));
    EXPECT_EQ(fakeSockets.sentBytes, "abcdefghij");
    EXPECT_EQ(sendBuffer.fill, 0);
}

TEST_F(SendBufferTest, RandomAppendsAndPartialSendsDeliverTheStreamExactlyOnce) {
    debug = 0;
    std::mt19937 random(42);
    for (int i = 0; i < 2000; ++i)
        fakeSockets.sendScript.push_back(1 + static_cast<long>(random() % 9000));
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        std::string piece = pattern(random() % (i % 10 == 0 ? 30000 : 300), i);
        expected += piece;
        appendBytes(socket7, piece.data(), static_cast<std::uint32_t>(piece.size()));
        ASSERT_LT(sendBuffer.fill, 8192);
    }
    flushSendBuffer(socket7);
    EXPECT_EQ(fakeSockets.sentBytes.size(), expected.size());
    EXPECT_TRUE(fakeSockets.sentBytes == expected);
    for (std::size_t offered : fakeSockets.sendOffered)
        EXPECT_LE(offered, 8192u);
}

// A body staged from its temporary file leaves in the sends it would take from memory, with the
// same trace, whatever the sends take: behind a short head, behind a head that fills the area,
// and with partial sends that cut into the head and into the file's part.
TEST_F(SendBufferTest, BodyFromAFileLeavesInTheSendsItWouldTakeFromMemory) {
    struct Case {
        std::size_t head;
        std::deque<long> script;
    };
    const std::vector<Case> cases = {
        {45, {}}, {8191, {}}, {45, {5000, 20, 8192, 3}}, {300, {100, 150, 1, 9000, 7}}};
    std::string body = pattern(50000, 3);
    int file = platformCreateUnnamedFile(".");
    ASSERT_GE(file, 0) << platformFileError();
    ASSERT_EQ(platformWriteDescriptor(file, body.data(), body.size()), 50000);
    for (const Case& each : cases) {
        std::string head = pattern(each.head, 4);
        std::vector<Sizes> offered;
        std::vector<std::string> sent;
        std::vector<std::vector<std::string>> trace;
        for (bool fromFile : {false, true}) {
            resetGatewayState();
            debug = 1;
            std::remove("dostrel.dbg");
            fakeSockets.sendScript = each.script;
            appendBytes(socket7, head.data(), static_cast<std::uint32_t>(head.size()));
            if (fromFile)
                appendFileBytes(socket7, file, 7, 49000);
            else
                appendBytes(socket7, body.data() + 7, 49000);
            flushSendBuffer(socket7);
            offered.push_back(fakeSockets.sendOffered);
            sent.push_back(fakeSockets.sentBytes);
            trace.push_back(traceMessages());
        }
        EXPECT_EQ(offered[1], offered[0]) << each.head;
        EXPECT_TRUE(sent[1] == head + body.substr(7, 49000)) << each.head;
        EXPECT_EQ(trace[1], trace[0]) << each.head;
        EXPECT_EQ(sendBuffer.fileBytes, 0);
    }
    closeDescriptor(file);
}

TEST_F(SendBufferTest, EmptyFlushAndEmptyAppendDoNothing) {
    flushSendBuffer(socket7);
    sendOnce(socket7);
    appendBytes(socket7, "", 0);
    EXPECT_EQ(fakeSockets.sendOffered, Sizes{});
    EXPECT_EQ(readFile("dostrel.dbg"), "<missing>");
}

TEST_F(SendBufferTest, AppendStringLeavesOutTheTerminator) {
    appendString(socket7, "XBRENNOX_CONTENT_DATA");
    EXPECT_EQ(sendBuffer.fill, 21);
    flushSendBuffer(socket7);
    EXPECT_EQ(fakeSockets.sentBytes, "XBRENNOX_CONTENT_DATA");
}

TEST_F(SendBufferTest, FailedSendIsError10AfterItsTraceLines) {
    fakeSockets.sendScript = {-1};
    fakeSockets.errorCode = 104;
    appendBytes(socket7, "hello", 5);
    EXPECT_EXIT((silenceStandardOutput(), flushSendBuffer(socket7)), testing::ExitedWithCode(1),
                "^dostrel: error 10: Error sending data on socket: 7, errno 104\\.\n$");
    if (!deathTestsShareFiles()) GTEST_SKIP() << "the dying process wrote into its own directory";
    EXPECT_EQ(traceMessages(),
              (std::vector<std::string>{"send()'ing 5 bytes", "actually sent: -1 bytes"}));
}

TEST_F(SendBufferTest, SendTakingNothingIsError15AfterItsTraceLines) {
    fakeSockets.sendScript = {0};
    std::string bytes = pattern(9000);
    EXPECT_EXIT((silenceStandardOutput(), appendBytes(socket7, bytes.data(), 9000)),
                testing::ExitedWithCode(1),
                "^dostrel: error 15: Server prematurely closed socket 7\\.\n$");
    if (!deathTestsShareFiles()) GTEST_SKIP() << "the dying process wrote into its own directory";
    EXPECT_EQ(traceMessages(),
              (std::vector<std::string>{"send()'ing 8192 bytes", "actually sent: 0 bytes"}));
}

} // namespace
