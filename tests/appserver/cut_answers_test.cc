// cut_answers_test.cc -- every answer the library cannot complete ends in a reset, so that the
// real gateway in front reports error 11 and exits 1 instead of passing a cut answer for a
// complete one: an exception after the first bytes, a handler over its time limit, a crashed
// worker, an aborted response, the grace period running out, a write timeout. Good answers
// stay complete, declare their length, and the gateway exits 0.
#include "gateway_process.h"

#include "dostrel/appserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool queryIs(const dostrel_request* request, const char* word) {
    const char* query = dostrel_request_get(request, "QUERY_STRING", nullptr);
    return query != nullptr && std::strcmp(query, word) == 0;
}

void writeBlock(dostrel_response* response, std::size_t size) {
    std::string block(size, 'x');
    dostrel_response_write(response, block.data(), block.size());
}

// Each query string names one way for an answer to end.
void handle(const dostrel_request* request, dostrel_response* response, void*) {
    dostrel_response_header(response, "Content-Type", "text/plain");
    if (queryIs(request, "complete")) {
        dostrel_response_printf(response, "complete\n");
    } else if (queryIs(request, "throw-before")) {
        throw std::runtime_error("broken before the first byte");
    } else if (queryIs(request, "throw-after")) {
        writeBlock(response, 65536);
        dostrel_response_flush(response);
        throw std::runtime_error("broken after the first bytes");
    } else if (queryIs(request, "crash")) {
        writeBlock(response, 65536);
        dostrel_response_flush(response);
        std::abort();
    } else if (queryIs(request, "abort")) {
        writeBlock(response, 1000);
        dostrel_response_flush(response);
        dostrel_response_abort(response);
    } else if (queryIs(request, "hang")) {
        dostrel_response_printf(response, "begun\n");
        dostrel_response_flush(response);
        std::this_thread::sleep_for(60s);
    } else if (queryIs(request, "huge")) {
        for (int i = 0; i < 256 && dostrel_response_error(response) == 0; ++i)
            writeBlock(response, 65536);
    }
}

/// A server forked from the test with the handler above, its log in a file.
struct ForkedServer {
    pid_t pid = -1;
    unsigned port = 0;
    std::string logPath;

    ForkedServer(const WorkDirectory& dir, const dostrel_server_options& options) {
        logPath = dir.path + "/server.log";
        int ports[2];
        if (pipe(ports) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(ports[0]);
            dostrel_server_options mine = options;
            mine.log_file = std::fopen(logPath.c_str(), "w");
            mine.log_data = &ports[1];
            mine.on_listening = [](const char*, unsigned bound, void* data) {
                ssize_t ignored = write(*static_cast<int*>(data), &bound, sizeof bound);
                (void)ignored;
            };
            _exit(dostrel_serve(&mine, handle, &ports[1]) == 0 ? 0 : 1);
        }
        close(ports[1]);
        pollfd readable = {ports[0], POLLIN, 0};
        if (poll(&readable, 1, 10000) == 1 && read(ports[0], &port, sizeof port) != sizeof port)
            port = 0;
        close(ports[0]);
    }

