// response_test.cc -- the response writer on a socket: the exact bytes of status, repeated
// headers and body; a large body in constant memory; refused headers; a peer that went away
// or stopped reading.
#include "dostrel/appserver.h"
#include "socket_pair.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::string readAll(int fd) {
    std::string bytes;
    char block[65536];
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;)
        bytes.append(block, static_cast<std::size_t>(got));
    return bytes;
}

TEST(Response, HeadersRepeatInOrderAndTheBodyFollowsInPieces) {
    SocketPair pair;
    dostrel_response* response = dostrel_response_new(pair.ends[0], 5000);
    EXPECT_EQ(dostrel_response_status(response, 404, nullptr), 0);
    EXPECT_EQ(dostrel_response_header(response, "Set-Cookie", "a=1"), 0);
    EXPECT_EQ(dostrel_response_header(response, "Set-Cookie", "b=2"), 0);
    // Refused, and nothing of them sent: a header split or injected by a value.
    EXPECT_EQ(dostrel_response_header(response, "X-Bad", "v\r\nInjected: 1"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(dostrel_response_error(response), 0) << "a refused call is no failed send";
    EXPECT_EQ(dostrel_response_header(response, "Bad Name", "v"), -1);
    EXPECT_EQ(dostrel_response_header(response, "", "v"), -1);
    std::string big(40000, 'b');
    EXPECT_EQ(dostrel_response_write(response, "small ", 6), 0);
    EXPECT_EQ(dostrel_response_printf(response, "%d %s|", 42, "forty-two"), 0);
    EXPECT_EQ(dostrel_response_write(response, big.data(), big.size()), 0);
    EXPECT_EQ(dostrel_response_write(response, "\0end", 4), 0);
    EXPECT_EQ(dostrel_response_status(response, 200, nullptr), -1) << "status after the body";
    EXPECT_EQ(errno, EALREADY);
    EXPECT_EQ(dostrel_response_header(response, "Late", "x"), -1);
    dostrel_response_free(response);
    pair.closeEnd(0);
    EXPECT_TRUE(readAll(pair.ends[1]) == "Status: 404 Not Found\nSet-Cookie: a=1\nSet-Cookie: "
                                         "b=2\n\nsmall 42 forty-two|" +
                                             big + std::string("\0end", 4));

    SocketPair empty; // a handler that gave nothing still answers
    dostrel_response_free(dostrel_response_new(empty.ends[0], 0));
    empty.closeEnd(0);
    EXPECT_TRUE(readAll(empty.ends[1]).starts_with("Status: 500 Internal Server Error\n"));

    SocketPair headersOnly;
    response = dostrel_response_new(headersOnly.ends[0], 0);
    dostrel_response_status(response, 204, "Nothing Here");
    dostrel_response_free(response);
    headersOnly.closeEnd(0);
    EXPECT_EQ(readAll(headersOnly.ends[1]), "Status: 204 Nothing Here\n\n");
}

TEST(Response, LargeBodyStreamsInConstantMemory) {
    SocketPair pair;
    const std::string head = "Status: 200 OK\n\n";
    std::string headSeen;
    std::size_t received = 0;
    bool intact = true;
    std::thread reader([&] {
        char block[65536];
        for (ssize_t got; (got = read(pair.ends[1], block, sizeof block)) > 0;) {
            for (ssize_t i = 0; i < got; ++i, ++received) {
                if (received < head.size())
                    headSeen.push_back(block[i]);
                else
                    intact =
                        intact && block[i] == static_cast<char>((received - head.size()) % 251);
            }
        }
    });
    std::string chunk(1 << 20, '\0');
    dostrel_response* response = dostrel_response_new(pair.ends[0], 5000);
    dostrel_response_status(response, 200, nullptr);
    std::size_t total = 0;
    std::size_t before = mallinfo2().uordblks;
    std::size_t most = 0;
    for (int i = 0; i < 64; ++i) {
        for (std::size_t j = 0; j < chunk.size(); ++j)
            chunk[j] = static_cast<char>((total + j) % 251);
        ASSERT_EQ(dostrel_response_write(response, chunk.data(), chunk.size()), 0);
        total += chunk.size();
        most = std::max(most, mallinfo2().uordblks);
    }
    EXPECT_EQ(dostrel_response_free(response), 0);
    pair.closeEnd(0);
    reader.join();
    EXPECT_EQ(received, head.size() + total);
    EXPECT_EQ(headSeen, head);
    EXPECT_TRUE(intact);
    EXPECT_LT(most - before, 256u * 1024) << "the writer kept the body";
}

TEST(Response, PeerGoneOrNotReadingIsReportedAndStopsTheResponse) {
    SocketPair gone;
    gone.closeEnd(1);
    dostrel_response* response = dostrel_response_new(gone.ends[0], 1000);
    std::string piece(100000, 'x');
    EXPECT_EQ(dostrel_response_write(response, piece.data(), piece.size()), -1);
    EXPECT_TRUE(dostrel_response_error(response) == EPIPE ||
                dostrel_response_error(response) == ECONNRESET)
        << dostrel_response_error(response);
    EXPECT_EQ(dostrel_response_write(response, "y", 1), -1);
    EXPECT_EQ(dostrel_response_free(response), -1);

    SocketPair stalled; // the peer never reads: the send gives up after the write time-out
    fcntl(stalled.ends[0], F_SETFL, O_NONBLOCK);
    response = dostrel_response_new(stalled.ends[0], 300);
    std::string big(8 << 20, 'z');
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dostrel_response_write(response, big.data(), big.size()), -1);
    EXPECT_EQ(dostrel_response_error(response), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    dostrel_response_free(response);
}

// A wrapper that forwards its arguments, as a C++ face or a logging layer does.
__attribute__((format(printf, 2, 3))) int forwardPrintf(dostrel_response* response,
                                                        const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = dostrel_response_vprintf(response, format, arguments);
    va_end(arguments);
    return result;
}

/// What arrived on |fd| so far, without waiting.
std::string readNow(int fd) {
    std::string bytes;
    char block[65536];
    for (ssize_t got; (got = recv(fd, block, sizeof block, MSG_DONTWAIT)) > 0;)
        bytes.append(block, static_cast<std::size_t>(got));
    return bytes;
}

TEST(Response, FlushSendsNowAndWritingGoesOnPhrasesAreNeverEmpty) {
    SocketPair pair;
    dostrel_response* response = dostrel_response_new(pair.ends[0], 5000);
    dostrel_response_header(response, "Content-Type", "text/event-stream");
    EXPECT_EQ(dostrel_response_flush(response), 0) << "a flush ends the header lines";
    EXPECT_EQ(readNow(pair.ends[1]), "Content-Type: text/event-stream\n\n");
    EXPECT_EQ(forwardPrintf(response, "data: %s %d\n\n", "one", 1), 0);
    EXPECT_EQ(readNow(pair.ends[1]), "") << "gathered until the flush";
    EXPECT_EQ(dostrel_response_flush(response), 0);
    EXPECT_EQ(readNow(pair.ends[1]), "data: one 1\n\n");
    std::string longText(3000, 'l'); // past the small buffer of the formatting
    EXPECT_EQ(forwardPrintf(response, "%s|", longText.c_str()), 0);
    EXPECT_EQ(dostrel_response_finish(response), 0);
    EXPECT_EQ(readNow(pair.ends[1]), longText + "|") << "no length declared after a flush";
    EXPECT_EQ(dostrel_response_flush(response), -1);
    EXPECT_EQ(errno, EALREADY);
    dostrel_response_free(response);

    // Without a phrase (or an empty one): the code's own, else its class's.
    for (auto [code, phrase] :
         std::vector<std::pair<int, std::string>>{{299, "Success"},
                                                  {422, "Unprocessable Content"},
                                                  {599, "Server Error"},
                                                  {199, "Informational"},
                                                  {999, "Unknown Status"}}) {
        SocketPair one;
        response = dostrel_response_new(one.ends[0], 0);
        EXPECT_EQ(dostrel_response_status(response, code, code == 299 ? "" : nullptr), 0);
        dostrel_response_free(response);
        EXPECT_EQ(readNow(one.ends[1]), "Status: " + std::to_string(code) + " " + phrase + "\n\n");
    }

    SocketPair cut; // an abort on a connection the caller owns sends nothing more
    response = dostrel_response_new(cut.ends[0], 0);
    dostrel_response_write(response, "partial", 7);
    dostrel_response_abort(response);
    EXPECT_EQ(dostrel_response_write(response, "x", 1), -1);
    EXPECT_EQ(dostrel_response_free(response), -1);
    EXPECT_EQ(errno, ECONNABORTED);
    EXPECT_EQ(readNow(cut.ends[1]), "");
}

} // namespace
