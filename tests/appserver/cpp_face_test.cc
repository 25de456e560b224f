// cpp_face_test.cc -- dostrel/appserver.hpp over TCP: a lambda handler reading variables as
// string_views and a streamed body as a std::istream, writing with << and printf; its exception
// logged with what() and answered 500; an own accept loop whose owned response is finished
// at the end of its scope, or reset when an exception unwinds past it. Capturing lambdas as the
// hooks, std::string and string_view arguments, shortest doubles, a buffered body read in pieces,
// and a CGI head written as text, under the header checks.
#include "dostrel/appserver.hpp"
#include "link_client.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;

TEST(CppFace, LambdaHandlerAndAcceptLoopStreamWriteAndAnswerOrResetOnExceptions) {
    std::string log;
    dostrel::options options;
    options.workers = 0;
    options.log = [](void* data, const char* line) { *static_cast<std::string*>(data) += line; };
    options.log_data = &log;
    options.stream_every_body();
    dostrel::listener server(options);
    int counter = 0;
    std::future<void> serving = std::async(std::launch::async, [&] {
        server.serve([&](const dostrel::request& request, dostrel::response& response) {
            if (request["QUERY_STRING"] == "throw") throw std::runtime_error("no such thing");
            response.header("Content-Type", "text/plain");
            long sum = 0, number;
            auto body = request.stream();
            while (body >> number)
                sum += number;
            response << "query " << request["QUERY_STRING"] << ", sum " << sum << ", call "
                     << ++counter << '\n';
            response.printf("%zu variable, %s\n", request.size(),
                            request.get("MISSING") ? "found" : "none missing");
        });
    });
    std::string numbers;
    for (int i = 1; i <= 20000; ++i)
        numbers += std::to_string(i) + " ";
    EXPECT_EQ(exchange(server.port(), "add", numbers),
              "Content-Type: text/plain\nContent-Length: 58\n\nquery add, sum 200010000, "
              "call 1\n1 variable, none missing\n");
    std::string failed = exchange(server.port(), "throw");
    EXPECT_TRUE(failed.starts_with("Status: 500 Internal Server Error\n")) << failed;
    server.stop();
    ASSERT_EQ(serving.wait_for(30s), std::future_status::ready);
    serving.get();
    EXPECT_NE(log.find("threw on a request from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(": no such thing"), std::string::npos) << log;

    // An own loop: an exception escaping the scope of an owned response resets it.
    dostrel::listener own(options);
    std::future<int> loop = std::async(std::launch::async, [&] {
        for (int answered = 0;;) {
            try {
                auto next = own.accept();
                if (!next) return answered;
                auto& [request, response] = *next;
                response << "begun " << request["QUERY_STRING"] << '\n';
                if (request["QUERY_STRING"] == "fail") {
                    response.flush();
                    throw std::runtime_error("failed half-way");
                }
                ++answered;
            } catch (const std::runtime_error&) {
            }
        }
    });
    EXPECT_EQ(exchange(own.port(), "one"), "Content-Length: 10\n\nbegun one\n");
    EXPECT_EQ(exchange(own.port(), "fail"), "\nbegun fail\n<reset>");
    own.stop();
    ASSERT_EQ(loop.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(loop.get(), 1);

    options.port = 70000;
    EXPECT_THROW(dostrel::listener wrong(options), dostrel::error);
}

TEST(CppFace, CapturingHooksStringArgumentsDoublesBufferedReadsAndAHeadWrittenAsText) {
    std::atomic<unsigned> heardPort{0};
    std::atomic<int> starts{0}, choices{0};
    dostrel::options options;
    options.workers = 0;
    options.cgi_head = 1;
    options.when_listening([&](std::string_view, unsigned port) { heardPort = port; })
        .when_worker_starts([&] { ++starts; })
        .stream_body_when([&](const dostrel::request& request) {
            ++choices;
            return request["QUERY_STRING"] == std::string("streamed");
        });
    dostrel::listener server(options);
    std::future<void> serving = std::async(std::launch::async, [&] {
        server.serve([&](const dostrel::request& request, dostrel::response& response) {
            std::string query(request[std::string("QUERY_STRING")]);
            if (query == "bad") {
                std::string_view text = "Status: 4x\r\nBroken line\r\nX-Kept: yes\r\n\r\nbody";
                int result = dostrel_response_write(response.handle(), text.data(), text.size());
                response << (result == -1 && errno == EINVAL ? " refused" : " taken");
                return;
            }
            response << "Status: 404 Not Found\r\nContent-Type: text/html\n";
            response.header(std::string_view("X-Query"), std::string_view(query));
            response << "\r\n" << 0.1 << ' ' << 1e21 << ' ';
            char piece[3];
            for (std::size_t got; (got = request.read(piece, sizeof piece)) > 0;)
                response << '[' << std::string_view(piece, got) << ']';
        });
    });
    EXPECT_EQ(exchange(server.port(), "buffered", "abcdefg"),
              "Status: 404 Not Found\nContent-Type: text/html\nX-Query: buffered\n"
              "Content-Length: 23\n\n0.1 1e+21 [abc][def][g]");
    EXPECT_EQ(exchange(server.port(), "streamed", "abcd"),
              "Status: 404 Not Found\nContent-Type: text/html\nX-Query: streamed\n"
              "Content-Length: 18\n\n0.1 1e+21 [abc][d]");
    EXPECT_EQ(exchange(server.port(), "bad"), "X-Kept: yes\nContent-Length: 12\n\nbody refused");
    server.stop();
    ASSERT_EQ(serving.wait_for(30s), std::future_status::ready);
    serving.get();
    EXPECT_EQ(heardPort, server.port());
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(choices, 2); // a request without a body has nothing to choose
}

} // namespace
