// cut_answers_test.cc -- every answer the library cannot complete ends in a reset, so that the
// real gateway in front reports error 11 and exits 1 instead of passing a cut answer for a
// complete one: an exception after the first bytes, a handler over its time limit, a crashed
// worker, a worker killed before its handler ran, an aborted response, the grace period running
// out, a write timeout. Good answers
// stay complete, declare their length, and the gateway exits 0.
#include "gateway_process.h"
#include "link_client.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Each query string names one way for an answer to end.
void handle(dostrel_request* request, dostrel_response* response, void*) {
    std::string query = dostrel_request_get(request, "QUERY_STRING", nullptr);
    auto writeFlushed = [&](std::size_t size) {
        dostrel_response_write(response, std::string(size, 'x').data(), size);
        dostrel_response_flush(response);
    };
    dostrel_response_header(response, "Content-Type", "text/plain");
    if (query == "complete") dostrel_response_printf(response, "complete\n");
    if (query == "throw-before") throw std::runtime_error("broken before the first byte");
    if (query == "throw-after" || query == "crash" || query == "abort") writeFlushed(65536);
    if (query == "throw-after") throw std::runtime_error("broken after the first bytes");
    if (query == "crash") std::abort();
    if (query == "abort") dostrel_response_abort(response);
    if (query == "hang") {
        writeFlushed(10);
        std::this_thread::sleep_for(60s);
    }
    for (int i = 0; query == "huge" && i < 256 && dostrel_response_error(response) == 0; ++i)
        dostrel_response_write(response, std::string(65536, 'x').data(), 65536);
}

// Looked at in the worker before the handler runs: "die-before" kills the worker there.
int killBeforeHandler(const dostrel_request* request, void*) {
    const char* query = dostrel_request_get(request, "QUERY_STRING", nullptr);
    if (query != nullptr && std::string(query) == "die-before") raise(SIGKILL);
    return 0;
}

/// A server forked from the test with the handler above, its log in |dir|, where the gateway's
/// dostrel.cnf points at it.
struct ForkedServer {
    const WorkDirectory& dir;
    pid_t pid = -1;
    unsigned port = 0;

    ForkedServer(const WorkDirectory& dir, dostrel_server_options options) : dir(dir) {
        options.log_file = std::fopen((dir.path + "/server.log").c_str(), "w");
        dostrel_listener* listener = dostrel_listen(&options);
        if (listener == nullptr) return;
        port = dostrel_listener_port(listener);
        dir.write("dostrel.cnf", "link * tcp 127.0.0.1 " + std::to_string(port) + "\n");
        pid = fork();
        if (pid == 0) _exit(dostrel_serve_listener(listener, handle, nullptr) == 0 ? 0 : 1);
        dostrel_listener_close(listener);
        std::fclose(options.log_file);
    }

    ~ForkedServer() {
        if (pid <= 0) return;
        kill(pid, SIGINT);
        if (wait(10s) == -1) kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    std::string log() const { return dir.read("server.log"); }

    int wait(std::chrono::seconds limit) { return waitForExit(&pid, limit); }
};

/// The gateway's exit status for |query| is |status|; a cut answer (status 1) is error 11.
void expectEnd(const WorkDirectory& dir, const std::string& query, int status,
               const std::string& part) {
    Clock::time_point start = Clock::now();
    // A body, so that the worker looks at the request (stream_body) before the handler runs.
    GatewayResult result = runGateway(
        {dir.path, {"QUERY_STRING=" + query, "PATH_INFO=/cut", "CONTENT_LENGTH=1"}, "x"});
    std::printf("%s: gateway exit %d after %.2f s\n", query.c_str(), result.exitStatus,
                std::chrono::duration<double>(Clock::now() - start).count());
    EXPECT_EQ(result.exitStatus, status) << query << "\n" << result.out << result.err;
    const std::string& where = status == 0 ? result.out : result.err;
    EXPECT_NE(where.find(part), std::string::npos) << query << "\n" << where;
    EXPECT_TRUE(status != 0 || result.err.empty()) << result.err;
}

dostrel_server_options cutOptions() {
    dostrel_server_options options;
    dostrel_server_options_default(&options);
    options.workers = 2;
    options.handler_timeout_ms = 1000;
    options.write_timeout_ms = 500;
    options.stream_body = killBeforeHandler;
    return options;
}

TEST(CutAnswers, EveryAbnormalEndIsAResetThatTheGatewayReportsAndGoodAnswersStayComplete) {
    WorkDirectory dir;
    ForkedServer server(dir, cutOptions());
    ASSERT_NE(server.port, 0u);
    const char* complete = "Content-Length: 9\n\ncomplete\n";
    expectEnd(dir, "complete", 0, complete);
    expectEnd(dir, "throw-before", 0, "Status: 500 Internal Server Error\n");
    for (const char* cut : {"throw-after", "abort", "crash", "hang"})
        expectEnd(dir, cut, 1, "error 11: ");
    expectEnd(dir, "complete", 0, complete); // the workers were replaced

    // A peer that stops reading: the send times out and the connection is reset.
    int fd = connectTo(server.port, 4096);
    std::string huge = encodeLinkRequest({1, 0, {{"QUERY_STRING", "huge"}}, ""});
    ASSERT_EQ(send(fd, huge.data(), huge.size(), MSG_NOSIGNAL), static_cast<ssize_t>(huge.size()));
    for (auto end = Clock::now() + 20s; Clock::now() < end;) {
        if (server.log().find("Connection timed out") != std::string::npos) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(answerOn(fd).ends_with("<reset>")) << "the cut answer ended in order";

    // A worker killed once the variables are read, before its handler runs (its body is still
    // to come, so no unread byte makes the reset): the connection is reset, not closed in order.
    fd = connectTo(server.port);
    std::string head = encodeLinkRequest({1, 0, {{"QUERY_STRING", "die-before"}}, "x"});
    head.pop_back();
    ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    EXPECT_EQ(answerOn(fd), "<reset>") << "a worker killed before its handler closed in order";

    std::string log = server.log();
    for (const char* reason :
         {": broken before the first byte\n",
          "after its answer began: broken after the first bytes; connection reset",
          "was killed by signal 6; starting another", "over the time limit of 1.0 s: worker",
          "not complete: Connection timed out; connection reset"})
        EXPECT_NE(log.find(reason), std::string::npos) << reason << "\n" << log;
}

TEST(CutAnswers, TheGracePeriodRunningOutResetsWhatIsUnfinished) {
    WorkDirectory dir;
    dostrel_server_options options = cutOptions();
    options.handler_timeout_ms = 0;
    options.grace_ms = 300;
    ForkedServer server(dir, options);
    ASSERT_NE(server.port, 0u);
    // Whether the stop finds the request in the handler or still queued, it is served and hangs
    // past the grace period: either way the answer is cut.
    std::future<void> hanging =
        std::async(std::launch::async, [&] { expectEnd(dir, "hang", 1, "error 11: "); });
    std::this_thread::sleep_for(300ms);
    kill(server.pid, SIGTERM);
    ASSERT_EQ(hanging.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(server.wait(30s), 0);
    EXPECT_NE(server.log().find("still running after the grace period: killed"), std::string::npos)
        << server.log();
}

} // namespace
