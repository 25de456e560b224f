// cpp_face_test.cc -- dostrel/appserver.hpp over TCP: a lambda handler reading variables as
// string_views and a streamed body as a std::istream, writing with << and printf; its exception
// logged with what() and answered 500; an own accept loop whose owned response is finished
// at the end of its scope, or reset when an exception unwinds past it.
#include "dostrel/appserver.hpp"
#include "link_encoding.h"

#include <arpa/inet.h>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::string exchange(unsigned port, const std::string& query, const std::string& body = "") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "<none>";
    std::string bytes = encodeLinkRequest({1, 0, {{"QUERY_STRING", query}}, body});
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string answer;
    char block[4096];
    pollfd readable = {fd, POLLIN, 0};
    while (poll(&readable, 1, 10000) == 1) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == ECONNRESET) answer += "<reset>";
        if (got <= 0) break;
        answer.append(block, static_cast<std::size_t>(got));
    }
    close(fd);
    return answer;
}

struct Log {
    std::mutex mutex;
    std::string text;
};

void onLog(void* data, const char* line) {
    auto* log = static_cast<Log*>(data);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->text += std::string(line) + "\n";
}

TEST(CppFace, LambdaHandlerStreamsTheBodyWritesWithShiftAndExceptionsAreAnswered) {
    Log log;
    dostrel::options options;
    options.workers = 0;
    options.log = onLog;
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
    EXPECT_NE(log.text.find("threw on a request from 127.0.0.1:"), std::string::npos) << log.text;
    EXPECT_NE(log.text.find(": no such thing\n"), std::string::npos) << log.text;

    options.port = 70000;
    EXPECT_THROW(dostrel::listener wrong(options), dostrel::error);
}

TEST(CppFace, AcceptLoopFinishesOwnedResponsesAndResetsThoseAnExceptionLeaves) {
    dostrel::options options;
    options.workers = 0;
    dostrel::listener server(options);
    std::future<int> loop = std::async(std::launch::async, [&] {
        int answered = 0;
        while (auto next = server.accept()) {
            auto& [request, response] = *next;
            try {
                response << "begun " << request["QUERY_STRING"] << '\n';
                if (request["QUERY_STRING"] == "fail") {
                    response.flush();
                    throw std::runtime_error("failed half-way");
                }
                ++answered;
            } catch (const std::runtime_error&) {
                next.reset(); // unwinding is over here: the owner aborts explicitly
                continue;
            }
        }
        return answered;
    });
    EXPECT_EQ(exchange(server.port(), "one"), "Content-Length: 10\n\nbegun one\n");
    auto cutLoop = [&] {
        // An exception escaping the scope of an owned response resets it.
        dostrel::listener inner(options);
        std::thread client([&] { EXPECT_EQ(exchange(inner.port(), "x"), "\nhalf<reset>"); });
        try {
            auto next = inner.accept();
            next->second << "half";
            next->second.flush();
            throw std::runtime_error("cut");
        } catch (const std::runtime_error&) {
        }
        client.join();
    };
    cutLoop();
    server.stop();
    ASSERT_EQ(loop.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(loop.get(), 1);
}

} // namespace
