// vectors_test.cc -- the shared vectors through the library's one decoder: from memory whole,
// a byte at a time, and from a socket where the bytes after a request must stay unread.
#include "socket_pair.h"
#include "vector_files.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

void writeAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return; // the reader refused and closed
        done += static_cast<std::size_t>(sent);
    }
}

TEST(LinkVectors, EveryVectorDecodesFromMemoryWholeAndByteByByte) {
    std::vector<LinkVector> vectors = loadLinkVectors();
    ASSERT_GE(vectors.size(), 30u);
    for (const LinkVector& vector : vectors) {
        SCOPED_TRACE(vector.name);
        // Whole, with bytes after an accepted request that must not be taken.
        std::string input = vector.accept ? vector.bytes + "NEXT REQUEST" : vector.bytes;
        dostrel_request* request = nullptr;
        std::size_t consumed = 0;
        dostrel_reason reason =
            dostrel_decode(input.data(), input.size(), &vector.limits, &request, &consumed);
        if (vector.accept) {
            ASSERT_EQ(reason, DOSTREL_OK) << dostrel_reason_word(reason);
            EXPECT_EQ(consumed, vector.bytes.size());
            EXPECT_TRUE(linkRequestOf(request) == vector.request);
            std::string encoded(dostrel_request_encode(request, nullptr, 0), '\0');
            dostrel_request_encode(request, encoded.data(), encoded.size());
            EXPECT_TRUE(encoded == vector.bytes) << "encoding the decoded request";
            dostrel_request_free(request);
        } else {
            EXPECT_STREQ(dostrel_reason_word(reason), vector.reason.c_str());
            EXPECT_EQ(request, nullptr);
        }

        // A byte at a time; what the decoder says it still needs is never more than is left.
        dostrel_decoder* decoder = dostrel_decoder_new(&vector.limits);
        dostrel_decode_status status = DOSTREL_NEED_MORE;
        std::size_t at = 0;
        for (; at < input.size() && status == DOSTREL_NEED_MORE; ++at) {
            if (vector.accept) {
                ASSERT_LE(dostrel_decoder_needed(decoder), vector.bytes.size() - at);
            }
            ASSERT_GE(dostrel_decoder_needed(decoder), 1u);
            std::size_t taken = 0;
            status = dostrel_decoder_feed(decoder, &input[at], 1, &taken);
            ASSERT_EQ(taken, 1u);
        }
        if (status == DOSTREL_NEED_MORE) dostrel_decoder_end(decoder);
        EXPECT_EQ(dostrel_decoder_needed(decoder), 0u);
        if (vector.accept) {
            EXPECT_EQ(status, DOSTREL_DONE);
            EXPECT_EQ(at, vector.bytes.size());
            std::size_t taken = 1;
            EXPECT_EQ(dostrel_decoder_feed(decoder, "N", 1, &taken), DOSTREL_DONE);
            EXPECT_EQ(taken, 0u);
            dostrel_request* taken_request = dostrel_decoder_take(decoder);
            ASSERT_NE(taken_request, nullptr);
            EXPECT_TRUE(linkRequestOf(taken_request) == vector.request);
            dostrel_request_free(taken_request);
        } else {
            EXPECT_STREQ(dostrel_reason_word(dostrel_decoder_reason(decoder)),
                         vector.reason.c_str());
        }
        dostrel_decoder_free(decoder);
    }
}

// The writer never shuts its side down unless the vector is a truncated one: a decoder that
// waited for the end of the stream would run into the time limit instead.
TEST(LinkVectors, EveryVectorReadFromASocketLeavesWhatFollowsUnread) {
    for (const LinkVector& vector : loadLinkVectors()) {
        SCOPED_TRACE(vector.name);
        SocketPair pair;
        bool truncated = vector.reason == "truncated";
        std::thread writer([&] {
            writeAll(pair.ends[1], vector.accept ? vector.bytes + "NEXT" : vector.bytes);
            if (truncated) shutdown(pair.ends[1], SHUT_WR);
        });
        dostrel_limits limits = vector.limits;
        limits.read_timeout_ms = 10000;
        dostrel_request* request = nullptr;
        dostrel_reason reason = dostrel_request_read(pair.ends[0], &limits, &request);
        if (vector.accept) {
            ASSERT_EQ(reason, DOSTREL_OK) << dostrel_reason_word(reason);
            EXPECT_TRUE(linkRequestOf(request) == vector.request);
            dostrel_request_free(request);
            writer.join();
            char rest[16] = {};
            EXPECT_EQ(recv(pair.ends[0], rest, sizeof rest, MSG_DONTWAIT), 4);
            EXPECT_STREQ(rest, "NEXT");
        } else {
            EXPECT_STREQ(dostrel_reason_word(reason), vector.reason.c_str());
            close(pair.ends[0]); // unblocks a writer of a long refused request
            pair.ends[0] = -1;
            writer.join();
        }
    }
}

} // namespace