    ~ForkedServer() {
        if (pid <= 0) return;
        kill(pid, SIGINT);
        if (wait(10s) == -1) kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    std::string log() const {
        std::ifstream in(logPath);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    int wait(std::chrono::seconds limit) {
        for (auto end = Clock::now() + limit; Clock::now() < end;) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
};

GatewayResult ask(const WorkDirectory& dir, const std::string& query) {
    Clock::time_point start = Clock::now();
    GatewayResult result = runGateway({dir.path, {"QUERY_STRING=" + query, "PATH_INFO=/cut"}});
    std::printf("%s: gateway exit %d after %.2f s\n", query.c_str(), result.exitStatus,
                std::chrono::duration<double>(Clock::now() - start).count());
    return result;
}

void expectCut(const GatewayResult& result, const std::string& what) {
    EXPECT_EQ(result.exitStatus, 1) << what << "\n" << result.out << result.err;
    EXPECT_NE(result.err.find("error 11: "), std::string::npos) << what << "\n" << result.err;
}

void expectComplete(const GatewayResult& result, const std::string& body) {
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::string head = "Content-Length: " + std::to_string(body.size()) + "\n\n";
    EXPECT_NE(result.out.find(head + body), std::string::npos) << result.out;
}

dostrel_server_options cutOptions() {
    dostrel_server_options options;
    dostrel_server_options_default(&options);
    options.workers = 2;
    options.handler_timeout_ms = 1000;
    options.write_timeout_ms = 500;
    return options;
}

TEST(CutAnswers, EveryAbnormalEndIsAResetThatTheGatewayReportsAndGoodAnswersStayComplete) {
    WorkDirectory dir;
    ForkedServer server(dir, cutOptions());
    ASSERT_NE(server.port, 0u);
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 " + std::to_string(server.port) + "\n");

    expectComplete(ask(dir, "complete"), "complete\n");
    GatewayResult failed = ask(dir, "throw-before");
    EXPECT_EQ(failed.exitStatus, 0) << failed.err;
    EXPECT_NE(failed.out.find("Status: 500 Internal Server Error\n"), std::string::npos);
    expectCut(ask(dir, "throw-after"), "an exception after the first bytes");
    expectCut(ask(dir, "abort"), "dostrel_response_abort");
    expectCut(ask(dir, "crash"), "a crashed worker");
    expectCut(ask(dir, "hang"), "a handler over its time limit");
    expectComplete(ask(dir, "complete"), "complete\n"); // the workers were replaced

    // A peer that stops reading: the send times out and the connection is reset.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    timeval bound = {60, 0}; // a hang fails the test instead of blocking it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string huge = std::string("\x09\x23\x19\x63\0\0\0\x01\0\0\0\0\0\0\0\x02", 16) +
                       std::string("\0\0\0\x0cQUERY_STRING\0\0\0\x04huge\0\0\0\x15", 28) +
                       DOSTREL_CONTENT_KEY + std::string(4, '\0');
    ASSERT_EQ(send(fd, huge.data(), huge.size(), MSG_NOSIGNAL), static_cast<ssize_t>(huge.size()));
    for (auto end = Clock::now() + 20s; Clock::now() < end;) {
        if (server.log().find("Connection timed out") != std::string::npos) break;
        std::this_thread::sleep_for(50ms);
    }
    char block[65536];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0) {
    }
    EXPECT_EQ(got, -1) << "the cut answer ended in order";
    EXPECT_EQ(errno, ECONNRESET);
    close(fd);

    std::string log = server.log();
    EXPECT_NE(log.find("threw on a request from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(": broken before the first byte\n"), std::string::npos) << log;
    EXPECT_NE(log.find("after its answer began: broken after the first bytes; connection reset"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("was killed by signal 6; starting another"), std::string::npos) << log;
    EXPECT_NE(log.find("over the time limit of 1.0 s: worker"), std::string::npos) << log;
    EXPECT_NE(log.find("not complete: Connection timed out; connection reset"), std::string::npos)
        << log;
}

TEST(CutAnswers, TheGracePeriodRunningOutResetsWhatIsUnfinished) {
    WorkDirectory dir;
    dostrel_server_options options = cutOptions();
    options.handler_timeout_ms = 0;
    options.grace_ms = 300;
    ForkedServer server(dir, options);
    ASSERT_NE(server.port, 0u);
    dir.write("dostrel.cnf", "link * tcp 127.0.0.1 " + std::to_string(server.port) + "\n");
    std::future<GatewayResult> hanging =
        std::async(std::launch::async, [&] { return ask(dir, "hang"); });
    // Whether the stop finds the request in the handler or still queued, it is served and hangs
    // past the grace period: either way the answer is cut.
    std::this_thread::sleep_for(300ms);
    kill(server.pid, SIGTERM);
    ASSERT_EQ(hanging.wait_for(30s), std::future_status::ready);
    expectCut(hanging.get(), "the grace period ran out");
    EXPECT_EQ(server.wait(30s), 0);
    EXPECT_NE(server.log().find("still running after the grace period: killed"), std::string::npos)
        << server.log();
}

} // namespace
