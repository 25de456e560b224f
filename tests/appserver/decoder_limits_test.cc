// decoder_limits_test.cc -- the decoder's limits at their edges, its memory under forged
// lengths, back-to-back requests, and the time limit for a whole request.
#include "link_encoding.h"

#include <chrono>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::string_literals;

const std::string cookie = "\x09\x23\x19\x63";

dostrel_reason decodeWith(const std::string& bytes, dostrel_limits limits) {
    dostrel_request* request = nullptr;
    dostrel_reason reason = dostrel_decode(bytes.data(), bytes.size(), &limits, &request, nullptr);
    dostrel_request_free(request);
    return reason;
}

// The shared vectors cover each refusal once; here are the edges between them: a length exactly
// at its limit, a last name of the right length but not the content key's.
TEST(LinkDecoder, LimitEdgesAndContentKeyNamesBeyondTheVectors) {
    dostrel_limits limits = dostrel_limits_default();
    std::string twoKeys = cookie + linkNumber(1) + linkNumber(0) + linkNumber(2);
    limits.max_variable_bytes = 10;
    EXPECT_EQ(decodeWith(twoKeys + linkText("NAME") + linkNumber(7), limits),
              DOSTREL_VARIABLES_TOO_LARGE);
    EXPECT_EQ(decodeWith(twoKeys + linkText("NAME") + linkNumber(6), limits), DOSTREL_TRUNCATED);
    std::string lastKey = twoKeys + linkText("NAME") + linkText("VALUE1");
    EXPECT_EQ(decodeWith(lastKey + linkText("XBRENNOX_CONTENT_DATB"), limits),
              DOSTREL_MISSING_CONTENT_KEY);
    limits.max_body_bytes = 3;
    std::string content = lastKey + linkText(DOSTREL_CONTENT_KEY);
    EXPECT_EQ(decodeWith(content + linkNumber(4), limits), DOSTREL_BODY_TOO_LARGE);
    EXPECT_EQ(decodeWith(content + linkText("abc"), limits), DOSTREL_OK);
    // A key of the content key's name before the last one is an ordinary variable.
    LinkRequest early{1, 3, {{DOSTREL_CONTENT_KEY, "x"}, {"A", ""}}, "b\0dy"s};
    dostrel_request* request = nullptr;
    std::string bytes = encodeLinkRequest(early);
    ASSERT_EQ(dostrel_decode(bytes.data(), bytes.size(), nullptr, &request, nullptr), DOSTREL_OK);
    EXPECT_TRUE(linkRequestOf(request) == early);
    std::size_t length = 9;
    EXPECT_STREQ(dostrel_request_get(request, "A", &length), "");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(dostrel_request_get(request, "B", nullptr), nullptr);
    EXPECT_EQ(dostrel_request_name(request, 2, nullptr), nullptr);
    dostrel_request_free(request);
}

TEST(LinkDecoder, ForgedLengthsCostNoMemoryAndRequestsFollowEachOtherInOneStream) {
    dostrel_decoder* decoder = dostrel_decoder_new(nullptr);
    std::string head = cookie + linkNumber(1) + linkNumber(0) + linkNumber(2) + linkText("NAME") +
                       linkNumber(1000000) + "0123456789";
    std::size_t before = mallinfo2().uordblks;
    ASSERT_EQ(dostrel_decoder_feed(decoder, head.data(), head.size(), nullptr), DOSTREL_NEED_MORE);
    EXPECT_LT(mallinfo2().uordblks - before, 64u * 1024) << "a value's length taken at its word";
    dostrel_decoder_free(decoder);

    decoder = dostrel_decoder_new(nullptr);
    head = cookie + linkNumber(1) + linkNumber(0) + linkNumber(1) + linkText(DOSTREL_CONTENT_KEY) +
           linkNumber(1u << 30) + "0123456789";
    before = mallinfo2().uordblks;
    ASSERT_EQ(dostrel_decoder_feed(decoder, head.data(), head.size(), nullptr), DOSTREL_NEED_MORE);
    EXPECT_LT(mallinfo2().uordblks - before, 64u * 1024) << "a body's length taken at its word";
    EXPECT_EQ(dostrel_decoder_needed(decoder), (1u << 30) - 10u);
    dostrel_decoder_free(decoder);

    LinkRequest first{1, 0, {{"A", "1"}}, "one"};
    LinkRequest second{1, 1, {}, std::string(100000, 'x')};
    std::string stream = encodeLinkRequest(first) + encodeLinkRequest(second);
    decoder = dostrel_decoder_new(nullptr);
    std::size_t taken = 0;
    ASSERT_EQ(dostrel_decoder_feed(decoder, stream.data(), stream.size(), &taken), DOSTREL_DONE);
    EXPECT_EQ(taken, encodeLinkRequest(first).size());
    dostrel_request* request = dostrel_decoder_take(decoder);
    EXPECT_TRUE(linkRequestOf(request) == first);
    dostrel_request_free(request);
    EXPECT_EQ(dostrel_decoder_take(decoder), nullptr);
    std::size_t rest = stream.size() - taken;
    ASSERT_EQ(dostrel_decoder_feed(decoder, stream.data() + taken, rest, &taken), DOSTREL_DONE);
    EXPECT_EQ(taken, rest);
    request = dostrel_decoder_take(decoder);
    EXPECT_TRUE(linkRequestOf(request) == second);
    dostrel_request_free(request);
    dostrel_decoder_free(decoder);
}

// The time limit is for the whole request: a peer trickling a byte at a time does not renew it.
TEST(LinkDecoder, TimeLimitCoversTheWholeRequest) {
    std::string bytes = encodeLinkRequest({1, 0, {{"QUERY_STRING", "x"}}, "body"});
    for (bool trickle : {false, true}) {
        SCOPED_TRACE(trickle ? "a byte every 20 ms" : "half a request, then nothing");
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        std::thread writer([&] {
            if (!trickle) {
                send(ends[1], bytes.data(), bytes.size() / 2, MSG_NOSIGNAL);
                return;
            }
            for (char byte : bytes) {
                if (send(ends[1], &byte, 1, MSG_NOSIGNAL) != 1) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        dostrel_limits limits = dostrel_limits_default();
        limits.read_timeout_ms = 400;
        dostrel_request* request = nullptr;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(dostrel_request_read(ends[0], &limits, &request), DOSTREL_TIMEOUT);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(390));
        EXPECT_LT(took, std::chrono::milliseconds(4000));
        EXPECT_EQ(request, nullptr);
        close(ends[0]);
        writer.join();
        close(ends[1]);
    }
}

} // namespace
