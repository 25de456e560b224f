// serve_test.cc -- dostrel_serve in the calling process through the C interface: a handler
// answers over TCP, a bad request is logged with its reason and peer and gets no byte, and a
// stop asked for from a handler ends the server.
#include "link_encoding.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct Served {
    std::promise<unsigned> port;
    std::mutex mutex;
    std::vector<std::string> log;
};

void onListening(const char*, unsigned port, void* data) {
    static_cast<Served*>(data)->port.set_value(port);
}

void onLog(void* data, const char* line) {
    auto* served = static_cast<Served*>(data);
    std::lock_guard<std::mutex> lock(served->mutex);
    served->log.push_back(line);
}

// Answers with the variables and the body; "stop" in the query string stops the server.
void handle(dostrel_request* request, dostrel_response* response, void*) {
    dostrel_response_header(response, "Content-Type", "text/plain");
    for (std::size_t i = 0; i < dostrel_request_count(request); ++i)
        dostrel_response_printf(response, "%s=%s\n", dostrel_request_name(request, i, nullptr),
                                dostrel_request_value(request, i, nullptr));
    std::size_t length;
    const char* body = dostrel_request_body(request, &length);
    dostrel_response_write(response, body, length);
    const char* query = dostrel_request_get(request, "QUERY_STRING", nullptr);
    if (query != nullptr && std::string(query) == "stop") dostrel_serve_stop();
}

// Sends |bytes| to the server and reads until it closes.
std::string exchangeWith(unsigned port, const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "<none>";
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string answer;
    char block[4096];
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;)
        answer.append(block, static_cast<std::size_t>(got));
    close(fd);
    return answer;
}

TEST(Serve, HandlerAnswersBadRequestsAreLoggedAndAStopFromAHandlerEndsIt) {
    Served served;
    dostrel_server_options options;
    dostrel_server_options_default(&options);
    options.workers = 0;
    options.allow = "127.0.0.0/8, ::1";
    options.log = onLog;
    options.log_data = &served;
    options.on_listening = onListening;
    std::future<unsigned> port = served.port.get_future();
    std::future<int> result =
        std::async(std::launch::async, [&] { return dostrel_serve(&options, handle, &served); });
    ASSERT_EQ(port.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    unsigned at = port.get();

    LinkRequest request{1, 0, {{"QUERY_STRING", "x"}, {"A", "1"}}, "the body"};
    EXPECT_EQ(exchangeWith(at, encodeLinkRequest(request)),
              "Content-Type: text/plain\nContent-Length: 27\n\nQUERY_STRING=x\nA=1\nthe body");
    EXPECT_EQ(exchangeWith(at, "\x09\x23\x19\x62 and more"), "");
    request.variables[0].second = "stop";
    EXPECT_EQ(exchangeWith(at, encodeLinkRequest(request)).substr(0, 25),
              "Content-Type: text/plain\n");
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    ASSERT_EQ(served.log.size(), 1u);
    EXPECT_TRUE(served.log[0].starts_with("refused 127.0.0.1:")) << served.log[0];
    EXPECT_TRUE(served.log[0].ends_with(": bad-cookie")) << served.log[0];

    options.allow = "127.0.0.1/33"; // refused before listening
    EXPECT_EQ(dostrel_serve(&options, handle, &served), -1);
    EXPECT_EQ(served.log.back(), "not an address or address/bits in the allow-list: "
                                 "'127.0.0.1/33'");
    EXPECT_EQ(errno, EINVAL);
    options.allow = nullptr;
    options.port = 70000;
    errno = 0;
    EXPECT_EQ(dostrel_serve(&options, handle, &served), -1);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
